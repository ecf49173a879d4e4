#pragma once

// Where the passwords of private keys and PKCS #12 files come from: the window's dialog, the
// terminal or a file of plombar-cli, a script in the tests. Passed to whatever needs a password;
// nothing in the crypto layer holds one for the process.

#include "crypto/SecureString.h"

#include <optional>
#include <string>

namespace plombar::crypto {

// How often a wrong password may be given before the key stays locked (WrongPassword).
inline constexpr int kPasswordAttempts = 3;

// One question for a password.
struct PasswordRequest {
    enum class Purpose {
        StoreKey,   // the private key of a store entry, to sign or decrypt with
        KeyFile,    // a key file being imported
        Pkcs12File, // a PKCS #12 file being imported
    };

    std::string subject;    // StoreKey: the certificate's subject line, to tell the user whose key it is
    std::string thumbprint; // StoreKey: the store entry
    std::string keyFile;    // the file the password opens: the entry's key file (full path), or the
                            // file being imported as the caller named it
    int attempt = 1;        // 1 for the first question, up to kPasswordAttempts
    bool previousWasWrong = false;
    Purpose purpose = Purpose::StoreKey;
};

class PasswordSource {
public:
    virtual ~PasswordSource() = default;

    // The password (UTF-8), or nullopt when the user cancels the question. Called on the thread
    // that unlocks, with no lock held (a modal dialog may run inside); whatever it raises passes
    // through the unlocking unchanged.
    virtual std::optional<SecureString> password(const PasswordRequest& request) = 0;

    // How often this source may be asked for one password: a source that gives the same answer
    // every time (a password file) says 1, so that a wrong password fails at once.
    virtual int attempts() const { return kPasswordAttempts; }
};

} // namespace plombar::crypto
