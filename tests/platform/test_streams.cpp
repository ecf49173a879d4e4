#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/FileSize.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/Streams.h"
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

std::string contentOf(const TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<std::size_t>(m.Size()));
}

// Saves write named temporaries, as on file systems without unnamed files, while it lives.
struct NamedTemporaries {
    explicit NamedTemporaries(bool named) { UseNamedTemporariesForTesting(named); }
    NamedTemporaries(const NamedTemporaries&) = delete;
    NamedTemporaries& operator=(const NamedTemporaries&) = delete;
    ~NamedTemporaries() { UseNamedTemporariesForTesting(false); }
};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LC_ALL", "C.UTF-8", 1); }
    TempDir dir;
};

} // namespace

TEST_F(StreamTest, MemoryStreamReadWriteSeekAndSize) {
    TMemoryStream m;
    EXPECT_EQ(m.GetSize(), 0);
    EXPECT_EQ(m.GetPosition(), 0);
    EXPECT_EQ(m.Write("hello world", 11), 11);
    EXPECT_EQ(m.GetPosition(), 11);
    char buf[16] = {};
    EXPECT_EQ(m.Read(buf, 4), 0) << "at the end a read returns 0";
    EXPECT_EQ(m.Seek(-5, SeekOrigin::soEnd), 6);
    EXPECT_EQ(m.Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(m.Seek(2, SeekOrigin::soBeginning), 2);
    EXPECT_EQ(m.Seek(3, SeekOrigin::soCurrent), 5);

    // Setting the size keeps the position unless it lies beyond the new end.
    m.SetPosition(3);
    m.SetSize(20);
    EXPECT_EQ(m.GetPosition(), 3);
    EXPECT_EQ(m.GetSize(), 20);
    EXPECT_EQ(contentOf(m).substr(11), std::string(9, '\0'));
    m.SetPosition(15);
    m.SetSize(4);
    EXPECT_EQ(m.GetPosition(), 4);
    EXPECT_EQ(contentOf(m), "hell");

    // Writing after a seek past the end fills the gap with zeros.
    m.SetPosition(6);
    m.Write("!", 1);
    EXPECT_EQ(contentOf(m), std::string("hell\0\0!", 7));
}

TEST_F(StreamTest, MemoryStreamGrowsAcrossManySmallWrites) {
    TMemoryStream m;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        m.Write(&c, 1);
        expected.push_back(c);
    }
    EXPECT_EQ(contentOf(m), expected);
}

TEST_F(StreamTest, MemoryStreamThatCannotGrowRaisesTheFixedText) {
    TMemoryStream m;
    try {
        m.SetSize(std::int64_t{1} << 62);
        FAIL() << "no error";
    } catch (const OutOfMemoryError& e) {
        EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
    }
    EXPECT_EQ(m.GetSize(), 0) << "a failed growth changes nothing";
}

TEST_F(StreamTest, LoadReplacesContentAndRewinds) {
    const std::string path = dir.file("data.bin");
    const std::string bytes = test::randomBytes(300000);
    test::writeFile(path, bytes);
    TMemoryStream m;
    m.Write("old", 3);
    m.LoadFromFile(path);
    EXPECT_EQ(m.GetPosition(), 0);
    EXPECT_EQ(contentOf(m), bytes);
    test::writeFile(path, "");
    m.LoadFromFile(path);
    EXPECT_EQ(m.GetSize(), 0);
}

TEST_F(StreamTest, OpenErrorsNameTheFullPathAndTheSystemText) {
    TMemoryStream m;
    const std::string missing = dir.file("missing.txt");
    try {
        m.LoadFromFile(missing);
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + missing + "\". The system cannot find the file specified");
        EXPECT_EQ(GetLastError(), 2u);
    }
    const std::string inMissingFolder = dir.file("nope/missing.txt");
    try {
        m.LoadFromFile(inMissingFolder);
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + inMissingFolder + "\". The system cannot find the path specified");
    }
    // A folder is not a file.
    try {
        m.LoadFromFile(dir.path());
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"" + dir.path() + "\". Access is denied");
    }
    // An empty name names no file.
    try {
        m.LoadFromFile("");
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"\". The system cannot find the path specified");
    }
}

