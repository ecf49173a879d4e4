#pragma once

// Keys and certificates made here: the command-line tool's test certificates (so that a new user
// can try every page at once) and the fixtures of the test suites.

#include "crypto/OpenSsl.h"

#include <ctime>
#include <string>
#include <vector>

namespace plombar::crypto {

enum class KeyAlgorithm {
    Gost2001,     // GOST R 34.10-2001, CryptoPro-A parameters
    Gost2012_256, // GOST R 34.10-2012 256-bit, CryptoPro-A parameters
    Gost2012_512, // GOST R 34.10-2012 512-bit, TC26 parameter set A
    Rsa2048,
    EcP256,
};

// "2001", "2012-256", "2012-512", "rsa", "ec" (the command-line spelling).
const char* KeyAlgorithmName(KeyAlgorithm algorithm);
bool ParseKeyAlgorithm(const std::string& text, KeyAlgorithm& algorithm);

// A fresh key pair. Raises plombar::Error (with OpenSSL's reason, or the missing-engine text
// for GOST) when it cannot be made.
EvpPkeyPtr GenerateKey(KeyAlgorithm algorithm);

struct CertificateFields {
    X509_NAME* subject = nullptr;  // required; copied
    std::string serial;            // big-endian bytes; empty: 16 random bytes, positive
    std::time_t notBefore = 0;     // 0: now minus one hour
    std::time_t notAfter = 0;      // 0: notBefore plus one year
    X509* issuer = nullptr;        // null: self-signed
    EVP_PKEY* issuerKey = nullptr; // with issuer
    bool authority = false;        // basicConstraints CA:TRUE and keyCertSign
    // CRL distribution points, one full-name URI each ("http://ca.example/ca.crl").
    std::vector<std::string> crlDistributionPoints;
};

// A version 3 certificate for `key` with the usual end-entity extensions (basic constraints, key
// usage for signing and key transport, subject key identifier; CRL distribution points when given), signed
// with the issuer's key (or the key itself) and that key's own hash (GOST R 34.11-94 / 34.11-2012, SHA-256
// otherwise).
X509Ptr MakeCertificate(const CertificateFields& fields, EVP_PKEY* key);

} // namespace plombar::crypto
