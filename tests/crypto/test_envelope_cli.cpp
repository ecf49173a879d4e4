// plombar-cli encrypt and decrypt, run as a user would, cross-checked with `openssl cms -engine gost`:
// output, messages, files and the exit code of every outcome.

#include "EnvelopeTestUtil.h"

#include "platform/Paths.h"

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

class EnvelopeCliTest : public ::testing::Test {
protected:
    // Runs plombar-cli with `arguments` (already quoted for the shell) in the work folder.
    CliResult cli(const std::string& arguments) {
        CliResult result;
        const std::string errFile = work.file(".stderr");
        result.status = runCommand("cd " + shellQuote(work.path()) + " && " + shellQuote(PLOMBAR_CLI_PATH) +
                                       " " + arguments + " </dev/null 2>" + shellQuote(errFile),
                                   &result.out);
        result.err = readFile(errFile);
        return result;
    }

    std::string addRecipient(KeyAlgorithm algorithm, TestStore::Key key = TestStore::Key::Plain,
                             const std::string& password = {}) {
        identity = makeIdentity(algorithm, "CN=Получатель");
        return store.add(identity, key, password);
    }

    bool opensslDecrypts(const std::string& message, const std::string& expected) {
        writeFile(work.file("r.crt"), identity.pem());
        writeFile(work.file("r.key"), identity.keyPem());
        std::string log;
        const int status =
            runOpenssl("cms -decrypt -binary -debug_decrypt -engine gost -inform DER -in " +
                           shellQuote(message) + " -recip " + shellQuote(work.file("r.crt")) + " -inkey " +
                           shellQuote(work.file("r.key")) + " -out " + shellQuote(work.file("openssl.out")),
                       &log);
        return status == 0 && readFile(work.file("openssl.out")) == expected;
    }

    TestStore store;
    TempDir work{"plombar-envelope-cli"};
    TestIdentity identity;
    const std::string content = std::string("строка\nстрока\r\n\0конец", 38) + randomBytes(3000, 4);
};

} // namespace

TEST_F(EnvelopeCliTest, EncryptThenDecryptEveryKeyKind) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        const std::string thumbprint = addRecipient(algorithm);
        writeFile(work.file("-отчёт за май.pdf"), content); // a leading dash, Cyrillic and blanks
        CliResult result =
            cli("encrypt --thumbprint " + thumbprint + " -- " + shellQuote("-отчёт за май.pdf"));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "Файл зашифрован\n-отчёт за май.pdf.enc\n");
        EXPECT_TRUE(opensslDecrypts(work.file("-отчёт за май.pdf.enc"), content));

        ::unlink(work.file("-отчёт за май.pdf").c_str());
        result = cli("decrypt -- " + shellQuote("-отчёт за май.pdf.enc"));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "Расшифрован\n-отчёт за май.pdf\n");
        EXPECT_TRUE(readFile(work.file("-отчёт за май.pdf")) == content);
    }
}

// A certificate file as people receive it: DER, or PEM text.
TEST_F(EnvelopeCliTest, RecipientFromACertificateFile) {
    addRecipient(KeyAlgorithm::Gost2012_512);
    writeFile(work.file("data.bin"), content);
    for (const bool pem : {false, true}) {
        SCOPED_TRACE(pem ? "PEM" : "DER");
        writeFile(work.file("получатель.cer"), pem ? identity.pem() : identity.der());
        const CliResult result = cli("encrypt data.bin --cert " + shellQuote("получатель.cer"));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "Файл зашифрован\ndata.bin.enc\n");
        EXPECT_TRUE(opensslDecrypts(work.file("data.bin.enc"), content));
    }
}

