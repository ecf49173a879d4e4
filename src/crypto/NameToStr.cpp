#include "CryptoApi.h"

#include "CryptoInternal.h"
#include "NameFormat.h"
#include "platform/SystemErrors.h"

#include <cstring>
#include <string>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

constexpr DWORD kStringTypeMask = 0x0000FFFF;

// The whole text; false (last error and diagnostic set) when the arguments or the name are unusable.
bool renderName(DWORD encoding, const CERT_NAME_BLOB* name, DWORD strType, std::string& text) {
    const DWORD stringType = strType & kStringTypeMask;
    if ((encoding & X509_ASN_ENCODING) == 0) {
        fail(E_INVALIDARG, "the certificate encoding must include X509_ASN_ENCODING");
        return false;
    }
    NameFormat format;
    if (stringType == CERT_SIMPLE_NAME_STR)
        format.keys = NameKeys::ValuesOnly;
    else if (stringType == CERT_X500_NAME_STR)
        format.keys = NameKeys::X500;
    else if (stringType != CERT_OID_NAME_STR) {
        fail(E_INVALIDARG, "unknown name string type " + std::to_string(stringType));
        return false;
    }
    if (name == nullptr || name->pbData == nullptr || name->cbData == 0) {
        fail(CRYPT_E_ASN1_BADTAG, "no encoded name");
        return false;
    }
    const unsigned char* p = name->pbData;
    X509NamePtr parsed(d2i_X509_NAME(nullptr, &p, static_cast<long>(name->cbData)));
    if (!parsed) {
        failWithOpenSsl(CRYPT_E_ASN1_BADTAG, "not a DER-encoded name");
        return false;
    }
    format.reverse = (strType & CERT_NAME_STR_REVERSE_FLAG) != 0;
    if ((strType & CERT_NAME_STR_SEMICOLON_FLAG) != 0)
        format.rdnSeparator = "; ";
    else if ((strType & CERT_NAME_STR_CRLF_FLAG) != 0)
        format.rdnSeparator = "\r\n";
    if ((strType & CERT_NAME_STR_NO_PLUS_FLAG) != 0)
        format.attributeSeparator = " ";
    format.quoting = (strType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
    text = formatName(parsed.get(), format);
    return true;
}

// How many bytes of `text` fit into `room` bytes without cutting a UTF-8 sequence.
std::size_t fittingLength(const std::string& text, std::size_t room) {
    if (text.size() <= room)
        return text.size();
    std::size_t length = room;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}

} // namespace

DWORD CertNameToStrA(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz) {
    clearDiagnostic();
    std::string text;
    if (!renderName(dwCertEncodingType, pName, dwStrType, text))
        text.clear();
    else
        SetLastError(0);
    if (psz == nullptr || csz == 0)
        return static_cast<DWORD>(text.size() + 1);
    const std::size_t length = fittingLength(text, static_cast<std::size_t>(csz) - 1);
    std::memcpy(psz, text.data(), length);
    psz[length] = '\0';
    return static_cast<DWORD>(length + 1);
}

} // namespace plombar::crypto
