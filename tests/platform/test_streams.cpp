#include "platform/AtomicFile.h"
#include "platform/AvailableMemory.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/FileSize.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "platform/SystemErrors.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"

using namespace plombar;
using plombar::test::TempDir;

namespace {

// Saves write named temporaries, as on file systems without unnamed files, while it lives.
struct NamedTemporaries {
    explicit NamedTemporaries(bool named) { useNamedTemporariesForTesting(named); }
    NamedTemporaries(const NamedTemporaries&) = delete;
    NamedTemporaries& operator=(const NamedTemporaries&) = delete;
    ~NamedTemporaries() { useNamedTemporariesForTesting(false); }
};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LC_ALL", "C.UTF-8", 1); }
    TempDir dir;
};

} // namespace

TEST_F(StreamTest, MemoryStreamReadWriteSeekAndSize) {
    MemoryStream m;
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.position(), 0u);
    m.write("hello world");
    EXPECT_EQ(m.position(), 11u);
    std::uint8_t buf[16] = {};
    EXPECT_EQ(m.read(std::span(buf, 4)), 0u) << "at the end a read returns 0";
    EXPECT_EQ(m.seek(-5, SeekFrom::End), 6u);
    EXPECT_EQ(m.read(buf), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "world");
    EXPECT_EQ(m.seek(2, SeekFrom::Start), 2u);
    EXPECT_EQ(m.seek(3, SeekFrom::Current), 5u);
    // Before the start is refused, and the position stays.
    EXPECT_THROW(m.seek(-6, SeekFrom::Current), StreamError);
    EXPECT_EQ(m.position(), 5u);

    // Setting the size keeps the position unless it lies beyond the new end.
    m.seek(3, SeekFrom::Start);
    m.setSize(20);
    EXPECT_EQ(m.position(), 3u);
    EXPECT_EQ(m.size(), 20u);
    EXPECT_EQ(m.bytes().substr(11), std::string(9, '\0'));
    m.seek(15, SeekFrom::Start);
    m.setSize(4);
    EXPECT_EQ(m.position(), 4u);
    EXPECT_EQ(m.bytes(), "hell");

    // Writing after a seek past the end fills the gap with zeros.
    m.seek(6, SeekFrom::Start);
    m.write("!");
    EXPECT_EQ(m.bytes(), std::string_view("hell\0\0!", 7));
}

TEST_F(StreamTest, MemoryStreamGrowsAcrossManySmallWrites) {
    MemoryStream m;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        m.write(std::string_view(&c, 1));
        expected.push_back(c);
    }
    EXPECT_EQ(m.bytes(), expected);
}

TEST_F(StreamTest, MemoryStreamThatCannotGrowRaisesTheFixedText) {
    MemoryStream m;
    try {
        m.setSize(std::uint64_t{1} << 62);
        FAIL() << "no error";
    } catch (const OutOfMemoryError& e) {
        EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
    }
    EXPECT_EQ(m.size(), 0u) << "a failed growth changes nothing";
}

// The whole content, in one read or in many, and the size before the first read; an empty file too.
TEST_F(StreamTest, FileReaderGivesTheWholeFileAndKnowsItsSize) {
    const std::string path = dir.file("data.bin");
    const std::string bytes = test::randomBytes(300000);
    test::writeFile(path, bytes);
    FileReader reader(path);
    EXPECT_EQ(reader.size(), 300000u);
    EXPECT_EQ(reader.fullPath(), path);
    EXPECT_EQ(readAll(reader, SIZE_MAX, reader.size()), bytes);
    std::uint8_t more[4];
    EXPECT_EQ(reader.read(more), 0u);

    test::writeFile(path, "");
    FileReader empty(path);
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.read(more), 0u);

    // More than the caller allows is refused as out of memory.
    test::writeFile(path, bytes);
    FileReader again(path);
    EXPECT_THROW(readAll(again, 1000), OutOfMemoryError);

    // The same for a whole file by its name; a missing file is the reader's open error.
    EXPECT_EQ(readFileContent(path), bytes);
    EXPECT_EQ(readFileContent(path, bytes.size()), bytes);
    EXPECT_THROW(readFileContent(path, bytes.size() - 1), OutOfMemoryError);
    EXPECT_THROW(readFileContent(dir.file("missing.bin")), FileOpenError);
}

