// Saving outputs when the disk is full, when the file size limit is hit and when the process is
// killed in the middle: an existing file of the target's name survives whole, no temporary file is
// left behind by a failure, the error names the target with the system's text, and a temporary
// left by a killed process is never taken for output.

#include "FaultSupport.h"

#include "TestPki.h"
#include "platform/AtomicFile.h"
#include "platform/FileSize.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "sevenzip/ArchiveWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

constexpr const char* kPrecious = "precious: the file that was there before";

// One output of plombar-cli and the command that writes it. In `arguments`, "{T}" stands for the
// test certificate's thumbprint.
struct OutputCase {
    const char* what;
    std::vector<std::string> arguments;
    std::string target;       // the output's name in the work folder
    int exitCode;             // the command's code for this failure
    std::uint64_t room;       // free bytes left on the full disk
    std::uint64_t fileSize;   // RLIMIT_FSIZE for the limit case
    bool storeOnDisk = false; // the store itself lives on the small file system
};

const std::vector<OutputCase>& outputCases() {
    // The input is 200 KB of noise: its attached signature, envelope and archive cannot shrink below
    // that, while a detached signature takes about two kilobytes.
    static const std::vector<OutputCase> cases = {
        {"detached DER signature",
         {"sign", "данные.bin", "--thumbprint", "{T}"},
         "данные.bin.sig",
         12,
         0,
         256},
        {"attached Base64 signature",
         {"sign", "данные.bin", "--thumbprint", "{T}", "--attached", "--base64"},
         "данные.bin.p7s",
         12,
         64 << 10,
         64 << 10},
        {"archive of the signed pair",
         {"sign", "данные.bin", "--thumbprint", "{T}", "--base64", "--7z"},
         "данные.bin.p7s.7z",
         15,
         24 << 10,
         64 << 10},
        {"encrypted file",
         {"encrypt", "данные.bin", "--thumbprint", "{T}"},
         "данные.bin.enc",
         12,
         64 << 10,
         64 << 10},
        {"decrypted file", {"decrypt", "письмо.txt.enc"}, "письмо.txt", 12, 0, 4096},
        {"certificate export",
         {"store", "export", "{T}", "--out", "сертификат.cer"},
         "сертификат.cer",
         12,
         0,
         100},
        {"store entry", {"store", "import", "cert.pem", "--key", "key.pem"}, "", 12, 0, 100, true},
    };
    return cases;
}

class SaveFaults : public ::testing::Test {
protected:
    void SetUp() override {
        thumbprint = store.add(identity);
        input = randomBytes(200 << 10, 7);
        // A message for the decryption case, made in a folder of its own.
        TempDir scratch("plombar-faults-enc");
        writeFile(scratch.file("письмо.txt"), randomBytes(16 << 10, 5));
        const ProgramRun made = runCli({"encrypt", scratch.file("письмо.txt"), "--thumbprint", thumbprint});
        ASSERT_EQ(made.status, 0) << made.err;
        envelope = readFile(scratch.file("письмо.txt.enc"));
    }

    std::vector<std::string> argumentsFor(const OutputCase& c) const {
        std::vector<std::string> arguments;
        for (const std::string& a : c.arguments)
            arguments.push_back(a == "{T}" ? thumbprint : a);
        return arguments;
    }

    // The inputs every command needs, and an existing file of each output's name.
    void prepareFolder(const std::string& folder) const {
        writeFile(folder + "/данные.bin", input);
        writeFile(folder + "/письмо.txt.enc", envelope);
        writeFile(folder + "/cert.pem", identity.pem());
        writeFile(folder + "/key.pem", identity.keyPem());
        for (const OutputCase& c : outputCases())
            if (!c.target.empty())
                writeFile(folder + "/" + c.target, kPrecious);
    }