// A file that shrinks, is emptied or grows while it is read is refused, never taken as read: by a
// load into a memory stream and by the reader of small input files alike.
TEST_F(StreamTest, AFileThatChangesSizeWhileReadIsRefused) {
    const std::string path = dir.file("меняется.bin");
    for (const off_t newSize : {50000, 0, 150000}) {
        test::writeFile(path, test::randomBytes(100000));
        TFileStream stream(path, fmOpenRead);
        InputFile file(path);
        char head[1000];
        ASSERT_EQ(stream.Read(head, sizeof head), 1000);
        ASSERT_EQ(file.read(head, sizeof head), 1000);
        ASSERT_EQ(::truncate(path.c_str(), newSize), 0);
        TMemoryStream m;
        try {
            m.LoadFromStream(stream);
            ADD_FAILURE() << "loaded " << m.Size() << " bytes of " << newSize;
        } catch (const FileChangedError& e) {
            EXPECT_EQ(e.message(), "The size of \"" + path + "\" changed while it was read");
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
    TMemoryStream m;
    try {
        m.LoadFromFile("sub/../x.txt");
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + dir.path() + "/x.txt\". The system cannot find the file specified");
    }
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST_F(StreamTest, RussianLocaleGivesRussianSystemText) {
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    TMemoryStream m;
    try {
        m.LoadFromFile(dir.file("нет.txt"));
        FAIL();
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(),
                  "Cannot open file \"" + dir.file("нет.txt") + "\". Не удается найти указанный файл");
    }
}

TEST_F(StreamTest, SaveWritesWholeContentWhateverThePosition) {
    TMemoryStream m;
    m.Write("abcdef", 6);
    m.SetPosition(2);
    const std::string path = dir.file("out.bin");
    m.SaveToFile(path);
    EXPECT_EQ(test::readFile(path), "abcdef");
    // Replaces an existing file without asking, keeping its permission bits.
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    TMemoryStream other;
    other.Write("xy", 2);
    other.SaveToFile(path);
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
        file.WriteAll("secret", 6);
        struct stat st {};
        ASSERT_EQ(::fstat(file.Stream().Handle(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << named << ": while it is written";
        file.Commit();
        ASSERT_EQ(::stat(file.TargetName().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << named;
    }
    ::umask(old);
}

TEST_F(StreamTest, SaveOverASymlinkReplacesTheLinkNotTheFileItPointsTo) {
    test::writeFile(dir.file("real.bin"), "old");
    ASSERT_EQ(::symlink(dir.file("real.bin").c_str(), dir.file("link.bin").c_str()), 0);
    TMemoryStream m;
    m.Write("new", 3);
    m.SaveToFile(dir.file("link.bin"));
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
        TMemoryStream m;
        m.Write("garbage", 7);
        try {
            m.SaveToFile(target);
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
        TMemoryStream m;
        m.Write("x", 1);
        try {
            m.SaveToFile(target);
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
        IgnoreFileSizeSignal();
        rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
        TMemoryStream m;
        m.SetSize(100000);
        try {
            m.SaveToFile(target);
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
    TMemoryStream m;
    try {
        m.SaveToFile(dir.path());
        FAIL();
    } catch (const FileCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + dir.path() + "\". Access is denied");
    }
}

TEST_F(StreamTest, TemporaryNamesAreHiddenAndRecognisable) {
    std::optional<NamedTemporaries> way(true);
    AtomicFile file(dir.file("report.pdf.sig"));
    way.reset();
    const std::string temp = fileNameOf(file.TemporaryName());
    EXPECT_EQ(temp.front(), '.');
    EXPECT_TRUE(IsTemporarySaveName(temp));
    EXPECT_FALSE(IsTemporarySaveName("report.pdf.sig"));
    EXPECT_FALSE(IsTemporarySaveName(".plombar-tmp"));
    EXPECT_TRUE(test::fileExists(file.TemporaryName()));
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
            const std::string temp = fileNameOf(file.TemporaryName());
            EXPECT_LE(temp.size(), 255u) << unit;
            EXPECT_TRUE(IsTemporarySaveName(temp)) << unit;
            EXPECT_EQ(temp.substr(1, 3 * unit.size()), unit + unit + unit) << unit;
            EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(temp)), temp) << unit << ": cut inside a character";
            file.WriteAll("new", 3);
            file.Commit();
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
            file.WriteAll("new", 3);
        }
        EXPECT_EQ(test::readFile(dir.file("a.txt")), "old");
        EXPECT_EQ(test::listFolder(dir.path()), std::vector<std::string>{"a.txt"});
    }
}

TEST_F(StreamTest, FileStreamCreateOpenAndShortWrites) {
    const std::string path = dir.file("f.bin");
    {
        TFileStream f(path, fmCreate);
        EXPECT_EQ(f.Write("0123456789", 10), 10);
        EXPECT_EQ(f.GetSize(), 10);
        EXPECT_EQ(f.Seek(0, SeekOrigin::soEnd), 10);
        f.SetSize(4);
        EXPECT_EQ(f.GetPosition(), 4);
    }
    TFileStream r(path, fmOpenRead | fmShareDenyNone);
    char buf[8] = {};
    EXPECT_EQ(r.Read(buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(r.Read(buf, 8), 0);
    EXPECT_THROW(TFileStream(dir.file("none"), fmOpenRead), FileOpenError);
    try {
        TFileStream(dir.file("no/dir/x"), fmCreate);
        FAIL();
    } catch (const FileCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + dir.file("no/dir/x") +
                                   "\". The system cannot find the path specified");
    }
}

TEST_F(StreamTest, ReadBufferAndWriteBufferRaiseOnShortTransfers) {
    TMemoryStream m;
    m.Write("abc", 3);
    m.SetPosition(0);
    char buf[4];
    EXPECT_THROW(m.ReadBuffer(buf, 4), StreamError);
    test::FailingStream failing(2);
    EXPECT_THROW(failing.WriteBuffer("abc", 3), StreamError);
}

TEST_F(StreamTest, SizeGateCodes) {
    const std::string path = dir.file("gate.bin");
    test::writeFile(path, std::string(1234, 'x'));
    EXPECT_EQ(FileSizeForGate(path), 1234u);
    auto codeOf = [](const std::string& p) -> std::uint32_t {
        try {
            FileSizeForGate(p);
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
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    test::makeWorldAccessible(dir.path());
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
        if (AvailableMemory() >= (std::uint64_t{1} << 30))
            return 1;
        TMemoryStream m;
        try {
            m.SetSize(std::int64_t{2} << 30);
            return 2;
        } catch (const OutOfMemoryError&) {
            return 0;
        }
    });
    EXPECT_EQ(rc, 0);
}
