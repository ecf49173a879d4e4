// plombar-cli store and sign, run as a user would, cross-checked with `openssl ... -engine gost`.

#include "TestPki.h"

#include "codec/Base64.h"
#include "crypto/CertificateStore.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
protected:
    // Runs plombar-cli with `arguments` (already quoted for the shell) in the work folder.
    CliResult cli(const std::string& arguments, const std::string& environment = {}) {
        CliResult result;
        const std::string errFile = work.file(".stderr");
        result.status =
            runCommand("cd " + shellQuote(work.path()) + " && " + environment + " " +
                           shellQuote(PLOMBAR_CLI_PATH) + " " + arguments + " 2>" + shellQuote(errFile),
                       &result.out);
        result.err = readFile(errFile);
        return result;
    }
    std::string writePassword(const std::string& name, const std::string& password) {
        const std::string path = work.file(name);
        writeFile(path, password + "\n");
        return path;
    }
    TestStore store;
    TempDir work{"plombar-cli"};
};

std::string decodeBase64File(const std::string& path) {
    return decodeBase64(readFile(path));
}

std::string firstThumbprint(const std::string& listing) {
    return listing.substr(0, 40);
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777u;
}

} // namespace

TEST_F(CliTest, NewTestCertificateThenSignEveryWay) {
    const std::string content = std::string("строка\nстрока\r\n\0конец", 38);
    const std::string input = work.file("-отчёт за май.txt"); // a leading dash and Cyrillic with blanks
    writeFile(input, content);
    for (const char* alg : {"2001", "2012-256", "2012-512"}) {
        SCOPED_TRACE(alg);
        const CliResult made = cli(std::string("store new-test-cert --alg ") + alg + " --subject " +
                                   shellQuote("CN=Тест " + std::string(alg)));
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(made.out.rfind("Создан тестовый сертификат ", 0), 0u) << made.out;
        const std::string thumbprint = made.out.substr(std::string("Создан тестовый сертификат ").size(), 40);

        const struct {
            const char* options;
            const char* extension;
            bool detached;
            bool base64;
            bool cades;
        } ways[] = {{"", ".sig", true, false, false},
                    {"--attached", ".sig", false, false, false},
                    {"--base64", ".p7s", true, true, false},
                    {"--attached --base64", ".p7s", false, true, false},
                    {"--cades", ".sig", true, false, true},
                    {"--attached --base64 --cades", ".p7s", false, true, true}};
        for (const auto& way : ways) {
            const std::string signature = input + way.extension;
            std::remove(signature.c_str());
            const CliResult signedRun = cli("sign --thumbprint " + thumbprint + " " + way.options + " -- " +
                                            shellQuote(fileNameOf(input)));
            ASSERT_EQ(signedRun.status, 0) << way.options << signedRun.err;
            EXPECT_EQ(signedRun.out, "Подписанное сообщение создано\n" + fileNameOf(signature) + "\n");
            std::string der = way.base64 ? decodeBase64File(signature) : readFile(signature);
            const std::string derFile = work.file("message.der");
            writeFile(derFile, der);
            std::string extracted;
            std::string log;
            EXPECT_TRUE(opensslVerifies(derFile, way.detached ? input : std::string(), &extracted, &log))
                << way.options << "\n"
                << log;
            if (!way.detached) {
                EXPECT_EQ(extracted, content) << way.options;
            }
            // CAdES-BES carries its signed attributes; without --cades there are none at all.
            const std::string structure = opensslAsn1Parse(derFile);
            for (const char* attribute :
                 {"signingTime", "messageDigest", "contentType", "signingCertificateV2"})
                EXPECT_EQ(structure.find(attribute) != std::string::npos, way.cades)
                    << way.options << attribute;
            // plombar-cli checks its own signature, an attached one without the data file, and
            // writes out the signed content; the signing time has its line with --cades.
            const std::string out = work.file("извлечено.txt");
            std::remove(out.c_str());
            const CliResult checked =
                way.detached
                    ? cli("verify --offline -- " + shellQuote(input) + " " + shellQuote(signature))
                    : cli("verify --offline --extract " + shellQuote(out) + " " + shellQuote(signature));
            EXPECT_EQ(checked.status, 0) << way.options << checked.out << checked.err;
            EXPECT_EQ(checked.out.find("\nВремя подписи: ") != std::string::npos, way.cades) << checked.out;
            if (!way.detached) {
                EXPECT_EQ(readFile(out), content) << way.options;
            }
        }
        // A changed file no longer verifies against the detached signature.
        cli("sign --thumbprint " + thumbprint + " -- " + shellQuote(fileNameOf(input)));
        const std::string changed = work.file("changed.txt");
        writeFile(changed, content + " ");
        EXPECT_FALSE(opensslVerifies(input + ".sig", changed));
    }
}

