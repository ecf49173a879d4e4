#pragma once

#include "InputFile.h"
#include "UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plombar {

enum class SeekOrigin : std::uint32_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// A seekable byte stream: read returns the count actually read (0 at the end), 64-bit seek from the
// start, the current position or the end, size get and set, position.
class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual std::int64_t GetSize();
    virtual void SetSize(std::int64_t newSize) = 0;

    std::int64_t GetPosition() { return Seek(0, SeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::soBeginning); }

    // Whole transfers: raise StreamError ("Stream read error" / "Stream write error") when short.
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);
};

// A growable buffer. A new one is empty at position 0; setting the size keeps the position unless
// it lies beyond the new end. A buffer that cannot grow raises OutOfMemoryError.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t GetSize() override { return size_; }
    void SetSize(std::int64_t newSize) override;

    std::uint8_t* Memory() noexcept { return memory_; }
    const std::uint8_t* Memory() const noexcept { return memory_; }
    std::int64_t Size() const noexcept { return size_; }
    std::int64_t Position() const noexcept { return position_; }
    void Clear();

    // Replaces the content with the whole file and leaves the position at 0. The file is opened for
    // reading; "Cannot open file "%s". %s" when that fails or the name is not a regular file, and
    // FileChangedError when its size changes while it is read.
    void LoadFromFile(const std::string& fileName);
    // Replaces the content with the rest of `stream` from its current position to its end: the size
    // the stream reports is where reading starts from, and reading goes on until Read returns 0.
    void LoadFromStream(TStream& stream);
    // Writes the whole content, whatever the position, creating the file or replacing an existing one.
    // The replacement is atomic: a failed save leaves an existing file untouched and no temporary
    // file behind; the failure raises "Cannot create file "%s". %s".
    void SaveToFile(const std::string& fileName) const;

private:
    void ensureCapacity(std::int64_t needed, bool exact);

    std::uint8_t* memory_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
    std::int64_t position_ = 0;
};

// Open modes of TFileStream. Share modes are accepted for fidelity but have no effect on Linux,
// where files are not locked against other programs.
inline constexpr std::uint32_t fmOpenRead = 0x0000;
inline constexpr std::uint32_t fmOpenWrite = 0x0001;
inline constexpr std::uint32_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint32_t fmShareExclusive = 0x0010;
inline constexpr std::uint32_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint32_t fmShareDenyNone = 0x0040;
inline constexpr std::uint32_t fmCreate = 0xFF00;

// A stream over one open file. Opening an existing file fails with "Cannot open file "%s". %s";
// fmCreate creates the file (an existing one is truncated) and fails with "Cannot create file "%s". %s".
// Read and Write report a short count on an I/O failure and set the last system error.
// Opened for reading only, the name must be a regular file (see InputFile), and Read raises
// FileChangedError once the file is seen to change size.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, std::uint32_t mode);
    // Adopts an already open descriptor (used by atomic saves).
    TFileStream(UniqueFd fd, std::string fileName);

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t GetSize() override;
    void SetSize(std::int64_t newSize) override;

    const std::string& FileName() const noexcept { return fileName_; }
    int Handle() const noexcept { return input_ ? input_->handle() : fd_.get(); }
    // Whether GetSize() tells how many bytes reading will give (false for files under /proc).
    bool SizeKnown() const noexcept { return !input_ || input_->sizeKnown(); }

private:
    std::unique_ptr<InputFile> input_; // a file opened for reading only
    UniqueFd fd_;                      // else
    std::string fileName_;
};

// Memory that the system can still give, in bytes: available RAM plus free swap, bounded by the
// process's address-space limit and its control group's memory limit. Linux overcommits, so a
// successful allocation proves nothing; growing past this figure would end in the OOM killer.
std::uint64_t AvailableMemory();

// Whether `bytes` more memory can be had: always for amounts below the step that memory streams
// grow by without asking, else when AvailableMemory() covers them. For buffers that a library
// allocates on its own (a decoder copying a message's content), which no memory stream checks.
bool MemoryAvailableFor(std::uint64_t bytes);

// Room left under the memory limits of the control groups that `selfCgroup` (the text of
// /proc/self/cgroup) names, looked up under `root` (/sys/fs/cgroup): the v2 group's memory.max
// and the v1 memory controller's memory.limit_in_bytes, each also of every group above; UINT64_MAX
// when nothing limits.
std::uint64_t CgroupMemoryRoom(const std::string& selfCgroup, const std::string& root);

} // namespace plombar
