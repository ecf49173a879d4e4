#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace plombar;

TEST(Paths, FolderPartAndBareName) {
    EXPECT_EQ(ExtractFilePath("/home/user/report.pdf"), "/home/user/");
    EXPECT_EQ(ExtractFileName("/home/user/report.pdf"), "report.pdf");
    EXPECT_EQ(ExtractFilePath("report.pdf"), "");
    EXPECT_EQ(ExtractFileName("report.pdf"), "report.pdf");
    EXPECT_EQ(ExtractFilePath("/report.pdf"), "/");
    EXPECT_EQ(ExtractFileName("/home/user/"), "");
    EXPECT_EQ(ExtractFileName("/дом/Отчёт №1.pdf"), "Отчёт №1.pdf");
}

TEST(Paths, StripExtensionDropsFourCharacters) {
    EXPECT_EQ(StripExtension("/d/report.pdf.enc"), "/d/report.pdf");
    EXPECT_EQ(StripExtension("archive.p7m"), "archive");
    EXPECT_EQ(StripExtension("notes"), "n");
    EXPECT_EQ(StripExtension("abcd"), "");
    EXPECT_EQ(StripExtension("ab"), "");
    // Characters, not bytes: four Cyrillic letters take eight bytes.
    EXPECT_EQ(StripExtension("/d/отчёт.шифр"), "/d/отчёт.");
    EXPECT_EQ(StripExtension("/d/отчёт.шифр.enc"), "/d/отчёт.шифр");
    EXPECT_EQ(StripExtension("/d/a.😀😀😀"), "/d/a");
}

TEST(Paths, ExpandFileName) {
    EXPECT_EQ(ExpandFileName(""), "");
    EXPECT_EQ(ExpandFileName("/a/b/../c/./d"), "/a/c/d");
    EXPECT_EQ(ExpandFileName("/a/b/"), "/a/b/");
    EXPECT_EQ(ExpandFileName("/.."), "/");
    char* cwd = ::get_current_dir_name();
    EXPECT_EQ(ExpandFileName("x.txt"), std::string(cwd) + "/x.txt");
    std::free(cwd);
}

TEST(ApplicationTitle, CutAtFirstDotRestLowerCase) {
    EXPECT_EQ(ApplicationTitle("/usr/bin/plombar"), "plombar");
    EXPECT_EQ(ApplicationTitle("/opt/Plombar.Signer.bin"), "Plombar");
    EXPECT_EQ(ApplicationTitle("C2PLOMBAR"), "C2plombar");
    EXPECT_EQ(ApplicationTitle("/x/ПЛОМБАРЬ.exe"), "Пломбарь");
    EXPECT_EQ(ApplicationTitle("/x/.hidden"), "");
}

TEST(ErrorReportText, FullStopOnlyAfterBytesSortingAfterIt) {
    EXPECT_EQ(ErrorReportText("File not found"), "File not found.");
    EXPECT_EQ(ErrorReportText("I/O error 6"), "I/O error 6.");
    EXPECT_EQ(ErrorReportText("ends with stop."), "ends with stop.");
    EXPECT_EQ(ErrorReportText("ends with dash-"), "ends with dash-");   // '-' < '.'
    EXPECT_EQ(ErrorReportText("ends with slash/"), "ends with slash/."); // '/' > '.'
    EXPECT_EQ(ErrorReportText("line\r\n"), "line\r\n");
    EXPECT_EQ(ErrorReportText("Отказано"), "Отказано.");
    EXPECT_EQ(ErrorReportText(""), "");
}

TEST(Utf16, RoundTripWithSurrogatesAndInvalidBytes) {
    EXPECT_EQ(Utf8ToUtf16("Aя😀"), std::u16string(u"Aя\xD83D\xDE00"));
    EXPECT_EQ(Utf16ToUtf8(u"Aя\xD83D\xDE00"), "Aя😀");
    EXPECT_EQ(Utf8ToUtf16("\xFF"), std::u16string(u"\xFFFD"));
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(DynamicLibrary, LoadsAndUnloads) {
    auto missing = DynamicLibrary::Open("libdoes-not-exist-plombar.so");
    EXPECT_FALSE(missing);
    EXPECT_FALSE(DynamicLibrary::LastError().empty());
    auto libc = DynamicLibrary::Open("libc.so.6");
    ASSERT_TRUE(libc);
    EXPECT_NE(libc.Symbol("strlen"), nullptr);
    EXPECT_EQ(libc.Symbol("no_such_symbol_plombar"), nullptr);
    DynamicLibrary moved = std::move(libc);
    EXPECT_FALSE(libc);
    EXPECT_TRUE(moved);
}
