#include "crypto/LastError.h"

#include "platform/SystemErrors.h"

namespace plombar {

namespace {
thread_local std::uint32_t tLastError = 0;
}

std::uint32_t GetLastError() noexcept {
    return tLastError;
}

void SetLastError(std::uint32_t code) noexcept {
    tLastError = code;
}

std::uint32_t SetLastErrorFromErrno(int err, const char* path) noexcept {
    const std::uint32_t code = systemCodeFromErrno(err, path);
    SetLastError(code);
    return code;
}

void RaiseLastOSError() {
    throw SystemError(GetLastError());
}

} // namespace plombar
