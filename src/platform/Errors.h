#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace plombar {

// The general error: carries one message text. Every error the program raises derives from it,
// so the application's error report can show any of them.
class Error : public std::exception {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Input/output error of the text-file and untyped-file routines: carries a Windows-numbered
// system error code; its text follows from the code (2 "File not found", ...).
class InputOutputError : public Error {
public:
    explicit InputOutputError(std::uint32_t code);
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// Raised by the OS-error check when a checked call returns FALSE.
class SystemError : public Error {
public:
    explicit SystemError(std::uint32_t code);
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// Stream errors: file open/create failures and a memory stream that cannot grow.
class StreamError : public Error {
public:
    using Error::Error;
};
// A file that cannot be opened or created; code is the system code its text was made from
// (0 when none), so that a caller can add a plainer word for a code such as kNotAFileError.
class FileOpenError : public StreamError {
public:
    explicit FileOpenError(std::string message, std::uint32_t code = 0)
        : StreamError(std::move(message)), code_(code) {}
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};
class FileCreateError : public StreamError {
public:
    explicit FileCreateError(std::string message, std::uint32_t code = 0)
        : StreamError(std::move(message)), code_(code) {}
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};
// An input whose size changed while it was read ("The size of "%s" changed while it was read",
// with the full path): what was read is not the file's content, so it is never used.
class FileChangedError : public StreamError {
public:
    explicit FileChangedError(const std::string& fullPath);
};
class OutOfMemoryError : public StreamError {
public:
    OutOfMemoryError();
};

// A reference that does not offer the interface asked for ("Interface not supported").
class InterfaceNotSupportedError : public Error {
public:
    InterfaceNotSupportedError();
};

// The text of an input/output error for a system code.
std::string inputOutputErrorText(std::uint32_t code);

// The text of an OS error for a system code: "System Error.  Code: %d." CR LF "%s" with the code in
// signed decimal, or "A call to an OS function failed" for code 0.
std::string systemErrorText(std::uint32_t code);

// Raises SystemError for the calling thread's last system error code.
[[noreturn]] void RaiseLastOSError();

// The OS-error check: passes a TRUE result through, raises SystemError for FALSE.
inline bool Win32Check(bool result) {
    if (!result)
        RaiseLastOSError();
    return result;
}

} // namespace plombar
