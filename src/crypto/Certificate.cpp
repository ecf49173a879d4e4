#include "Certificate.h"

#include "CertificateText.h"
#include "CryptoError.h"
#include "GostRuntime.h"
#include "NameFormat.h"
#include "platform/AvailableMemory.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"
#include "platform/HexText.h"
#include "platform/SystemErrors.h"

#include <openssl/sha.h>

#include <ctime>
#include <optional>

namespace plombar::crypto {

using namespace plombar::winerr;

struct Certificate::Data {
    X509Ptr x509;
    std::string der;
    std::string thumbprint;
};

namespace {

// Decoded, a certificate is held about four times over (the bytes read, OpenSSL's structure with
// its cached encoding, the DER kept here): without room for that, fail as on running out of memory
// rather than leave a huge one to the OOM killer.
void requireMemoryToDecode(std::size_t size) {
    if (!memoryAvailableFor(std::uint64_t{4} * size))
        throw OutOfMemoryError();
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The Base64 characters of a text that holds nothing else but blanks and line breaks, with its
// padding at the end only; empty when the text is anything else. Stops at the first foreign byte,
// so a large file of something else costs one look at its start.
std::string base64Body(std::string_view text) {
    std::string body;
    std::size_t padding = 0;
    for (char c : text) {
        if (isBlank(c))
            continue;
        if (c == '=' && padding < 2) {
            ++padding;
        } else if (!isBase64Character(c) || padding > 0) {
            return {};
        }
        body += c;
    }
    if (body.size() < 4 || body.size() % 4 != 0)
        return {};
    return body;
}

std::string decodeBase64(const std::string& body) {
    std::string bytes(body.size() / 4 * 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size()));
    if (length < 0)
        return {};
    // EVP_DecodeBlock counts the bytes the padding stands for.
    const std::size_t padding = body.size() - body.find_last_not_of('=') - 1;
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

std::chrono::sys_seconds timeOf(const ASN1_TIME* time, std::chrono::sys_seconds unreadable) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return unreadable;
    return std::chrono::sys_seconds(std::chrono::seconds(::timegm(&tm)));
}

} // namespace

Certificate Certificate::adopt(X509Ptr certificate) {
    if (!certificate)
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_EOD, "Нет сертификата");
    auto data = std::make_shared<Data>();
    data->der = EncodeDer(certificate.get(), [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
    if (data->der.empty())
        raiseOpenSslError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_ERROR,
                          "Сертификат не кодируется в DER");
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(data->der.data()), data->der.size(), sha1);
    data->thumbprint = hexText(sha1, sizeof sha1, HexCase::Lower);
    data->x509 = std::move(certificate);
    return Certificate(std::move(data));
}

Certificate Certificate::share(X509* certificate) {
    if (certificate != nullptr)
        X509_up_ref(certificate);
    return adopt(X509Ptr(certificate));
}

Certificate Certificate::fromDer(std::string_view der) {
    if (der.empty())
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_EOD, "Нет данных сертификата");
    // A certificate is a SEQUENCE; text (PEM, Base64) never starts with 0x30 0x8x.
    if (der[0] != 0x30)
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_BADTAG,
                          "Данные не являются сертификатом X.509 в DER");
    requireMemoryToDecode(der.size());
    GostRuntimeReady(); // GOST public keys decode only once the engine is the default
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = start;
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!certificate)
        raiseOpenSslError(CryptoFailure::NotACertificate,
                          der.size() < 4 ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_CORRUPT,
                          "Данные не являются сертификатом X.509 в DER");
    if (p != start + der.size())
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_CORRUPT,
                          "За сертификатом следуют " +
                              std::to_string(der.size() - static_cast<std::size_t>(p - start)) +
                              " байт, которые к нему не относятся");
    return adopt(std::move(certificate));
}

Certificate Certificate::fromBytes(std::string_view bytes) {
    std::optional<CryptoError> derError;
    if (!bytes.empty() && bytes[0] == 0x30) {
        try {
            return fromDer(bytes);
        } catch (const CryptoError& error) {
            derError = error; // text that happens to start with "0" is looked at as text below
        }
    }
    // PEM is looked for only where it can be: reading a large file of anything else line by line
    // would copy all of it once more.
    if (bytes.find("-----BEGIN") != std::string_view::npos) {
        requireMemoryToDecode(bytes.size());
        GostRuntimeReady();
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (certificate)
            return adopt(std::move(certificate));
        raiseOpenSslError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_BADTAG,
                          "В тексте PEM нет читаемого сертификата");
    }
    if (const std::string body = base64Body(bytes); !body.empty()) {
        requireMemoryToDecode(bytes.size());
        const std::string der = decodeBase64(body);
        if (!der.empty())
            return fromDer(der);
        ClearOpenSslErrors();
    }
    if (derError)
        throw *derError;
    return fromDer(bytes);
}

X509* Certificate::x509() const noexcept {
    return data_->x509.get();
}

const std::string& Certificate::der() const noexcept {
    return data_->der;
}

std::string Certificate::pem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), x509()) != 1)
        raiseOpenSslError(CryptoFailure::Failed, E_OUTOFMEMORY, "Сертификат не записывается в PEM");
    return BioText(bio.get());
}

const std::string& Certificate::thumbprint() const noexcept {
    return data_->thumbprint;
}

std::string Certificate::publicKeyAlgorithm() const {
    ASN1_OBJECT* object = nullptr;
    if (X509_PUBKEY_get0_param(&object, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(x509())) != 1)
        return {};
    return DottedOid(object);
}

std::string Certificate::serialNumber() const {
    const std::string der =
        EncodeDer(X509_get0_serialNumber(x509()),
                  [](const ASN1_INTEGER* i, unsigned char** p) { return i2d_ASN1_INTEGER(i, p); });
    // OpenSSL's own reader takes the INTEGER's header off.
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    long length = 0;
    int tag = 0;
    int objectClass = 0;
    if (der.empty() ||
        (ASN1_get_object(&p, &length, &tag, &objectClass, static_cast<long>(der.size())) & 0x80) != 0) {
        ClearOpenSslErrors();
        return {};
    }
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

std::string Certificate::subjectName() const {
    return escapeForDisplay(formatName(X509_get_subject_name(x509())));
}

std::string Certificate::issuerName() const {
    return escapeForDisplay(formatName(X509_get_issuer_name(x509())));
}

std::string Certificate::subjectText() const {
    return NameToText(X509_get_subject_name(x509()));
}

std::string Certificate::commonName() const {
    std::string name = NameAttribute(X509_get_subject_name(x509()), NID_commonName);
    return name.empty() ? subjectText() : name;
}

std::chrono::sys_seconds Certificate::notBefore() const {
    return timeOf(X509_get0_notBefore(x509()), std::chrono::sys_seconds::max());
}

std::chrono::sys_seconds Certificate::notAfter() const {
    return timeOf(X509_get0_notAfter(x509()), std::chrono::sys_seconds::min());
}

bool Certificate::isTimeValid(std::chrono::sys_seconds now) const {
    return notBefore() <= now && now <= notAfter();
}

} // namespace plombar::crypto
