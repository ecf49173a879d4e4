// A recipient's certificate file on arbitrary bytes, read as the encryption page reads it
// (Certificate::fromBytes: DER, Base64 or PEM), and everything the program then does with what it
// accepts: the view dialog's description, the subject and issuer texts in every rendering, the
// serial number, the validity check, and an encryption for the certificate as recipient. A refusal
// must say NotACertificate with a documented code; an accepted certificate's DER must read back as
// the same certificate, its thumbprint must be the SHA-1 of that DER, and its texts must be one
// line of UTF-8.

#include "FuzzSupport.h"

#include "crypto/Certificate.h"
#include "crypto/ContentEncryption.h"
#include "crypto/CryptoError.h"
#include "crypto/NameFormat.h"
#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <openssl/sha.h>

#include <cstdint>
#include <optional>
#include <string>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;

namespace {

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return fuzz::hexOf(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

void checkOneLine(const std::string& text, const char* what) {
    FUZZ_CHECK(fuzz::isValidUtf8(text), std::string(what) + " is not UTF-8: " + fuzz::hexOf(text));
    FUZZ_CHECK(text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
               std::string(what) + " is not one line: " + fuzz::hexOf(text));
}

void renderName(const X509_NAME* name) {
    for (NameKeys keys : {NameKeys::ValuesOnly, NameKeys::DottedOids, NameKeys::X500}) {
        NameFormat format;
        format.keys = keys;
        const std::string forward = formatName(name, format);
        FUZZ_CHECK(fuzz::isValidUtf8(forward), "a name text that is not UTF-8: " + fuzz::hexOf(forward));
        format.reverse = true;
        format.quoting = false;
        FUZZ_CHECK(fuzz::isValidUtf8(formatName(name, format)), "a reversed name text that is not UTF-8");
    }
}

// Encrypts a few bytes for the certificate as the encryption does: GOST keys take the content key,
// others are refused with their code.
void encryptFor(const Certificate& certificate) {
    static const std::string kContent = "fuzz";
    MemorySource content(kContent);
    MemorySink message;
    try {
        encryptContent(content, kContent.size(), certificate.x509(), message);
    } catch (const CryptoError& error) {
        fuzz::checkCode("the encryption", error.code(),
                        {CRYPT_E_UNKNOWN_ALGO, NTE_BAD_ALGID, CRYPT_E_MSG_ERROR, NTE_NO_MEMORY},
                        error.message());
        fuzz::note("not a recipient: " + fuzz::codeText(error.code()));
        return;
    }
    FUZZ_CHECK(message.bytes().size() > kContent.size(), "an encrypted message shorter than its content");
    fuzz::note("encrypted for it: " + std::to_string(message.bytes().size()) + " bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<Certificate> certificate;
    try {
        certificate = Certificate::fromBytes(bytes);
    } catch (const CryptoError& error) {
        FUZZ_CHECK(error.kind() == CryptoFailure::NotACertificate,
                   std::string("a refused file of kind ") + failureName(error.kind()));
        fuzz::checkCode("Certificate::fromBytes", error.code(),
                        {CRYPT_E_ASN1_EOD, CRYPT_E_ASN1_BADTAG, CRYPT_E_ASN1_CORRUPT, CRYPT_E_ASN1_ERROR},
                        error.message());
        fuzz::note("refused: " + fuzz::codeText(error.code()));
        return 0;
    } catch (const OutOfMemoryError&) {
        fuzz::note("refused: too large to decode");
        return 0;
    }

    const std::string& der = certificate->der();
    FUZZ_CHECK(!der.empty(), "a certificate without DER");
    const std::string& thumbprint = certificate->thumbprint();
    FUZZ_CHECK(thumbprint == sha1Hex(der), "the thumbprint is not the SHA-1 of the certificate's DER");
    FUZZ_CHECK(Certificate::fromDer(der) == *certificate,
               "the certificate's own DER does not read back as the same certificate");
    // DER that is exactly one certificate is taken as it is.
    if (bytes == der)
        FUZZ_CHECK(Certificate::fromDer(bytes).thumbprint() == thumbprint, "fromDer and fromBytes disagree");

    const CertificateDescription description = certificate->describe();
    FUZZ_CHECK(description.thumbprint == thumbprint && !description.hasPrivateKey,
               "the description does not match the certificate");
    checkOneLine(certificate->subjectName(), "the subject");
    checkOneLine(certificate->issuerName(), "the issuer");
    checkOneLine(certificate->subjectText(), "the subject line");
    checkOneLine(certificate->commonName(), "the common name");
    FUZZ_CHECK(!certificate->serialNumber().empty(), "no serial number");
    certificate->isTimeValid(certificate->notBefore());
    renderName(X509_get_subject_name(certificate->x509()));
    renderName(X509_get_issuer_name(certificate->x509()));
    encryptFor(*certificate);
    return 0;
}