TEST_F(EnvelopeCliTest, DecryptsWhatOpensslEncrypted) {
    addRecipient(KeyAlgorithm::Gost2001);
    writeFile(work.file("plain"), content);
    writeFile(work.file("r.crt"), identity.pem());
    std::string log;
    ASSERT_EQ(runOpenssl("cms -encrypt -binary -gost89 -engine gost -outform DER -in " +
                             shellQuote(work.file("plain")) + " -out " +
                             shellQuote(work.file("from openssl.enc")) + " " + shellQuote(work.file("r.crt")),
                         &log),
              0)
        << log;
    const CliResult result = cli(shellQuote("decrypt") + " " + shellQuote("from openssl.enc"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(readFile(work.file("from openssl")) == content);
}

// Magma and Kuznyechik CTR-ACPKM envelopes made by openssl decrypt to the exact bytes across their key
// changes, at lengths around the engine's default sections (1 KiB, 4 KiB) and the CMS ones (8 KiB,
// 256 KiB); one whose MAC no longer matches (a ciphertext byte or the MAC, its last byte, changed) is
// refused and leaves nothing behind.
TEST_F(EnvelopeCliTest, DecryptsCtrAcpkmFromOpenssl) {
    const std::size_t sizes[] = {1024, 1025, 4096, 4097, 8192, 8193, 262144, 262145, 1048576};
    for (const std::string cipher :
         {"magma-ctr-acpkm", "magma-ctr-acpkm-omac", "kuznyechik-ctr-acpkm", "kuznyechik-ctr-acpkm-omac"}) {
        addRecipient(cipher[0] == 'm' ? KeyAlgorithm::Gost2012_256 : KeyAlgorithm::Gost2012_512);
        writeFile(work.file("r.crt"), identity.pem());
        const bool withMac = cipher.ends_with("omac");
        for (const std::size_t size : sizes) {
            for (const int damage : withMac&& size == sizes[7] ? std::vector{0, 1, 2} : std::vector{0}) {
                SCOPED_TRACE(cipher + " " + std::to_string(size) + " damage " + std::to_string(damage));
                const std::string plain = randomBytes(size, static_cast<std::uint32_t>(size));
                writeFile(work.file("plain"), plain);
                std::string log;
                ASSERT_EQ(runOpenssl("cms -encrypt -binary -" + cipher + " -engine gost -outform DER -in " +
                                         shellQuote(work.file("plain")) + " -out " +
                                         shellQuote(work.file("plain.enc")) + " " +
                                         shellQuote(work.file("r.crt")),
                                     &log),
                          0)
                    << log;
                ::unlink(work.file("plain").c_str());
                std::string message = readFile(work.file("plain.enc"));
                if (damage != 0) {
                    const std::size_t at = damage == 1 ? message.size() / 2 : message.size() - 1;
                    message[at] = static_cast<char>(message[at] ^ 0x04);
                    writeFile(work.file("plain.enc"), message);
                }
                const CliResult result = cli("decrypt plain.enc");
                if (damage != 0) {
                    EXPECT_EQ(result.status, 14);
                    EXPECT_EQ(result.out, "");
                    EXPECT_EQ(result.err,
                              "plombar-cli: Bad Data - 2148073477\nplombar-cli: the content does not "
                              "decrypt (padding or MAC check failed)\n");
                    EXPECT_EQ(listFolder(work.path()),
                              (std::vector<std::string>{".stderr", "plain.enc", "r.crt"}));
                } else {
                    EXPECT_EQ(result.status, 0) << result.err;
                    EXPECT_EQ(result.out, "Расшифрован\nplain\n");
                    EXPECT_TRUE(fileExists(work.file("plain")) && readFile(work.file("plain")) == plain);
                }
            }
        }
    }
}

TEST_F(EnvelopeCliTest, EncryptionFailures) {
    addRecipient(KeyAlgorithm::Gost2012_256);
    const std::string rsa = store.add(makeIdentity(KeyAlgorithm::Rsa2048, "CN=RSA"));
    writeFile(work.file("data.bin"), content);
    writeFile(work.file("pem.cer"), identity.pem());
    writeFile(work.file("text.cer"), "Это не сертификат\n");
    const struct {
        const char* name;
        std::string arguments;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {"no certificate in the file", "encrypt data.bin --cert text.cer", 4, "Не выбран сертификат\n",
         "plombar-cli: «text.cer» не содержит сертификата\n"},
        {"not in the store", "encrypt data.bin --thumbprint ffff", 7, "Не выбран сертификат\n",
         "plombar-cli: в хранилище нет сертификата с отпечатком «ffff»\n"},
        {"RSA recipient", "encrypt data.bin --thumbprint " + rsa, 13, "",
         "plombar-cli: System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm\n"
         "plombar-cli: no content cipher for the identifier \"1.2.840.113549.1.1.1\"\n"},
        {"missing file", "encrypt нет.bin --cert pem.cer", 3, "",
         "plombar-cli: Cannot open file \"" + work.file("нет.bin") +
             "\". The system cannot find the file specified\n"},
        {"two certificate sources", "encrypt data.bin --cert pem.cer --thumbprint ffff", 2, "", ""},
        {"no certificate", "encrypt data.bin", 2, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult result = cli(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out, c.out);
        if (!c.err.empty()) {
            EXPECT_EQ(result.err, c.err);
        }
        EXPECT_FALSE(fileExists(work.file("data.bin.enc")));
    }
}

TEST_F(EnvelopeCliTest, DecryptionFailures) {
    const TestIdentity stranger = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Чужой");
    addRecipient(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "пароль");
    writeFile(work.file("data.bin"), content);
    writeFile(work.file("stranger.cer"), stranger.der());
    writeFile(work.file("mine.cer"), identity.der());
    ASSERT_EQ(cli("encrypt data.bin --cert stranger.cer").status, 0);
    ::rename(work.file("data.bin.enc").c_str(), work.file("чужое.enc").c_str());
    ASSERT_EQ(cli("encrypt data.bin --cert mine.cer").status, 0);
    writeFile(work.file("text.enc"), "не сообщение");
    writeFile(work.file("right"), "пароль\n");
    writeFile(work.file("wrong"), "не тот\n");
    const struct {
        const char* name;
        std::string arguments;
        int status;
        std::string errStart;
    } cases[] = {
        {"not for us", "decrypt чужое.enc", 7,
         "plombar-cli: Cannot find the certificate and private key to use for decryption - 2148081676\n"},
        {"not a message", "decrypt text.enc", 14, "plombar-cli: ASN1 bad tag value met - 2148086027\n"},
        {"wrong password", "decrypt data.bin.enc --password-file wrong", 5, ""},
        {"missing file", "decrypt нет.enc", 3, "plombar-cli: Cannot open file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult result = cli(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.err.rfind(c.errStart, 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fileExists(work.file("чужое")));
    EXPECT_FALSE(fileExists(work.file("text")));
    ::unlink(work.file("data.bin").c_str());
    const CliResult result = cli("decrypt data.bin.enc --password-file right");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(readFile(work.file("data.bin")) == content);
}

TEST_F(EnvelopeCliTest, HelpListsTheExitCodes) {
    for (const char* command : {"encrypt", "decrypt"}) {
        SCOPED_TRACE(command);
        const CliResult result = cli(std::string(command) + " --help");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(std::string("plombar-cli ") + command + " ФАЙЛ", 0), 0u) << result.out;
        EXPECT_NE(result.out.find("Коды завершения:"), std::string::npos);
        EXPECT_NE(result.out.find(std::string(command) == "encrypt" ? "  13  шифрование не удалось"
                                                                    : "  14  расшифрование не удалось"),
                  std::string::npos)
            << result.out;
    }
    const CliResult overview = cli("");
    EXPECT_NE(overview.out.find("  encrypt "), std::string::npos) << overview.out;
    EXPECT_NE(overview.out.find("  decrypt "), std::string::npos) << overview.out;
}
