// plombar-cli as shipped: --help and --version, every command's help naming its arguments and exit
// codes, and `sign --7z` packing the pair as the window does, with its failures and their exit code.

#include "SevenZipTestSupport.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

using namespace plombar;
using namespace plombar::test;

namespace {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

class Cli : public ::testing::Test {
protected:
    // Runs `prefix plombar-cli arguments` in the work folder; `arguments` are quoted already.
    CliResult cli(const std::string& arguments, const std::string& prefix = {}) {
        CliResult result;
        const std::string errFile = work.file(".stderr");
        result.status = runCommand("cd " + shellQuote(work.path()) + " && " + prefix + " " +
                                       shellQuote(PLOMBAR_CLI_PATH) + " " + arguments + " 2>" +
                                       shellQuote(errFile) + " </dev/null",
                                   &result.out);
        result.err = readFile(errFile);
        return result;
    }

    TempDir work{"plombar-cli-ship"};
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct HelpCase {
    const char* command;               // as typed before --help
    std::vector<const char*> mentions; // arguments, options and exit-code lines the help must name
};

void PrintTo(const HelpCase& c, std::ostream* out) {
    *out << '"' << c.command << '"';
}

class CliHelp : public Cli, public ::testing::WithParamInterface<HelpCase> {};

} // namespace

TEST_F(Cli, VersionIsTheProjectsOwn) {
    const CliResult r = cli("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("plombar-cli ") + PLOMBAR_VERSION + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_STREQ(PLOMBAR_VERSION, "1.7.0");
}

// --help lists every command and answers 0; no command at all is a usage error with the same text.
TEST_F(Cli, OverviewNamesEveryCommand) {
    const CliResult help = cli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(cli("-h").out, help.out);
    for (const char* command : {"store", "sign", "verify", "encrypt", "decrypt"})
        EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    EXPECT_NE(help.out.find("plombar-cli КОМАНДА --help"), std::string::npos);

    const CliResult none = cli("");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, help.out);
    const CliResult unknown = cli("--verison");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "plombar-cli: неизвестная команда «--verison»\n");
}

