#include "StreamSupport.h"

#include "GostRuntime.h"
#include "platform/SystemErrors.h"

#include <climits>

namespace plombar::crypto::detail {

void requireGostEngine() {
    if (!GostRuntimeReady())
        throw CryptoError(CryptoFailure::EngineMissing, winerr::NTE_PROVIDER_DLL_FAIL,
                          GostRuntimeErrorText());
}

void writeToBio(BIO* bio, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const std::size_t chunk = std::min<std::size_t>(data.size(), INT_MAX / 2);
        if (BIO_write(bio, data.data(), static_cast<int>(chunk)) != static_cast<int>(chunk))
            raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                              "the content cannot be hashed");
        data = data.subspan(chunk);
    }
}

std::string encodeCms(const CMS_ContentInfo* cms) {
    std::string der =
        EncodeDer(cms, [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    if (der.empty())
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
    return der;
}

CmsPtr decodeCms(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        raiseOpenSslError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                          "not a PKCS #7/CMS message");
    return cms;
}

} // namespace plombar::crypto::detail