TEST_F(CliTest, SignatureLengthMatchesOpenSslsOwn) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string thumbprint = store.add(identity);
    writeFile(work.file("data.bin"), randomBytes(10000));
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("key.pem"), identity.keyPem());
    ASSERT_EQ(cli("sign data.bin --thumbprint " + thumbprint).status, 0);
    std::string log;
    ASSERT_EQ(runOpenssl("cms -sign -binary -noattr -engine gost -in " + shellQuote(work.file("data.bin")) +
                             " -signer " + shellQuote(work.file("cert.pem")) + " -inkey " +
                             shellQuote(work.file("key.pem")) + " -outform DER -out " +
                             shellQuote(work.file("ref.der")),
                         &log),
              0)
        << log;
    EXPECT_EQ(readFile(work.file("data.bin.sig")).size(), readFile(work.file("ref.der")).size());
}

// --cades: the signed attributes of CAdES-BES, which openssl accepts and lists, detached and attached.
TEST_F(CliTest, CadesAttributesOnRequest) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256));
    const std::string content = randomBytes(3000, 9);
    writeFile(work.file("data.bin"), content);
    for (const char* layout : {"", " --attached"}) {
        SCOPED_TRACE(layout);
        ASSERT_EQ(cli("sign data.bin --cades --thumbprint " + thumbprint + layout).status, 0);
        const bool detached = std::string(layout).empty();
        std::string extracted;
        std::string log;
        EXPECT_TRUE(opensslVerifies(work.file("data.bin.sig"),
                                    detached ? work.file("data.bin") : std::string(), &extracted, &log))
            << log;
        if (!detached) {
            EXPECT_EQ(extracted, content);
        }
        std::string printed;
        ASSERT_EQ(runOpenssl("cms -cmsout -print -inform DER -in " + shellQuote(work.file("data.bin.sig")),
                             &printed),
                  0);
        for (const char* attribute : {"contentType", "messageDigest", "signingTime", "signingCertificateV2"})
            EXPECT_NE(printed.find(attribute), std::string::npos) << attribute;
    }
}

TEST_F(CliTest, StoreRoundTrip) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Круговой, O=Пломбарь");
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("cert.der"), identity.der());
    writeFile(work.file("key.pem"), identity.keyPem());

    CliResult result = cli("store list");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Хранилище «MY» пусто (" + store.home() + "/plombar/stores/MY)\n");

    result = cli("store import cert.pem --key key.pem --name " + shellQuote("Моя подпись"));
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string thumbprint = identity.thumbprint();
    EXPECT_EQ(result.out, "Сертификат добавлен в хранилище: " + thumbprint +
                              "\n  CN=Круговой, O=Пломбарь\n  закрытый ключ: есть\n");
    EXPECT_EQ(modeOf(store.keyFile(thumbprint)), 0600u);
    EXPECT_EQ(modeOf(store.folder()), 0700u);

    result = cli("store list");
    EXPECT_NE(result.out.find(thumbprint + "  ключ  до "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("ГОСТ Р 34.10-2012 512 бит  CN=Круговой, O=Пломбарь  [Моя подпись]"),
              std::string::npos)
        << result.out;

    result = cli("store show " + thumbprint.substr(0, 6));
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Кому выдан: Круговой\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Отпечаток (SHA-1): " + thumbprint), std::string::npos);
    result = cli("store show --subject Круговой");
    EXPECT_EQ(result.status, 0);

    EXPECT_EQ(cli("store export " + thumbprint + " --out exported.cer").status, 0);
    EXPECT_EQ(readFile(work.file("exported.cer")), identity.der());
    EXPECT_EQ(cli("store export --subject Круговой --out exported.pem --pem").status, 0);
    EXPECT_EQ(readFile(work.file("exported.pem")), identity.pem());

    // The same certificate in DER form, under a name with a dash and blanks, replaces the entry and
    // keeps the key.
    writeFile(work.file("-мой сертификат.der"), identity.der());
    EXPECT_EQ(cli("store import -- " + shellQuote("-мой сертификат.der")).status, 0);
    EXPECT_TRUE(fileExists(store.keyFile(thumbprint)));

    result = cli("store remove --thumbprint " + thumbprint);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listFolder(store.folder()), std::vector<std::string>{});
    EXPECT_EQ(cli("store remove " + thumbprint).status, 7);
}