// Each command's help: its usage line first, every argument and option it takes, and a section of
// exit codes with at least success; nothing on stderr, exit code 0, even with other arguments.
TEST_P(CliHelp, NamesArgumentsAndExitCodes) {
    const HelpCase& c = GetParam();
    const CliResult r = cli(std::string(c.command) + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(std::string("plombar-cli ") + c.command, 0), 0u) << r.out;
    const bool codes = r.out.find("\nКоды завершения:\n   0  успех\n") != std::string::npos ||
                       r.out.find("\nКоды выхода:\n  0  ") != std::string::npos;
    EXPECT_TRUE(codes) << r.out;
    for (const char* mention : c.mentions)
        EXPECT_NE(r.out.find(mention), std::string::npos) << "«" << mention << "» missing in\n" << r.out;
    // -h is the same, and so is --help after a file name.
    EXPECT_EQ(cli(std::string(c.command) + " -h").out, r.out);
    EXPECT_EQ(cli(std::string(c.command) + " some-file --help").out, r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliHelp,
    ::testing::Values(
        HelpCase{"sign",
                 {"ФАЙЛ", "--thumbprint", "--subject", "--attached", "--base64", "--7z", "--password-file",
                  "--password-fd", "   3  входной файл не найден", "   7  сертификат не найден",
                  "  11  подписание не удалось", "  12  не удалось записать выходной файл",
                  "  15  подпись записана, но архив 7z не создан"}},
        HelpCase{"verify", {"ДАННЫЕ", "ПОДПИСЬ", "--certificate", "  1  подпись не верна", "  2  ошибка"}},
        HelpCase{"encrypt", {"ФАЙЛ", "--thumbprint", "--subject", "--cert", "  13  шифрование не удалось"}},
        HelpCase{"decrypt", {"ФАЙЛ", "--password-file", "--password-fd", "  14  расшифрование не удалось"}},
        HelpCase{"store list", {}},
        HelpCase{"store show", {"ОТПЕЧАТОК", "--thumbprint", "--subject", "   7  сертификат не найден"}},
        HelpCase{"store import",
                 {"ФАЙЛ", "--key", "--name", "--no-key-password", "--password-file", "   5  неверный пароль",
                  "   6  закрытый ключ не соответствует"}},
        HelpCase{"store export", {"--out", "--pem", "  12  не удалось записать"}},
        HelpCase{"store remove", {"ОТПЕЧАТОК", "   7  сертификат не найден"}},
        HelpCase{"store new-test-cert",
                 {"--alg", "2001|2012-256|2012-512", "--subject", "--days", "--encrypt-key"}}));

// The store group's own help is an index of its commands.
TEST_F(Cli, StoreHelpListsItsCommands) {
    const CliResult r = cli("store --help");
    EXPECT_EQ(r.status, 0);
    for (const char* command : {"list", "show", "import", "export", "remove", "new-test-cert"})
        EXPECT_NE(r.out.find(std::string("\n  ") + command), std::string::npos) << command;
}

namespace {

// A signer in a temporary store, made with the command itself as a new user would.
class CliPack : public Cli {
protected:
    void SetUp() override {
        const CliResult made = cli("store new-test-cert --subject " + shellQuote("CN=Упаковщик"));
        ASSERT_EQ(made.status, 0) << made.err;
        thumbprint = made.out.substr(std::string("Создан тестовый сертификат ").size(), 40);
        input = work.file("акт сверки № 3.xlsx");
        content = randomBytes(150000, 9);
        writeFile(input, content);
    }

    TestStore store; // the temporary XDG_DATA_HOME the command's store lives in
    std::string thumbprint;
    std::string input;
    std::string content;
};

} // namespace

// The same archive as the window's: next to the signature, the pair under bare names, BZip2; the
// messages as the window shows them, the signature's path last.
TEST_F(CliPack, SignPacksThePair) {
    for (const bool base64 : {false, true}) {
        SCOPED_TRACE(base64 ? "Base64" : "DER");
        const std::string signature = input + (base64 ? ".p7s" : ".sig");
        const CliResult r = cli("sign " + shellQuote(input) + " --thumbprint " + thumbprint + " --7z" +
                                (base64 ? " --base64" : ""));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(linesOf(r.out), (std::vector<std::string>{"Подписанное сообщение создано",
                                                            "Создан архив:" + signature + ".7z", signature}));
        std::vector<std::string> paths;
        for (const auto& entry : listArchive(signature + ".7z")) {
            paths.push_back(entry.at("Path"));
            EXPECT_EQ(entry.at("Method"), "BZip2");
        }
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths,
                  (std::vector<std::string>{"акт сверки № 3.xlsx",
                                            "акт сверки № 3.xlsx" + std::string(base64 ? ".p7s" : ".sig")}));
        TempDir out("plombar-cli-unpack");
        ASSERT_EQ(run7z("x -o" + shellQuote(out.path()) + " " + shellQuote(signature + ".7z")), 0);
        EXPECT_TRUE(readFile(out.file("акт сверки № 3.xlsx")) == content);
        EXPECT_TRUE(readFile(out.file(fileNameOf(signature))) == readFile(signature));
    }
    // Without --7z no archive is made.
    ASSERT_EQ(::unlink((input + ".sig.7z").c_str()), 0);
    const CliResult plain = cli("sign " + shellQuote(input) + " --thumbprint " + thumbprint);
    EXPECT_EQ(plain.status, 0);
    EXPECT_FALSE(fileExists(input + ".sig.7z"));
}

// A packing failure: its own exit code, the error on stderr, and the signature still written.
TEST_F(CliPack, AFailedPackingKeepsTheSignature) {
    const std::string archive = input + ".sig.7z";
    ASSERT_EQ(::mkdir(archive.c_str(), 0700), 0);
    const CliResult r = cli("sign " + shellQuote(input) + " --thumbprint " + thumbprint + " --7z");
    EXPECT_EQ(r.status, 15);
    EXPECT_EQ(r.err, "plombar-cli: Cannot create file \"" + archive + "\". Access is denied\n");
    EXPECT_EQ(linesOf(r.out), std::vector<std::string>{"Подписанное сообщение создано"});
    EXPECT_TRUE(opensslVerifies(input + ".sig", input));
}

// With the library's folder hidden (a private mount namespace; root only): --7z fails with the
// loader's text, and without --7z nothing notices the missing library.
TEST_F(CliPack, MissingLibrary) {
    if (!runningAsRoot() || runCommand("unshare --mount true 2>/dev/null") != 0)
        GTEST_SKIP() << "private mount namespaces are not allowed here";
    TempDir empty("plombar-no-7z");
    const std::string hide = "unshare --mount sh -c 'mount --bind \"$0\" /usr/lib/p7zip && exec \"$@\"' " +
                             shellQuote(empty.path());
    const CliResult packed = cli("sign " + shellQuote(input) + " --thumbprint " + thumbprint + " --7z", hide);
    EXPECT_EQ(packed.status, 15);
    EXPECT_EQ(packed.err, "plombar-cli: Error loading library 7z.so\n");
    EXPECT_TRUE(fileExists(input + ".sig"));
    EXPECT_FALSE(fileExists(input + ".sig.7z"));

    const CliResult plain =
        cli("sign " + shellQuote(input) + " --thumbprint " + thumbprint + " --base64", hide);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
}
