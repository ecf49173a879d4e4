#include "platform/DisplayText.h"
#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace plombar;

TEST(Paths, FolderPartAndBareName) {
    EXPECT_EQ(folderOf("/home/user/report.pdf"), "/home/user/");
    EXPECT_EQ(fileNameOf("/home/user/report.pdf"), "report.pdf");
    EXPECT_EQ(folderOf("report.pdf"), "");
    EXPECT_EQ(fileNameOf("report.pdf"), "report.pdf");
    EXPECT_EQ(folderOf("/report.pdf"), "/");
    EXPECT_EQ(fileNameOf("/home/user/"), "");
    EXPECT_EQ(fileNameOf("/дом/Отчёт №1.pdf"), "Отчёт №1.pdf");
}

TEST(Paths, StripExtensionDropsFourCharacters) {
    EXPECT_EQ(withoutLastFourCharacters("/d/report.pdf.enc"), "/d/report.pdf");
    EXPECT_EQ(withoutLastFourCharacters("archive.p7m"), "archive");
    EXPECT_EQ(withoutLastFourCharacters("notes"), "n");
    EXPECT_EQ(withoutLastFourCharacters("abcd"), "");
    EXPECT_EQ(withoutLastFourCharacters("ab"), "");
    // Characters, not bytes: four Cyrillic letters take eight bytes.
    EXPECT_EQ(withoutLastFourCharacters("/d/отчёт.шифр"), "/d/отчёт.");
    EXPECT_EQ(withoutLastFourCharacters("/d/отчёт.шифр.enc"), "/d/отчёт.шифр");
    EXPECT_EQ(withoutLastFourCharacters("/d/a.😀😀😀"), "/d/a");
}

TEST(Paths, absolutePath) {
    EXPECT_EQ(absolutePath(""), "");
    EXPECT_EQ(absolutePath("/a/b/../c/./d"), "/a/c/d");
    EXPECT_EQ(absolutePath("/a/b/"), "/a/b/");
    EXPECT_EQ(absolutePath("/.."), "/");
    char* cwd = ::get_current_dir_name();
    EXPECT_EQ(absolutePath("x.txt"), std::string(cwd) + "/x.txt");
    std::free(cwd);
}

TEST(applicationTitle, CutAtFirstDotRestLowerCase) {
    EXPECT_EQ(applicationTitle("/usr/bin/plombar"), "plombar");
    EXPECT_EQ(applicationTitle("/opt/Plombar.Signer.bin"), "Plombar");
    EXPECT_EQ(applicationTitle("C2PLOMBAR"), "C2plombar");
    EXPECT_EQ(applicationTitle("/x/ПЛОМБАРЬ.exe"), "Пломбарь");
    EXPECT_EQ(applicationTitle("/x/.hidden"), "");
}

TEST(errorReportText, FullStopOnlyAfterBytesSortingAfterIt) {
    EXPECT_EQ(errorReportText("File not found"), "File not found.");
    EXPECT_EQ(errorReportText("I/O error 6"), "I/O error 6.");
    EXPECT_EQ(errorReportText("ends with stop."), "ends with stop.");
    EXPECT_EQ(errorReportText("ends with dash-"), "ends with dash-");    // '-' < '.'
    EXPECT_EQ(errorReportText("ends with slash/"), "ends with slash/."); // '/' > '.'
    EXPECT_EQ(errorReportText("line\r\n"), "line\r\n");
    EXPECT_EQ(errorReportText("Отказано"), "Отказано.");
    EXPECT_EQ(errorReportText(""), "");
}

TEST(Utf16, RoundTripWithSurrogatesAndInvalidBytes) {
    EXPECT_EQ(utf8ToUtf16("Aя😀"), std::u16string(u"Aя\xD83D\xDE00"));
    EXPECT_EQ(utf16ToUtf8(u"Aя\xD83D\xDE00"), "Aя😀");
    EXPECT_EQ(utf8ToUtf16("\xFF"), std::u16string(u"\xFFFD"));
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(DynamicLibrary, LoadsAndUnloads) {
    auto missing = DynamicLibrary::open("libdoes-not-exist-plombar.so");
    EXPECT_FALSE(missing);
    EXPECT_FALSE(missing.loadError().empty());
    auto libc = DynamicLibrary::open("libc.so.6");
    ASSERT_TRUE(libc);
    EXPECT_NE(libc.symbol("strlen"), nullptr);
    EXPECT_EQ(libc.symbol("no_such_symbol_plombar"), nullptr);
    DynamicLibrary moved = std::move(libc);
    EXPECT_FALSE(libc);
    EXPECT_TRUE(moved);
}

// Line breaks, terminal controls, bidirectional marks and bytes that are no UTF-8 are written out;
// ordinary names (quotes, backslashes, Cyrillic, emoji) stay as they are.
TEST(escapeForDisplay, WritesOutWhatCouldForgeLinesOrHideText) {
    const std::pair<std::string, std::string> cases[] = {
        {"CN=Иванов, O=\"ООО \"\"Ромашка\"\"\", DOMAIN\\user 😀",
         "CN=Иванов, O=\"ООО \"\"Ромашка\"\"\", DOMAIN\\user 😀"},
        {"Иванов\nV - Подпись верна\r\t", "Иванов\\nV - Подпись верна\\r\\t"},
        {std::string("\x1B[8m\0\x07\x7F", 7), "\\x1B[8m\\x00\\x07\\x7F"},
        {"\u0085\u009B\u061C\u200E\u200F\u2028\u2029\u202A\u202E\u2066\u2069",
         "\\u0085\\u009B\\u061C\\u200E\\u200F\\u2028\\u2029\\u202A\\u202E\\u2066\\u2069"},
        {"a\xFF\xC3(\xE2\x82", "a\\xFF\\xC3(\\xE2\\x82"},
        {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"}, // overlong form, surrogate
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(escapeForDisplay(text), shown);
    EXPECT_EQ(escapeForDisplay("a\n b\x1B", true), "a\n b\\x1B");
}
