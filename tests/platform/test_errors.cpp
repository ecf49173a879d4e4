#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace plombar;

TEST(InOutError, TextsByCode) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {{2, "File not found"},     {3, "Invalid filename"}, {4, "Too many open files"},
                 {5, "File access denied"}, {6, "I/O error 6"},      {32, "I/O error 32"},
                 {0, "I/O error 0"},        {112, "I/O error 112"}};
    for (const auto& c : cases) {
        InputOutputError error(c.code);
        EXPECT_EQ(error.message(), c.text) << c.code;
        EXPECT_EQ(error.code(), c.code);
    }
}

TEST(OSError, TextIsSignedDecimalWithCrLfAndSystemText) {
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(systemErrorText(0), "A call to an OS function failed");
    EXPECT_EQ(systemErrorText(5), "System Error.  Code: 5.\r\nAccess is denied");
    // HRESULTs print negative.
    EXPECT_EQ(systemErrorText(0x80091002),
              "System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm");
    // A code without text still gets the line break.
    EXPECT_EQ(systemErrorText(0x12345), "System Error.  Code: 74565.\r\n");
}

TEST(FileErrors, TextsNameTheActionTheFullPathAndTheSystemText) {
    setenv("LC_ALL", "C.UTF-8", 1);
    const struct {
        FileError error;
        const char* text;
    } cases[] = {
        {FileOpenError("/d/отчёт.pdf", 2),
         "Cannot open file \"/d/отчёт.pdf\". The system cannot find the file specified"},
        {FileCreateError("/d/a.sig", 112),
         "Cannot create file \"/d/a.sig\". There is not enough space on the disk"},
        {FileReadError("/d/a", 1117),
         "Cannot read file \"/d/a\". The request could not be performed because of an I/O device error"},
        {FileOpenError("/dev/zero", kNotAFileError),
         "Cannot open file \"/dev/zero\". The file cannot be accessed by the system"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.error.message(), c.text);
    EXPECT_EQ(FileReadError("/x", 30).code(), 30u);
    EXPECT_EQ(FileChangedError("/d/a").message(), "The size of \"/d/a\" changed while it was read");
    EXPECT_STREQ(OutOfMemoryError().what(), "Out of memory while expanding memory stream");
}

TEST(systemMessage, TrimsFullStopsAndBlanksAndKnowsBothLanguages) {
    EXPECT_EQ(systemMessage(2, MessageLanguage::English), "The system cannot find the file specified");
    EXPECT_EQ(systemMessage(2, MessageLanguage::Russian), "Не удается найти указанный файл");
    EXPECT_EQ(systemMessage(0x8009200C, MessageLanguage::Russian),
              "Не удается найти сертификат и закрытый ключ для расшифровки");
    EXPECT_EQ(systemMessage(0x80091007, MessageLanguage::Russian), "Неправильное значение хеша");
    EXPECT_EQ(systemMessage(0x80090016, MessageLanguage::English), "Keyset does not exist");
    // Inserts are not expanded.
    EXPECT_EQ(systemMessage(193, MessageLanguage::English), "%1 is not a valid Win32 application");
}

TEST(systemMessage, UnknownCodeGivesEmptyText) {
    EXPECT_EQ(systemMessage(0x12345, MessageLanguage::English), "");
    EXPECT_EQ(systemMessage(0x8009FFFF, MessageLanguage::Russian), "");
}

TEST(systemMessage, WrappedCodesGiveTheTextOfWhatTheyCarry) {
    EXPECT_EQ(systemMessage(0x80070057, MessageLanguage::English), "The parameter is incorrect");
    EXPECT_EQ(systemMessage(0x80070070, MessageLanguage::English), "There is not enough space on the disk");
    // The archive library reports errno values as 0x88000000 + errno (28 = ENOSPC).
    EXPECT_EQ(systemMessage(0x8800001C, MessageLanguage::English), "There is not enough space on the disk");
}

TEST(systemMessage, LanguageFollowsTheLocaleVariablesInOrder) {
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "ru_RU.UTF-8", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(systemMessage(5), "Отказано в доступе");
    setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_EQ(systemMessage(5), "Access is denied");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "ru_RU.UTF-8", 1);
    EXPECT_EQ(systemMessage(5), "Отказано в доступе");
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(systemMessage(5), "Access is denied");
}

TEST(ErrnoMapping, WindowsNumbers) {
    test::TempDir dir;
    const std::string inExistingFolder = dir.file("missing.txt");
    const std::string inMissingFolder = dir.file("no-such-folder/missing.txt");
    EXPECT_EQ(systemCodeFromErrno(ENOENT, inExistingFolder.c_str()), 2u);
    EXPECT_EQ(systemCodeFromErrno(ENOENT, inMissingFolder.c_str()), 3u);
    EXPECT_EQ(systemCodeFromErrno(ENOENT), 2u);
    EXPECT_EQ(systemCodeFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(systemCodeFromErrno(ENAMETOOLONG), 206u);
    for (int e : {EACCES, EPERM, EROFS, EISDIR})
        EXPECT_EQ(systemCodeFromErrno(e), 5u) << e;
    EXPECT_EQ(systemCodeFromErrno(EMFILE), 4u);
    EXPECT_EQ(systemCodeFromErrno(ENFILE), 4u);
    EXPECT_EQ(systemCodeFromErrno(ENOSPC), 112u);
    EXPECT_EQ(systemCodeFromErrno(ENOMEM), 8u);
    EXPECT_EQ(systemCodeFromErrno(EXDEV), 31u);
}