// Files of the kernel's own file systems report sizes that say nothing of their content: the reader
// takes their bytes when it opens them, so its size is what reading gives.
TEST_F(StreamTest, FileReaderKnowsTheSizeOfKernelFiles) {
    for (const char* path : {"/proc/self/status", "/proc/self/cmdline", "/proc/version"}) {
        FileReader reader(path);
        const std::string content = readAll(reader, SIZE_MAX);
        EXPECT_EQ(reader.size(), content.size()) << path;
        EXPECT_GT(content.size(), 0u) << path;
    }
}

TEST_F(StreamTest, OpenErrorsNameTheFullPathAndTheSystemText) {
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string shown;
        const char* text;
    } cases[] = {
        {dir.file("missing.txt"), dir.file("missing.txt"), "The system cannot find the file specified"},
        {dir.file("nope/missing.txt"), dir.file("nope/missing.txt"),
         "The system cannot find the path specified"},
        {dir.path(), dir.path(), "Access is denied"}, // a folder is not a file
        {"", "", "The system cannot find the path specified"},
        // Refused before they are opened: a FIFO without a writer would block, a device gives
        // endless bytes.
        {dir.file("fifo"), dir.file("fifo"), "The file cannot be accessed by the system"},
        {"/dev/zero", "/dev/zero", "The file cannot be accessed by the system"},
    };
    for (const auto& c : cases) {
        const std::string expected = "Cannot open file \"" + c.shown + "\". " + c.text;
        try {
            FileReader reader(c.path);
            ADD_FAILURE() << c.path;
        } catch (const FileOpenError& e) {
            EXPECT_EQ(e.message(), expected);
        }
        try {
            FileStream::openForReading(c.path);
            ADD_FAILURE() << c.path;
        } catch (const FileOpenError& e) {
            EXPECT_EQ(e.message(), expected);
        }
    }
}

// A file that shrinks, is emptied or grows while it is read is refused, never taken as read: by the
// file reader, the seekable file stream and the reader of small input files alike.
TEST_F(StreamTest, AFileThatChangesSizeWhileReadIsRefused) {
    const std::string path = dir.file("меняется.bin");
    for (const off_t newSize : {50000, 0, 150000}) {
        test::writeFile(path, test::randomBytes(100000));
        FileReader reader(path);
        auto stream = FileStream::openForReading(path);
        InputFile file(path);
        std::uint8_t head[1000];
        ASSERT_EQ(reader.read(head), 1000u);
        ASSERT_EQ(stream->read(head), 1000u);
        ASSERT_EQ(file.read(head, sizeof head), 1000);
        ASSERT_EQ(::truncate(path.c_str(), newSize), 0);
        const std::string expected = "The size of \"" + path + "\" changed while it was read";
        try {
            const std::string rest = readAll(reader, SIZE_MAX);
            ADD_FAILURE() << "read " << rest.size() << " more bytes of " << newSize;
        } catch (const FileChangedError& e) {
            EXPECT_EQ(e.message(), expected);
        }
        try {
            std::uint8_t block[65536];
            while (stream->read(block) > 0) {
            }
            ADD_FAILURE() << "read to the end of " << newSize;
        } catch (const FileChangedError& e) {
            EXPECT_EQ(e.message(), expected);
        }
        std::string bytes;
        EXPECT_EQ(readWholeFile(file, bytes, 1 << 20), ReadFileResult::Changed) << newSize;
    }
}

TEST_F(StreamTest, RelativeNamesAreShownAsFullPaths) {
    char* current = ::get_current_dir_name();
    const std::string cwd = current;
    std::free(current);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    try {
        FileReader reader("sub/../x.txt");
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + dir.path() + "/x.txt\". The system cannot find the file specified");
    }
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST_F(StreamTest, RussianLocaleGivesRussianSystemText) {
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    try {
        FileReader reader(dir.file("нет.txt"));
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + dir.file("нет.txt") + "\". Не удается найти указанный файл");
    }
}

TEST_F(StreamTest, SaveWritesTheWholeContentAndReplacesAnExistingFile) {
    const std::string path = dir.file("out.bin");
    saveFileAtomically(path, "abcdef");
    EXPECT_EQ(test::readFile(path), "abcdef");
    // Replaces an existing file without asking, keeping its permission bits.
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    saveFileAtomically(path, "xy");
    EXPECT_EQ(test::readFile(path), "xy");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{"out.bin"}) << "no temporary file left";
}