// "Root" and "CA" beside "MY": the same commands with --store, certificates alone, in the forms a
// certification authority hands them out.
TEST_F(CliTest, RootAndIntermediateStoresHoldCertificatesAlone) {
    const TestIdentity root = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Корневой УЦ, O=Пломбарь");
    const TestIdentity intermediate = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Промежуточный УЦ");
    std::string base64 = "\r\n";
    const std::string body = root.pem().substr(28, root.pem().size() - 28 - 26); // the PEM's lines
    for (char c : body)
        base64 += c == '\n' ? std::string("\r\n") : std::string(1, c);
    writeFile(work.file("root.cer"), base64 + "\r\n");
    writeFile(work.file("ca.crt"), "Промежуточный сертификат\n" + intermediate.pem());
    writeFile(work.file("key.pem"), root.keyPem());
    const std::string rootFolder = store.home() + "/plombar/stores/Root";

    CliResult result = cli("store import root.cer --store Root");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Сертификат добавлен в хранилище: " + root.thumbprint() +
                              "\n  CN=Корневой УЦ, O=Пломбарь\n  закрытый ключ: нет\n");
    EXPECT_EQ(readFile(rootFolder + "/" + root.thumbprint() + ".cer"), root.der());
    EXPECT_EQ(modeOf(rootFolder), 0700u);
    ASSERT_EQ(cli("store import ca.crt --store ca").status, 0);

    result = cli("store list --store root");
    EXPECT_EQ(result.out.substr(0, 48), root.thumbprint() + "  —   ") << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    EXPECT_EQ(firstThumbprint(cli("store list --store CA").out), intermediate.thumbprint());
    EXPECT_EQ(cli("store list").out, "Хранилище «MY» пусто (" + store.folder() + ")\n");
    EXPECT_EQ(cli("store show " + root.thumbprint()).status, 7);
    EXPECT_NE(cli("store show --subject Корневой --store Root").out.find("Файл: " + rootFolder + "/"),
              std::string::npos);
    ASSERT_EQ(cli("store export --subject Промежуточный --store CA --pem --out ca.pem").status, 0);
    EXPECT_EQ(readFile(work.file("ca.pem")), intermediate.pem());

    const struct {
        const char* arguments;
        int status;
        const char* error;
    } refused[] = {
        {"store import root.cer --key key.pem --store Root", 2, "в хранилище «Root» ключи не хранятся"},
        {"store list --store Trust", 2, "неизвестное хранилище «Trust»: есть MY, Root и CA"},
        {"store import root.cer --store", 2, "у параметра «--store» нет значения"},
    };
    for (const auto& c : refused) {
        result = cli(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << c.arguments << "\n" << result.err;
    }
    EXPECT_EQ(listFolder(rootFolder), std::vector<std::string>{root.thumbprint() + ".cer"});

    ASSERT_EQ(cli("store remove " + root.thumbprint() + " --store Root").status, 0);
    EXPECT_EQ(listFolder(rootFolder), std::vector<std::string>{});
    for (const char* command : {"list", "show", "import", "export", "remove"})
        EXPECT_NE(cli(std::string("store ") + command + " --help").out.find("--store ИМЯ"), std::string::npos)
            << command;
}

