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

// An input/output error of the size gate and of reading a file's first line: carries a
// Windows-numbered system error code; its text follows from the code (2 "File not found", ...).
class InputOutputError : public Error {
public:
    explicit InputOutputError(std::uint32_t code);
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// A failed system call: "System Error.  Code: %d." CR LF "%s" (see systemErrorText).
class SystemError : public Error {
public:
    explicit SystemError(std::uint32_t code);
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// Errors of streams and files. "Stream read error" and "Stream write error" are the texts of a
// transfer that a stream could not complete; the classes below add the file and the system code.
class StreamError : public Error {
public:
    using Error::Error;
};

// A file that cannot be opened, created (written) or read: "Cannot open file "%s". %s", "Cannot
// create file "%s". %s", "Cannot read file "%s". %s" with the full path and the system text for the
// Windows-numbered code, which code() keeps so that a caller can add a plainer word for a code such
// as kNotAFileError.
class FileError : public StreamError {
public:
    std::uint32_t code() const noexcept { return code_; }

protected:
    FileError(const char* action, const std::string& fullPath, std::uint32_t code);

private:
    std::uint32_t code_;
};
class FileOpenError : public FileError {
public:
    FileOpenError(const std::string& fullPath, std::uint32_t code) : FileError("open", fullPath, code) {}
};
class FileCreateError : public FileError {
public:
    FileCreateError(const std::string& fullPath, std::uint32_t code) : FileError("create", fullPath, code) {}
};
class FileReadError : public FileError {
public:
    FileReadError(const std::string& fullPath, std::uint32_t code) : FileError("read", fullPath, code) {}
};

// An input whose size changed while it was read ("The size of "%s" changed while it was read",
// with the full path): what was read is not the file's content, so it is never used.
class FileChangedError : public StreamError {
public:
    explicit FileChangedError(const std::string& fullPath);
};

// Memory that cannot be had for a buffer ("Out of memory while expanding memory stream").
class OutOfMemoryError : public StreamError {
public:
    OutOfMemoryError();
};

// The text of an input/output error for a system code.
std::string inputOutputErrorText(std::uint32_t code);

// The text of an OS error for a system code: "System Error.  Code: %d." CR LF "%s" with the code in
// signed decimal, or "A call to an OS function failed" for code 0.
std::string systemErrorText(std::uint32_t code);

} // namespace plombar
