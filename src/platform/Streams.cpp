#include "Streams.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "Paths.h"
#include "SystemErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar {

// ---------------------------------------------------------------------------------------------
// TStream

std::int64_t TStream::GetSize() {
    const std::int64_t position = Seek(0, SeekOrigin::soCurrent);
    const std::int64_t size = Seek(0, SeekOrigin::soEnd);
    Seek(position, SeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw StreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw StreamError("Stream write error");
}

// ---------------------------------------------------------------------------------------------
// Available memory

namespace {

std::uint64_t readMeminfoKiB(const char* key) {
    std::ifstream in("/proc/meminfo");
    std::string name;
    std::uint64_t value = 0;
    std::string unit;
    while (in >> name >> value) {
        std::getline(in, unit);
        if (name == key)
            return value;
    }
    return 0;
}

std::uint64_t processVirtualSize() {
    std::ifstream in("/proc/self/statm");
    std::uint64_t pages = 0;
    in >> pages;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// A control-group file holding one number ("max" for none); nullopt when absent or unreadable.
std::optional<std::uint64_t> readCgroupNumber(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text))
        return std::nullopt;
    if (text == "max")
        return UINT64_MAX;
    char* end = nullptr;
    const std::uint64_t value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str())
        return std::nullopt;
    return value;
}

// The smallest room (limit less usage) over the group at `path` and every group above it: a
// parent's limit binds its children too.
std::uint64_t roomAlong(const std::string& base, std::string path, const char* limitName,
                        const char* usageName) {
    // Inside a cgroup namespace the mount shows the process's own group as its root.
    if (::access((base + path).c_str(), F_OK) != 0)
        path = "/";
    // v1 writes "no limit" as the largest page-aligned counter (about 2^63).
    constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;
    std::uint64_t room = UINT64_MAX;
    for (;;) {
        const std::string folder = base + (path == "/" ? std::string() : path);
        const auto limit = readCgroupNumber(folder + "/" + limitName);
        if (limit && *limit < kNoLimit) {
            const std::uint64_t usage = readCgroupNumber(folder + "/" + usageName).value_or(0);
            room = std::min(room, *limit > usage ? *limit - usage : 0);
        }
        if (path == "/" || path.empty())
            return room;
        path.resize(path.rfind('/'));
        if (path.empty())
            path = "/";
    }
}

} // namespace

std::uint64_t CgroupMemoryRoom(const std::string& selfCgroup, const std::string& root) {
    std::istringstream lines(selfCgroup);
    std::string line;
    std::optional<std::string> unified;
    std::optional<std::string> memoryV1;
    while (std::getline(lines, line)) {
        // "hierarchy-id:controller,list:path"; the unified hierarchy has id 0 and no controllers.
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers == ",,")
            unified = path;
        else if (controllers.find(",memory,") != std::string::npos)
            memoryV1 = path;
    }
    std::uint64_t room = UINT64_MAX;
    if (memoryV1)
        room = std::min(
            room, roomAlong(root + "/memory", *memoryV1, "memory.limit_in_bytes", "memory.usage_in_bytes"));
    if (unified)
        room = std::min(room, roomAlong(root, *unified, "memory.max", "memory.current"));
    return room;
}

namespace {

// Room left under the memory limit of the process's control group (v2 memory.max, v1
// memory.limit_in_bytes), if it lives in a limited one.
std::uint64_t cgroupRoom() {
    std::ifstream self("/proc/self/cgroup");
    std::stringstream text;
    text << self.rdbuf();
    return CgroupMemoryRoom(text.str(), "/sys/fs/cgroup");
}

} // namespace

std::uint64_t AvailableMemory() {
    std::uint64_t available = (readMeminfoKiB("MemAvailable:") + readMeminfoKiB("SwapFree:")) * 1024;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = processVirtualSize();
        available = std::min<std::uint64_t>(available, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
    }
    return std::min(available, cgroupRoom());
}

// ---------------------------------------------------------------------------------------------
// TMemoryStream

namespace {
// Growth below this step is not checked against the system's memory (reading /proc costs more
// than the allocation).
constexpr std::int64_t kUncheckedGrowth = std::int64_t{64} << 20;
} // namespace

bool MemoryAvailableFor(std::uint64_t bytes) {
    return bytes <= static_cast<std::uint64_t>(kUncheckedGrowth) || bytes <= AvailableMemory();
}

TMemoryStream::~TMemoryStream() {
    std::free(memory_);
}

