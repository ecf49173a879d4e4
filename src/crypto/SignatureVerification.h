#pragma once

// Verifying a CMS signed-data message of any size in one pass over its content and in memory that
// does not grow with it: DER or BER (definite or indefinite lengths, the content in one piece or in
// segments), from any GOST software, with or without signed attributes, with one signer or several,
// with or without certificates. Every signer is checked with OpenSSL; nothing here does signature
// mathematics of its own. Only the signature itself is checked: no certificate chain, no trust, no
// validity period.

#include "crypto/CryptoError.h"
#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/Progress.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plombar::crypto {

struct VerifyOptions {
    // The signed data for a detached signature. With an attached signature it is checked instead of
    // the content the message carries (which is then passed over unread).
    ByteSource* data = nullptr;
    // Certificates to look for signers in besides those of the message (the user's stores), found
    // by issuer and serial number or by subject key identifier; borrowed.
    std::vector<X509*> extraCertificates;
    // Receives the content the message carries when that is what was checked (no `data` given).
    ByteSink* contentOut = nullptr;
};

struct SignerVerdict {
    bool valid = false;
    // Why not, when not valid: BadSignature (NTE_BAD_SIGNATURE; CRYPT_E_HASH_VALUE for a content
    // that does not match the signed digest attribute), SignerCertificateMissing (CRYPT_E_NOT_FOUND),
    // UnsupportedAlgorithm (CRYPT_E_UNKNOWN_ALGO for a digest this program does not know).
    CryptoFailure failure = CryptoFailure::BadSignature;
    std::uint32_t code = 0;
    std::string reason;
    X509Ptr certificate; // the signer's certificate when it was found (also when not valid)
    std::optional<std::int64_t> signingTime; // the signing-time attribute, seconds since 1970 UTC
};

struct VerificationResult {
    bool attached = false;              // the message carries its content
    std::vector<SignerVerdict> signers; // in the order the message lists them
    std::vector<X509Ptr> certificates;  // the certificates the message carries, in its order
    bool allValid() const noexcept;     // at least one signer, and every one valid
};

// Reads the message from `signature` (and the data from options.data) once. `progress` hears the
// number of content bytes hashed so far.
//
// Raises CryptoError for messages that cannot be checked at all: EngineMissing; BadMessage
// (CRYPT_E_ASN1_BADTAG) for what is no readable signed-data message; UnexpectedMessageType
// (CRYPT_E_UNEXPECTED_MSG_TYPE) for other CMS types; ContentMissing (CRYPT_E_MSG_ERROR) for a
// detached signature without data; UnsupportedAlgorithm (CRYPT_E_UNKNOWN_ALGO) when a digest the
// message lists is unknown; NoSigner (CRYPT_E_NO_SIGNER) for a message without signers. Passes on
// CancelledError from `progress` and the errors of the sources and of `contentOut`.
VerificationResult verifySignature(ByteSource& signature, const VerifyOptions& options = {},
                                   Progress& progress = ignoredProgress());

// Whether the file at `path` is a signature that carries its content (an attached one), in any of
// the encodings MessageFile reads. Only the message's start is read, up to its content: at most a
// few tens of MiB whatever the file's size, and no signature is checked. False for whatever cannot
// be opened or read, or is no signed-data message.
bool isAttachedSignatureFile(const std::string& path) noexcept;

} // namespace plombar::crypto
