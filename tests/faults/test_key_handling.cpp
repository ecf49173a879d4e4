// Private keys and passwords: no copy of a password, of a private key or of its unencrypted
// encoding is left in plombar-cli's memory when it exits (looked at under ptrace at its exit, while
// its memory still exists); a password never comes from or goes to the command line; the store keeps
// its folder and key files private even under a permissive umask, and refuses a store folder that
// others could write to; neither program may dump core; the end of input at the terminal prompt
// cancels it.

#include "FaultSupport.h"

#include "TestPki.h"
#include "crypto/SecureString.h"

#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/evp.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

// The private scalar of a GOST key, big-endian, as long as the key's curve order.
std::string privateScalar(const TestIdentity& identity) {
    const auto* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(identity.key.get()));
    if (ec == nullptr || EC_KEY_get0_private_key(ec) == nullptr)
        return {};
    const int length = EVP_PKEY_get_bits(identity.key.get()) / 8;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    if (length < 32 || BN_bn2binpad(EC_KEY_get0_private_key(ec),
                                    reinterpret_cast<unsigned char*>(bytes.data()), length) != length)
        return {};
    return bytes;
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777u;
}

// A program on a pseudo-terminal of its own, the controlling terminal of a new session, so that its
// /dev/tty (and stdout) is the test's to read and type into; stderr goes to a file. It starts with a
// core file size limit of 1 MiB: a limit of 0 can only be the program's own doing.
class TerminalRun {
public:
    TerminalRun(const std::string& program, const std::vector<std::string>& arguments)
        : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const std::string terminal = ::ptsname(master_), err = files_.file("err");
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::fflush(nullptr);
        if ((pid_ = ::fork()) == 0) {
            const rlimit core{1 << 20, 1 << 20};
            ::setsid(); // the terminal opened next becomes the controlling one
            const int tty = ::open(terminal.c_str(), O_RDWR);
            const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT, 0600);
            if (tty < 0 || errFd < 0 || ::dup2(tty, 0) < 0 || ::dup2(tty, 1) < 0 || ::dup2(errFd, 2) < 0 ||
                ::setrlimit(RLIMIT_CORE, &core) != 0)
                ::_exit(127);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
        ::close(master_);
    }

    // Reads the terminal until `text` comes (true), the program closes it or a minute passes.
    bool waitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        char buffer[4096];
        pollfd fd{master_, POLLIN, 0};
        while (seen_.find(text, from_) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            seen_.append(buffer, static_cast<std::size_t>(n));
        }
        from_ = seen_.find(text, from_) + text.size();
        return true;
    }
    void type(const std::string& bytes) { (void)!::write(master_, bytes.data(), bytes.size()); }

    // The running program's "Max core file size" line of /proc/PID/limits, blanks squeezed.
    std::string coreLimit() const {
        std::ifstream limits("/proc/" + std::to_string(pid_) + "/limits");
        std::string line, word, squeezed;
        while (std::getline(limits, line) && line.rfind("Max core file size", 0) != 0) {
        }
        for (std::istringstream words(line); words >> word;)
            squeezed += (squeezed.empty() ? "" : " ") + word;
        return squeezed;
    }

    // The exit status, or -1 when a signal ended the program or it still runs after a minute.
    int finish() {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            ::usleep(10000);
        if (done == pid_)
            pid_ = -1;
        return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string err() const { return readFile(files_.file("err")); }
    // Whether the terminal echoes again (given back after a password entry, however it ended).
    bool echoes() const {
        termios settings{};
        return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }

private:
    TempDir files_{"plombar-terminal"};
    int master_ = -1;
    pid_t pid_ = -1;
    std::string seen_;
    std::size_t from_ = 0;
};

class KeyHandling : public ::testing::Test {
protected:
    TestStore store;
    TempDir work{"plombar-faults-keys"};
};