TEST_F(CliTest, PasswordsForKeysAndPkcs12) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Защищённый");
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("key.pem"), identity.keyPem());
    const std::string password = writePassword("pw", "пароль ключа");
    const std::string wrong = writePassword("wrong", "не тот");
    // Keys encrypted the GOST way by the openssl tool.
    std::string log;
    ASSERT_EQ(runOpenssl("pkcs8 -topk8 -engine gost -v2 gost89 -in " + shellQuote(work.file("key.pem")) +
                             " -out " + shellQuote(work.file("key-gost.pem")) +
                             " -passout file:" + shellQuote(password),
                         &log),
              0)
        << log;
    ASSERT_EQ(
        runOpenssl("pkcs12 -export -engine gost -keypbe gost89 -certpbe gost89 -macalg md_gost12_256 -in " +
                       shellQuote(work.file("cert.pem")) + " -inkey " + shellQuote(work.file("key.pem")) +
                       " -name " + shellQuote("Из PFX") + " -out " + shellQuote(work.file("id.pfx")) +
                       " -passout file:" + shellQuote(password),
                   &log),
        0)
        << log;
    writeFile(work.file("data.txt"), "данные");
    const std::string thumbprint = identity.thumbprint();

    struct Case {
        const char* name;
        std::string import;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {"encrypted key, wrong password", "cert.pem --key key-gost.pem --password-file wrong", 5,
         "неверный пароль закрытого ключа «key-gost.pem»"},
        {"PKCS #12, wrong password", "id.pfx --password-fd 3 3<wrong", 5,
         "неверный пароль файла PKCS #12 «id.pfx»"},
        {"encrypted key", "cert.pem --key key-gost.pem --password-file pw", 0, ""},
        {"PKCS #12", "id.pfx --password-fd 3 3<pw", 0, ""},
        {"PKCS #12, key kept unencrypted", "id.pfx --password-file pw --no-key-password", 0, ""},
    };
    for (const Case& c : cases) {
        CertificateStore::open().remove(thumbprint);
        const CliResult result = cli("store import " + c.import);
        EXPECT_EQ(result.status, c.status) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << c.name << ": " << result.err;
        if (c.status != 0) {
            EXPECT_FALSE(fileExists(store.certificateFile(thumbprint))) << c.name;
            continue;
        }
        EXPECT_EQ(modeOf(store.keyFile(thumbprint)), 0600u);
        const bool encrypted = std::string(c.name).find("unencrypted") == std::string::npos;
        EXPECT_EQ(classifyKeyFile(readFile(store.keyFile(thumbprint))),
                  encrypted ? KeyFileKind::Encrypted : KeyFileKind::Plain)
            << c.name;
        if (std::string(c.name).rfind("PKCS", 0) == 0) {
            EXPECT_NE(cli("store list").out.find("[Из PFX]"), std::string::npos) << c.name;
        }
        // The key signs, with the password where it has one.
        std::remove(work.file("data.txt.sig").c_str());
        CliResult signedRun = cli("sign data.txt --thumbprint " + thumbprint + " --password-file pw");
        EXPECT_EQ(signedRun.status, 0) << c.name << ": " << signedRun.err;
        EXPECT_TRUE(opensslVerifies(work.file("data.txt.sig"), work.file("data.txt"))) << c.name;
        if (encrypted) {
            signedRun = cli("sign data.txt --thumbprint " + thumbprint + " --password-file wrong");
            EXPECT_EQ(signedRun.status, 5) << c.name;
            EXPECT_EQ(signedRun.out, "Не удалось определить криптопровайдер\n");
            EXPECT_EQ(signedRun.err, "plombar-cli: неверный пароль закрытого ключа\n");
            // No terminal and no password option: a plain refusal, never a hang.
            signedRun = cli("sign data.txt --thumbprint " + thumbprint, "setsid");
            EXPECT_EQ(signedRun.status, 9) << c.name;
            EXPECT_NE(signedRun.err.find("нет терминала"), std::string::npos) << signedRun.err;
        }
    }
}

