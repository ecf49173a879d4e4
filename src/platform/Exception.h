#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace plombar {

// The general error: carries one message text. Every error the program raises derives from it,
// so the application's error report can show any of them.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
};

// Input/output error of the text-file and untyped-file routines: carries a Windows-numbered
// system error code; its text follows from the code (2 "File not found", ...).
class EInOutError : public Exception {
public:
    explicit EInOutError(std::uint32_t code);
    std::uint32_t ErrorCode;
};

// Raised by the OS-error check when a checked call returns FALSE.
class EOSError : public Exception {
public:
    explicit EOSError(std::uint32_t code);
    std::uint32_t ErrorCode;
};

// Stream errors: file open/create failures and a memory stream that cannot grow.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
// A file that cannot be opened or created; ErrorCode is the system code its text was made from
// (0 when none), so that a caller can add a plainer word for a code such as kNotAFileError.
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(std::string message, std::uint32_t code = 0)
        : EStreamError(std::move(message)), ErrorCode(code) {}
    std::uint32_t ErrorCode;
};
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(std::string message, std::uint32_t code = 0)
        : EStreamError(std::move(message)), ErrorCode(code) {}
    std::uint32_t ErrorCode;
};
// An input whose size changed while it was read ("The size of "%s" changed while it was read",
// with the full path): what was read is not the file's content, so it is never used.
class EFileChanged : public EStreamError {
public:
    explicit EFileChanged(const std::string& fullPath);
};
class EOutOfMemoryStream : public EStreamError {
public:
    EOutOfMemoryStream();
};

// A reference that does not offer the interface asked for ("Interface not supported").
class EIntfCastError : public Exception {
public:
    EIntfCastError();
};

// The text of an input/output error for a system code.
std::string InOutErrorText(std::uint32_t code);

// The text of an OS error for a system code: "System Error.  Code: %d." CR LF "%s" with the code in
// signed decimal, or "A call to an OS function failed" for code 0.
std::string OSErrorText(std::uint32_t code);

// Raises EOSError for the calling thread's last system error code.
[[noreturn]] void RaiseLastOSError();

// The OS-error check: passes a TRUE result through, raises EOSError for FALSE.
inline bool Win32Check(bool result) {
    if (!result)
        RaiseLastOSError();
    return result;
}

} // namespace plombar
