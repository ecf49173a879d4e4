#include "Stream.h"

#include "AvailableMemory.h"
#include "Errors.h"
#include "Paths.h"
#include "SystemErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar {

namespace {

[[noreturn]] void failSeek() {
    throw StreamError("Stream seek error");
}

// The position `offset` away from `base`, refused before the start and beyond what off_t holds.
std::uint64_t seekTarget(std::uint64_t base, std::int64_t offset) {
    constexpr auto kMax = static_cast<std::uint64_t>(INT64_MAX);
    if (base > kMax)
        failSeek();
    const auto signedBase = static_cast<std::int64_t>(base);
    if (offset < 0 ? signedBase < -offset : offset > INT64_MAX - signedBase)
        failSeek();
    return static_cast<std::uint64_t>(signedBase + offset);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// MemoryStream

MemoryStream::MemoryStream(std::string_view bytes) {
    write(bytes);
    position_ = 0;
}

MemoryStream::~MemoryStream() {
    std::free(memory_);
}

void MemoryStream::reserve(std::uint64_t needed, bool exact) {
    if (needed <= capacity_)
        return;
    if (needed > SIZE_MAX / 2)
        throw OutOfMemoryError();
    std::uint64_t wanted = needed;
    if (!exact) // geometric growth keeps many small writes linear
        wanted = std::max(needed, capacity_ + capacity_ / 2);
    wanted = (wanted + 0xFFFF) & ~std::uint64_t{0xFFFF};
    if (wanted - capacity_ > kUncheckedMemoryGrowth) {
        const std::uint64_t room = availableMemory();
        if (wanted - capacity_ > room) {
            if (needed - capacity_ > room)
                throw OutOfMemoryError();
            wanted = needed;
        }
    }
    void* grown = std::realloc(memory_, static_cast<std::size_t>(wanted));
    if (grown == nullptr)
        throw OutOfMemoryError();
    memory_ = static_cast<std::uint8_t*>(grown);
    capacity_ = wanted;
}

std::size_t MemoryStream::read(std::span<std::uint8_t> buffer) {
    if (position_ >= size_)
        return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size_ - position_));
    if (n > 0)
        std::memcpy(buffer.data(), memory_ + position_, n);
    position_ += n;
    return n;
}

void MemoryStream::write(std::span<const std::uint8_t> data) {
    if (data.empty())
        return;
    if (data.size() > SIZE_MAX / 2 - position_)
        throw OutOfMemoryError();
    const std::uint64_t end = position_ + data.size();
    reserve(end, false);
    if (position_ > size_) // a gap after a seek past the end reads as zeros
        std::memset(memory_ + size_, 0, static_cast<std::size_t>(position_ - size_));
    std::memcpy(memory_ + position_, data.data(), data.size());
    size_ = std::max(size_, end);
    position_ = end;
}

std::uint64_t MemoryStream::seek(std::int64_t offset, SeekFrom from) {
    const std::uint64_t base = from == SeekFrom::Start ? 0 : from == SeekFrom::Current ? position_ : size_;
    position_ = seekTarget(base, offset);
    return position_;
}

void MemoryStream::setSize(std::uint64_t newSize) {
    reserve(newSize, true);
    if (newSize > size_)
        std::memset(memory_ + size_, 0, static_cast<std::size_t>(newSize - size_));
    size_ = newSize;
    position_ = std::min(position_, newSize);
}

void MemoryStream::clear() noexcept {
    std::free(memory_);
    memory_ = nullptr;
    size_ = capacity_ = position_ = 0;
}

// ---------------------------------------------------------------------------------------------
// FileStream

std::unique_ptr<FileStream> FileStream::openForReading(const std::string& path) {
    auto input = std::make_unique<InputFile>(path);
    if (!input->isOpen())
        throw FileOpenError(absolutePath(path),
                            path.empty() ? winerr::ERROR_PATH_NOT_FOUND : input->openError());
    return std::unique_ptr<FileStream>(new FileStream(std::move(input), absolutePath(path)));
}

FileStream::FileStream(std::unique_ptr<InputFile> input, std::string fullPath) noexcept
    : input_(std::move(input)), fullPath_(std::move(fullPath)) {}

FileStream::FileStream(UniqueFd fd, std::string fullPath) noexcept
    : fd_(std::move(fd)), fullPath_(std::move(fullPath)) {}

void FileStream::fail(int err) const {
    const std::uint32_t code = err == 0 ? winerr::ERROR_WRITE_FAULT : systemCodeFromErrno(err);
    if (input_)
        throw FileReadError(fullPath_, code);
    throw FileCreateError(fullPath_, code);
}

std::size_t FileStream::read(std::span<std::uint8_t> buffer) {
    auto* p = buffer.data();
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t chunk = std::min<std::size_t>(buffer.size() - done, std::size_t{1} << 30);
        ssize_t n = 0;
        if (input_) {
            n = input_->read(p + done, chunk);
            if (n < 0 && input_->changed())
                throw FileChangedError(fullPath_);
        } else {
            n = ::read(fd_.get(), p + done, chunk);
            if (n < 0 && errno == EINTR)
                continue;
        }
        if (n < 0)
            fail(errno);
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void FileStream::write(std::span<const std::uint8_t> data) {
    if (input_)
        throw StreamError("Stream write error");
    while (!data.empty()) {
        const std::size_t chunk = std::min<std::size_t>(data.size(), std::size_t{1} << 30);
        const ssize_t n = ::write(fd_.get(), data.data(), chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(n < 0 ? errno : 0);
        data = data.subspan(static_cast<std::size_t>(n));
    }
}

std::uint64_t FileStream::seek(std::int64_t offset, SeekFrom from) {
    int whence = SEEK_SET;
    if (from == SeekFrom::Current)
        whence = SEEK_CUR;
    else if (from == SeekFrom::End)
        whence = SEEK_END;
    const off_t result = ::lseek(handle(), static_cast<off_t>(offset), whence);
    if (result < 0) {
        if (errno == EINVAL)
            failSeek();
        fail(errno);
    }
    if (input_)
        input_->seeked(result);
    return static_cast<std::uint64_t>(result);
}

std::uint64_t FileStream::size() {
    struct stat st {};
    if (::fstat(handle(), &st) != 0)
        fail(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

void FileStream::setSize(std::uint64_t newSize) {
    if (input_)
        throw StreamError("Stream write error");
    if (newSize > static_cast<std::uint64_t>(INT64_MAX) ||
        ::ftruncate(handle(), static_cast<off_t>(newSize)) != 0)
        fail(newSize > static_cast<std::uint64_t>(INT64_MAX) ? EFBIG : errno);
    if (position() > newSize)
        seek(static_cast<std::int64_t>(newSize), SeekFrom::Start);
}

} // namespace plombar