// A file being written is its owner's alone (it may hold decrypted text); complete, it gets the
// bits a new file gets: 0666 less the umask. Both ways of writing it: without a name, and named
// where the file system has no unnamed files.
TEST_F(StreamTest, TemporaryIsPrivateUntilCompleteThenGetsItsMode) {
    const mode_t old = ::umask(027);
    for (const bool named : {false, true}) {
        const NamedTemporaries way(named);
        AtomicFile file(dir.file(named ? "named.bin" : "unnamed.bin"));
        file.write("secret");
        struct stat st {};
        ASSERT_EQ(::fstat(dynamic_cast<FileStream&>(file.stream()).handle(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << named << ": while it is written";
        file.commit();
        ASSERT_EQ(::stat(file.targetName().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << named;
    }
    ::umask(old);
}

TEST_F(StreamTest, SaveOverASymlinkReplacesTheLinkNotTheFileItPointsTo) {
    test::writeFile(dir.file("real.bin"), "old");
    ASSERT_EQ(::symlink(dir.file("real.bin").c_str(), dir.file("link.bin").c_str()), 0);
    saveFileAtomically(dir.file("link.bin"), "new");
    EXPECT_EQ(test::readFile(dir.file("real.bin")), "old");
    EXPECT_EQ(test::readFile(dir.file("link.bin")), "new");
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(StreamTest, FailedSaveInReadOnlyFolderKeepsExistingFile) {
    const std::string folder = dir.file("ro");
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    const std::string target = folder + "/keep.bin";
    test::writeFile(target, "precious");
    ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
    test::makeWorldAccessible(dir.path());
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    const int rc = test::runUnprivileged([&] {
        try {
            saveFileAtomically(target, "garbage");
            return 1;
        } catch (const FileCreateError& e) {
            return e.message() == "Cannot create file \"" + target + "\". Access is denied" ? 0 : 2;
        }
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(test::readFile(target), "precious");
    EXPECT_EQ(test::listFolder(folder), std::vector<std::string>{"keep.bin"});
}

TEST_F(StreamTest, ReadOnlyTargetIsRefusedAsOnOpenForWriting) {
    const std::string target = dir.file("readonly.bin");
    test::writeFile(target, "precious");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    test::makeWorldAccessible(dir.path());
    const int rc = test::runUnprivileged([&] {
        try {
            saveFileAtomically(target, "x");
            return 1;
        } catch (const FileCreateError& e) {
            return e.message() == "Cannot create file \"" + target + "\". Access is denied" ? 0 : 2;
        }
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(test::readFile(target), "precious");
}

TEST_F(StreamTest, FileSizeLimitDuringSaveKeepsExistingFileAndLeavesNoTemporary) {
    const std::string target = dir.file("big.bin");
    test::writeFile(target, "precious");
    const int rc = test::runInChild([&] {
        ignoreFileSizeSignal();
        rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
        try {
            saveFileAtomically(target, std::string(100000, 'x'));
            return 1;
        } catch (const FileCreateError& e) {
            return e.message() == "Cannot create file \"" + target +
                                      "\". The file size exceeds the limit allowed and cannot be saved"
                       ? 0
                       : 2;
        }
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(test::readFile(target), "precious");
    EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{"big.bin"});
}

TEST_F(StreamTest, SaveOverAFolderFails) {
    try {
        saveFileAtomically(dir.path(), "x");
        FAIL();
    } catch (const FileCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + dir.path() + "\". Access is denied");
    }
}

TEST_F(StreamTest, TemporaryNamesAreHiddenAndRecognisable) {
    std::optional<NamedTemporaries> way(true);
    AtomicFile file(dir.file("report.pdf.sig"));
    way.reset();
    const std::string temp = fileNameOf(file.temporaryName());
    EXPECT_EQ(temp.front(), '.');
    EXPECT_TRUE(isTemporarySaveName(temp));
    EXPECT_FALSE(isTemporarySaveName("report.pdf.sig"));
    EXPECT_FALSE(isTemporarySaveName(".plombar-tmp"));
    EXPECT_TRUE(test::fileExists(file.temporaryName()));
    // Without a name until it is complete, nothing shows in the folder.
    AtomicFile unnamed(dir.file("other.sig"));
    EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{temp});
}

// A target whose name is near the file system's limit of 255 bytes is saved all the same; the
// temporary's name is cut to fit, never in the middle of a character.
TEST_F(StreamTest, SavesUnderNamesNearTheLimit) {
    const NamedTemporaries way(true);
    for (const std::string unit : {"a", "ж", "\xF0\x9F\x93\x84"}) {
        std::string name;
        while (name.size() + unit.size() <= 255)
            name += unit;
        const std::string target = dir.file(name);
        {
            AtomicFile file(target);
            const std::string temp = fileNameOf(file.temporaryName());
            EXPECT_LE(temp.size(), 255u) << unit;
            EXPECT_TRUE(isTemporarySaveName(temp)) << unit;
            EXPECT_EQ(temp.substr(1, 3 * unit.size()), unit + unit + unit) << unit;
            EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(temp)), temp) << unit << ": cut inside a character";
            file.write("new");
            file.commit();
        }
        EXPECT_EQ(test::readFile(target), "new") << unit;
        EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{name}) << unit;
        std::remove(target.c_str());
    }
}

TEST_F(StreamTest, AbandonedAtomicFileLeavesNothing) {
    test::writeFile(dir.file("a.txt"), "old");
    for (const bool named : {false, true}) {
        const NamedTemporaries way(named);
        {
            AtomicFile file(dir.file("a.txt"));
            file.write("new");
        }
        EXPECT_EQ(test::readFile(dir.file("a.txt")), "old");
        EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{"a.txt"});
    }
}

// The archive writer goes back over what it wrote: the atomic file's stream seeks, reads, rewrites
// and cuts, and publishes what it holds at the end. A file opened for reading refuses writes.
TEST_F(StreamTest, AtomicFileStreamSeeksRewritesAndCuts) {
    const std::string path = dir.file("f.bin");
    {
        AtomicFile file(path);
        Stream& f = file.stream();
        f.write("0123456789");
        EXPECT_EQ(f.size(), 10u);
        EXPECT_EQ(f.seek(2, SeekFrom::Start), 2u);
        f.write("ab");
        EXPECT_EQ(f.seek(0, SeekFrom::End), 10u);
        EXPECT_THROW(f.seek(-11, SeekFrom::End), StreamError);
        f.setSize(6);
        EXPECT_EQ(f.position(), 6u) << "beyond the new end the position moves to it";
        f.seek(0, SeekFrom::Start);
        std::uint8_t buf[8] = {};
        EXPECT_EQ(f.read(buf), 6u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "01ab45");
        file.write("!");
        file.commit();
    }
    EXPECT_EQ(test::readFile(path), "01ab45!");
    auto r = FileStream::openForReading(path);
    EXPECT_EQ(r->size(), 7u);
    EXPECT_THROW(r->write("x"), StreamError);
    EXPECT_EQ(test::readFile(path), "01ab45!");
}

TEST_F(StreamTest, SizeGateCodes) {
    const std::string path = dir.file("gate.bin");
    test::writeFile(path, std::string(1234, 'x'));
    EXPECT_EQ(fileSizeForGate(path), 1234u);
    auto codeOf = [](const std::string& p) -> std::uint32_t {
        try {
            fileSizeForGate(p);
        } catch (const InputOutputError& e) {
            return e.code();
        }
        return 0;
    };
    EXPECT_EQ(codeOf(""), 6u);
    EXPECT_EQ(codeOf(dir.file("missing")), 2u);
    EXPECT_EQ(codeOf(dir.file("missing/x")), 3u);
    EXPECT_EQ(codeOf(dir.path()), 5u);
    // Refused without being opened, as a FIFO without a writer would block the window.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(codeOf(dir.file("fifo")), 1920u);
    EXPECT_EQ(codeOf("/dev/zero"), 1920u);
    // Read access is enough: a read-only file passes, a file its user may not read does not.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    test::makeWorldAccessible(dir.path());
    EXPECT_EQ(test::runUnprivileged([&] { return fileSizeForGate(path) == 1234u ? 0 : 1; }), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
    EXPECT_EQ(test::runUnprivileged([&] { return static_cast<int>(codeOf(path)); }), 5);
}

TEST_F(StreamTest, AvailableMemoryIsBoundedByTheAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an address-space limit "
                    "leaves it unable to map its own memory";
#endif
    const int rc = test::runInChild([] {
        rlimit limit{std::uint64_t{1} << 30, std::uint64_t{1} << 30};
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            return 3;
        if (availableMemory() >= (std::uint64_t{1} << 30))
            return 1;
        MemoryStream m;
        try {
            m.setSize(std::uint64_t{2} << 30);
            return 2;
        } catch (const OutOfMemoryError&) {
            return 0;
        }
    });
    EXPECT_EQ(rc, 0);
}
