#pragma once

// Texts and errors that several flows show.

#include "crypto/CryptoError.h"
#include "platform/Errors.h"

#include <cstdint>
#include <string>

namespace plombar::operations {

inline constexpr const char* kNoCertificateText = "Не выбран сертификат";

// What a failed signing, verification or decryption shows: the system text for the code, " - ",
// the code in unsigned decimal ("Bad Data - 2148073477").
std::string failureMessage(std::uint32_t code);

// A crypto step that failed where the user is shown the system's text for its code ("System
// Error.  Code: -2146889726." CR LF "Unknown cryptographic algorithm"); the crypto layer's own
// reason stays in diagnostic() for logs and plombar-cli.
class FailedStepError : public SystemError {
public:
    explicit FailedStepError(const crypto::CryptoError& error)
        : SystemError(error.code()), diagnostic_(error.message()) {}
    const std::string& diagnostic() const noexcept { return diagnostic_; }

private:
    std::string diagnostic_;
};

} // namespace plombar::operations
