#pragma once

// The process-wide password prompt through which the certificate-context functions unlock a store
// key (CryptAcquireCertificatePrivateKey). New code passes a PasswordSource to PrivateKey instead.

#include "crypto/PasswordSource.h"
#include "crypto/SecureString.h"

#include <functional>

namespace plombar::crypto {

enum class PasswordAnswer { Provided, Cancelled };

// Asked for the password of an encrypted key. Fills `password` (UTF-8) and answers Provided, or
// answers Cancelled, which fails the key acquisition with ERROR_CANCELLED. Called on the thread
// that acquires the key, with no lock held (a modal dialog may run inside).
using PasswordPrompt = std::function<PasswordAnswer(const PasswordRequest& request, SecureString& password)>;

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

} // namespace plombar::crypto
