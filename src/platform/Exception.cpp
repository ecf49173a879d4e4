#include "Exception.h"

#include "SysError.h"

#include <cstdio>

namespace plombar {

std::string InOutErrorText(std::uint32_t code) {
    switch (code) {
    case 2:
        return "File not found";
    case 3:
        return "Invalid filename";
    case 4:
        return "Too many open files";
    case 5:
        return "File access denied";
    default:
        return "I/O error " + std::to_string(code);
    }
}

std::string OSErrorText(std::uint32_t code) {
    if (code == 0)
        return "A call to an OS function failed";
    // The code prints signed: HRESULTs from 0x80000000 upward come out negative.
    return "System Error.  Code: " + std::to_string(static_cast<std::int32_t>(code)) + ".\r\n" +
           SysErrorMessage(code);
}

EInOutError::EInOutError(std::uint32_t code) : Exception(InOutErrorText(code)), ErrorCode(code) {}

EOSError::EOSError(std::uint32_t code) : Exception(OSErrorText(code)), ErrorCode(code) {}

EFileChanged::EFileChanged(const std::string& fullPath)
    : EStreamError("The size of \"" + fullPath + "\" changed while it was read") {}

EOutOfMemoryStream::EOutOfMemoryStream() : EStreamError("Out of memory while expanding memory stream") {}

EIntfCastError::EIntfCastError() : Exception("Interface not supported") {}

void RaiseLastOSError() {
    throw EOSError(GetLastError());
}

} // namespace plombar