void TMemoryStream::ensureCapacity(std::int64_t needed, bool exact) {
    if (needed <= capacity_)
        return;
    if (needed < 0 || static_cast<std::uint64_t>(needed) > SIZE_MAX / 2)
        throw OutOfMemoryError();
    std::int64_t wanted = needed;
    if (!exact) // geometric growth keeps many small writes linear
        wanted = std::max(needed, capacity_ + capacity_ / 2);
    wanted = (wanted + 0xFFFF) & ~std::int64_t{0xFFFF};
    if (wanted - capacity_ > kUncheckedGrowth) {
        const auto room = static_cast<std::int64_t>(std::min<std::uint64_t>(AvailableMemory(), INT64_MAX));
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

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    if (position_ < 0 || count <= 0 || position_ >= size_)
        return 0;
    const std::int64_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, memory_ + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (position_ < 0 || count <= 0)
        return 0;
    const std::int64_t end = position_ + count;
    ensureCapacity(end, false);
    if (position_ > size_) // a gap after a seek past the end reads as zeros
        std::memset(memory_ + size_, 0, static_cast<std::size_t>(position_ - size_));
    std::memcpy(memory_ + position_, buffer, static_cast<std::size_t>(count));
    if (end > size_)
        size_ = end;
    position_ = end;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
    switch (origin) {
    case SeekOrigin::soBeginning:
        position_ = offset;
        break;
    case SeekOrigin::soCurrent:
        position_ += offset;
        break;
    case SeekOrigin::soEnd:
        position_ = size_ + offset;
        break;
    }
    return position_;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
    if (newSize < 0)
        throw OutOfMemoryError();
    const std::int64_t oldPosition = position_;
    ensureCapacity(newSize, true);
    if (newSize > size_)
        std::memset(memory_ + size_, 0, static_cast<std::size_t>(newSize - size_));
    size_ = newSize;
    if (oldPosition > newSize)
        position_ = newSize;
}

void TMemoryStream::Clear() {
    std::free(memory_);
    memory_ = nullptr;
    size_ = capacity_ = position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    // Others may read the file meanwhile; Linux has no share modes to deny them writing.
    TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(file);
}

void TMemoryStream::LoadFromStream(TStream& stream) {
    const std::int64_t start = stream.GetPosition();
    const std::int64_t reported = std::max<std::int64_t>(stream.GetSize() - start, 0);
    ensureCapacity(reported, true);
    std::int64_t done = 0;
    SetLastError(0);
    for (;;) {
        std::int64_t n = 0;
        if (done < capacity_) {
            n = stream.Read(memory_ + done, capacity_ - done);
        } else {
            // Full: more is asked for through a small buffer, so that a stream that has ended
            // (the usual case) costs no growth.
            std::uint8_t more[4096];
            n = stream.Read(more, sizeof more);
            if (n > 0) {
                ensureCapacity(done + n, false);
                std::memcpy(memory_ + done, more, static_cast<std::size_t>(n));
            }
        }
        if (n <= 0)
            break;
        done += n;
    }
    if (GetLastError() != 0)
        throw StreamError("Stream read error");
    size_ = done;
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    SaveFileAtomically(fileName, memory_, static_cast<std::size_t>(size_));
}

// ---------------------------------------------------------------------------------------------
// TFileStream

namespace {

[[noreturn]] void failOpen(const std::string& fileName, std::uint32_t code, bool create) {
    SetLastError(code);
    const std::string text = "\"" + absolutePath(fileName) + "\". " + systemMessage(code);
    if (create)
        throw FileCreateError("Cannot create file " + text, code);
    throw FileOpenError("Cannot open file " + text, code);
}

} // namespace

TFileStream::TFileStream(const std::string& fileName, std::uint32_t mode) : fileName_(fileName) {
    const bool create = (mode & 0xFF00u) == fmCreate;
    if (fileName.empty())
        failOpen(fileName, winerr::ERROR_PATH_NOT_FOUND, create);
    // Share modes (mode & 0xF0) have no counterpart here: files are not locked against others.
    if (!create && (mode & 0x3u) == fmOpenRead) {
        input_ = std::make_unique<InputFile>(fileName);
        if (!input_->isOpen())
            failOpen(fileName, input_->openError(), false);
        return;
    }
    int flags = O_CLOEXEC;
    if (create) {
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    } else {
        flags |= (mode & 0x3u) == fmOpenWrite ? O_WRONLY : O_RDWR;
    }
    fd_ = UniqueFd(::open(fileName.c_str(), flags, 0666));
    if (!fd_)
        failOpen(fileName, systemCodeFromErrno(errno, fileName.c_str()), create);
    struct stat st {};
    if (::fstat(fd_.get(), &st) == 0 && S_ISDIR(st.st_mode))
        failOpen(fileName, winerr::ERROR_ACCESS_DENIED, create);
}

TFileStream::TFileStream(UniqueFd fd, std::string fileName)
    : fd_(std::move(fd)), fileName_(std::move(fileName)) {}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::int64_t done = 0;
    SetLastError(0);
    while (done < count) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(count - done, std::int64_t{1} << 30));
        ssize_t n = 0;
        if (input_) {
            n = input_->read(p + done, chunk);
            if (n < 0 && input_->changed())
                throw FileChangedError(absolutePath(fileName_));
        } else {
            n = ::read(fd_.get(), p + done, chunk);
            if (n < 0 && errno == EINTR)
                continue;
        }
        if (n < 0) {
            SetLastErrorFromErrno(errno);
            break;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    std::int64_t done = 0;
    SetLastError(0);
    while (done < count) {
        const auto chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(count - done, std::int64_t{1} << 30));
        const ssize_t n = ::write(fd_.get(), p + done, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastErrorFromErrno(errno);
            break;
        }
        if (n == 0) {
            SetLastError(winerr::ERROR_WRITE_FAULT);
            break;
        }
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    int whence = SEEK_SET;
    if (origin == SeekOrigin::soCurrent)
        whence = SEEK_CUR;
    else if (origin == SeekOrigin::soEnd)
        whence = SEEK_END;
    const off_t result = ::lseek(Handle(), static_cast<off_t>(offset), whence);
    if (result < 0) {
        SetLastErrorFromErrno(errno);
        return -1;
    }
    if (input_)
        input_->seeked(result);
    return result;
}

std::int64_t TFileStream::GetSize() {
    struct stat st {};
    if (::fstat(Handle(), &st) != 0) {
        SetLastErrorFromErrno(errno);
        return -1;
    }
    return st.st_size;
}

void TFileStream::SetSize(std::int64_t newSize) {
    if (::ftruncate(Handle(), static_cast<off_t>(newSize)) != 0) {
        SetLastErrorFromErrno(errno);
        throw StreamError("Stream write error");
    }
    if (GetPosition() > newSize)
        Seek(newSize, SeekOrigin::soBeginning);
}

} // namespace plombar
