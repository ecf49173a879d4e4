#include "Errors.h"

#include "SystemErrors.h"

namespace plombar {

std::string inputOutputErrorText(std::uint32_t code) {
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

std::string systemErrorText(std::uint32_t code) {
    if (code == 0)
        return "A call to an OS function failed";
    // The code prints signed: HRESULTs from 0x80000000 upward come out negative.
    return "System Error.  Code: " + std::to_string(static_cast<std::int32_t>(code)) + ".\r\n" +
           systemMessage(code);
}

InputOutputError::InputOutputError(std::uint32_t code) : Error(inputOutputErrorText(code)), code_(code) {}

SystemError::SystemError(std::uint32_t code) : Error(systemErrorText(code)), code_(code) {}

FileError::FileError(const char* action, const std::string& fullPath, std::uint32_t code)
    : StreamError(std::string("Cannot ") + action + " file \"" + fullPath + "\". " + systemMessage(code)),
      code_(code) {}

FileChangedError::FileChangedError(const std::string& fullPath)
    : StreamError("The size of \"" + fullPath + "\" changed while it was read") {}

OutOfMemoryError::OutOfMemoryError() : StreamError("Out of memory while expanding memory stream") {}

} // namespace plombar