TEST_F(KeyHandling, NoSecretIsLeftInTheProcessMemory) {
    const std::string password = "Пароль-ключа-Q7w#9z";
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Хранитель ключа");
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Другой ключ");
    const std::string thumbprint = store.add(identity, TestStore::Key::Encrypted, password);
    writeFile(work.file("данные.txt"), "подписываемый текст");
    writeFile(work.file("other.pem"), other.pem());
    writeFile(work.file("other.key"), other.keyPem(password));
    writeFile(work.file("pw"), password + "\n");
    const std::string plainKey = other.keyPem();
    writeFile(work.file("plain.key"), plainKey);
    // A line of the unencrypted key file's Base64 text.
    const std::string keyLine = plainKey.substr(plainKey.find('\n') + 1, 64);
    ASSERT_EQ(runCli({"encrypt", work.file("данные.txt"), "--thumbprint", thumbprint}).status, 0);
    ::rename(work.file("данные.txt.enc").c_str(), work.file("письмо.txt.enc").c_str());

    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        const TestIdentity* key; // whose private key the command uses
        bool passwordOnDescriptor;
    };
    const Case cases[] = {
        {"sign, password from a descriptor",
         {"sign", work.file("данные.txt"), "--thumbprint", thumbprint, "--password-fd", "3"},
         &identity,
         true},
        {"sign attached, password from a file",
         {"sign", work.file("данные.txt"), "--thumbprint", thumbprint, "--attached", "--password-file",
          work.file("pw")},
         &identity,
         false},
        {"decrypt", {"decrypt", work.file("письмо.txt.enc"), "--password-fd", "3"}, &identity, true},
        {"import of an encrypted key",
         {"store", "import", work.file("other.pem"), "--key", work.file("other.key"), "--password-fd", "3"},
         &other,
         true},
        {"import, keeping the key unencrypted",
         {"store", "import", work.file("other.pem"), "--key", work.file("other.key"), "--password-fd", "3",
          "--no-key-password"},
         &other,
         true},
        {"import of an unencrypted key file",
         {"store", "import", work.file("other.pem"), "--key", work.file("plain.key")},
         &other,
         false},
        {"new test certificate with an encrypted key",
         {"store", "new-test-cert", "--encrypt-key", "--password-fd", "3"},
         nullptr,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> needles = {reversed(password), reversed(keyLine)};
        std::vector<std::string> names = {"password", "unencrypted key file text"};
        if (c.key != nullptr) {
            const std::string scalar = privateScalar(*c.key);
            ASSERT_FALSE(scalar.empty());
            // The bytes looked for are the key's own: they stand in its unencrypted encoding.
            unsigned char* der = nullptr;
            const int length = i2d_PrivateKey(c.key->key.get(), &der);
            ASSERT_GT(length, 0);
            const std::string encoded(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
            OPENSSL_clear_free(der, static_cast<std::size_t>(length));
            ASSERT_TRUE(encoded.find(scalar) != std::string::npos ||
                        encoded.find(reversed(scalar)) != std::string::npos);
            needles.push_back(reversed(scalar));
            names.push_back("private key, big-endian");
            needles.push_back(scalar); // reversed twice: the little-endian form
            names.push_back("private key, little-endian");
        }
        RunOptions options;
        options.folder = work.path();
        if (c.passwordOnDescriptor)
            options.descriptor3 = password + "\n";
        const MemoryScan scan = scanMemoryAtExit(PLOMBAR_CLI_PATH, c.arguments, needles, options);
        ASSERT_EQ(scan.error, "");
        EXPECT_EQ(scan.status, 0);
        for (std::size_t i = 0; i < needles.size(); ++i)
            EXPECT_EQ(scan.hits[i], 0u) << names[i];
    }
}

// The scan itself finds what is there: a process that keeps the password finds it.
TEST_F(KeyHandling, TheMemoryScanFindsWhatIsThere) {
    const std::string kept = "Пароль, который остаётся";
    const MemoryScan scan = scanMemoryAtExit("/bin/sh", {"-c", "read -r p <&3; exit 0"}, {reversed(kept)},
                                             {{}, {}, {}, kept + "\n"});
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.status, 0);
    EXPECT_GE(scan.hits[0], 1u);
}

// A password is never taken from the command line, and one typed there by mistake is not echoed.
TEST_F(KeyHandling, PasswordsNeverTravelInArguments) {
    writeFile(work.file("данные.txt"), "x");
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"sign", "данные.txt", "--subject", "x", "--password=Секрет123"},
             {"decrypt", "данные.txt", "--pass=Секрет123"},
             {"store", "import", "данные.txt", "--password", "Секрет123"},
             {"store", "new-test-cert", "--encrypt-key", "--password=Секрет123"},
         }) {
        RunOptions options;
        options.folder = work.path();
        const ProgramRun run = runCli(arguments, options);
        EXPECT_EQ(run.status, 2) << arguments[0];
        EXPECT_NE(run.err.find("неизвестный параметр «--pass"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Секрет123"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("Секрет123"), std::string::npos) << run.out;
    }
}

TEST_F(KeyHandling, StoreFolderAndKeysStayPrivateUnderAnyUmask) {
    const std::string home = work.file("дом");
    const std::string folder = home + "/plombar/stores/MY";
    RunOptions options;
    options.environment = {"XDG_DATA_HOME=" + home};
    const mode_t previous = ::umask(0); // inherited by the command
    const ProgramRun made = runCli({"store", "new-test-cert", "--subject", "Открытый всем"}, options);
    ::umask(previous);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(modeOf(home + "/plombar"), 0700u);
    EXPECT_EQ(modeOf(home + "/plombar/stores"), 0700u);
    EXPECT_EQ(modeOf(folder), 0700u);
    int keys = 0;
    for (const std::string& name : listFolder(folder)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".key") == 0) {
            EXPECT_EQ(modeOf(folder + "/" + name), 0600u) << name;
            ++keys;
        }
    }
    EXPECT_EQ(keys, 1);
}