TEST_F(CliTest, Tk26ExamplePfxImportsAndSigns) {
    const std::string pfx = std::string(PLOMBAR_INTEROP_VECTORS) + "/tk26_pfx_example.pfx";
    writePassword("pw", "Пароль для PFX");
    writePassword("wrong", "пароль для PFX");
    CliResult result = cli("store import " + shellQuote(pfx) + " --password-file wrong");
    EXPECT_EQ(result.status, 5);
    result = cli("store import " + shellQuote(pfx) + " --password-file pw");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("CN=\"Test certificate 1 (PKCS#12 example)\", O=ТК26, L=Москва, C=RU"),
              std::string::npos)
        << result.out;
    const std::string thumbprint = firstThumbprint(cli("store list").out);
    writeFile(work.file("data.txt"), "Test message");
    result =
        cli("sign data.txt --attached --subject " + shellQuote("Test certificate 1") + " --password-file pw");
    EXPECT_EQ(result.status, 0) << result.err;
    std::string extracted;
    EXPECT_TRUE(opensslVerifies(work.file("data.txt.sig"), "", &extracted));
    EXPECT_EQ(extracted, "Test message");
    EXPECT_EQ(thumbprint.size(), 40u);
}

TEST_F(CliTest, BadInputsHaveTheirMessagesAndCodes) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Один");
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Другой");
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("other-key.pem"), other.keyPem());
    writeFile(work.file("junk.bin"), randomBytes(700, 9));
    writeFile(work.file("data.txt"), "x");
    const struct {
        const char* arguments;
        int status;
        const char* error;
    } cases[] = {
        {"store import missing.pfx", 3,
         "файл «missing.pfx» не открывается: The system cannot find the file specified"},
        {"store import junk.bin", 4, "«junk.bin» не является сертификатом (DER или PEM) или файлом PKCS #12"},
        {"store import cert.pem --key junk.bin", 4, "«junk.bin» не является закрытым ключом"},
        {"store import cert.pem --key cert.pem", 4, "«cert.pem» не является закрытым ключом"},
        {"store import cert.pem --key other-key.pem", 6,
         "закрытый ключ «other-key.pem» не соответствует сертификату"},
        {"store import cert.pem --key missing.pem", 3, "файл «missing.pem» не открывается"},
        {"store import", 2, "не указан файл для импорта"},
        {"store import a b", 2, "лишние аргументы"},
        {"store import cert.pem --bogus", 2, "неизвестный параметр «--bogus»"},
        {"store import -x", 2, "после «--»"},
        {"store frobnicate", 2, "неизвестная команда «store frobnicate»"},
        {"frobnicate", 2, "неизвестная команда «frobnicate»"},
        {"store new-test-cert --alg 2012", 2, "«--alg» ждёт 2001, 2012-256 или 2012-512"},
        {"store new-test-cert --alg rsa", 2, "«--alg» ждёт"},
        {"store new-test-cert --subject 'XX=1'", 2, "Неизвестный тип атрибута имени «XX»"},
        {"store new-test-cert --days 0", 2, "«--days»"},
        {"store show", 2, "не указан сертификат"},
        {"store show abc", 2, "хотя бы 4"},
        {"store show zzzz", 2, "не шестнадцатеричный"},
        {"store show ffffffff", 7, "в хранилище нет сертификата с отпечатком «ffffffff»"},
        {"store export ffff", 2, "не указан выходной файл"},
        {"sign data.txt", 2, "не указан сертификат"},
        {"sign data.txt --thumbprint ab12 --subject x", 2, "либо --thumbprint, либо --subject"},
        {"sign data.txt --subject x --password-fd x", 2, "«--password-fd» ждёт номер"},
        {"sign data.txt --subject x --password-fd 3 --password-file y", 2, "либо --password-file"},
        {"sign data.txt --subject Никто", 7, "в хранилище нет сертификата с именем «Никто»"},
        {"sign missing.txt --subject Один", 3, "Cannot open file \""},
    };
    store.add(identity);
    for (const auto& c : cases) {
        const CliResult result = cli(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments << "\n" << result.err;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << c.arguments << "\n" << result.err;
    }
    // Not found in the store: the window's message, then why.
    const CliResult result = cli("sign data.txt --subject Никто");
    EXPECT_EQ(result.out, "Не выбран сертификат\n");
    EXPECT_FALSE(fileExists(work.file("data.txt.sig")));
}

