// The output archive writer against the real /usr/lib/p7zip/7z.so, checked with the 7z command.
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "sevenzip/ArchiveBuilder.h"
#include "sevenzip/ArchiveWriter.h"
#include "sevenzip/FileEnumeration.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <set>
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

ArchiveBuilder& impl(const ComPtr<ArchiveWriter>& writer) {
    return *static_cast<ArchiveBuilder*>(writer.get());
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.message();
    }
    return "(no error)";
}

std::uint64_t packedTotal(const std::string& archive) {
    std::uint64_t total = 0;
    for (const auto& entry : listArchive(archive))
        if (entry.count("Packed Size") != 0 && !entry.at("Packed Size").empty())
            total += std::stoull(entry.at("Packed Size"));
    return total;
}

// The stored paths, sorted (the library orders items its own way).
std::vector<std::string> pathsOf(const std::string& archive) {
    std::vector<std::string> paths;
    for (const auto& entry : listArchive(archive))
        paths.push_back(entry.at("Path"));
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::map<std::string, std::string> entryNamed(const std::string& archive, const std::string& path) {
    for (const auto& entry : listArchive(archive))
        if (entry.at("Path") == path)
            return entry;
    ADD_FAILURE() << path << " is not in " << archive;
    return {};
}

class Writer : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LC_ALL", "C.UTF-8", 1);
        setenv("TZ", "UTC", 1); // 7z l shows local times
        live_ = RefCountedObject::liveObjects();
        alpha = dir.file("alpha.txt");
        beta = dir.file("beta.dat");
        writeFile(alpha, test::wordText(300000));
        writeFile(beta, test::randomBytes(70000, 3));
    }
    void TearDown() override {
        EXPECT_EQ(RefCountedObject::liveObjects(), live_)
            << "a reference the library took was not given back";
        EXPECT_FALSE(test::libraryLoaded(test::kSystemLibrary)) << "the library stayed loaded";
    }

    static ComPtr<ArchiveWriter> newWriter() {
        return createArchiveWriter(kClassId7zFormat, test::kSystemLibrary);
    }

    // `7z a` on the same files, from their folder so that the stored names are bare.
    std::string referenceArchive(const std::string& switches, const std::vector<std::string>& names) {
        const std::string archive = dir.file("reference-" + std::to_string(++references_) + ".7z");
        std::string command = "a -t7z " + switches + " " + shellQuote(archive);
        for (const auto& name : names)
            command += " " + shellQuote(name);
        std::string output;
        EXPECT_EQ(test::runCommand("cd " + shellQuote(dir.path()) + " && 7z " + command + " </dev/null 2>&1",
                                   &output),
                  0)
            << output;
        return archive;
    }

    std::vector<std::string> temporaryFiles() const {
        std::vector<std::string> found;
        for (const auto& name : test::listFolder(dir.path()))
            if (isTemporarySaveName(name))
                found.push_back(name);
        return found;
    }

    TempDir dir;
    std::string alpha;
    std::string beta;

private:
    std::int64_t live_ = 0;
    int references_ = 0;
};