// Keys that others may read are refused with the reason, through the command line (message and
// code) whatever the bits that make it readable.
TEST_F(KeyHandling, KeysOthersCanReadAreRefusedWithTheReason) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Открытый ключ");
    const std::string thumbprint = store.add(identity);
    writeFile(work.file("данные.txt"), "x");
    for (const unsigned mode : {0640u, 0604u, 0660u, 0644u, 0666u, 0400u, 0600u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(store.keyFile(thumbprint).c_str(), mode), 0);
        RunOptions options;
        options.folder = work.path();
        const ProgramRun run = runCli({"sign", "данные.txt", "--thumbprint", thumbprint}, options);
        if ((mode & 077) == 0) {
            EXPECT_EQ(run.status, 0) << run.err;
            continue;
        }
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        EXPECT_EQ(run.status, 10);
        EXPECT_EQ(run.out, "Не удалось определить криптопровайдер\n");
        EXPECT_EQ(run.err, "plombar-cli: Права доступа к файлу закрытого ключа «" +
                               store.keyFile(thumbprint) + "» слишком широкие (" + octal +
                               "): его могут читать другие пользователи. Ключ не будет использован; оставьте "
                               "доступ только владельцу: chmod 600 «" +
                               store.keyFile(thumbprint) + "»\n");
    }
}

// A password moved from one holder to another leaves nothing in the one it left.
TEST(SecureStringMoves, LeaveNothingBehind) {
    for (const std::size_t length : {std::size_t{7}, std::size_t{15}, std::size_t{16}, std::size_t{100}}) {
        SCOPED_TRACE(length);
        crypto::SecureString source(std::string(length, 'k'));
        const char* before = source.data();
        crypto::SecureString target(std::move(source));
        EXPECT_EQ(target.view(), std::string(length, 'k'));
        EXPECT_TRUE(source.empty());   // NOLINT(bugprone-use-after-move): the moved-from state is the point
        if (source.data() == before) { // the short-string buffer stayed in the moved-from object: wiped
            EXPECT_EQ(std::string(before, length), std::string(length, '\0'));
        }
        crypto::SecureString assigned("xyz");
        assigned = std::move(target);
        EXPECT_EQ(assigned.view(), std::string(length, 'k'));
        EXPECT_TRUE(target.empty()); // NOLINT(bugprone-use-after-move)
    }
}

// The terminal prompt: the end of input (Ctrl-D) is a cancel, also after a wrong password, and the
// terminal echoes again afterwards; the program, asking for a key's password, dumps no core.
TEST_F(KeyHandling, EndOfInputAtTheTerminalPromptCancels) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=На терминале"),
                                             TestStore::Key::Encrypted, "пароль");
    writeFile(work.file("данные.txt"), "x");
    const std::string prompt = "Пароль закрытого ключа «CN=На терминале»: ";
    const std::string cancelled = "plombar-cli: ввод пароля отменён (конец ввода)\n";
    const struct {
        std::vector<std::pair<std::string, std::string>> dialogue; // awaited text, typed answer
        int status;
        std::string err;
    } cases[] = {
        {{{prompt, "\x04"}}, 9, cancelled},
        {{{prompt, "не тот\n"}, {"Неверный пароль. " + prompt, "\x04"}}, 9, cancelled},
        {{{prompt, "пароль\n"}}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dialogue.back().second);
        ::unlink(work.file("данные.txt.sig").c_str());
        TerminalRun run(PLOMBAR_CLI_PATH, {"sign", work.file("данные.txt"), "--thumbprint", thumbprint});
        for (const auto& [awaited, answer] : c.dialogue) {
            ASSERT_TRUE(run.waitFor(awaited)) << awaited;
            EXPECT_EQ(run.coreLimit(), "Max core file size 0 0 bytes");
            run.type(answer);
        }
        EXPECT_EQ(run.finish(), c.status) << run.err();
        EXPECT_EQ(run.err(), c.err);
        EXPECT_TRUE(run.echoes());
        EXPECT_EQ(fileExists(work.file("данные.txt.sig")), c.status == 0);
    }
}

