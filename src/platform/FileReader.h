#pragma once

#include "ByteStreams.h"
#include "InputFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace plombar {

// Reads one file that a user hands in, from its start to its end, knowing before the first read
// exactly how many bytes that gives: the signed and encrypted formats write the content's length
// before the content.
//
// Only a regular file is read (see InputFile); anything else, and a file that cannot be opened,
// raises FileOpenError ("Cannot open file "%s". %s" with the full path and the system text). A
// file whose reported size says nothing of its content (an empty size, or a file of the kernel's
// own file systems such as /proc) is read whole when it is opened, up to kPreloadLimit bytes (more
// raise FileReadError with code 8, not enough memory), so that size() is exact for every file.
// A read error raises FileReadError ("Cannot read file "%s". %s"), and a file seen to change size
// while it is read raises FileChangedError: bytes beyond size(), or an end before it.
class FileReader final : public ByteSource {
public:
    static constexpr std::size_t kPreloadLimit = std::size_t{16} << 20;

    explicit FileReader(const std::string& path);

    std::size_t read(std::span<std::uint8_t> buffer) override;

    // The number of bytes the whole file gives.
    std::uint64_t size() const noexcept { return size_; }
    const std::string& fullPath() const noexcept { return fullPath_; }

private:
    InputFile file_;
    std::string fullPath_;
    std::uint64_t size_ = 0;
    bool preloaded_ = false;
    std::string bytes_; // the content of a preloaded file
    std::size_t next_ = 0;
};

// The whole file at `path`, read through a FileReader (its open, read and changed-size errors) into
// one buffer taken at the file's size: the one way to hold a whole file in memory. A file of more
// than `limit` bytes raises OutOfMemoryError before anything is read, and so does a buffer that the
// system cannot give.
std::string readFileContent(const std::string& path, std::size_t limit = SIZE_MAX);

} // namespace plombar