    // What went wrong with one run, or "" when the failure was handled as it must be. `entry` is the
    // store entry's folder when the store lives in the folder.
    std::string judge(const OutputCase& c, const std::string& folder, const ProgramRun& run,
                      const std::string& systemText, const std::string& storeFolder = {}) const {
        std::string problems;
        const auto expect = [&](bool ok, const std::string& what) {
            if (!ok)
                problems += what + "\n";
        };
        std::string target =
            c.target.empty() ? storeFolder + "/" + thumbprint + ".key" : folder + "/" + c.target;
        expect(run.status == c.exitCode, "exit code " + std::to_string(run.status) + ", stderr: " + run.err);
        const std::string message =
            "plombar-cli: Cannot create file \"" + target + "\". " + systemText + "\n";
        expect(run.err == message, "stderr is \"" + run.err + "\", not \"" + message + "\"");
        if (c.target.empty()) {
            expect(readFile(storeFolder + "/" + thumbprint + ".key") == kPrecious, "the key file changed");
            expect(readFile(storeFolder + "/" + thumbprint + ".cer") == kPrecious,
                   "the certificate file changed");
            expect(temporaryFilesIn(storeFolder).empty(), "a temporary file is left in the store");
        } else {
            expect(readFile(target) == kPrecious, "the existing " + c.target + " changed");
        }
        expect(temporaryFilesIn(folder).empty(), "a temporary file is left behind");
        expect(readFile(folder + "/данные.bin") == input, "the input changed");
        return problems;
    }

    TestStore store;
    TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Сохраняющий");
    std::string thumbprint;
    std::string input;
    std::string envelope;
};

TEST_F(SaveFaults, FullDiskKeepsTheExistingFileAndLeavesNoTemporary) {
    TempDir work("plombar-faults-disk");
    const std::string disk = work.file("диск");
    ASSERT_EQ(::mkdir(disk.c_str(), 0777), 0);
    for (const OutputCase& c : outputCases()) {
        SCOPED_TRACE(c.what);
        const std::optional<std::string> problems = inPrivateTmpfs(disk, 4 << 20, [&]() -> std::string {
            prepareFolder(disk);
            RunOptions options;
            options.folder = disk;
            std::string storeFolder;
            if (c.storeOnDisk) {
                const std::string home = disk + "/home";
                storeFolder = home + "/plombar/stores/MY";
                options.environment.push_back("XDG_DATA_HOME=" + home);
                const ProgramRun imported =
                    runCli({"store", "import", "cert.pem", "--key", "key.pem"}, options);
                if (imported.status != 0)
                    return "the first import failed: " + imported.err;
                writeFile(storeFolder + "/" + thumbprint + ".cer", kPrecious);
                writeFile(storeFolder + "/" + thumbprint + ".key", kPrecious);
            }
            fillFileSystem(disk, c.room, ".filler");
            const ProgramRun run = runCli(argumentsFor(c), options);
            return judge(c, disk, run, systemMessage(winerr::ERROR_DISK_FULL), storeFolder);
        });
        if (!problems)
            GTEST_SKIP() << "this machine does not let the test mount a small file system";
        EXPECT_EQ(*problems, "");
    }
}

TEST_F(SaveFaults, FileSizeLimitKeepsTheExistingFileAndLeavesNoTemporary) {
    for (const OutputCase& c : outputCases()) {
        SCOPED_TRACE(c.what);
        TempDir work("plombar-faults-fsize");
        prepareFolder(work.path());
        RunOptions options;
        options.folder = work.path();
        std::string storeFolder;
        if (c.storeOnDisk) {
            storeFolder = store.folder();
            writeFile(store.certificateFile(thumbprint), kPrecious);
            writeFile(store.keyFile(thumbprint), kPrecious);
            ::chmod(store.keyFile(thumbprint).c_str(), 0600);
        }
        options.limits.fileSize = c.fileSize;
        const ProgramRun run = runCli(argumentsFor(c), options);
        EXPECT_EQ(judge(c, work.path(), run, systemMessage(winerr::ERROR_FILE_TOO_LARGE), storeFolder), "");
        if (c.storeOnDisk)
            store.add(identity); // back as it was for the next case
    }
}

