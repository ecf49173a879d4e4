// Mask lists, wildcard matching, attribute bits and file times of queued files.
#include "sevenzip/FileEnumeration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"

using namespace plombar;
using namespace plombar::sevenzip;
using plombar::test::TempDir;

namespace {

struct SplitCase {
    const char* text;
    std::vector<std::string> masks;
};

TEST(SplitMasks, SeparatorsBlanksQuotesAndTheTrailingEmptyMask) {
    const SplitCase cases[] = {
        {"", {}},
        {"   ", {}},
        {"*.txt", {"*.txt"}},
        {"*.txt;*.doc", {"*.txt", "*.doc"}},
        {"  *.txt ;  *.doc  ", {"*.txt", "*.doc"}},
        {"a b", {"a", "b"}},                   // a blank separates too
        {"\t*.a\r\n;\x01*.b", {"*.a", "*.b"}}, // so does any control character
        {"\"my file.txt\";c", {"my file.txt", "c"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}}, // a doubled quote inside quotes is one quote
        {"\"unterminated mask", {"unterminated mask"}},
        {"*.txt;", {"*.txt", ""}}, // a trailing ";" adds an empty mask
        {"*.txt; ", {"*.txt"}},    // ... but not when a blank follows it
        {"a;;b", {"a", "", "b"}},
        {";", {"", ""}},
        {"отчёт*.pdf;*.sig", {"отчёт*.pdf", "*.sig"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(splitMasks(c.text), c.masks) << "\"" << c.text << "\"";
}

struct MatchCase {
    const char* name;
    const char* mask;
    bool matches;
};

TEST(MatchesMask, WildcardsAndCaseAsWindowsMatchesThem) {
    const MatchCase cases[] = {
        {"report.pdf", "*.*", true},
        {"README", "*.*", true}, // "*.*" matches names without a dot too
        {".profile", "*.*", true},
        {"README", "*", true},
        {"a.TXT", "*.txt", true},
        {"FILE.TXT", "file.txt", true},
        {"a.txt.bak", "*.txt", false},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"abbc", "a?c", false},
        {"abcbc", "*bc", true},
        {"ab", "a*b*", true},
        {"abc", "", false}, // the empty mask matches nothing
        {"Отчёт.PDF", "отчёт.pdf", true},
        {"ДАННЫЕ.txt", "данные.*", true},
        {"Ärger.txt", "ä*", true},
        {"\U0001F600.txt", "?.txt", true}, // one character, whatever its encoding length
        {"\U0001F600\U0001F600.txt", "?.txt", false},
        {"x.sig", "*.p7s", false},
    };
    for (const MatchCase& c : cases)
        EXPECT_EQ(matchesMask(c.name, c.mask), c.matches) << c.name << " ~ " << c.mask;
}

TEST(Attributes, WindowsBitsPlusTheUnixModeForExtraction) {
    struct Case {
        std::uint32_t mode;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {0100644, 0x81A48020u}, {0100640, 0x81A08020u},
        {0100755, 0x81ED8020u}, {0100444, 0x81248021u}, // read-only
        {0100066, 0x80368021u},                         // the owner may not write: read-only
        {0040755, 0x41ED8010u},                         // directory
    };
    for (const Case& c : cases)
        EXPECT_EQ(attributesFromMode(c.mode), c.expected) << std::oct << c.mode;
}

TEST(FileTimes, UnixTimesBecome100NanosecondTicksSince1601) {
    struct Case {
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        std::uint64_t ticks;
    };
    const Case cases[] = {
        {0, 0, 116444736000000000ull},
        {1, 500, 116444736010000005ull},
        {1700000000, 123456789, 116444736000000000ull + 1700000000ull * 10000000ull + 1234567ull},
        {-11644473600, 0, 0}, // 1601-01-01
        {-11644473601, 0, 0}, // before 1601: zero
        {-1, 999999900, 116444735999999999ull},
    };
    for (const Case& c : cases) {
        const FILETIME time = fileTimeFromUnix(c.seconds, c.nanoseconds);
        EXPECT_EQ(fileTimeValue(time), c.ticks) << c.seconds;
        EXPECT_EQ(time.dwLowDateTime, static_cast<std::uint32_t>(c.ticks));
    }
}

TEST(FileRecord, DescribesRegularFilesFoldersAndNothingElse) {
    TempDir dir;
    const std::string file = dir.file("data.bin");
    test::writeFile(file, std::string(1234, 'x'));
    ::chmod(file.c_str(), 0640);
    struct timespec times[2] = {{1600000000, 0}, {1500000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

    const auto record = readFileRecord(file);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->isRegular);
    EXPECT_EQ(record->size, 1234u);
    EXPECT_EQ(record->attributes, attributesFromMode(S_IFREG | 0640));
    EXPECT_EQ(fileTimeValue(record->lastWriteTime), fileTimeValue(fileTimeFromUnix(1500000000, 250000000)));
    struct statx info {};
    ASSERT_EQ(::statx(AT_FDCWD, file.c_str(), 0, STATX_BTIME, &info), 0);
    if ((info.stx_mask & STATX_BTIME) != 0)
        EXPECT_EQ(fileTimeValue(record->creationTime),
                  fileTimeValue(fileTimeFromUnix(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)));
    else
        EXPECT_EQ(fileTimeValue(record->creationTime), 0u) << "no birth time: zero";

    const auto folder = readFileRecord(dir.path());
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isDirectory);
    EXPECT_FALSE(folder->isRegular);
    EXPECT_FALSE(readFileRecord(dir.file("missing")));
    EXPECT_FALSE(readFileRecord(""));
}

TEST(ListFolder, SortedEntriesWithRealDirectoriesMarked) {
    TempDir dir;
    test::writeFile(dir.file("b"), "");
    test::writeFile(dir.file("a"), "");
    ::mkdir(dir.file("sub").c_str(), 0755);
    ::symlink(dir.file("sub").c_str(), dir.file("link").c_str());
    const auto entries = listFolder(dir.path() + "/");
    ASSERT_EQ(entries.size(), 4u);
    const std::pair<const char*, bool> expected[] = {
        {"a", false}, {"b", false}, {"link", false}, {"sub", true}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].name, expected[i].first);
        EXPECT_EQ(entries[i].isDirectory, expected[i].second) << entries[i].name;
    }
    EXPECT_TRUE(listFolder(dir.file("missing")).empty());
}

} // namespace