TEST_F(Writer, TwoFilesAtLevelFiveWithBzip2MatchThe7zCommand) {
    const std::string archive = dir.file("pair.7z");
    {
        auto writer = newWriter();
        writer->addFile(alpha, u"alpha.txt");
        writer->addFile(beta, u"beta.dat");
        setLevelProperty(*writer, 5);
        setMethodProperty(*writer, 2);
        writer->saveToFile(archive);
        EXPECT_EQ(impl(writer).refCount(), 1) << "the library gave back the callback's references";
    }
    std::string output;
    ASSERT_EQ(run7z("t " + shellQuote(archive), &output), 0) << output;
    EXPECT_EQ(pathsOf(archive), (std::vector<std::string>{"alpha.txt", "beta.dat"}));
    EXPECT_EQ(entryNamed(archive, "alpha.txt").at("Size"), "300000");
    EXPECT_EQ(entryNamed(archive, "beta.dat").at("Size"), "70000");
    for (const auto& entry : listArchive(archive))
        EXPECT_EQ(entry.at("Method"), "BZip2");
    EXPECT_EQ(test::archiveProperties(archive).at("Type"), "7z");

    const std::string reference = referenceArchive("-m0=BZip2 -mx=5", {"alpha.txt", "beta.dat"});
    EXPECT_EQ(packedTotal(archive), packedTotal(reference));

    const std::string out = dir.file("out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out) + " " + shellQuote(archive)), 0);
    EXPECT_EQ(readFile(out + "/alpha.txt"), readFile(alpha));
    EXPECT_EQ(readFile(out + "/beta.dat"), readFile(beta));
}

// The library starts from its defaults on every SetProperties call; the writer sends everything set
// so far each time, so both the level and the method take effect whatever their order.
TEST_F(Writer, EveryPropertySetSoFarTakesEffect) {
    const std::string big = dir.file("big.txt");
    writeFile(big, test::wordText(1500000, 11));
    struct Case {
        const char* why;
        std::function<void(ArchiveWriter&)> configure;
        const char* switches;
    };
    const Case cases[] = {
        {"level 1, then method",
         [](ArchiveWriter& w) {
             setLevelProperty(w, 1);
             setMethodProperty(w, 2);
         },
         "-m0=BZip2 -mx=1"},
        {"level 9, then method",
         [](ArchiveWriter& w) {
             setLevelProperty(w, 9);
             setMethodProperty(w, 2);
         },
         "-m0=BZip2 -mx=9"},
        {"method, then level 1",
         [](ArchiveWriter& w) {
             setMethodProperty(w, 2);
             setLevelProperty(w, 1);
         },
         "-m0=BZip2 -mx=1"},
        {"a later value replaces an earlier one of the same name, case ignored",
         [](ArchiveWriter& w) {
             setLevelProperty(w, 1);
             setMethodProperty(w, 2);
             setNumberProperty(w, u"x", 9);
         },
         "-m0=BZip2 -mx=9"},
        {"a rejected property leaves the earlier ones in force",
         [](ArchiveWriter& w) {
             setLevelProperty(w, 1);
             setMethodProperty(w, 2);
             EXPECT_EQ(messageOf([&] { setNumberProperty(w, u"qqq", 1); }), "The parameter is incorrect");
         },
         "-m0=BZip2 -mx=1"},
    };
    std::set<std::uint64_t> sizes;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const std::string archive = dir.file("levels.7z");
        {
            auto writer = newWriter();
            writer->addFile(big, u"big.txt");
            c.configure(*writer);
            writer->saveToFile(archive);
        }
        EXPECT_EQ(listArchive(archive).at(0).at("Method"), "BZip2");
        const std::string reference = referenceArchive(c.switches, {"big.txt"});
        EXPECT_EQ(packedTotal(archive), packedTotal(reference));
        sizes.insert(packedTotal(archive));
    }
    EXPECT_EQ(sizes.size(), 2u) << "levels 1 and 9 must give different archives";
}

