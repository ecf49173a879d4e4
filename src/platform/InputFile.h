#pragma once

// Opening and reading the files a user hands in (files to sign, encrypt, decrypt or verify,
// certificate, key and password files, store entries). Only a regular file is read: a FIFO would
// block or give whatever a writer sends, a device gives endless or no bytes, and a socket none,
// and taking that for the file's content would sign or encrypt something else than the user
// meant. A file is read to its end whatever size it reports (files under /proc report 0), and a
// file whose size changes while it is read is reported, never taken as read.

#include "AvailableMemory.h"
#include "Errors.h"
#include "UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace plombar {

// The code for a name that is not a regular file: 0 for a regular file, 5 (access denied) for a
// folder, kNotAFileError for anything else (FIFO, socket, character or block device).
std::uint32_t notAFileCode(mode_t mode) noexcept;

// The code that opening `path` failed with, from `err` (errno): a name that exists but is not a
// file (opening a socket fails with ENXIO) gives its notAFileCode, anything else the usual mapping.
std::uint32_t openFailureCode(const std::string& path, int err) noexcept;

class InputFile {
public:
    // Opens `path` for reading. A name that is not a regular file is refused before it is opened,
    // and once more on the open descriptor in case it was swapped meanwhile; the open itself never
    // blocks (O_NONBLOCK, cleared afterwards) and never takes a controlling terminal. On failure
    // isOpen() is false, openError() holds the Windows-numbered code and openErrno() the errno.
    explicit InputFile(const std::string& path) noexcept;

    bool isOpen() const noexcept { return fd_.valid(); }
    std::uint32_t openError() const noexcept { return openError_; }
    int openErrno() const noexcept { return openErrno_; }
    int handle() const noexcept { return fd_.get(); }
    const struct stat& status() const noexcept { return status_; }

    // Whether the size the file reported when it was opened is the size of its content: false for
    // an empty size (files under /proc report 0 whatever they hold) and for the kernel's own file
    // systems (sysfs reports a page).
    bool sizeKnown() const noexcept { return sizeKnown_; }
    // Whether the file lies on one of the kernel's own file systems (/proc, /sys and the like),
    // whose sizes say nothing of the content even when they are not 0.
    bool onKernelFileSystem() const noexcept { return onKernelFileSystem_; }
    std::uint64_t reportedSize() const noexcept { return static_cast<std::uint64_t>(status_.st_size); }

    // Reads up to `count` bytes at the current position. Returns how many, 0 at the end, or -1: on
    // a read error (errno set) or when the file is seen to have changed size (changed() is true):
    // bytes beyond the size it reported, an end before that size, or another size at the end.
    std::int64_t read(void* buffer, std::size_t count) noexcept;
    bool changed() const noexcept { return changed_; }
    // Where a seek has put the position (for readers that seek back to the start).
    void seeked(std::int64_t position) noexcept { position_ = position; }

private:
    int open(const std::string& path) noexcept; // 0, or the errno of the failure

    UniqueFd fd_;
    std::uint32_t openError_ = 0;
    int openErrno_ = 0;
    struct stat status_ {};
    bool sizeKnown_ = false;
    bool onKernelFileSystem_ = false;
    bool changed_ = false;
    std::int64_t position_ = 0;
};

enum class ReadFileResult { Ok, TooLarge, Failed, Changed };

// Reads `file` from its current position to its end into `bytes` (a std::string or a secure
// string: anything with size, resize and data), replacing what it held. More than `limit` bytes
// give TooLarge without reading them all; Failed leaves errno set. A buffer that cannot grow within
// the memory the system can give raises OutOfMemoryError.
template <typename Bytes> ReadFileResult readWholeFile(InputFile& file, Bytes& bytes, std::uint64_t limit);

template <typename Bytes> ReadFileResult readWholeFile(InputFile& file, Bytes& bytes, std::uint64_t limit) {
    constexpr std::uint64_t kFirstBlock = 4096;
    if (file.sizeKnown() && file.reportedSize() > limit)
        return ReadFileResult::TooLarge;
    // One byte more than the reported size, so that the end is seen without growing the buffer.
    std::uint64_t room = file.sizeKnown() ? file.reportedSize() + 1 : kFirstBlock;
    room = std::min<std::uint64_t>(room, limit + 1);
    if (!memoryAvailableFor(room))
        throw OutOfMemoryError();
    bytes.resize(static_cast<std::size_t>(room));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > limit) {
                bytes.resize(0);
                return ReadFileResult::TooLarge;
            }
            const std::uint64_t grown = std::min<std::uint64_t>(std::uint64_t{done} * 2, limit + 1);
            if (!memoryAvailableFor(grown - done))
                throw OutOfMemoryError();
            bytes.resize(static_cast<std::size_t>(grown));
        }
        const std::int64_t n = file.read(bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            const int err = errno;
            bytes.resize(0);
            errno = err;
            return file.changed() ? ReadFileResult::Changed : ReadFileResult::Failed;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    if (done > limit) {
        bytes.resize(0);
        return ReadFileResult::TooLarge;
    }
    return ReadFileResult::Ok;
}

} // namespace plombar
