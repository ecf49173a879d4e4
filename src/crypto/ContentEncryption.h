#pragma once

// Encrypting a content of any size for one recipient, and decrypting an enveloped message of any
// size, each in one pass and in memory that does not grow with the content.
//
// The envelope is what Plombar has always written: CMS enveloped-data in DER with definite lengths,
// the content in GOST 28147-89 CFB (the engine's key meshing), one KeyTransRecipientInfo naming the
// recipient by issuer and serial number with the GOST key transport of the recipient's key.

#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/Progress.h"

#include <cstdint>
#include <functional>
#include <span>

namespace plombar::crypto {

// Encrypts the `contentSize` bytes that `content` delivers for `recipient` (borrowed) and writes
// the message to `output`: the lengths before the ciphertext are computed first, then the
// ciphertext follows as the plaintext passes through the cipher. `progress` hears the number of
// content bytes read so far.
//
// Raises CryptoError: EngineMissing; UnsupportedAlgorithm (CRYPT_E_UNKNOWN_ALGO) for a recipient
// whose key is no GOST R 34.10 key; UnsupportedAlgorithm (NTE_BAD_ALGID) when the key refuses the
// key transport; InputChanged (ERROR_INVALID_DATA) when `content` delivers fewer or more bytes than
// `contentSize`; Failed for OpenSSL failures no input explains. Passes on CancelledError and the
// errors of `content` and `output`; after any of them the output must be thrown away.
void encryptContent(ByteSource& content, std::uint64_t contentSize, X509* recipient, ByteSink& output,
                    Progress& progress = ignoredProgress());

// A certificate that may be a recipient, with a way to its private key.
struct DecryptionCandidate {
    X509* certificate = nullptr; // borrowed
    // Unlocks the private key when the certificate is a recipient; may ask a password. Returns the
    // key, or raises: CancelledError or CryptoError (Cancelled) to stop the decryption at once, any
    // other CryptoError to go on with the next candidate (that error is reported if none serves).
    std::function<EvpPkeyPtr()> unlockKey;
};

struct DecryptionResult {
    std::size_t candidate = 0;     // the index of the candidate whose key opened the message
    std::uint64_t contentSize = 0; // plaintext bytes written
};

// Decrypts the message that `message` delivers into `output`. The recipient is the first candidate
// (in the order of the message's recipient infos, then of `candidates`) that a key transport
// recipient (or a key agreement one, see below: here without originators beyond the message's and
// the candidates') names and whose key opens the content key; a wrong key is found before any byte is
// written. `progress` hears the number of encrypted bytes read so far.
//
// Raises CryptoError: EngineMissing; BadMessage (CRYPT_E_ASN1_BADTAG); UnexpectedMessageType
// (CRYPT_E_UNEXPECTED_MSG_TYPE); ContentMissing (CRYPT_E_MSG_ERROR) for an envelope without content;
// NoRecipient (CRYPT_E_NO_DECRYPT_CERT) when no candidate is a recipient; UnsupportedRecipient (the
// same code, until the messages tell the two apart) when candidates are recipients only of a kind
// this program cannot decrypt (key agreement), or the message has no certificate-based recipient;
// WrongKey (NTE_BAD_DATA) when no candidate's key opens the message, its parameters are damaged or
// the content's MAC does not match; the candidate's own error when unlocking its key failed;
// Cancelled. Passes on CancelledError and the errors of `message` and `output`; after a failure the
// output must be thrown away.
DecryptionResult decryptMessage(ByteSource& message, std::span<const DecryptionCandidate> candidates,
                                ByteSink& output, Progress& progress = ignoredProgress());

// The same, also for key agreement recipients with the KExp15 key wrap (the TC26 profile the GOST
// engine implements): a candidate that such a recipient names is tried like a key transport one,
// with the sender's public key taken from the message (originatorKey) or from the certificate the
// recipient names as originator, looked for in `originators` (borrowed), the message's originator
// certificates and the candidates' certificates. A key agreement recipient whose sender's
// certificate is not found, or with another key wrap (the GOST 28147-89 wraps of the TK26
// examples), raises UnsupportedRecipient (CRYPT_E_NO_DECRYPT_CERT) when nothing else serves.
DecryptionResult decryptMessage(ByteSource& message, std::span<const DecryptionCandidate> candidates,
                                std::span<X509* const> originators, ByteSink& output,
                                Progress& progress = ignoredProgress());

} // namespace plombar::crypto