TEST_F(Writer, StreamItemsOwnedAndBorrowed) {
    const std::string archive = dir.file("streams.7z");
    bool ownedGone = false;
    bool borrowedGone = false;
    test::TrackingStream borrowed(std::string(5000, 'b'), &borrowedGone);
    borrowed.seek(123, SeekFrom::Start); // the writer reads from the start whatever the position
    const FILETIME modified = fileTimeFromUnix(1700000000, 0);
    {
        auto writer = newWriter();
        writer->addStream(std::make_unique<test::TrackingStream>("owned bytes", &ownedGone),
                          {0x20, FILETIME{}, modified, u"dir/owned.txt", false, false});
        writer->addStream(borrowed, {0x20, FILETIME{}, modified, u"borrowed.bin", false, false});
        writer->saveToFile(archive);
        EXPECT_FALSE(ownedGone) << "items live as long as the writer";
        EXPECT_EQ(borrowed.position(), 5000u) << "left where the library stopped reading";
    }
    EXPECT_TRUE(ownedGone);
    EXPECT_FALSE(borrowedGone);
    EXPECT_EQ(pathsOf(archive), (std::vector<std::string>{"borrowed.bin", "dir/owned.txt"}));
    EXPECT_EQ(entryNamed(archive, "dir/owned.txt").at("Modified"), "2023-11-14 22:13:20.0000000");
    const std::string out = dir.file("out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out) + " " + shellQuote(archive)), 0);
    EXPECT_EQ(readFile(out + "/dir/owned.txt"), "owned bytes");
    EXPECT_EQ(readFile(out + "/borrowed.bin"), std::string(5000, 'b'));
}

TEST_F(Writer, NoItemsGiveAValidEmptyArchive) {
    const std::string archive = dir.file("empty.7z");
    newWriter()->saveToFile(archive);
    std::string output;
    EXPECT_EQ(run7z("t " + shellQuote(archive), &output), 0) << output;
    EXPECT_TRUE(listArchive(archive).empty());
}

TEST_F(Writer, AnItemWithoutPathIsStoredWithoutName) {
    const std::string archive = dir.file("nameless.7z");
    {
        auto writer = newWriter();
        writer->addStream(std::make_unique<MemoryStream>(),
                          {0x20, FILETIME{}, FILETIME{}, u"", false, false});
        writer->saveToFile(archive);
    }
    std::string output;
    EXPECT_EQ(run7z("t " + shellQuote(archive), &output), 0) << output;
    EXPECT_EQ(listArchive(archive).size(), 1u);
}

TEST_F(Writer, SaveToStreamTwiceWritesTheSameArchiveAgain) {
    auto writer = newWriter();
    writer->addFile(alpha, u"alpha.txt");
    setLevelProperty(*writer, 5);
    setMethodProperty(*writer, 2);
    MemoryStream first;
    MemoryStream second;
    writer->saveToStream(first);
    writer->saveToStream(second);
    ASSERT_GT(first.size(), 32u);
    EXPECT_EQ(first.bytes(), second.bytes());
    EXPECT_EQ(impl(writer).itemCount(), 1u) << "saving does not empty the queue";
}

TEST_F(Writer, CyrillicAndNonBmpNamesSurviveExtraction) {
    const std::string source = dir.file("Отчёт за 2024.pdf");
    writeFile(source, "содержимое");
    const std::string smile = dir.file("smile.bin");
    writeFile(smile, "\x01\x02\x03");
    const std::string archive = dir.file("имена.7z");
    {
        auto writer = newWriter();
        writer->addFile(source, utf8ToUtf16(fileNameOf(source)));
        writer->addFile(smile, u"папка/\U0001F600 smile.bin");
        writer->saveToFile(archive);
    }
    EXPECT_EQ(pathsOf(archive),
              (std::vector<std::string>{"Отчёт за 2024.pdf", "папка/\U0001F600 smile.bin"}));
    const std::string out = dir.file("out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out) + " " + shellQuote(archive)), 0);
    EXPECT_EQ(test::listFolder(out), (std::vector<std::string>{"Отчёт за 2024.pdf", "папка"}));
    EXPECT_EQ(test::listFolder(out + "/папка"), std::vector<std::string>{"\U0001F600 smile.bin"});
    EXPECT_EQ(readFile(out + "/Отчёт за 2024.pdf"), "содержимое");
    EXPECT_EQ(readFile(out + "/папка/\U0001F600 smile.bin"), "\x01\x02\x03");
}

TEST_F(Writer, AddFileSkipsWhatIsNotAnExistingRegularFile) {
    auto writer = newWriter();
    ::mkfifo(dir.file("pipe").c_str(), 0600);
    ::symlink(alpha.c_str(), dir.file("link").c_str());
    for (const std::string& name : {dir.file("missing.txt"), dir.path(), dir.file("pipe"), std::string()})
        writer->addFile(name, u"x");
    EXPECT_EQ(impl(writer).itemCount(), 0u);
    writer->addFile(dir.file("link"), u"via-link.txt"); // a link to a file counts as the file
    ASSERT_EQ(impl(writer).itemCount(), 1u);
    EXPECT_EQ(impl(writer).item(0).size, 300000u);

    // Sizes of 4 GiB and more are described truthfully, not by their low 32 bits (a sparse file).
    const std::string huge = dir.file("huge.bin");
    writeFile(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), (std::int64_t{5} << 30) + 7), 0);
    writer->addFile(huge, u"huge.bin");
    PROPVARIANT size{};
    ASSERT_EQ(writer.as<IArchiveUpdateCallback>()->GetProperty(1, kpidSize, &size), S_OK);
    EXPECT_EQ(size.vt, VT_UI8);
    EXPECT_EQ(size.uhVal, (std::uint64_t{5} << 30) + 7);
}

