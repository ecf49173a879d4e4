// Files at the size limit (314,572,800 bytes) and beyond, through plombar-cli: correct results and
// peak memory within what the design allows (detached signing and verification: the input plus
// 64 MiB; attached signing, packing, encryption and decryption: twice the input plus 64 MiB). Slow:
// not part of the default run. The figures go to the test's output and its XML properties.

#include "FaultSupport.h"
#include "HugeCertificate.h"

#include "TestPki.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

constexpr std::uint64_t kSize = 314572800;
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kOneCopy = kSize + 64 * kMiB;
constexpr std::uint64_t kTwoCopies = 2 * kSize + 64 * kMiB;

void report(const std::string& what, const ProgramRun& run) {
    char line[200];
    std::snprintf(line, sizeof line, "measured: %-48s peak RSS %7.1f MiB (%.2f x input), %6.2f s",
                  what.c_str(), static_cast<double>(run.peakRssKiB) / 1024.0,
                  static_cast<double>(run.peakRssKiB) * 1024.0 / static_cast<double>(kSize), run.seconds);
    std::cout << line << std::endl;
    ::testing::Test::RecordProperty(what, std::to_string(run.peakRssKiB) + " KiB, " +
                                              std::to_string(run.seconds) + " s");
}

std::uint64_t peakBytes(const ProgramRun& run) {
    return run.peakRssKiB * 1024;
}

class LargeFiles : public ::testing::Test {
protected:
    void SetUp() override { thumbprint = store.add(identity); }

    ProgramRun cli(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.folder = work.path();
        return runCli(arguments, options);
    }

    TestStore store;
    TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Большие файлы");
    std::string thumbprint;
    TempDir work{"plombar-faults-large"};
};

TEST_F(LargeFiles, EveryOperationAtTheSizeLimit) {
    const std::string input = work.file("входной файл.bin");
    writeNoise(input, kSize, 31);

    ProgramRun run = cli({"sign", input, "--thumbprint", thumbprint});
    ASSERT_EQ(run.status, 0) << run.err;
    report("sign, detached DER", run);
    EXPECT_LE(peakBytes(run), kOneCopy);

    run = cli({"verify", input, input + ".sig"});
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    report("verify", run);
    EXPECT_LE(peakBytes(run), kOneCopy);
    EXPECT_TRUE(opensslVerifies(input + ".sig", input));

    run = cli({"sign", input, "--thumbprint", thumbprint, "--attached"});
    ASSERT_EQ(run.status, 0) << run.err;
    report("sign, attached DER", run);
    EXPECT_LE(peakBytes(run), kTwoCopies);
    std::string extracted;
    EXPECT_TRUE(opensslVerifies(input + ".sig", "", &extracted));
    EXPECT_EQ(extracted.size(), kSize);
    EXPECT_TRUE(extracted == readFile(input));
    extracted.clear();
    extracted.shrink_to_fit();

    run = cli({"sign", input, "--thumbprint", thumbprint, "--attached", "--base64", "--7z"});
    ASSERT_EQ(run.status, 0) << run.err;
    report("sign, attached Base64, packed into 7z", run);
    EXPECT_LE(peakBytes(run), kTwoCopies);
    std::string listing;
    EXPECT_EQ(runCommand("7z t " + shellQuote(input + ".p7s.7z"), &listing), 0) << listing;
    EXPECT_EQ(runOpenssl("base64 -d -in " + shellQuote(input + ".p7s") + " -out " +
                         shellQuote(work.file("p7s.der"))),
              0);
    EXPECT_TRUE(opensslVerifies(work.file("p7s.der"), "", &extracted));
    EXPECT_TRUE(extracted == readFile(input));
    extracted.clear();
    extracted.shrink_to_fit();

    run = cli({"encrypt", input, "--thumbprint", thumbprint});
    ASSERT_EQ(run.status, 0) << run.err;
    report("encrypt", run);
    EXPECT_LE(peakBytes(run), kTwoCopies);

    const std::string original = work.file("оригинал.bin");
    ASSERT_EQ(::rename(input.c_str(), original.c_str()), 0);
    run = cli({"decrypt", input + ".enc"});
    ASSERT_EQ(run.status, 0) << run.err;
    report("decrypt", run);
    EXPECT_LE(peakBytes(run), kTwoCopies);
    EXPECT_EQ(runCommand("cmp -s " + shellQuote(input) + " " + shellQuote(original)), 0);
}