// What stands in an output's place. A symbolic link is replaced as a name, never written through,
// whether it points at the command's own input ("x.enc -> x") or at a file elsewhere
// ("x -> ~/.bashrc"). A folder, FIFO, socket or device (a copy of /dev/null's node, where the test
// may make one) is refused with the create error before anything is written, and stays as it was:
// root used to replace a device node, and opening a FIFO would wait for a reader.
TEST_F(SaveFaults, WhatStandsInAnOutputsPlace) {
    TempDir elsewhere("plombar-faults-victim");
    const std::string victim = elsewhere.file(".bashrc");
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    for (const OutputCase& c : outputCases()) {
        for (const char kind : std::string("lfFsd")) { // link, folder, FIFO, socket, device
            SCOPED_TRACE(std::string(c.what) + ", " + kind);
            TempDir work("plombar-faults-place");
            prepareFolder(work.path());
            writeFile(victim, kPrecious);
            const std::string target = c.target.empty() ? store.keyFile(thumbprint) : work.file(c.target);
            std::remove(target.c_str());
            UniqueFd socket;
            std::string error = "plombar-cli: Cannot create file \"" + target +
                                "\". The file cannot be accessed by the system\nэто не обычный файл, а "
                                "именованный канал, сокет или устройство: читаются и заменяются только "
                                "обычные файлы\n";
            if (kind == 'l') {
                const bool ownInput = c.arguments[0] == "sign" || c.arguments[0] == "encrypt";
                ASSERT_EQ(::symlink(ownInput ? "данные.bin" : victim.c_str(), target.c_str()), 0);
                error.clear();
            } else if (kind == 'f') {
                ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
                error = "plombar-cli: Cannot create file \"" + target + "\". Access is denied\n";
            } else if (kind == 'F') {
                ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0);
            } else if (kind == 's') {
                socket = bindUnixSocket(target);
            } else if (::mknod(target.c_str(), S_IFCHR | 0666, null.st_rdev) != 0) {
                continue; // no right to make device nodes here
            }
            struct stat before {};
            ASSERT_EQ(::lstat(target.c_str(), &before), 0);
            RunOptions options;
            options.folder = work.path();
            const ProgramRun run = runCli(argumentsFor(c), options);
            EXPECT_EQ(run.status, error.empty() ? 0 : c.exitCode);
            EXPECT_EQ(run.err, error);
            EXPECT_EQ(readFile(work.file("данные.bin")), input);
            EXPECT_EQ(readFile(victim), kPrecious);
            struct stat after {};
            ASSERT_EQ(::lstat(target.c_str(), &after), 0);
            if (error.empty()) {
                EXPECT_TRUE(S_ISREG(after.st_mode));
            } else {
                EXPECT_EQ(after.st_mode, before.st_mode);
                EXPECT_EQ(after.st_ino, before.st_ino);
                EXPECT_EQ(after.st_rdev, before.st_rdev);
            }
            EXPECT_EQ(temporaryFilesIn(work.path()), std::vector<std::string>{});
            EXPECT_EQ(temporaryFilesIn(store.folder()), std::vector<std::string>{});
            (kind == 'f' ? ::rmdir : ::unlink)(target.c_str());
        }
        if (c.target.empty())
            store.add(identity); // back as it was for the next case
    }
}

namespace {

// As in a shell's foreground: a test run in the background may have inherited SIGINT ignored.
void resetEndingSignals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::signal(signal, SIG_DFL);
}

// Ends with `signal` a child that is in the middle of saving to `target` (between two writes of one
// save), writing a named temporary or not; returns its wait status.
int endSaveInTheMiddle(const std::string& target, bool named, int signal) {
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        resetEndingSignals();
        useNamedTemporariesForTesting(named);
        AtomicFile file(target);
        const std::string half = randomBytes(1 << 20, 3);
        file.write(half);
        (void)!::write(ready[1], "w", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

} // namespace

// A process killed by SIGKILL while it writes a named temporary (on a file system without unnamed
// files) leaves it behind; the file it was replacing stays whole, and the stale temporary is never
// taken for output.
TEST(KilledSave, ExistingFileSurvivesAndTheTemporaryIsIgnored) {
    TempDir work("plombar-faults-kill");
    const std::string target = work.file("отчёт.pdf.sig");
    writeFile(target, kPrecious);
    ASSERT_TRUE(WIFSIGNALED(endSaveInTheMiddle(target, true, SIGKILL)));

    EXPECT_EQ(readFile(target), kPrecious);
    const std::vector<std::string> stale = temporaryFilesIn(work.path());
    ASSERT_EQ(stale.size(), 1u);
    // Hidden, named after the target, and recognised as a temporary by its name alone.
    EXPECT_EQ(stale[0].rfind(".отчёт.pdf.sig.", 0), 0u) << stale[0];
    EXPECT_TRUE(isTemporarySaveName(stale[0]));

    // The next save goes through as if the stale file were not there, and leaves it alone.
    saveFileAtomically(target, "new");
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(temporaryFilesIn(work.path()), stale);
}

// A save ended by a signal in the middle of writing leaves no temporary and no target: a file
// without a name goes with the process, even on SIGKILL; a named temporary is removed by the signal
// handler, which then lets the signal end the process as it would have.
TEST(KilledSave, NoTemporarySurvivesTheSignalsThatEndAProcess) {
    for (const bool named : {false, true}) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
            if (named && signal == SIGKILL)
                continue; // nothing can remove a name then (see above)
            SCOPED_TRACE(std::string(named ? "named, " : "unnamed, ") + strsignal(signal));
            TempDir work("plombar-faults-signal");
            const int status = endSaveInTheMiddle(work.file("расшифровка.txt"), named, signal);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
            EXPECT_EQ(listFolder(work.path()), std::vector<std::string>{});
        }
    }
}

