// CertCreateCertificateContext on arbitrary bytes, as the encryption page reads a recipient's .cer
// file, and everything the program then does with what it accepts: the view dialog's description,
// the subject and issuer texts of every string type, the serial number text, the validity check,
// and an encryption for the certificate as recipient. The context's
// DER must read back as the same certificate, its thumbprint must be the SHA-1 of that DER, and
// nothing may stay open afterwards.

#include "FuzzSupport.h"

#include "crypto/Certificate.h"
#include "crypto/ContentEncryption.h"
#include "crypto/CryptoApi.h"
#include "crypto/CryptoError.h"
#include "crypto/CryptoHandles.h"
#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/SystemErrors.h"

#include <openssl/sha.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;
using plombar::fuzz::checkLastError;

namespace {

std::string sha1Hex(const BYTE* data, DWORD size) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(data, size, digest);
    return fuzz::hexOf(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

void renderName(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB blob = name;
    for (DWORD type : {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR,
                       CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG}) {
        const DWORD needed = CertNameToStrA(kMessageEncoding, &blob, type, nullptr, 0);
        FUZZ_CHECK(needed >= 1, "CertNameToStrA needs no room for its zero");
        std::vector<char> text(needed);
        FUZZ_CHECK(CertNameToStrA(kMessageEncoding, &blob, type, text.data(), needed) == needed,
                   "the two calls of CertNameToStrA disagree");
        FUZZ_CHECK(text[needed - 1] == '\0', "the name text is not terminated");
        FUZZ_CHECK(fuzz::isValidUtf8(std::string_view(text.data(), needed - 1)),
                   "the name text is not UTF-8");
    }
}

// Encrypts a few bytes for the certificate as the encryption does: GOST keys take the content key,
// others are refused with their code.
void encryptFor(const std::uint8_t* data, std::size_t size) {
    static const std::string kContent = "fuzz";
    std::optional<Certificate> certificate;
    try {
        certificate = Certificate::fromDer(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const CryptoError& error) {
        fuzz::note("not one DER certificate for the encryption: " + error.message());
        return;
    }
    MemorySource content(kContent);
    MemorySink message;
    try {
        encryptContent(content, kContent.size(), certificate->x509(), message);
    } catch (const CryptoError& error) {
        FUZZ_CHECK(error.code() == CRYPT_E_UNKNOWN_ALGO || error.code() == NTE_BAD_ALGID ||
                       error.code() == CRYPT_E_MSG_ERROR || error.code() == NTE_NO_MEMORY,
                   "an undocumented encryption failure: " + fuzz::codeText(error.code()));
        fuzz::note("not a recipient: " + fuzz::codeText(error.code()));
        return;
    }
    FUZZ_CHECK(message.bytes().size() > kContent.size(), "an encrypted message shorter than its content");
    fuzz::note("encrypted for it: " + std::to_string(message.bytes().size()) + " bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        CertContextHandle certificate(
            CertCreateCertificateContext(kMessageEncoding, data, static_cast<DWORD>(size)));
        if (!certificate) {
            checkLastError("CertCreateCertificateContext",
                           {CRYPT_E_ASN1_EOD, CRYPT_E_ASN1_BADTAG, CRYPT_E_ASN1_CORRUPT, CRYPT_E_ASN1_ERROR});
            fuzz::note("refused: " + fuzz::codeText(GetLastError()));
            fuzz::checkNoHandlesLeft("after a refused certificate");
            return 0;
        }
        PCCERT_CONTEXT c = certificate.get();
        FUZZ_CHECK(c->pCertInfo != nullptr && c->pbCertEncoded != nullptr && c->cbCertEncoded > 0 &&
                       c->dwCertEncodingType == X509_ASN_ENCODING && c->hCertStore == nullptr,
                   "a context with missing fields");
        const std::string thumbprint = CertificateThumbprint(c);
        FUZZ_CHECK(thumbprint == sha1Hex(c->pbCertEncoded, c->cbCertEncoded),
                   "the thumbprint is not the SHA-1 of the context's DER");
        {
            CertContextHandle again(
                CertCreateCertificateContext(kMessageEncoding, c->pbCertEncoded, c->cbCertEncoded));
            FUZZ_CHECK(again && CertificateThumbprint(again.get()) == thumbprint,
                       "the context's own DER does not read back as the same certificate");
        }

        const CertificateDescription description = DescribeCertificate(c);
        FUZZ_CHECK(description.thumbprint == thumbprint && !description.hasPrivateKey,
                   "the description does not match the context");
        CertificateSubjectText(c);
        const CERT_INFO& info = *c->pCertInfo;
        FUZZ_CHECK(info.SerialNumber.cbData > 0, "no serial number");
        renderName(info.Subject);
        renderName(info.Issuer);

        CertContextHandle duplicate(CertDuplicateCertificateContext(c));
        FUZZ_CHECK(duplicate.get() == c, "a duplicate is another context");
        encryptFor(data, size);
    }
    fuzz::checkNoHandlesLeft("after the certificate's use");
    return 0;
}