TEST_F(Writer, FailedSavesKeepTheExistingArchiveAndLeaveNoTemporaryFile) {
    const std::string archive = dir.file("keep.7z");
    {
        auto writer = newWriter();
        writer->addFile(alpha, u"alpha.txt");
        writer->saveToFile(archive);
    }
    const std::string before = readFile(archive);
    const std::string gone = dir.file("gone.txt");
    writeFile(gone, "soon deleted");
    struct Case {
        const char* why;
        std::function<void(ArchiveWriter&)> prepare;
        std::string message;
    };
    const Case cases[] = {
        {"unknown method: UpdateItems refuses it",
         [](ArchiveWriter& w) {
             PROPVARIANT value{};
             std::wstring nope = L"NOPE";
             value.vt = VT_BSTR;
             value.bstrVal = nope.data();
             w.setProperty(u"0", value);
         },
         "The parameter is incorrect"},
        {"a queued file vanished before saving",
         [&](ArchiveWriter& w) {
             w.addFile(gone, u"gone.txt");
             ::unlink(gone.c_str());
         },
         "Cannot open file \"" + gone + "\". The system cannot find the file specified"},
        {"the progress callback stops it",
         [](ArchiveWriter& w) {
             w.setProgressCallback(nullptr, [](void*, bool, UInt64) -> HRESULT { return E_ABORT; });
         },
         "Operation aborted"},
        {"the progress callback tries to change the queue",
         [](ArchiveWriter& w) {
             w.setProgressCallback(&w, [](void* sender, bool, UInt64) -> HRESULT {
                 static_cast<ArchiveWriter*>(sender)->clearItems();
                 return S_OK;
             });
         },
         "The archive writer cannot change its items or settings while it is saving"},
        {"the progress callback raises an error",
         [](ArchiveWriter& w) {
             w.setProgressCallback(nullptr, [](void*, bool isTotal, UInt64) -> HRESULT {
                 if (!isTotal)
                     throw Error("stopped by the user");
                 return S_OK;
             });
         },
         "stopped by the user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto writer = newWriter();
        writer->addFile(beta, u"beta.dat");
        c.prepare(*writer);
        EXPECT_EQ(messageOf([&] { writer->saveToFile(archive); }), c.message);
        EXPECT_EQ(readFile(archive), before) << "the existing archive must stay as it was";
        EXPECT_TRUE(temporaryFiles().empty());
        EXPECT_EQ(impl(writer).refCount(), 1);
    }
    // And a new name is not created at all.
    auto writer = newWriter();
    writeFile(gone, "soon deleted");
    writer->addFile(gone, u"gone.txt");
    ::unlink(gone.c_str());
    EXPECT_NE(messageOf([&] { writer->saveToFile(dir.file("new.7z")); }), "(no error)");
    EXPECT_FALSE(test::fileExists(dir.file("new.7z")));
}

TEST_F(Writer, SavingOverAnExistingFileReplacesIt) {
    const std::string archive = dir.file("replace.7z");
    writeFile(archive, std::string(1 << 20, 'G')); // longer than the new archive
    ::chmod(archive.c_str(), 0640);
    {
        auto writer = newWriter();
        writer->addFile(beta, u"beta.dat");
        writer->saveToFile(archive);
    }
    std::string output;
    EXPECT_EQ(run7z("t " + shellQuote(archive), &output), 0) << output;
    EXPECT_EQ(pathsOf(archive), std::vector<std::string>{"beta.dat"});
    struct stat st {};
    ::stat(archive.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "an existing file keeps its permissions";
    EXPECT_LT(st.st_size, 1 << 20);
}

TEST_F(Writer, ASourceThatChangedSizeFailsTheSave) {
    const std::string archive = dir.file("changed.7z");
    const std::string file = dir.file("changing.txt");
    const std::string empty = dir.file("empty.txt");
    MemoryStream stream;
    struct Case {
        const char* why;
        std::function<void(ArchiveWriter&)> prepare;
        std::string label;
    };
    const Case cases[] = {
        {"grew",
         [&](ArchiveWriter& w) {
             writeFile(file, std::string(1000, 'a'));
             w.addFile(file, u"changing.txt");
             writeFile(file, std::string(1500, 'a'));
         },
         file},
        {"shrank",
         [&](ArchiveWriter& w) {
             writeFile(file, std::string(1000, 'a'));
             w.addFile(file, u"changing.txt");
             writeFile(file, std::string(10, 'a'));
         },
         file},
        {"an empty file gained content (the library never reads empty items)",
         [&](ArchiveWriter& w) {
             writeFile(empty, "");
             w.addFile(empty, u"empty.txt");
             writeFile(empty, "late content");
         },
         empty},
        {"a borrowed stream grew",
         [&](ArchiveWriter& w) {
             stream.clear();
             stream.write("abc");
             w.addStream(stream, {0x20, FILETIME{}, FILETIME{}, u"stream.bin", false, false});
             stream.write("def");
         },
         "stream.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto writer = newWriter();
        writer->addFile(alpha, u"alpha.txt");
        c.prepare(*writer);
        EXPECT_EQ(messageOf([&] { writer->saveToFile(archive); }),
                  "The size of \"" + c.label + "\" changed after it was added to the archive");
        EXPECT_FALSE(test::fileExists(archive));
        EXPECT_TRUE(temporaryFiles().empty());
    }
    // Unchanged, the same kinds of items are fine.
    writeFile(empty, "");
    auto writer = newWriter();
    writer->addFile(empty, u"empty.txt");
    writer->addFile(alpha, u"alpha.txt");
    writer->saveToFile(archive);
    EXPECT_EQ(entryNamed(archive, "empty.txt").at("Size"), "0");
}

TEST_F(Writer, WriteFailuresNameTheirCause) {
    auto writer = newWriter();
    writer->addFile(beta, u"beta.dat");
    // The destination's own error, not the library's bare "Unspecified error".
    test::FailingStream full(100);
    EXPECT_EQ(messageOf([&] { writer->saveToStream(full); }), messageOf([] { test::raiseDiskFull(); }));

    // A file size limit makes the write fail for root too; the archive file is not created.
    const std::string archive = dir.file("limited.7z");
    const int code = test::runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string message = messageOf([&] { writer->saveToFile(archive); });
        const std::string expected = "Cannot create file \"" + archive +
                                     "\". The file size exceeds the limit allowed and cannot be saved";
        return message == expected ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(test::fileExists(archive));
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(Writer, ClearItemsFreesOwnedStreamsOnly) {
    bool ownedGone = false;
    bool borrowedGone = false;
    test::TrackingStream borrowed("b", &borrowedGone);
    auto writer = newWriter();
    writer->addStream(std::make_unique<test::TrackingStream>("o", &ownedGone),
                      {0, FILETIME{}, FILETIME{}, u"o", false, false});
    writer->addStream(borrowed, {0, FILETIME{}, FILETIME{}, u"b", false, false});
    writer->addFile(alpha, u"alpha.txt");
    writer->clearItems();
    EXPECT_EQ(impl(writer).itemCount(), 0u);
    EXPECT_TRUE(ownedGone);
    EXPECT_FALSE(borrowedGone);
    borrowed.write("still usable");
}

TEST_F(Writer, PasswordProtectsTheDataAndAnEmptyOneMeansNone) {
    const std::string archive = dir.file("secret.7z");
    const std::string password = "päss wörd\U0001F600";
    {
        auto writer = newWriter();
        writer->addFile(alpha, u"alpha.txt");
        writer->setPassword(utf8ToUtf16(password));
        setMethodProperty(*writer, 2);
        writer->saveToFile(archive);
    }
    std::string output;
    EXPECT_EQ(run7z("t -p" + shellQuote(password) + " " + shellQuote(archive), &output), 0) << output;
    EXPECT_NE(run7z("t -pwrong " + shellQuote(archive)), 0);
    EXPECT_EQ(listArchive(archive, "-p" + shellQuote(password)).at(0).at("Encrypted"), "+");
    EXPECT_EQ(pathsOf(archive), std::vector<std::string>{"alpha.txt"})
        << "names stay readable without \"he\"";

    const std::string plain = dir.file("plain.7z");
    {
        auto writer = newWriter();
        writer->addFile(alpha, u"alpha.txt");
        writer->setPassword(u"");
        writer->saveToFile(plain);
    }
    EXPECT_EQ(run7z("t " + shellQuote(plain), &output), 0) << output;
    EXPECT_EQ(listArchive(plain).at(0).at("Encrypted"), "-");
}

TEST_F(Writer, PasswordCallbackHandsALibraryBstrOrNothing) {
    auto writer = newWriter();
    const auto callback = writer.as<ICryptoGetTextPassword2>();
    ASSERT_TRUE(callback);
    EXPECT_TRUE(impl(writer).bstrs().usesLibraryAllocator()) << "7z.so exports SysAllocStringLen";
    Int32 defined = 7;
    BSTR text = reinterpret_cast<BSTR>(0x10);
    EXPECT_EQ(callback->CryptoGetTextPassword2(&defined, &text), S_OK);
    EXPECT_EQ(defined, 0);
    EXPECT_EQ(text, reinterpret_cast<BSTR>(0x10)) << "the text is left alone";

    writer->setPassword(u"x\U0001F600");
    EXPECT_EQ(callback->CryptoGetTextPassword2(&defined, &text), S_OK);
    EXPECT_EQ(defined, 1);
    ASSERT_EQ(bstrLength(text), 3u) << "the library wipes exactly this many characters";
    EXPECT_EQ(text[0], L'x');
    EXPECT_EQ(text[1], static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(text[2], static_cast<wchar_t>(0xDE00));
    impl(writer).bstrs().release(text);
}

TEST_F(Writer, ClassIdCountsOnlyUntilTheLibraryObjectIsMade) {
    const GUID zip = test::parseGuid("{23170F69-40C1-278A-1000-000110010000}");
    const std::string late = dir.file("late.bin");
    {
        auto writer = newWriter();
        writer->addFile(beta, u"beta.dat");
        setLevelProperty(*writer, 5);
        writer->setClassId(zip);
        EXPECT_TRUE(writer->classId() == zip);
        writer->saveToFile(late);
    }
    EXPECT_EQ(test::archiveProperties(late).at("Type"), "7z");

    const std::string early = dir.file("early.bin");
    {
        auto writer = newWriter();
        writer->setClassId(zip);
        writer->addFile(beta, u"beta.dat");
        writer->saveToFile(early);
    }
    EXPECT_EQ(test::archiveProperties(early).at("Type"), "zip");
    const std::string out = dir.file("out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out) + " " + shellQuote(early)), 0);
    EXPECT_EQ(readFile(out + "/beta.dat"), readFile(beta)) << "stored after a seek back to the start";

    auto writer =
        createArchiveWriter(test::parseGuid("{23170F69-40C1-278A-1000-0001107F0000}"), test::kSystemLibrary);
    EXPECT_EQ(messageOf([&] { setLevelProperty(*writer, 5); }), "ClassFactory cannot supply requested class");
    EXPECT_FALSE(impl(writer).hasLibraryObject());
}

TEST_F(Writer, AddFilesQueuesSubdirectoriesFirstAndMatchesOfTwoMasksTwice) {
    const std::string root = dir.file("tree");
    for (const char* folder : {"", "/sub", "/sub/deeper", "/.dotdir", "/other"})
        ::mkdir((root + folder).c_str(), 0755);
    for (const char* file : {"/b.txt", "/a.log", "/z.TXT", "/.hidden.txt", "/sub/c.txt", "/sub/d.log",
                             "/sub/deeper/e.txt", "/.dotdir/f.txt", "/other/bz.txt"})
        writeFile(root + file, file);
    ::symlink((root + "/sub").c_str(), (root + "/linked").c_str()); // not entered

    struct Case {
        const char* why;
        std::string directory;
        std::string folder;
        bool recurse;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {"recursive",
         root,
         "",
         true,
         {"other/bz.txt", "other/bz.txt", "sub/deeper/e.txt", "sub/c.txt", ".hidden.txt", "b.txt", "z.TXT",
          "b.txt"}},
        {"flat, under an archive folder, directory given with a slash",
         root + "/",
         "pack",
         false,
         {"pack/.hidden.txt", "pack/b.txt", "pack/z.TXT", "pack/b.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto writer = newWriter();
        writer->addFiles(c.directory, c.folder, " *.txt ; b* ", c.recurse);
        std::vector<std::string> paths;
        for (std::size_t i = 0; i < impl(writer).itemCount(); ++i) {
            const QueuedItem& item = impl(writer).item(i);
            paths.push_back(utf16ToUtf8(item.properties.archivePath));
            EXPECT_EQ(item.source, ItemSource::File);
            EXPECT_EQ(readFile(item.fileName).substr(1), paths.back().substr(c.folder.empty() ? 0 : 5));
        }
        EXPECT_EQ(paths, c.paths);
    }
    auto writer = newWriter();
    writer->addFiles(root, "", "*.txt;", true); // the trailing empty mask matches nothing
    EXPECT_EQ(impl(writer).itemCount(), 6u);
    const std::string archive = dir.file("tree.7z");
    writer->saveToFile(archive);
    std::string output;
    EXPECT_EQ(run7z("t " + shellQuote(archive), &output), 0) << output;
    EXPECT_EQ(listArchive(archive).size(), 6u);
}

TEST_F(Writer, PermissionsSurviveExtraction) {
    const std::string script = dir.file("run.sh");
    const std::string secret = dir.file("secret.txt");
    writeFile(script, "#!/bin/sh\n");
    writeFile(secret, "s");
    ::chmod(script.c_str(), 0750);
    ::chmod(secret.c_str(), 0600);
    const std::string archive = dir.file("modes.7z");
    {
        auto writer = newWriter();
        writer->addFile(script, u"run.sh");
        writer->addFile(secret, u"secret.txt");
        writer->saveToFile(archive);
    }
    EXPECT_EQ(entryNamed(archive, "run.sh").at("Attributes"), "A -rwxr-x---");
    EXPECT_EQ(entryNamed(archive, "secret.txt").at("Attributes"), "A -rw-------");
    const std::string out = dir.file("out");
    ASSERT_EQ(run7z("x -o" + shellQuote(out) + " " + shellQuote(archive)), 0);
    struct stat st {};
    ASSERT_EQ(::stat((out + "/run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    ASSERT_EQ(::stat((out + "/secret.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Writer, CallbackAnswersEveryPropertyByTheTableAndNothingElse) {
    ::chmod(alpha.c_str(), 0644);
    struct timespec times[2] = {{1600000000, 0}, {1500000000, 700}};
    ::utimensat(AT_FDCWD, alpha.c_str(), times, 0);
    auto writer = newWriter();
    writer->addFile(alpha, u"folder/alpha.txt");
    writer->addStream(std::make_unique<MemoryStream>(), {0x10, FILETIME{1, 2}, FILETIME{}, u"", true, true});
    const auto callback = writer.as<IArchiveUpdateCallback>();
    ASSERT_TRUE(callback);
    EXPECT_FALSE(writer.as<IProgress>()) << "IProgress alone is not answered";

    const auto ask = [&](UInt32 index, PROPID id) {
        PROPVARIANT value{};
        value.vt = VT_I2; // a marker that an untouched value keeps
        value.iVal = 77;
        EXPECT_EQ(callback->GetProperty(index, id, &value), S_OK) << id;
        return value;
    };
    PROPVARIANT path = ask(0, kpidPath);
    ASSERT_EQ(path.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(path.bstrVal), L"folder/alpha.txt");
    EXPECT_EQ(bstrLength(path.bstrVal), 16u);
    impl(writer).bstrs().release(path.bstrVal);

    const PROPVARIANT size = ask(0, kpidSize);
    EXPECT_EQ(size.vt, VT_UI8);
    EXPECT_EQ(size.uhVal, 300000u);
    const PROPVARIANT attributes = ask(0, kpidAttrib);
    EXPECT_EQ(attributes.vt, VT_UI4);
    EXPECT_EQ(attributes.ulVal, 0x81A48020u);
    const PROPVARIANT modified = ask(0, kpidMTime);
    EXPECT_EQ(modified.vt, VT_FILETIME);
    EXPECT_EQ(fileTimeValue(modified.filetime), 116444736000000000ull + 15000000000000000ull + 7ull);
    const PROPVARIANT created = ask(0, kpidCTime);
    EXPECT_TRUE(created.vt == VT_FILETIME || (created.vt == VT_I2 && created.iVal == 77));
    for (PROPID id : {PROPID{kpidIsDir}, PROPID{kpidIsAnti}}) {
        const PROPVARIANT flag = ask(0, id);
        EXPECT_EQ(flag.vt, VT_BOOL);
        EXPECT_EQ(flag.boolVal, VARIANT_FALSE);
    }
    // Never answered: the access time and ids outside the table.
    for (PROPID id :
         {PROPID{kpidATime}, PROPID{0}, PROPID{1}, PROPID{4}, PROPID{8}, PROPID{22}, PROPID{999}}) {
        const PROPVARIANT other = ask(0, id);
        EXPECT_EQ(other.vt, VT_I2) << id;
        EXPECT_EQ(other.iVal, 77) << id;
    }

    // The stream item: empty path gives nothing, true is all bits set, a zero time gives nothing.
    EXPECT_EQ(ask(1, kpidPath).vt, VT_I2);
    EXPECT_EQ(ask(1, kpidIsDir).boolVal, VARIANT_TRUE);
    EXPECT_EQ(ask(1, kpidIsAnti).boolVal, VARIANT_TRUE);
    EXPECT_EQ(ask(1, kpidAttrib).ulVal, 0x10u);
    EXPECT_EQ(ask(1, kpidMTime).vt, VT_I2);
    const PROPVARIANT streamCreated = ask(1, kpidCTime);
    EXPECT_EQ(streamCreated.vt, VT_FILETIME);
    EXPECT_EQ(fileTimeValue(streamCreated.filetime), (2ull << 32) | 1u);
    EXPECT_EQ(ask(1, kpidSize).uhVal, 0u);

    Int32 newData = 0;
    Int32 newProperties = 0;
    UInt32 indexInArchive = 0;
    EXPECT_EQ(callback->GetUpdateItemInfo(1, &newData, &newProperties, &indexInArchive), S_OK);
    EXPECT_EQ(newData, 1);
    EXPECT_EQ(newProperties, 1);
    EXPECT_EQ(indexInArchive, 0xFFFFFFFFu);

    PROPVARIANT untouched{};
    EXPECT_TRUE(failed(callback->GetProperty(2, kpidPath, &untouched))) << "index outside the queue";
    EXPECT_EQ(untouched.vt, VT_EMPTY);
    ISequentialInStream* nothing = reinterpret_cast<ISequentialInStream*>(0x1);
    EXPECT_TRUE(failed(callback->GetStream(5, &nothing)));
    EXPECT_EQ(nothing, nullptr);
    EXPECT_EQ(callback->SetOperationResult(0), S_OK);

    // GetStream of the file item delivers the file's bytes, then the end.
    ISequentialInStream* raw = nullptr;
    ASSERT_EQ(callback->GetStream(0, &raw), S_OK);
    ComPtr<ISequentialInStream> stream = ComPtr<ISequentialInStream>::adopt(raw);
    std::string content(400000, '\0');
    std::size_t done = 0;
    for (;;) {
        UInt32 n = 0;
        ASSERT_EQ(stream->Read(content.data() + done, 65536, &n), S_OK);
        if (n == 0)
            break;
        done += n;
    }
    content.resize(done);
    EXPECT_EQ(content, readFile(alpha));
}

TEST_F(Writer, ProgressReportsTheTotalAndGrowingCounts) {
    struct Progress {
        std::uint64_t total = 0;
        std::uint64_t last = 0;
        int completedCalls = 0;
        bool decreasing = false;
    } progress;
    auto writer = newWriter();
    writer->addFile(alpha, u"alpha.txt");
    writer->addFile(beta, u"beta.dat");
    writer->setProgressCallback(&progress, [](void* sender, bool isTotal, UInt64 value) -> HRESULT {
        auto& p = *static_cast<Progress*>(sender);
        if (isTotal) {
            p.total = value;
        } else {
            p.decreasing = p.decreasing || value < p.last;
            p.last = value;
            ++p.completedCalls;
        }
        return S_OK;
    });
    writer->saveToFile(dir.file("progress.7z"));
    EXPECT_EQ(progress.total, 370000u);
    EXPECT_GT(progress.completedCalls, 0);
    EXPECT_EQ(progress.last, 370000u);
}

TEST_F(Writer, TheLibrarysIdentifiersAreOurs) {
    auto writer = newWriter();
    void* handle = impl(writer).libraryHandle();
    ASSERT_NE(handle, nullptr);
    const std::pair<const char*, GUID> ids[] = {
        {"IID_IOutArchive", IOutArchive::IID},
        {"IID_ISetProperties", ISetProperties::IID},
        {"IID_IArchiveUpdateCallback", IArchiveUpdateCallback::IID},
        {"IID_ICryptoGetTextPassword2", ICryptoGetTextPassword2::IID},
        {"IID_IProgress", IProgress::IID},
        {"IID_ISequentialInStream", ISequentialInStream::IID},
        {"IID_ISequentialOutStream", ISequentialOutStream::IID},
        {"IID_IInStream", IInStream::IID},
        {"IID_IOutStream", IOutStream::IID},
        {"IID_IStreamGetSize", IStreamGetSize::IID},
        {"IID_IOutStreamFinish", IOutStreamFlush::IID},
    };
    for (const auto& [name, ours] : ids) {
        const void* theirs = ::dlsym(handle, name);
        ASSERT_NE(theirs, nullptr) << name;
        EXPECT_EQ(std::memcmp(theirs, &ours, sizeof ours), 0) << name;
    }
}

} // namespace
