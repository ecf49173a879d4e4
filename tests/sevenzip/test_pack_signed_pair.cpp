// Packing a signed pair: the archive's name, entries, method and level as the 7z command sees them,
// replacing, files gone before packing, every failure with its exact text, and who holds the library.
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/Progress.h"
#include "platform/SystemErrors.h"
#include "sevenzip/PackSignedPair.h"

#include <algorithm>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SevenZipTestSupport.h"
#include "TestSupport.h"

using namespace plombar;
using namespace plombar::sevenzip;
using plombar::test::listArchive;
using plombar::test::readFile;
using plombar::test::run7z;
using plombar::test::shellQuote;
using plombar::test::TempDir;
using plombar::test::writeFile;

namespace {

std::string fake(const std::string& name) {
    return std::string(FAKE7Z_DIR) + "/" + name + ".so";
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.message();
    }
    return "(no error)";
}

std::vector<std::string> pathsOf(const std::string& archive) {
    std::vector<std::string> paths;
    for (const auto& entry : listArchive(archive))
        paths.push_back(entry.at("Path"));
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::uint64_t packedTotal(const std::string& archive) {
    std::uint64_t total = 0;
    for (const auto& entry : listArchive(archive))
        if (entry.count("Packed Size") != 0 && !entry.at("Packed Size").empty())
            total += std::stoull(entry.at("Packed Size"));
    return total;
}

// Files beside the archive that a failed save might have left: temporary names and the archive.
std::vector<std::string> leftovers(const std::string& folder, const std::vector<std::string>& keep) {
    std::vector<std::string> rest;
    for (const auto& name : test::listFolder(folder))
        if (std::find(keep.begin(), keep.end(), name) == keep.end())
            rest.push_back(name);
    return rest;
}

class PackSignedPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LC_ALL", "C.UTF-8", 1);
        input = dir.file("договор поставки № 17.pdf");
        signature = input + ".p7s";
        content = test::wordText(1200000, 11);
        writeFile(input, content);
        writeFile(signature, "MIIB signature text\r\n");
    }

    TempDir dir{"plombar-pack-pair"};
    std::string input;
    std::string signature;
    std::string content;
};

} // namespace

TEST(PackSignedPairTexts, FixedTextsAndNames) {
    EXPECT_STREQ(kLibraryFileName, "7z.so");
    EXPECT_EQ(kArchiveMethodNames[kSignedPairMethod], u"BZIP2");
    EXPECT_EQ(kSignedPairLevel, 5u);
    // The literal runs straight into the path: no blank after the colon.
    EXPECT_EQ(archiveCreatedMessage("/home/u/a b.pdf.sig.7z"), "Создан архив:/home/u/a b.pdf.sig.7z");
    EXPECT_EQ(signedPairArchivePath("/x/report.pdf.p7s"), "/x/report.pdf.p7s.7z");
    EXPECT_EQ(signedPairArchivePath("/x/report.pdf.sig"), "/x/report.pdf.sig.7z");
}

struct LayoutCase {
    const char* folder; // under the test folder; "" for the folder itself
    const char* name;
    const char* extension;
};

void PrintTo(const LayoutCase& c, std::ostream* out) {
    *out << '"' << c.folder << "\" \"" << c.name << c.extension << '"';
}

class PackLayout : public ::testing::TestWithParam<LayoutCase> {};