// Named pipes, sockets and devices given as any input are refused before a byte is read, with the
// open error and a plainer second line; nothing is written. A pipe without a writer never blocks
// (each run has a time limit), and one that holds data is not taken for a file of that data.
TEST_F(CliTest, InputsThatAreNotFilesAreRefusedAndNothingIsWritten) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Осторожный");
    const std::string thumbprint = store.add(identity, TestStore::Key::Encrypted, "secret");
    writeFile(work.file("data.txt"), "данные");
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("pw"), "secret\n");
    ASSERT_EQ(cli("sign data.txt --password-file pw --thumbprint " + thumbprint).status, 0);
    const std::string input = work.file("вход.bin");
    const std::string notAFile = "The file cannot be accessed by the system";
    const std::string hint = "\nэто не обычный файл, а именованный канал, сокет или устройство: "
                             "читаются и заменяются только обычные файлы";
    const std::string openError = "plombar-cli: Cannot open file \"" + input + "\". " + notAFile;
    const std::string readError = "plombar-cli: файл «вход.bin» не открывается: " + notAFile + hint + "\n";
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"sign вход.bin --thumbprint " + thumbprint, openError + hint + "\n"},
        {"encrypt вход.bin --thumbprint " + thumbprint, openError + hint + "\n"},
        {"encrypt data.txt --cert вход.bin", openError + hint + "\n"},
        {"decrypt вход.bin", openError + hint + "\n"},
        {"verify вход.bin data.txt.sig", openError + "." + hint + "\n"},
        {"verify data.txt вход.bin", "plombar-cli: I/O error 1920." + hint + "\n"},
        {"store import вход.bin", readError},
        {"store import cert.pem --key вход.bin", readError},
        {"sign data.txt --password-file вход.bin --thumbprint " + thumbprint,
         "plombar-cli: пароль не прочитан: файл пароля «вход.bin» не открывается: " + notAFile + hint +
             "; пароль из канала: --password-fd N\n"},
    };
    std::vector<std::string> before = listFolder(work.path());
    before.push_back("вход.bin");
    std::sort(before.begin(), before.end());
    for (const char* kind : {"FIFO without a writer", "FIFO holding 10000 bytes", "socket", "/dev/zero"}) {
        SCOPED_TRACE(kind);
        std::remove(input.c_str());
        UniqueFd held;
        if (kind[0] == 'F') {
            ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
            if (kind[5] == 'h') { // a writer that has put its bytes in and stays
                held = UniqueFd(::open(input.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
                ASSERT_EQ(::write(held.get(), randomBytes(10000).data(), 10000), 10000);
            }
        } else if (kind[0] == 's') {
            held = bindUnixSocket(input);
        } else {
            ASSERT_EQ(::symlink("/dev/zero", input.c_str()), 0);
        }
        for (const auto& [arguments, error] : commands) {
            const CliResult result = cli(arguments, "timeout 20");
            EXPECT_NE(result.status, 0) << arguments;
            EXPECT_NE(result.status, 124) << arguments << ": blocked";
            // What follows the password file's refusal is the key's own outcome.
            const std::size_t length =
                arguments.find("--password-file") != std::string::npos ? error.size() : std::string::npos;
            EXPECT_EQ(result.err.substr(result.err.find("plombar-cli: "), length), error) << arguments;
        }
        EXPECT_EQ(listFolder(work.path()), before);
    }
}

// Files under /proc report a size of 0 but have content: a signature covers all of it, and the
// archive of the signed pair holds all of it.
TEST_F(CliTest, FilesThatReportNoSizeAreSignedWhole) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Ядро"));
    ASSERT_EQ(::symlink("/proc/version", work.file("версия").c_str()), 0);
    const CliResult result = cli("sign версия --attached --7z --thumbprint " + thumbprint);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string content = readFile("/proc/version");
    ASSERT_FALSE(content.empty());
    std::string extracted;
    std::string log;
    ASSERT_TRUE(opensslVerifies(work.file("версия.sig"), "", &extracted, &log)) << log;
    EXPECT_EQ(extracted, content);
    std::string packed;
    ASSERT_EQ(runCommand("7z e -so " + shellQuote(work.file("версия.sig.7z")) + " версия", &packed), 0);
    EXPECT_EQ(packed, content);
}

