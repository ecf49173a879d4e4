#pragma once

// Sequential byte streams: what the streaming operations read from and write to. A file being
// read, a Base64 decoder or a part of a message is a ByteSource; an output file, an encoder or a
// digest is a ByteSink. Nothing here seeks, so every operation works in one pass and in memory that
// does not grow with the data.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace plombar {

class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    virtual ~ByteSource() = default;

    // Reads up to buffer.size() bytes into `buffer` and returns how many were read; 0 only at the
    // end (or for an empty buffer). A failure raises the source's error.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
};

class ByteSink {
public:
    ByteSink() = default;
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;
    virtual ~ByteSink() = default;

    // Takes all of `data` or raises the sink's error.
    virtual void write(std::span<const std::uint8_t> data) = 0;

    void write(std::string_view text) {
        write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
};

// Reads bytes that someone else owns and keeps alive.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}
    std::size_t read(std::span<std::uint8_t> buffer) override;

private:
    std::string_view bytes_;
};

// Collects what is written, for small outputs and tests.
class MemorySink final : public ByteSink {
public:
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override;

    const std::string& bytes() const noexcept { return bytes_; }
    std::string take() noexcept { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Copies the rest of `source` into `sink` in blocks; returns the number of bytes copied.
std::uint64_t copyAll(ByteSource& source, ByteSink& sink);

// The rest of `source` as one string: the one way to hold a whole input in memory. More than `limit`
// bytes raise OutOfMemoryError, so that no input can make the program hold more than its caller
// expects, and so does a buffer that cannot grow within the memory the system can give (see
// memoryAvailableFor). With `expectedSize` (a FileReader's size()) the buffer is taken at once in
// that size and never moves while it is filled, unless the source gives more.
std::string readAll(ByteSource& source, std::size_t limit, std::size_t expectedSize = 0);

} // namespace plombar
