#include "OpenSsl.h"

#include <openssl/err.h>

namespace plombar::crypto {

std::string TakeOpenSslErrors() {
    std::string text;
    const char* file = nullptr;
    int line = 0;
    const char* data = nullptr;
    int flags = 0;
    unsigned long code = 0;
    while ((code = ERR_get_error_all(&file, &line, nullptr, &data, &flags)) != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
        if (data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') {
            text += " (";
            text += data;
            text += ")";
        }
    }
    return text;
}

void ClearOpenSslErrors() noexcept {
    ERR_clear_error();
}

std::string DottedOid(const ASN1_OBJECT* object) {
    if (object == nullptr)
        return {};
    char buffer[128];
    const int length = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    if (length <= 0)
        return {};
    if (static_cast<std::size_t>(length) < sizeof buffer)
        return std::string(buffer, static_cast<std::size_t>(length));
    std::string big(static_cast<std::size_t>(length) + 1, '\0');
    OBJ_obj2txt(big.data(), length + 1, object, 1);
    big.resize(static_cast<std::size_t>(length));
    return big;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr)
        return {};
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace plombar::crypto