TEST_F(CliTest, AmbiguousSubjectsAndKeysOthersCanRead) {
    const std::string first = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Иванов Иван"));
    const std::string second = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Иванов Пётр"));
    writeFile(work.file("data.txt"), "x");
    CliResult result = cli("sign data.txt --subject Иванов");
    EXPECT_EQ(result.status, 7);
    EXPECT_NE(result.err.find("несколько сертификатов"), std::string::npos);
    EXPECT_NE(result.err.find(first), std::string::npos);
    EXPECT_NE(result.err.find(second), std::string::npos);
    // A whole common name wins over partial matches.
    EXPECT_EQ(cli("sign data.txt --subject " + shellQuote("Иванов Иван")).status, 0);

    ::chmod(store.keyFile(second).c_str(), 0644);
    result = cli("sign data.txt --thumbprint " + second);
    EXPECT_EQ(result.status, 10);
    EXPECT_EQ(result.out, "Не удалось определить криптопровайдер\n");
    EXPECT_NE(result.err.find("слишком широкие (0644)"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("chmod 600"), std::string::npos) << result.err;
}

TEST_F(CliTest, DamagedStoreFilesAreSkipped) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Целый"));
    writeFile(store.folder() + "/broken.cer", "garbage");
    writeFile(store.folder() + "/.half.cer.0123456789ab.plombar-tmp", "");
    const CliResult result = cli("store list");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    EXPECT_EQ(firstThumbprint(result.out), thumbprint);
}

