#pragma once

// The one error type of the crypto layer: what went wrong (a kind the callers decide on), the
// Windows-numbered system code that the program's messages print for that situation, and OpenSSL's
// own reasons for the log.

#include "platform/Errors.h"

#include <cstdint>
#include <string>

namespace plombar::crypto {

enum class CryptoFailure {
    BadMessage,               // not a CMS message, truncated, lengths that lie, nested too deep
    UnexpectedMessageType,    // a CMS message of another type (signed data where an envelope is due)
    UnsupportedAlgorithm,     // a hash, cipher or key this program cannot use, or a hash the key refuses
    BadSignature,             // a signature or a signed digest that does not match
    SignerCertificateMissing, // the signer's certificate is neither in the message nor given
    NoSigner,                 // a signed message without signers
    ContentMissing,           // a detached signature without data, an envelope without content
    NoRecipient,              // no candidate certificate is a recipient of the message
    UnsupportedRecipient,     // a candidate is a recipient, but of a kind that cannot be decrypted
    WrongKey,                 // the key does not open the message, or the message is damaged
    KeyUnavailable,           // a candidate's key could not be unlocked (the unlocker's code)
    Cancelled,                // the user cancelled a question (a password)
    EngineMissing,            // the GOST engine is not loaded
    InputChanged,             // the content delivered more or fewer bytes than announced
    NotACertificate,          // bytes that hold no certificate (nor a usable PKCS #12 file)
    NoKey,                    // a store entry without a key file
    KeyNotPrivate,            // a key file that others may read
    BadKey,                   // a key file that cannot be read or holds no usable private key
    WrongPassword,            // the password of a key or a PKCS #12 file stayed wrong
    KeyMismatch,              // the private key does not belong to the certificate
    StoreUnusable,            // a store folder that cannot be made, read, trusted or changed
    Failed,                   // OpenSSL failed where it should not (no memory, an internal error)
};

class CryptoError : public Error {
public:
    // `what` says in plain words what failed; `openSslReasons` are the texts of OpenSSL's error
    // queue at that moment (empty when OpenSSL was not involved).
    CryptoError(CryptoFailure kind, std::uint32_t code, std::string what, std::string openSslReasons = {});

    CryptoFailure kind() const noexcept { return kind_; }
    std::uint32_t code() const noexcept { return code_; }
    const std::string& openSslReasons() const noexcept { return openSslReasons_; }

private:
    CryptoFailure kind_;
    std::uint32_t code_;
    std::string openSslReasons_;
};

// Raises a CryptoError with OpenSSL's queued reasons attached (the queue is emptied).
[[noreturn]] void raiseOpenSslError(CryptoFailure kind, std::uint32_t code, const std::string& what);

// "BadMessage", ... for logs and test output.
const char* failureName(CryptoFailure kind) noexcept;

} // namespace plombar::crypto
