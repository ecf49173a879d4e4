#pragma once

// Whether the certificates of a chain are revoked, from the certificate revocation lists (CRLs)
// their CRL distribution points name: fetched over HTTP, checked against the issuer's signature,
// and kept in a cache folder until their next update.

#include "crypto/Certificate.h"
#include "platform/HttpFetch.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace plombar::crypto {

struct RevocationOptions {
    bool offline = false;    // only CRLs already in the cache; nothing is fetched
    std::string cacheFolder; // empty: crlCacheFolder()
    HttpFetchOptions fetch;  // time and size limits of each download
    // All downloads of one check together end within this time; addresses not tried by then give
    // "истекло время проверки отзыва".
    std::chrono::milliseconds totalTimeout{12000};
    std::optional<std::chrono::sys_seconds> at; // the time of the check; default: now
};

enum class RevocationState { NotRevoked, Revoked, Unknown };

struct RevocationStatus {
    RevocationState state = RevocationState::Unknown;
    std::chrono::sys_seconds revokedAt{}; // Revoked: the revocation date the CRL gives
    std::string reason;                   // Unknown: why, a short Russian phrase for the report
};

// $XDG_CACHE_HOME/plombar/crl (XDG_CACHE_HOME defaults to ~/.cache).
std::string crlCacheFolder();

// Checks every certificate of `chain` (the signer first, each one's issuer after it, as
// ChainResult::chain gives it) except the last, which is the trusted anchor or where building
// stopped. For each one, the HTTP(S) addresses of its CRL distribution points (the first four) are
// tried in their order: a CRL from the cache while its next update is ahead, else a fresh download
// (then saved to the cache, atomically, in a folder made with mode 0700; a cache folder that others
// can write to is not used). A CRL counts only when it is signed by the certificate's issuer in the
// chain, names that issuer, allows the issuer to sign CRLs, is current at the time of the check and
// has no critical extension this code does not understand.
// The result: Revoked for the first certificate (from the signer up) that a CRL lists; Unknown when
// some certificate's status could not be found out (no distribution point, no HTTP address, server
// unreachable, time out, bad or stale CRL, offline and not cached, a chain of the signer alone);
// NotRevoked otherwise. Never raises (except the CancelledError of options.fetch.progress, which
// hears every download), and never takes longer than options.totalTimeout for its downloads.
RevocationStatus checkRevocation(const std::vector<Certificate>& chain,
                                 const RevocationOptions& options = {});

} // namespace plombar::crypto