// The real command ended by each signal while it writes a large archive (packing is the slow
// writer): the moment it holds the archive's file without a name (its descriptor links to
// "<folder>/#<inode> (deleted)"), it is ended; the existing archive stays whole and nothing is left.
TEST_F(SaveFaults, CommandEndedBySignalsWhileWritingLeavesNothingBehind) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir work("plombar-faults-kill-cli");
        const std::string source = work.file("большой.bin");
        writeNoise(source, 32 << 20, 11);
        writeFile(source + ".sig.7z", kPrecious);
        const pid_t pid = ::fork();
        if (pid == 0) {
            resetEndingSignals();
            const int devNull = ::open("/dev/null", O_WRONLY);
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
            ::execl(PLOMBAR_CLI_PATH, PLOMBAR_CLI_PATH, "sign", source.c_str(), "--thumbprint",
                    thumbprint.c_str(), "--7z", nullptr);
            ::_exit(127);
        }
        const auto writingArchive = [&] {
            std::error_code error;
            const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
            try {
                return fileExists(source + ".sig") && std::any_of(begin(fds), end(fds), [&](const auto& fd) {
                           const std::string link = std::filesystem::read_symlink(fd.path(), error).string();
                           return link.rfind(work.path() + "/#", 0) == 0 && link.ends_with(" (deleted)");
                       });
            } catch (const std::filesystem::filesystem_error&) {
                return false; // it ended meanwhile
            }
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!writingArchive() && std::chrono::steady_clock::now() < deadline &&
               ::waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the command finished before it could be ended";
        EXPECT_EQ(readFile(source + ".sig.7z"), kPrecious);
        EXPECT_EQ(listFolder(work.path()),
                  std::vector<std::string>({"большой.bin", "большой.bin.sig", "большой.bin.sig.7z"}));
    }
}

// Where folders are listed, a stale temporary is not taken for a file of the user's.
TEST_F(SaveFaults, StaleTemporariesAreNotPickedUp) {
    // In the store: a complete certificate under a temporary's name, as a killed import leaves it.
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Недописанный");
    const std::string stale = store.folder() + "/." + other.thumbprint() + ".cer.0123456789ab.plombar-tmp";
    writeFile(stale, other.der());
    const ProgramRun list = runCli({"store", "list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find(thumbprint), std::string::npos);
    EXPECT_EQ(list.out.find(other.thumbprint()), std::string::npos) << list.out;
    const ProgramRun show = runCli({"store", "show", other.thumbprint()});
    EXPECT_EQ(show.status, 7) << show.out;

    // In an archive of a folder's files: the writer's folder enumeration passes it over.
    TempDir folder("plombar-faults-archive");
    writeFile(folder.file("акт.txt"), "акт");
    writeFile(folder.file(".акт.txt.sig.0123456789ab.plombar-tmp"), "half a signature");
    writeFile(folder.file(".скрытый"), "a hidden file of the user's");
    auto writer = sevenzip::createArchiveWriter(sevenzip::kClassId7zFormat);
    writer->addFiles(folder.path(), "", "*.*", false);
    writer->saveToFile(folder.file("всё.7z"));
    std::string listing;
    ASSERT_EQ(runCommand("7z l -slt " + shellQuote(folder.file("всё.7z")), &listing), 0);
    EXPECT_NE(listing.find("Path = акт.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Path = .скрытый"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("plombar-tmp"), std::string::npos) << listing;
}

} // namespace
