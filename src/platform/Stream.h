#pragma once

// A seekable byte stream: what the archive library reads items from and writes archives to. The
// streaming operations use the sequential ByteSource and ByteSink (ByteStreams.h) instead.

#include "InputFile.h"
#include "UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace plombar {

// Where a seek counts from; the numbers are the ones the archive library passes.
enum class SeekFrom : std::uint32_t { Start = 0, Current = 1, End = 2 };

class Stream {
public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual ~Stream() = default;

    // Reads up to buffer.size() bytes at the position and returns how many; 0 only at or past the
    // end (or for an empty buffer). A failure raises the stream's error.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
    // Writes all of `data` at the position or raises the stream's error. Writing past the end
    // extends the stream; a gap left by a seek past the end reads as zeros.
    virtual void write(std::span<const std::uint8_t> data) = 0;
    // Moves the position by `offset` from `from` and returns the new position. A position before the
    // start raises StreamError ("Stream seek error") and leaves the position as it was.
    virtual std::uint64_t seek(std::int64_t offset, SeekFrom from) = 0;
    virtual std::uint64_t size() = 0;
    // Cuts or extends (with zeros) to `newSize`; a position beyond the new end moves to it.
    virtual void setSize(std::uint64_t newSize) = 0;

    std::uint64_t position() { return seek(0, SeekFrom::Current); }
    void write(std::string_view bytes) {
        write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }
};

// A growable buffer. A new one is empty at position 0. A buffer that cannot grow within the memory
// the system can give (see memoryAvailableFor) raises OutOfMemoryError and stays as it was.
class MemoryStream : public Stream {
public:
    MemoryStream() = default;
    // Holds `bytes`, at position 0.
    explicit MemoryStream(std::string_view bytes);
    ~MemoryStream() override;

    std::size_t read(std::span<std::uint8_t> buffer) override;
    using Stream::write;
    void write(std::span<const std::uint8_t> data) override;
    std::uint64_t seek(std::int64_t offset, SeekFrom from) override;
    std::uint64_t size() override { return size_; }
    void setSize(std::uint64_t newSize) override;

    // The whole content, whatever the position.
    std::string_view bytes() const noexcept {
        return {reinterpret_cast<const char*>(memory_), static_cast<std::size_t>(size_)};
    }
    void clear() noexcept;

private:
    void reserve(std::uint64_t needed, bool exact);

    std::uint8_t* memory_ = nullptr; // malloc'd, freed by the destructor
    std::uint64_t size_ = 0;
    std::uint64_t capacity_ = 0;
    std::uint64_t position_ = 0;
};

// A seekable stream over one file: either an input file opened by name, or an output file whose
// descriptor someone hands over (AtomicFile's data before it gets its name).
//
// Opened for reading, the name must be a regular file (see InputFile): "Cannot open file "%s". %s"
// otherwise, with the full path and the system text. Reading raises "Cannot read file "%s". %s" on
// a read error and FileChangedError once the file is seen to change size; writing is refused
// ("Stream write error"). Over a handed-over descriptor, every failure raises "Cannot create file
// "%s". %s" for the name given. No share modes: other programs may go on reading and writing the
// file, which Linux does not lock against them.
class FileStream final : public Stream {
public:
    static std::unique_ptr<FileStream> openForReading(const std::string& path);
    // Adopts `fd`, open for reading and writing; `fullPath` names the file in error texts.
    FileStream(UniqueFd fd, std::string fullPath) noexcept;

    std::size_t read(std::span<std::uint8_t> buffer) override;
    using Stream::write;
    void write(std::span<const std::uint8_t> data) override;
    std::uint64_t seek(std::int64_t offset, SeekFrom from) override;
    std::uint64_t size() override;
    void setSize(std::uint64_t newSize) override;

    int handle() const noexcept { return input_ ? input_->handle() : fd_.get(); }
    const std::string& fullPath() const noexcept { return fullPath_; }

private:
    FileStream(std::unique_ptr<InputFile> input, std::string fullPath) noexcept;
    [[noreturn]] void fail(int err) const;

    std::unique_ptr<InputFile> input_; // a file opened by name for reading
    UniqueFd fd_;                      // else a handed-over output file
    std::string fullPath_;
};

} // namespace plombar
