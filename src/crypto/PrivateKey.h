#pragma once

// Private keys: a store entry's key unlocked through a password source, and the decoding and
// encoding of key files that the store and its imports share.

#include "crypto/Certificate.h"
#include "crypto/OpenSsl.h"
#include "crypto/PasswordSource.h"
#include "crypto/SecureString.h"

#include <string>
#include <string_view>

namespace plombar::crypto {

// A private key in usable form, with the certificate it belongs to. Move-only; the key is freed
// when the value goes, and OpenSSL's wiping allocator (GostRuntime: WipeOpenSslMemoryOnFree) clears
// its material as it is freed.
class PrivateKey {
public:
    // Unlocks the key in `keyFile` (a store entry's key file: PKCS #8 PEM or DER, encrypted or
    // not, or a traditional PEM key) for `certificate`. An encrypted key is asked for through
    // `passwords`, at most kPasswordAttempts times (fewer when the source says so). Raises
    // CryptoError:
    //   NoKey (CRYPT_E_NO_KEY_PROPERTY)        there is no key file;
    //   KeyNotPrivate (NTE_PERM)               the key file may be read by others (as ssh refuses it);
    //   BadKey (NTE_BAD_KEY, or the system code of a failed read)  the name is no regular file, or
    //                                          the file is too large, changes while read, cannot
    //                                          be read, holds no key or a key of no known algorithm;
    //   EngineMissing (NTE_PROVIDER_DLL_FAIL)  the GOST engine is not usable;
    //   Cancelled (ERROR_CANCELLED)            the password question was cancelled;
    //   WrongPassword (ERROR_INVALID_PASSWORD) the password stayed wrong;
    //   KeyMismatch (NTE_BAD_KEY)              the key does not belong to the certificate.
    // Whatever `passwords` raises passes through.
    static PrivateKey unlock(const std::string& keyFile, const Certificate& certificate,
                             PasswordSource& passwords);

    PrivateKey(PrivateKey&&) noexcept = default;
    PrivateKey& operator=(PrivateKey&&) noexcept = default;
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;

    // For OpenSSL calls: borrowed, valid as long as this value lives.
    EVP_PKEY* get() const noexcept { return key_.get(); }
    const Certificate& certificate() const noexcept { return certificate_; }

private:
    PrivateKey(EvpPkeyPtr key, Certificate certificate)
        : key_(std::move(key)), certificate_(std::move(certificate)) {}

    EvpPkeyPtr key_;
    Certificate certificate_;
};

// ---------------------------------------------------------------------------------------------
// Key files

enum class KeyFileKind {
    NotAKey,   // neither PEM nor DER of a private key
    Plain,     // unencrypted PKCS #8 (PEM or DER) or a traditional PEM key
    Encrypted, // encrypted PKCS #8 (PEM "ENCRYPTED PRIVATE KEY" or DER)
};

// What a key file holds, without decrypting anything.
KeyFileKind classifyKeyFile(std::string_view bytes);

enum class KeyDecodeResult { Ok, NotAKey, PasswordNeeded, WrongPassword, Unusable };

// Decodes a key file (PEM or DER, PKCS #8 encrypted or not, or a traditional PEM key). `password`
// is used only for an encrypted key; null there gives PasswordNeeded. Unusable: the key decodes
// but its algorithm cannot be used (for a GOST key: the engine is missing). `reason` receives
// OpenSSL's text on failure.
KeyDecodeResult decodePrivateKey(std::string_view bytes, const SecureString* password, EvpPkeyPtr& key,
                                 std::string* reason = nullptr);

// PKCS #8 PEM text of a key: unencrypted when `password` is null or empty, else PBES2 with
// AES-256-CBC and PBKDF2-HMAC-SHA256 (readable by every OpenSSL-based tool).
SecureString encodePrivateKeyPem(EVP_PKEY* key, const SecureString* password);

} // namespace plombar::crypto