// Two top-level entries under their bare names, whatever folder the pair sits in; the archive
// unpacks to the same bytes with the 7z command.
TEST_P(PackLayout, ArchiveHoldsThePairUnderBareNames) {
    const LayoutCase& c = GetParam();
    TempDir dir("plombar-pack-layout");
    std::string folder = dir.path();
    if (*c.folder != '\0') {
        folder += std::string("/") + c.folder;
        ASSERT_EQ(test::runCommand("mkdir -p " + shellQuote(folder)), 0);
    }
    const std::string input = folder + "/" + c.name;
    const std::string signature = input + c.extension;
    const std::string content = test::randomBytes(70000, 5);
    const std::string signatureBytes = test::randomBytes(900, 6);
    writeFile(input, content);
    writeFile(signature, signatureBytes);

    ComPtr<ArchiveWriter> writer;
    const std::string archive = packSignedPair(input, signature, writer);
    EXPECT_EQ(archive, signature + ".7z");
    EXPECT_TRUE(writer);

    std::vector<std::string> expected{c.name, std::string(c.name) + c.extension};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(pathsOf(archive), expected);
    for (const auto& entry : listArchive(archive)) {
        EXPECT_EQ(entry.at("Method"), "BZip2") << entry.at("Path");
        EXPECT_EQ(entry.at("Attributes").find('D'), std::string::npos) << entry.at("Path");
    }
    EXPECT_EQ(test::archiveProperties(archive).at("Type"), "7z");

    TempDir out("plombar-pack-out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out.path()) + " " + shellQuote(archive)), 0);
    EXPECT_EQ(test::listFolder(out.path()), expected);
    EXPECT_EQ(readFile(out.file(c.name)), content);
    EXPECT_EQ(readFile(out.file(std::string(c.name) + c.extension)), signatureBytes);
    // Packing leaves the pair where it was.
    EXPECT_EQ(readFile(input), content);
    EXPECT_EQ(readFile(signature), signatureBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PackLayout,
    ::testing::Values(LayoutCase{"", "report.pdf", ".sig"}, LayoutCase{"", "report.pdf", ".p7s"},
                      LayoutCase{"Документы/2024 год", "Договор № 5 «Ромашка».docx", ".p7s"},
                      LayoutCase{"a/b/c", "no extension", ".sig"},
                      LayoutCase{"", "emoji \xF0\x9F\x98\x80.txt", ".sig"}));

// Level 5 with BZip2: the same packed size as `7z a -m0=BZip2 -mx=5` of the same pair, and not that
// of a lower level (which cuts smaller blocks and so packs this text differently).
TEST_F(PackSignedPairTest, LevelAndMethodMatchThe7zCommand) {
    ComPtr<ArchiveWriter> writer;
    const std::string archive = packSignedPair(input, signature, writer);
    const auto reference = [&](int level) {
        const std::string path = dir.file("ref" + std::to_string(level) + ".7z");
        EXPECT_EQ(run7z("a -t7z -m0=BZip2 -mx=" + std::to_string(level) + " " + shellQuote(path) + " " +
                        shellQuote(input) + " " + shellQuote(signature)),
                  0);
        return packedTotal(path);
    };
    EXPECT_EQ(packedTotal(archive), reference(5));
    EXPECT_NE(packedTotal(archive), reference(3));
    EXPECT_EQ(run7z("t " + shellQuote(archive)), 0);
}

TEST_F(PackSignedPairTest, AnExistingArchiveIsReplaced) {
    const std::string archive = signature + ".7z";
    writeFile(archive, "not an archive at all");
    ComPtr<ArchiveWriter> writer;
    EXPECT_EQ(packSignedPair(input, signature, writer), archive);
    EXPECT_EQ(run7z("t " + shellQuote(archive)), 0);
    // Signing again over the same file replaces the archive once more.
    writeFile(signature, "second signature");
    writer = nullptr;
    packSignedPair(input, signature, writer);
    TempDir out("plombar-pack-out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out.path()) + " " + shellQuote(archive)), 0);
    EXPECT_EQ(readFile(out.file(fileNameOf(signature))), "second signature");
    EXPECT_EQ(leftovers(dir.path(), {fileNameOf(input), fileNameOf(signature), fileNameOf(archive)}),
              std::vector<std::string>{});
}

// A file gone before packing is left out without a message.
TEST_F(PackSignedPairTest, AFileGoneIsLeftOut) {
    ASSERT_EQ(::unlink(input.c_str()), 0);
    ComPtr<ArchiveWriter> writer;
    const std::string archive = packSignedPair(input, signature, writer);
    EXPECT_EQ(pathsOf(archive), std::vector<std::string>{fileNameOf(signature)});
}

// The writer is handed out before anything can fail after the load, and the library stays loaded
// for exactly as long as the caller holds it.
TEST_F(PackSignedPairTest, TheCallerHoldsTheLibrary) {
    const std::string library = test::kSystemLibrary;
    ASSERT_FALSE(test::libraryLoaded(library));
    {
        ComPtr<ArchiveWriter> writer;
        packSignedPair(input, signature, writer);
        EXPECT_TRUE(test::libraryLoaded(library));
    }
    EXPECT_FALSE(test::libraryLoaded(library));

    // After a failure past the load the writer is still the caller's, until it lets go.
    ASSERT_EQ(::unlink((signature + ".7z").c_str()), 0);
    ASSERT_EQ(::mkdir((signature + ".7z").c_str(), 0700), 0);
    ComPtr<ArchiveWriter> writer;
    EXPECT_NE(messageOf([&] { packSignedPair(input, signature, writer); }), "(no error)");
    EXPECT_TRUE(writer);
    EXPECT_TRUE(test::libraryLoaded(library));
    writer = nullptr;
    EXPECT_FALSE(test::libraryLoaded(library));
}

struct LibraryFailure {
    const char* library; // a stand-in library, or a path that does not exist
    const char* message; // "%s" is the library's name as given
    bool writerHeld;     // the failure comes after the library was loaded
};

void PrintTo(const LibraryFailure& c, std::ostream* out) {
    *out << c.library;
}

class PackLibraryFailures : public PackSignedPairTest,
                            public ::testing::WithParamInterface<LibraryFailure> {};

// Each failure of the library has its own text; the signature stays, no archive is written, and a
// library that was loaded stays with the writer the caller holds.
TEST_P(PackLibraryFailures, TextAndWhatStays) {
    const LibraryFailure& c = GetParam();
    const std::string library =
        std::string(c.library).find('/') == std::string::npos ? fake(c.library) : c.library;
    std::string expected = c.message;
    if (const auto at = expected.find("%s"); at != std::string::npos)
        expected.replace(at, 2, library);

    ComPtr<ArchiveWriter> writer;
    EXPECT_EQ(messageOf([&] { packSignedPair(input, signature, writer, library); }), expected);
    EXPECT_EQ(static_cast<bool>(writer), c.writerHeld);
    EXPECT_EQ(test::libraryLoaded(library), c.writerHeld);
    writer = nullptr;
    EXPECT_FALSE(test::libraryLoaded(library));
    EXPECT_EQ(readFile(signature), "MIIB signature text\r\n");
    EXPECT_EQ(leftovers(dir.path(), {fileNameOf(input), fileNameOf(signature)}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackLibraryFailures,
    ::testing::Values(LibraryFailure{"/nonexistent/7z.so", "Error loading library %s", false},
                      LibraryFailure{"fake7z-no-create", "%s is not a 7z library", false},
                      LibraryFailure{"fake7z-no-handler", "%s is not a Format library", false},
                      LibraryFailure{
                          "fake7z-old-layout",
                          "%s has an incompatible interface layout (7-Zip 23 or later is required)", false},
                      // The library refuses the 7z handler: the system text of its code (E_NOINTERFACE here).
                      LibraryFailure{"fake7z-nointerface", "No such interface supported", true},
                      // The handler exists but takes no properties.
                      LibraryFailure{"fake7z-ok-sfalse", "Interface not supported", true}));

TEST_F(PackSignedPairTest, TheArchiveCannotBeCreated) {
    const std::string archive = signature + ".7z";
    // A folder of the archive's name: even root cannot replace it with a file.
    ASSERT_EQ(::mkdir(archive.c_str(), 0700), 0);
    ComPtr<ArchiveWriter> writer;
    EXPECT_EQ(messageOf([&] { packSignedPair(input, signature, writer); }),
              "Cannot create file \"" + archive + "\". Access is denied");
    EXPECT_EQ(leftovers(dir.path(), {fileNameOf(input), fileNameOf(signature), fileNameOf(archive)}),
              std::vector<std::string>{});

    // A folder without write rights, for a user whom permission bits bind.
    TempDir locked("plombar-pack-locked");
    test::makeWorldAccessible(locked.path());
    const std::string lockedInput = locked.file("a.txt");
    writeFile(lockedInput, "data");
    writeFile(lockedInput + ".sig", "sig");
    ASSERT_EQ(::chmod(locked.path().c_str(), 0555), 0);
    const int code = test::runUnprivileged([&] {
        ComPtr<ArchiveWriter> w;
        const std::string m = messageOf([&] { packSignedPair(lockedInput, lockedInput + ".sig", w); });
        return m == "Cannot create file \"" + lockedInput + ".sig.7z\". Access is denied" ? 0 : 1;
    });
    ::chmod(locked.path().c_str(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(test::listFolder(locked.path()), (std::vector<std::string>{"a.txt", "a.txt.sig"}));
}

// A write that fails half-way (a file size limit, which binds root too) names its cause, leaves no
// partial archive, and keeps an archive that was there before.
TEST_F(PackSignedPairTest, AFailedWriteNamesItsCause) {
    const std::string archive = signature + ".7z";
    writeFile(archive, "earlier archive");
    const int code = test::runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{65536, 65536};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ComPtr<ArchiveWriter> writer;
        const std::string message = messageOf([&] { packSignedPair(input, signature, writer); });
        const std::string expected =
            "Cannot create file \"" + archive + "\". " + systemMessage(winerr::ERROR_FILE_TOO_LARGE);
        if (message != expected) {
            std::fprintf(stderr, "got: %s\nwanted: %s\n", message.c_str(), expected.c_str());
            return 1;
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile(archive), "earlier archive");
    EXPECT_EQ(leftovers(dir.path(), {fileNameOf(input), fileNameOf(signature), fileNameOf(archive)}),
              std::vector<std::string>{});
}

// "Отмена" as packing begins and once the library has counted (it is stopped with E_ABORT): no archive,
// no temporary file, an older archive as it was. Not cancelled, the stage counts up to the pair's size.
TEST_F(PackSignedPairTest, ProgressAndCancel) {
    struct Dialog final : Progress {
        std::optional<std::uint64_t> cancelAt;
        std::string stage;
        std::uint64_t total = 0;
        void beginStage(std::string_view title, std::uint64_t bytes) override {
            stage = title;
            total = bytes;
            advance(0);
        }
        void advance(std::uint64_t done) override {
            if (cancelAt && done >= *cancelAt)
                throw CancelledError();
        }
    };
    const std::string archive = signature + ".7z";
    for (const std::optional<std::uint64_t> cancelAt :
         {std::optional<std::uint64_t>(0), std::optional<std::uint64_t>(1), std::optional<std::uint64_t>()}) {
        SCOPED_TRACE(cancelAt ? std::to_string(*cancelAt) : "not cancelled");
        writeFile(archive, "earlier archive");
        Dialog dialog;
        dialog.cancelAt = cancelAt;
        ComPtr<ArchiveWriter> writer;
        const std::string message =
            messageOf([&] { packSignedPair(input, signature, writer, kLibraryFileName, dialog); });
        EXPECT_EQ(dialog.stage, "Упаковка");
        EXPECT_EQ(leftovers(dir.path(), {fileNameOf(input), fileNameOf(signature), fileNameOf(archive)}),
                  std::vector<std::string>{});
        EXPECT_EQ(message, cancelAt ? "Операция отменена пользователем" : "(no error)");
        EXPECT_EQ(readFile(archive) == "earlier archive", cancelAt.has_value());
        if (!cancelAt) {
            EXPECT_EQ(dialog.total, content.size() + readFile(signature).size());
        }
    }
}