// The limit that programs start with here is not 0: what the tests see is the programs' own doing.
TEST_F(KeyHandling, TerminalRunsStartWithCoreDumpsAllowed) {
    TerminalRun run("/bin/sh", {"-c", "echo ready; read -r line"});
    ASSERT_TRUE(run.waitFor("ready"));
    EXPECT_EQ(run.coreLimit(), "Max core file size 1048576 1048576 bytes");
    run.type("\n");
    EXPECT_EQ(run.finish(), 0);
}

// The window holds keys and typed passwords too: it switches core dumps off as it starts.
TEST_F(KeyHandling, TheWindowDumpsNoCore) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TerminalRun run(PLOMBAR_APP_PATH, {});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::string limit;
    while ((limit = run.coreLimit()) != "Max core file size 0 0 bytes" && !limit.empty() &&
           std::chrono::steady_clock::now() < deadline)
        ::usleep(20000);
    EXPECT_EQ(limit, "Max core file size 0 0 bytes");
}

// A store folder, or one of the store's own folders above it, that others can write to or that
// belongs to someone else is refused by every command that uses the store, saying why and what to
// do; one that only its owner can write to is used.
TEST_F(KeyHandling, StoreFoldersOthersCanWriteToAreRefused) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Хозяин хранилища");
    const std::string thumbprint = store.add(identity);
    writeFile(work.file("данные.txt"), "x");
    writeFile(work.file("cert.der"), identity.der());
    RunOptions options;
    options.folder = work.path();
    ASSERT_EQ(runCli({"encrypt", "данные.txt", "--thumbprint", thumbprint}, options).status, 0);
    ::rename(work.file("данные.txt.enc").c_str(), work.file("письмо.enc").c_str());
    const std::string my = store.folder();
    const std::string plombar = store.home() + "/plombar";
    const passwd* nobody = runningAsRoot() ? ::getpwnam("nobody") : nullptr; // only root gives folders away
    const struct {
        std::string path;
        unsigned mode;
        const passwd* owner;
        const char* why; // empty: the store is used
    } cases[] = {
        {my, 0777, nullptr, "доступна для записи другим пользователям (права 0777)"},
        {my, 0770, nullptr, "доступна для записи другим пользователям (права 0770)"},
        {plombar + "/stores", 0777, nullptr, "доступна для записи другим пользователям (права 0777)"},
        {plombar, 0703, nullptr, "доступна для записи другим пользователям (права 0703)"},
        {my, 0700, nobody, "принадлежит другому пользователю (nobody)"},
        {my, 0755, nullptr, ""},
        {my, 0700, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode) + " " + c.why);
        if (std::string(c.why).find("nobody") != std::string::npos && nobody == nullptr)
            continue;
        ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(c.path.c_str(), c.owner ? c.owner->pw_uid : ::geteuid(), ::getegid()), 0);
        for (const std::vector<std::string>& command :
             std::vector<std::vector<std::string>>{{"store", "list"},
                                                   {"store", "show", thumbprint},
                                                   {"store", "import", "cert.der"},
                                                   {"sign", "данные.txt", "--thumbprint", thumbprint},
                                                   {"encrypt", "данные.txt", "--thumbprint", thumbprint},
                                                   {"decrypt", "письмо.enc"}}) {
            for (const char* output : {"данные.txt.sig", "данные.txt.enc", "письмо"})
                ::unlink(work.file(output).c_str());
            const ProgramRun run = runCli(command, options);
            if (*c.why == '\0') {
                EXPECT_EQ(run.status, 0) << command[0] << ": " << run.err;
                continue;
            }
            EXPECT_EQ(run.status, 1) << command[0];
            EXPECT_EQ(run.err.rfind("plombar-cli: Папка хранилища «" + c.path + "» " + c.why, 0), 0u)
                << run.err;
            EXPECT_NE(run.err.find(c.owner ? "выполните sudo chown root «" : "выполните chmod 700 «"),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(run.out.find(thumbprint), std::string::npos) << run.out;
            EXPECT_EQ(listFolder(work.path()),
                      (std::vector<std::string>{"cert.der", "данные.txt", "письмо.enc"}));
        }
        ASSERT_EQ(::chown(c.path.c_str(), ::geteuid(), ::getegid()), 0);
        ASSERT_EQ(::chmod(c.path.c_str(), 0700), 0);
    }
}

} // namespace