TEST_F(CliTest, MissingGostEngineIsReportedPlainly) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256));
    writeFile(work.file("data.txt"), "x");
    const std::string noEngine =
        "OPENSSL_ENGINES=" + shellQuote(work.file("no-engines")) + " OPENSSL_CONF=/dev/null";
    CliResult result = cli("sign data.txt --thumbprint " + thumbprint, noEngine);
    EXPECT_EQ(result.status, 8);
    EXPECT_NE(result.err.find("The GOST module for OpenSSL was not found (libengine-gost-openssl)"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("команда «sign» невозможна"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fileExists(work.file("data.txt.sig")));
    EXPECT_EQ(cli("store new-test-cert", noEngine).status, 8);
    // Reading the store needs no engine; the warning still comes first.
    result = cli("store list", noEngine);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(firstThumbprint(result.out), thumbprint);
    EXPECT_NE(result.err.find("libengine-gost-openssl"), std::string::npos);
}

TEST_F(CliTest, EveryCommandDocumentsItsExitCodes) {
    for (const char* command : {"sign", "store list", "store show", "store import", "store export",
                                "store remove", "store new-test-cert"}) {
        const CliResult result = cli(std::string(command) + " --help");
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_NE(result.out.find("Коды завершения:\n   0  успех\n"), std::string::npos) << command;
    }
    EXPECT_NE(cli("sign --help").out.find("  5  неверный пароль\n"), std::string::npos);
    EXPECT_NE(cli("sign --help").out.find("--password-fd"), std::string::npos);
    EXPECT_NE(cli("store import --help").out.find("  6  закрытый ключ не соответствует сертификату\n"),
              std::string::npos);
    EXPECT_EQ(cli("").status, 2);
}

// A thumbprint that cannot be one is a mistake in the command, the same in every command that takes
// one (and its --help says so); a well-formed one that matches nothing is "not in the store".
TEST_F(CliTest, MalformedThumbprintIsAUsageErrorInEveryCommand) {
    store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Один"));
    writeFile(work.file("data.txt"), "x");
    const std::pair<std::string, int> thumbprints[] = {
        {"zz", 2}, {"ab:c", 2}, {std::string(41, 'a'), 2}, {"ff:ff", 7}};
    for (const char* command : {"sign data.txt --thumbprint", "encrypt data.txt --thumbprint", "store show",
                                "store export --out x.cer", "store remove --thumbprint"}) {
        for (const auto& [thumbprint, status] : thumbprints)
            EXPECT_EQ(cli(std::string(command) + " " + thumbprint).status, status)
                << command << " " << thumbprint;
        const std::string help =
            cli(std::string(command).substr(0, std::string(command).find(" --")) + " --help").out;
        EXPECT_NE(help.find("короче 4 или длиннее 40 цифр), — ошибка в команде (код 2)"), std::string::npos)
            << help;
    }
    EXPECT_EQ(listFolder(work.path()), (std::vector<std::string>{".stderr", "data.txt"}));
}

// A result path or report that does not reach stdout (a full disk, a closed descriptor) is a
// failure with its message, never a success; verify keeps 1 for "not verified", its errors are 2.
TEST_F(CliTest, OutputThatCannotBeWrittenIsAnError) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Вывод"));
    writeFile(work.file("data.txt"), "данные");
    ASSERT_EQ(cli("sign data.txt --thumbprint " + thumbprint).status, 0);
    ASSERT_EQ(cli("encrypt data.txt --thumbprint " + thumbprint).status, 0);
    ::rename(work.file("data.txt.enc").c_str(), work.file("письмо.enc").c_str());
    const std::pair<std::string, int> commands[] = {{"sign data.txt --thumbprint " + thumbprint, 1},
                                                    {"verify data.txt data.txt.sig", 2},
                                                    {"encrypt data.txt --thumbprint " + thumbprint, 1},
                                                    {"decrypt письмо.enc", 1},
                                                    {"store list", 1},
                                                    {"sign --help", 1}};
    for (const char* redirection : {">/dev/full", ">&-"}) {
        for (const auto& [command, status] : commands) {
            const CliResult result = cli(command + " " + redirection);
            EXPECT_EQ(result.status, status) << command << " " << redirection << "\n" << result.err;
            EXPECT_NE(result.err.find("plombar-cli: вывод не записан: стандартный вывод не принимает его ("),
                      std::string::npos)
                << command << " " << redirection << "\n"
                << result.err;
        }
    }
    // The files are whole: no message took the place of the closed descriptor in them.
    EXPECT_TRUE(opensslVerifies(work.file("data.txt.sig"), work.file("data.txt")));
    EXPECT_EQ(readFile(work.file("письмо")), "данные");
}

// A password source that cannot be read is its own error saying why, never a wrong password.
TEST_F(CliTest, UnreadablePasswordSourceIsNotAWrongPassword) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Под паролем");
    const std::string sign =
        "sign data.txt --thumbprint " + store.add(identity, TestStore::Key::Encrypted, "пароль");
    writeFile(work.file("data.txt"), "x");
    writeFile(work.file("cert.pem"), identity.pem());
    writeFile(work.file("key.pem"), identity.keyPem("пароль"));
    ASSERT_EQ(::mkdir(work.file("папка").c_str(), 0700), 0);
    const std::pair<std::string, std::string> cases[] = {
        {sign + " --password-file папка",
         "пароль не прочитан: файл пароля «папка» не читается: Is a directory"},
        {sign + " --password-fd 7 7<&-", "пароль не прочитан: дескриптор 7 не читается: Bad file descriptor"},
        {sign + " --password-file нет",
         "пароль не прочитан: файл пароля «нет» не открывается: The system cannot find"},
        {"store import cert.pem --key key.pem --password-fd 7 7<&-", "пароль не прочитан: дескриптор 7"},
        {"store new-test-cert --encrypt-key --password-file папка",
         "пароль не прочитан: файл пароля «папка»"},
    };
    for (const auto& [arguments, reason] : cases) {
        const CliResult result = cli(arguments);
        EXPECT_EQ(result.status, 3) << arguments << "\n" << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << arguments << "\n" << result.err;
        EXPECT_EQ(result.err.find("неверный пароль"), std::string::npos) << result.err;
    }
    EXPECT_NE(cli("sign --help").out.find("закрытый дескриптор), — ошибка с кодом 3, а не неверный пароль"),
              std::string::npos);
}
