#include "sevenzip/FileEnumeration.h"

#include "platform/Paths.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cwctype>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <sys/stat.h>
#include <wctype.h>

namespace plombar::sevenzip {

namespace {
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpochTicks = 116'444'736'000'000'000; // 1970-01-01 in ticks since 1601
} // namespace

FILETIME fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept {
    constexpr std::int64_t kFirstSecond = -kUnixEpochTicks / kTicksPerSecond;
    constexpr std::int64_t kLastSecond = (INT64_MAX - kUnixEpochTicks) / kTicksPerSecond - 1;
    if (seconds < kFirstSecond)
        return FILETIME{};
    const std::int64_t clamped = std::min(seconds, kLastSecond);
    const auto ticks =
        static_cast<std::uint64_t>(clamped * kTicksPerSecond + kUnixEpochTicks +
                                   static_cast<std::int64_t>(nanoseconds % 1'000'000'000u) / 100);
    return FILETIME{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
}

std::uint64_t fileTimeValue(const FILETIME& time) noexcept {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

UInt32 attributesFromMode(std::uint32_t mode) noexcept {
    UInt32 attributes = S_ISDIR(mode) ? kAttributeDirectory : kAttributeArchive;
    if ((mode & S_IWUSR) == 0)
        attributes |= kAttributeReadOnly;
    return attributes | kAttributeUnixExtension | ((mode & 0xFFFFu) << 16);
}

std::optional<FileRecord> readFileRecord(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &info) != 0)
        return std::nullopt;
    FileRecord record;
    record.isRegular = S_ISREG(info.stx_mode);
    record.isDirectory = S_ISDIR(info.stx_mode);
    record.size = info.stx_size;
    if ((info.stx_mask & STATX_BTIME) != 0)
        record.creationTime = fileTimeFromUnix(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
    record.lastWriteTime = fileTimeFromUnix(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
    record.attributes = attributesFromMode(info.stx_mode);
    return record;
}

std::vector<std::string> splitMasks(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    const auto isBlank = [&](std::size_t i) {
        return i < text.size() && static_cast<unsigned char>(text[i]) <= ' ';
    };
    std::vector<std::string> masks;
    std::size_t p = 0;
    while (isBlank(p))
        ++p;
    while (p < text.size()) {
        std::string mask;
        if (text[p] == '"') {
            ++p;
            while (p < text.size()) {
                if (text[p] == '"') {
                    if (p + 1 < text.size() && text[p + 1] == '"') {
                        mask += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                mask += text[p++];
            }
        } else {
            const std::size_t start = p;
            while (p < text.size() && static_cast<unsigned char>(text[p]) > ' ' && text[p] != ';')
                ++p;
            mask.assign(text.substr(start, p - start));
        }
        masks.push_back(std::move(mask));
        while (isBlank(p))
            ++p;
        if (p < text.size() && text[p] == ';') {
            if (p + 1 == text.size())
                masks.emplace_back();
            do
                ++p;
            while (isBlank(p));
        }
    }
    return masks;
}

namespace {

std::u32string toCodePoints(std::string_view utf8) {
    const std::u16string units = utf8ToUtf16(utf8);
    std::u32string points;
    points.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            points.push_back(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            points.push_back(unit);
        }
    }
    return points;
}

// Case mapping that does not depend on the process locale: C.UTF-8's tables, ASCII as a fallback.
locale_t foldingLocale() {
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char32_t fold(char32_t c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    if (const locale_t locale = foldingLocale())
        return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), locale));
    return c;
}

} // namespace

bool matchesMask(std::string_view name, std::string_view mask) {
    if (mask.empty())
        return false;
    if (mask == "*.*")
        return true;
    const std::u32string n = toCodePoints(name);
    const std::u32string m = toCodePoints(mask);
    std::size_t ni = 0;
    std::size_t mi = 0;
    std::size_t star = std::u32string::npos;
    std::size_t resume = 0;
    while (ni < n.size()) {
        if (mi < m.size() && m[mi] == U'*') {
            star = mi++;
            resume = ni;
        } else if (mi < m.size() && (m[mi] == U'?' || fold(m[mi]) == fold(n[ni]))) {
            ++mi;
            ++ni;
        } else if (star != std::u32string::npos) {
            mi = star + 1;
            ni = ++resume;
        } else {
            return false;
        }
    }
    while (mi < m.size() && m[mi] == U'*')
        ++mi;
    return mi == m.size();
}

std::vector<FolderEntry> listFolder(const std::string& folder) {
    std::vector<FolderEntry> entries;
    UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return entries;
    const int dirFd = fd.get();
    // fdopendir takes the descriptor over; closedir closes it.
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(dirFd), &::closedir);
    if (!dir)
        return entries;
    fd.release();
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        FolderEntry item{std::string(name), entry->d_type == DT_DIR};
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            item.isDirectory =
                ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back(std::move(item));
    }
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
}

} // namespace plombar::sevenzip