// plombar-cli has no size gate and every operation streams: a file past 4 GiB goes through whole,
// in memory that does not grow with it.
TEST_F(LargeFiles, FilesPastFourGibibytes) {
    const std::string input = work.file("за 4 ГиБ.bin");
    const std::string start = "the first sixteen";
    const std::uint64_t size = (std::uint64_t{4} << 30) + start.size();
    makeSparseFile(input, size, start);

    // Signing and verifying stream the file: past 4 GiB they work as below it.
    ProgramRun run = cli({"sign", input, "--thumbprint", thumbprint});
    report("sign, 4 GiB + 17 bytes", run);
    EXPECT_EQ(run.status, 0) << run.err;
    run = cli({"verify", input, input + ".sig"});
    report("verify, 4 GiB + 17 bytes", run);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(::unlink((input + ".sig").c_str()), 0);

    run = cli({"encrypt", input, "--thumbprint", thumbprint});
    report("encrypt, 4 GiB + 17 bytes", run);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(peakBytes(run), 64 * kMiB);
    const std::string original = work.file("оригинал.bin");
    ASSERT_EQ(::rename(input.c_str(), original.c_str()), 0);
    run = cli({"decrypt", input + ".enc"});
    report("decrypt, 4 GiB + 17 bytes", run);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(peakBytes(run), 64 * kMiB);
    EXPECT_EQ(fileSizeOf(input), size);
    EXPECT_EQ(runCommand("cmp -s " + shellQuote(input) + " " + shellQuote(original)), 0);
    EXPECT_TRUE(temporaryFilesIn(work.path()).empty());
}

// A recipient certificate file as large as the gate lets through: noise, and a real certificate
// carrying a 300 MB extension.
TEST_F(LargeFiles, CertificateFilesAtTheSizeLimit) {
    writeFile(work.file("письмо.txt"), "короткое письмо");
    const std::string noise = work.file("шум.cer");
    writeNoise(noise, kSize, 41);
    ProgramRun run = cli({"encrypt", "письмо.txt", "--cert", noise});
    report("encrypt for a 300 MB certificate file of noise", run);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_LE(peakBytes(run), kOneCopy);
    run = cli({"store", "import", noise});
    report("store import of 300 MB of noise", run);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_LE(peakBytes(run), kOneCopy);

    // The certificate of the identity, with an extension that takes it to the limit.
    const std::string huge = work.file("огромный.cer");
    writeFile(huge, certificateWithExtension(identity, kSize - 2000));
    EXPECT_LE(fileSizeOf(huge), kSize);
    run = cli({"encrypt", "письмо.txt", "--cert", huge});
    report("encrypt for a certificate with a 300 MB extension", run);
    EXPECT_EQ(run.status, 0) << run.err;
    // The file, OpenSSL's structure with its cached encoding, the context's copy, its extension.
    EXPECT_LE(peakBytes(run), 5 * kSize + 64 * kMiB);
    // The store keeps certificates of up to a mebibyte; a larger one is refused at once, not stored
    // to be passed over on every later opening.
    run = cli({"store", "import", huge});
    report("store import of a certificate with a 300 MB extension", run);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("слишком велик"), std::string::npos) << run.err;
    EXPECT_EQ(listFolder(store.folder()),
              std::vector<std::string>({thumbprint + ".cer", thumbprint + ".key"}));
    // Decryption finds the recipient by issuer and serial, which the stored certificate shares.
    run = cli({"decrypt", "письмо.txt.enc"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(work.file("письмо.txt")), "короткое письмо");
}

} // namespace
