#pragma once

// What the encryption and decryption operations still share with the signing they were written
// beside; goes with them.

#include <cstdint>
#include <string>

namespace plombar::crypto {

inline constexpr const char* kNoCertificateText = "Не выбран сертификат";

// The text shown when a platform message function fails: the system text for the code, " - ", the
// code in unsigned decimal ("Unknown cryptographic algorithm - 2148077570").
std::string FailureMessage(std::uint32_t code);

} // namespace plombar::crypto
