// Files larger than the memory the system can give: every load and every buffer that grows with its
// input ends in "Out of memory while expanding memory stream", never in the OOM killer and never in
// a wrong verdict; what streams (encryption, decryption) needs no such memory. The limit is an address-space
// limit on a child process; the files are sparse.

#include "FaultSupport.h"
#include "HugeCertificate.h"

#include "TestPki.h"
#include "platform/AvailableMemory.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

constexpr std::uint64_t kHuge = std::uint64_t{8} << 30;  // 8 GiB, far beyond the child's limit
constexpr std::uint64_t kLimit = std::uint64_t{1} << 30; // the child's address space
// Inputs that fit under a limit while a decoder's extra copy of them does not; beyond the 64 MiB
// that buffers may grow by without asking.
constexpr std::uint64_t kContent = std::uint64_t{128} << 20;
constexpr std::uint64_t kProgram = std::uint64_t{64} << 20; // plombar-cli's own address space, roughly

#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_ASAN()                                                                                    \
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an address-space limit "       \
                    "leaves it unable to map its own memory"
#else
#define SKIP_UNDER_ASAN() (void)0
#endif

// ---------------------------------------------------------------------------------------------
// Control-group limits

class CgroupRoom : public ::testing::Test {
protected:
    void group(const std::string& path, const std::string& limitFile, const std::string& limit,
               const std::string& usageFile, const std::string& usage) {
        const std::string folder = root.path() + path;
        ASSERT_EQ(runCommand("mkdir -p " + shellQuote(folder)), 0);
        writeFile(folder + "/" + limitFile, limit + "\n");
        writeFile(folder + "/" + usageFile, usage + "\n");
    }
    TempDir root{"plombar-cgroup"};
};

TEST_F(CgroupRoom, LimitsOfTheGroupAndItsParentsBind) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string selfCgroup;
        std::uint64_t room;
    };
    const std::string unlimitedV1 = "9223372036854771712";
    const Case cases[] = {
        {"v2 group with memory.max",
         [&] { group("/user/app", "memory.max", "1000000", "memory.current", "400000"); }, "0::/user/app\n",
         600000},
        {"v2 parent's limit is the tighter one",
         [&] {
             group("/user", "memory.max", "500000", "memory.current", "450000");
             group("/user/app", "memory.max", "1000000", "memory.current", "400000");
         },
         "0::/user/app\n", 50000},
        {"v2 without limits", [&] { group("/user/app", "memory.max", "max", "memory.current", "5"); },
         "0::/user/app\n", UINT64_MAX},
        {"v2 group over its limit has no room",
         [&] { group("/app", "memory.max", "1000", "memory.current", "2000"); }, "0::/app\n", 0},
        {"v1 memory controller (hybrid host: the unified line carries no limit)",
         [&] {
             group("/memory/process_api/job", "memory.limit_in_bytes", "2000000", "memory.usage_in_bytes",
                   "500000");
         },
         "4:memory:/process_api/job\n0::/\n", 1500000},
        {"v1 controller listed with others",
         [&] { group("/memory/job", "memory.limit_in_bytes", "3000", "memory.usage_in_bytes", "1000"); },
         "7:cpu,memory,cpuacct:/job\n", 2000},
        {"v1 unlimited",
         [&] { group("/memory/job", "memory.limit_in_bytes", unlimitedV1, "memory.usage_in_bytes", "1"); },
         "4:memory:/job\n", UINT64_MAX},
        {"v1 in a cgroup namespace: the mount shows the group as its root",
         [&] { group("/memory", "memory.limit_in_bytes", "8000", "memory.usage_in_bytes", "1000"); },
         "4:memory:/not/visible/here\n", 7000},
        {"no cgroup files at all", [] {}, "0::/\n", UINT64_MAX},
        {"garbage", [] {}, "nonsense\n\n:::\n", UINT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(runCommand("rm -rf " + shellQuote(root.path()) + "/*"), 0);
        c.prepare();
        EXPECT_EQ(cgroupMemoryRoom(c.selfCgroup, root.path()), c.room);
    }
}

// ---------------------------------------------------------------------------------------------
// Loads over the limit, through plombar-cli

class HugeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        thumbprint = store.add(identity);
        writeFile(work.file("малый.txt"), "небольшой документ");
        ASSERT_EQ(runCli({"sign", work.file("малый.txt"), "--thumbprint", thumbprint}).status, 0);
        ASSERT_EQ(runCli({"encrypt", work.file("малый.txt"), "--thumbprint", thumbprint}).status, 0);
        writeFile(work.file("сертификат.cer"), identity.der());
    }

    ProgramRun limited(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.folder = work.path();
        options.limits.addressSpace = kLimit;
        return runCli(arguments, options);
    }

    TestStore store;
    TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Владелец");
    std::string thumbprint;
    TempDir work{"plombar-faults-huge"};
};

TEST_F(HugeFiles, EveryCommandReportsOutOfMemoryAndEndsNormally) {
    SKIP_UNDER_ASAN();
    const std::string data = work.file("данные 8 ГиБ.bin");
    makeSparseFile(data, kHuge);
    const std::string envelope = work.file("огромное.enc");
    makeSparseFile(envelope, kHuge, std::string("\x30\x80", 2));
    const std::string certificate = work.file("огромный.cer");
    makeSparseFile(certificate, kHuge);

    const std::string oom = "Out of memory while expanding memory stream";
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"encrypt for a huge certificate file",
         {"encrypt", "малый.txt", "--cert", certificate},
         1,
         "plombar-cli: " + oom + "\n"},
        // Read as it streams in: its first bytes already say it is no message.
        {"decrypt",
         {"decrypt", envelope},
         14,
         "plombar-cli: ASN1 bad tag value met - 2148086027\nplombar-cli: not a readable CMS message: no "
         "content "
         "type\n"},
        {"store import", {"store", "import", certificate}, 1, "plombar-cli: " + oom + "\n"},
        {"store import with a huge key file",
         {"store", "import", "сертификат.cer", "--key", data},
         1,
         "plombar-cli: " + oom + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramRun run = limited(c.arguments);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.err);
        EXPECT_LT(run.peakRssKiB, 256u << 10) << "peak RSS in KiB";
    }
    // No output was made from any of it.
    for (const char* name : {"данные 8 ГиБ.bin.sig", "данные 8 ГиБ.bin.p7s", "огромное"})
        EXPECT_FALSE(fileExists(work.file(name))) << name;
    EXPECT_TRUE(temporaryFilesIn(work.path()).empty());
}

// A BER envelope (indefinite lengths, as `openssl cms -stream` writes) larger than the memory there is
// decrypts all the same: it streams through in memory that does not grow with it.
TEST_F(HugeFiles, BerEnvelopeLargerThanMemoryDecrypts) {
    SKIP_UNDER_ASAN();
    const std::string content = work.file("поток.bin");
    writeNoise(content, kContent, 23);
    writeFile(work.file("cert.pem"), identity.pem());
    ASSERT_EQ(runOpenssl("cms -encrypt -binary -gost89 -engine gost -outform DER -stream -in " +
                         shellQuote(content) + " -out " + shellQuote(content + ".enc") + " " +
                         shellQuote(work.file("cert.pem"))),
              0);
    ASSERT_EQ(::rename(content.c_str(), (content + ".orig").c_str()), 0);
    // Room for the program and half the message.
    RunOptions options;
    options.limits.addressSpace = kProgram + kContent / 2;
    const ProgramRun run = runCli({"decrypt", content + ".enc"}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(runCommand("cmp -s " + shellQuote(content) + " " + shellQuote(content + ".orig")), 0);
    EXPECT_TRUE(temporaryFilesIn(work.path()).empty());
}

// A real certificate file that passes the size gate but whose decoding would not fit: the load
// fails as one, for encryption and for the store.
TEST_F(HugeFiles, CertificateTooLargeToDecode) {
    SKIP_UNDER_ASAN();
    writeFile(work.file("огромный.cer"), certificateWithExtension(identity, kContent));
    RunOptions options;
    options.folder = work.path();
    options.limits.addressSpace = kProgram + 2 * kContent;
    ProgramRun run = runCli({"encrypt", "малый.txt", "--cert", "огромный.cer"}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(run.err, "plombar-cli: Out of memory while expanding memory stream\n");
    run = runCli({"store", "import", "огромный.cer"}, options);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(run.err, "plombar-cli: Out of memory while expanding memory stream\n");
    // With the memory there, it is a certificate like any other.
    run = runCli({"encrypt", "малый.txt", "--cert", "огромный.cer"}, {work.path(), {}, {}, {}});
    EXPECT_EQ(run.status, 0) << run.err;
}

} // namespace
