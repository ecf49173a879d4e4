#pragma once

// The last-error channel of the CryptoAPI-shaped message functions: each of them answers
// TRUE/FALSE (or a handle/null) and leaves a Windows-numbered code for the caller to read. It lives
// here, beside those functions, and goes with them when the operations use the streaming core.

#include "platform/Errors.h"

#include <cstdint>

namespace plombar {

// The calling thread's last error code.
std::uint32_t GetLastError() noexcept;
void SetLastError(std::uint32_t code) noexcept;

// Sets the last error from errno (and the path the failing call was given, see
// systemCodeFromErrno) and returns the code.
std::uint32_t SetLastErrorFromErrno(int err, const char* path = nullptr) noexcept;

// Raises SystemError for the calling thread's last error code.
[[noreturn]] void RaiseLastOSError();

// Passes a TRUE result through and raises SystemError for FALSE.
inline bool Win32Check(bool result) {
    if (!result)
        RaiseLastOSError();
    return result;
}

} // namespace plombar
