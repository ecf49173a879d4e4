#pragma once

#include "sevenzip/Interfaces.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plombar::sevenzip {

// Attribute bits as the library stores them: the Windows ones, plus 7-Zip's Unix extension that
// carries st_mode in the upper 16 bits so that extraction restores the permissions.
inline constexpr UInt32 kAttributeReadOnly = 0x01;
inline constexpr UInt32 kAttributeHidden = 0x02;
inline constexpr UInt32 kAttributeDirectory = 0x10;
inline constexpr UInt32 kAttributeArchive = 0x20;
inline constexpr UInt32 kAttributeUnixExtension = 0x8000;

// 100-ns ticks since 1601-01-01 UTC; a time before 1601 gives zero.
FILETIME fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept;
std::uint64_t fileTimeValue(const FILETIME& time) noexcept;

// Directory (0x10) or archive (0x20), read-only when the owner may not write, and the Unix mode.
UInt32 attributesFromMode(std::uint32_t mode) noexcept;

// What queuing a file needs to know of it, read by name without opening it (so a file we may not
// read is still described; opening it when saving then fails with its own message).
struct FileRecord {
    bool isRegular = false;
    bool isDirectory = false;
    std::uint64_t size = 0;
    FILETIME creationTime{}; // the file system's birth time; zero where it keeps none
    FILETIME lastWriteTime{};
    UInt32 attributes = 0;
};

// Follows symbolic links; nothing when the path does not exist or cannot be examined.
std::optional<FileRecord> readFileRecord(const std::string& path);

// Splits a mask list: ";" separates masks, blanks and control characters separate them too and are
// skipped around them, a mask in double quotes may hold blanks ("" inside quotes is one quote), and a
// trailing ";" adds an empty mask.
std::vector<std::string> splitMasks(std::string_view masks);

// Wildcard match of a bare file name: "*" any run, "?" one character, case ignored (Unicode simple
// case mapping); "*.*" matches every name; an empty mask matches nothing.
bool matchesMask(std::string_view name, std::string_view mask);

struct FolderEntry {
    std::string name;
    bool isDirectory = false; // a real directory, not a symbolic link to one
};

// The entries of a folder without "." and "..", sorted by name (byte order) so that the order of
// queued files does not depend on the file system; empty when the folder cannot be read.
std::vector<FolderEntry> listFolder(const std::string& folder);

} // namespace plombar::sevenzip
