#pragma once

// A certificate as the rest of the program sees it: an immutable value over OpenSSL's X509, shared
// by its copies.

#include "crypto/CertificateDescription.h"
#include "crypto/OpenSsl.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace plombar::crypto {

class Certificate {
public:
    // Exactly one DER-encoded X.509 certificate: no bytes may follow it. Raises CryptoError
    // (NotACertificate, with CRYPT_E_ASN1_EOD for fewer than 4 bytes, CRYPT_E_ASN1_BADTAG for
    // what does not start as a certificate, CRYPT_E_ASN1_CORRUPT otherwise), or OutOfMemoryError
    // when there is no room to decode a certificate of that size.
    static Certificate fromDer(std::string_view der);

    // A certificate file as people receive it: DER; Base64 text of the DER (with or without line
    // breaks); or PEM ("-----BEGIN CERTIFICATE-----", also after blank lines or other text; the
    // first certificate of the file). Anything else raises CryptoError (NotACertificate), and a
    // file too large to decode OutOfMemoryError.
    static Certificate fromBytes(std::string_view bytes);

    // The value over a certificate OpenSSL made (taken over) or holds (another reference).
    static Certificate adopt(X509Ptr certificate);
    static Certificate share(X509* certificate);

    // For OpenSSL calls: borrowed, valid as long as a copy of this value lives; never changed.
    X509* x509() const noexcept;

    const std::string& der() const noexcept;
    std::string pem() const;
    // SHA-1 of the DER in lower-case hexadecimal: the name of the certificate's store entry.
    const std::string& thumbprint() const noexcept;
    // The public key's algorithm identifier in canonical dotted form ("1.2.643.7.1.1.1.1").
    std::string publicKeyAlgorithm() const;
    // The content octets of the serial number's DER INTEGER, most significant byte first, as the
    // certificate encodes it (a leading zero that keeps a number positive stays).
    std::string serialNumber() const;

    // Subject and issuer as the verification report prints them ("2.5.4.6=RU, 2.5.4.3=Иванов":
    // RDNs in encoded order, dotted identifiers), control and bidirectional characters escaped so
    // that the text is always one line.
    std::string subjectName() const;
    std::string issuerName() const;
    // The subject as dialogs and plombar-cli show it ("CN=Иванов Иван, O=Ромашка, C=RU"; see
    // NameToText), escaped.
    std::string subjectText() const;
    // The subject's common name, escaped; the whole subject text when it has none.
    std::string commonName() const;

    // The validity period (UTC), both ends included.
    std::chrono::sys_seconds notBefore() const;
    std::chrono::sys_seconds notAfter() const;
    bool isTimeValid(std::chrono::sys_seconds now) const;

    // What the certificate dialogs show of it (no store entry: no private key, no friendly name).
    CertificateDescription describe() const;

    friend bool operator==(const Certificate& a, const Certificate& b) noexcept { return a.der() == b.der(); }

private:
    struct Data;
    explicit Certificate(std::shared_ptr<const Data> data) noexcept : data_(std::move(data)) {}
    std::shared_ptr<const Data> data_;
};

} // namespace plombar::crypto
