// CertCreateCertificateContext on arbitrary bytes, as the encryption page reads a recipient's .cer
// file, and everything the program then does with what it accepts: the view dialog's description,
// the subject and issuer texts of every string type, the serial number text, the validity check,
// and an encryption for the certificate as recipient (size call, then data call). The context's
// DER must read back as the same certificate, its thumbprint must be the SHA-1 of that DER, and
// nothing may stay open afterwards.

#include "FuzzSupport.h"

#include "crypto/CryptoApi.h"
#include "crypto/CryptoHandles.h"
#include "crypto/EnvelopeApi.h"
#include "crypto/OpenSsl.h"
#include "platform/SystemErrors.h"

#include <openssl/sha.h>

#include <cstdint>
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

// Encrypts a few bytes for the certificate as the encryption page does: the content cipher named by
// the recipient's public-key identifier.
void encryptFor(PCCERT_CONTEXT certificate) {
    static const BYTE kContent[] = {'f', 'u', 'z', 'z'};
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = kEncryptMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.ContentEncryptionAlgorithm.pszObjId =
        certificate->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    PCCERT_CONTEXT recipients[] = {certificate};
    DWORD needed = 0;
    if (!CryptEncryptMessage(&para, 1, recipients, kContent, sizeof kContent, nullptr, &needed)) {
        checkLastError("the encryption size call", {CRYPT_E_UNKNOWN_ALGO, NTE_BAD_ALGID, CRYPT_E_MSG_ERROR,
                                                    CRYPT_E_ASN1_ERROR, NTE_NO_MEMORY});
        fuzz::note("not a recipient: " + fuzz::codeText(GetLastError()));
        return;
    }
    FUZZ_CHECK(needed > sizeof kContent, "an encrypted message shorter than its content");
    std::vector<BYTE> message(needed);
    DWORD written = needed;
    if (!CryptEncryptMessage(&para, 1, recipients, kContent, sizeof kContent, message.data(), &written)) {
        checkLastError("the encryption data call",
                       {NTE_BAD_ALGID, CRYPT_E_MSG_ERROR, CRYPT_E_ASN1_ERROR, NTE_NO_MEMORY});
        return;
    }
    fuzz::note("encrypted for it: " + std::to_string(written) + " bytes");
    FUZZ_CHECK(written == needed, "the size call announced " + std::to_string(needed) +
                                      " bytes, the data call wrote " + std::to_string(written));
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
        encryptFor(c);
    }
    fuzz::checkNoHandlesLeft("after the certificate's use");
    return 0;
}
