#pragma once

// Private keys: the password prompt through which an encrypted key of the store is unlocked, and
// the decoding/encoding of key files that the store and the command-line tool share.

#include "crypto/OpenSsl.h"
#include "crypto/SecureString.h"

#include <functional>
#include <string>
#include <string_view>

namespace plombar::crypto {

// ---------------------------------------------------------------------------------------------
// Password prompt

enum class PasswordAnswer { Provided, Cancelled };

struct PasswordRequest {
    std::string subject;    // the certificate's subject line, to tell the user whose key it is
    std::string thumbprint; // the store entry
    std::string keyFile;    // full path of the key file
    int attempt = 1;        // 1 for the first question, up to kPasswordAttempts
    bool previousWasWrong = false;
};

// Asked for the password of an encrypted key. Fills `password` (UTF-8) and answers Provided, or
// answers Cancelled, which fails the key acquisition with ERROR_CANCELLED. Called on the thread
// that acquires the key, with no lock held (a modal dialog may run inside).
using PasswordPrompt = std::function<PasswordAnswer(const PasswordRequest& request, SecureString& password)>;

// How often a wrong password may be given before the acquisition fails with ERROR_INVALID_PASSWORD.
inline constexpr int kPasswordAttempts = 3;

// Installs the process-wide prompt (the window's password dialog, the terminal prompt of the
// command-line tool) and returns the previous one. Without a prompt, encrypted keys cannot be used.
PasswordPrompt SetPasswordPrompt(PasswordPrompt prompt);

// Installs a prompt for one scope (tests, one command) and restores the previous one afterwards.
class ScopedPasswordPrompt {
public:
    explicit ScopedPasswordPrompt(PasswordPrompt prompt) : previous_(SetPasswordPrompt(std::move(prompt))) {}
    ScopedPasswordPrompt(const ScopedPasswordPrompt&) = delete;
    ScopedPasswordPrompt& operator=(const ScopedPasswordPrompt&) = delete;
    ~ScopedPasswordPrompt() { SetPasswordPrompt(std::move(previous_)); }

private:
    PasswordPrompt previous_;
};

// ---------------------------------------------------------------------------------------------
// Key files

enum class KeyFileKind {
    NotAKey,   // neither PEM nor DER of a private key
    Plain,     // unencrypted PKCS #8 (PEM or DER) or a traditional PEM key
    Encrypted, // encrypted PKCS #8 (PEM "ENCRYPTED PRIVATE KEY" or DER)
};

// What a key file holds, without decrypting anything.
KeyFileKind ClassifyKeyFile(std::string_view bytes);

enum class KeyDecodeResult { Ok, NotAKey, PasswordNeeded, WrongPassword, Unusable };

// Decodes a key file (PEM or DER, PKCS #8 encrypted or not, or a traditional PEM key). `password`
// is used only for an encrypted key; null there gives PasswordNeeded. Unusable: the key decodes
// but its algorithm cannot be used (for a GOST key: the engine is missing). `reason` receives
// OpenSSL's text on failure.
KeyDecodeResult DecodePrivateKey(std::string_view bytes, const SecureString* password, EvpPkeyPtr& key,
                                 std::string* reason = nullptr);

// PKCS #8 PEM text of a key: unencrypted when `password` is null or empty, else PBES2 with
// AES-256-CBC and PBKDF2-HMAC-SHA256 (readable by every OpenSSL-based tool).
SecureString EncodePrivateKeyPem(EVP_PKEY* key, const SecureString* password);

} // namespace plombar::crypto
