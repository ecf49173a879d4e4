#pragma once

// The chain from a signer's certificate to a root the user trusts: built and checked with
// OpenSSL's own chain verification (X509_verify_cert, GOST signatures through the engine), from the
// certificates the message carries, the "CA" store's intermediates and the "Root" store's roots.
// No revocation here (see Revocation.h).

#include "crypto/Certificate.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace plombar::crypto {

// What the chain may be built from besides the message's own certificates.
struct TrustAnchors {
    std::vector<Certificate> roots;         // trusted as they are ("Root")
    std::vector<Certificate> intermediates; // only material for building ("CA")

    // The certificates of the user's "Root" and "CA" stores (CertificateStore::open). Raises what
    // opening and listing a store raises (CryptoError, StoreUnusable).
    static TrustAnchors fromStores();
};

struct ChainResult {
    bool built = false;
    int error = 0;      // X509_V_OK, or OpenSSL's X509_V_ERR_… code
    std::string reason; // why not, a short Russian phrase for the report; empty when built
    // The chain from the signer (first) up to the trusted certificate (last) when built; as far as
    // it got otherwise (at least the signer).
    std::vector<Certificate> chain;
};

// Builds and verifies the chain of `signer` at `at` (default: now). Every certificate above the
// signer must be a CA (basic constraints) whose signature over the one below verifies; the chain
// must end at a certificate of `anchors.roots` (one that is not self-signed is trusted there too).
// Never raises for a chain that cannot be built; a missing GOST engine is a reason like any other.
ChainResult buildChain(const Certificate& signer, const std::vector<Certificate>& messageCertificates,
                       const TrustAnchors& anchors,
                       std::optional<std::chrono::sys_seconds> at = std::nullopt);

// The report's phrase for an X509_V_ERR_… code about `certificate` (the one OpenSSL was at): a
// short Russian phrase for the usual codes, OpenSSL's own text for the others.
std::string chainErrorText(int error, X509* certificate);

} // namespace plombar::crypto
