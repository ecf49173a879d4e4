#pragma once

// Helpers of the archive tests: the 7z command, listings, streams that report their destruction,
// and checks of what the dynamic linker holds.

#include "platform/Stream.h"
#include "sevenzip/Interfaces.h"

#include <map>
#include <string>
#include <vector>

namespace plombar::test {

// The real library and command the interop tests run against.
inline constexpr char kSystemLibrary[] = "/usr/lib/p7zip/7z.so";

// Runs "7z <arguments>" with stdin closed, returning its exit status and its combined output.
int run7z(const std::string& arguments, std::string* output = nullptr);

// The entries of `7z l -slt`, one map of "Key = Value" lines per entry (the archive's own block
// excluded).
std::vector<std::map<std::string, std::string>> listArchive(const std::string& archive,
                                                            const std::string& extraArguments = "");
// The archive's own block of `7z l -slt` (Type, Physical Size, ...).
std::map<std::string, std::string> archiveProperties(const std::string& archive);

// True while the library at `path` is mapped into this process.
bool libraryLoaded(const std::string& path);

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" into the in-memory GUID layout.
sevenzip::GUID parseGuid(const std::string& text);

// A memory stream that sets a flag when it is destroyed.
class TrackingStream : public MemoryStream {
public:
    TrackingStream(const std::string& content, bool* destroyed);
    ~TrackingStream() override;

private:
    bool* destroyed_;
};

// A stream whose every operation raises an error.
class ThrowingStream : public Stream {
public:
    std::size_t read(std::span<std::uint8_t>) override;
    using Stream::write;
    void write(std::span<const std::uint8_t>) override;
    std::uint64_t seek(std::int64_t, SeekFrom) override;
    std::uint64_t size() override;
    void setSize(std::uint64_t) override;
};

// Text that compresses well and differs between BZip2 block sizes: `size` bytes of pseudo-random words.
std::string wordText(std::size_t size, std::uint32_t seed = 7);

} // namespace plombar::test
