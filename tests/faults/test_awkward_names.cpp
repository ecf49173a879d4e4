// File names with blanks, line breaks, Cyrillic, quotes and leading dashes through every command of
// plombar-cli. The arguments go to the program as they are (no shell); a name that looks like an
// option follows "--", and an option's value may itself begin with "-".

#include "FaultSupport.h"

#include "TestPki.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

struct Names {
    const char* what;
    std::string input;  // the file to sign and encrypt (bare name, in the work folder)
    std::string prefix; // put before every name that stands for a file: "--" for names like options
};

class AwkwardNames : public ::testing::TestWithParam<Names> {
protected:
    ProgramRun cli(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.folder = work.path();
        options.descriptor3 = password + "\n";
        return runCli(arguments, options);
    }
    // `arguments`, then the names after the parameter's prefix.
    static std::vector<std::string> with(std::vector<std::string> arguments,
                                         const std::vector<std::string>& names, const std::string& prefix) {
        if (!prefix.empty())
            arguments.push_back(prefix);
        arguments.insert(arguments.end(), names.begin(), names.end());
        return arguments;
    }

    TestStore store;
    TempDir work{"plombar-faults-names"};
    TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Получатель -x \"кавычки\"");
    const std::string password = "пароль с пробелом";
};

TEST_P(AwkwardNames, EveryCommandTakesTheNameAsItIs) {
    const Names& n = GetParam();
    const std::string thumbprint = store.add(identity, TestStore::Key::Encrypted, password);
    const std::string content = randomBytes(5000, 2) + "конец";
    writeFile(work.file(n.input), content);
    const std::string& p = n.prefix;

    // Signing every way; options may stand before the "--".
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, {"--attached"}, {"--base64"}, {"--base64", "--7z"}}) {
        std::vector<std::string> arguments = {"sign", "--thumbprint", thumbprint, "--password-fd", "3"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ProgramRun run = cli(with(arguments, {n.input}, p));
        ASSERT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(fileExists(work.file(n.input + ".sig")));
    EXPECT_TRUE(fileExists(work.file(n.input + ".p7s")));
    EXPECT_TRUE(fileExists(work.file(n.input + ".p7s.7z")));

    // Verification of the Base64 signature (its name was made from the input's).
    ProgramRun run = cli(with({"verify"}, {n.input, n.input + ".p7s"}, p));
    EXPECT_EQ(run.status, 0) << run.err << run.out;

    // Export of the certificate to a file with the same kind of name, and encryption for it.
    const std::string certificate = n.input + ".cer";
    run = cli({"store", "export", thumbprint, "--out", certificate});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(work.file(certificate)), identity.der());
    run = cli(with({"encrypt", "--cert", certificate}, {n.input}, p));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Файл зашифрован\n" + n.input + ".enc\n");

    // Decryption gives the content back under the input's name.
    ASSERT_EQ(::unlink(work.file(n.input).c_str()), 0);
    run = cli(with({"decrypt", "--password-fd", "3"}, {n.input + ".enc"}, p));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readFile(work.file(n.input)) == content);

    // The store takes a certificate and key from such files too, and a password file so named.
    ASSERT_EQ(runCli({"store", "remove", thumbprint}).status, 0);
    writeFile(work.file(n.input + ".key"), identity.keyPem(password));
    writeFile(work.file(n.input + ".pw"), password + "\n");
    run = cli(with(
        {"store", "import", "--key", n.input + ".key", "--password-file", n.input + ".pw", "--name", n.input},
        {certificate}, p));
    ASSERT_EQ(run.status, 0) << run.err;
    run = cli({"store", "show", thumbprint});
    EXPECT_NE(run.out.find("Понятное имя: " + n.input.substr(0, n.input.find('\n'))), std::string::npos)
        << run.out;
    EXPECT_TRUE(temporaryFilesIn(work.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Names, AwkwardNames,
    ::testing::Values(Names{"blanks and Cyrillic", "отчёт за май 2024.pdf", ""},
                      Names{"a line break", "первая строка\nвторая.txt", ""},
                      Names{"quotes and shell characters", "\"a\" 'b' $(c) `d` *; e.txt", ""},
                      Names{"a leading dash", "-x", "--"}, Names{"like a long option", "--help", "--"},
                      Names{"a lone dash", "-", "--"}),
    [](const ::testing::TestParamInfo<Names>& param) { return "Case" + std::to_string(param.index); });

// Without "--", a name that starts with "-" is taken for an option and refused with a hint, never
// read as a file or as some other option.
TEST(AwkwardNamesWithoutEndOfOptions, AreRefusedWithAHint) {
    TempDir work("plombar-faults-dash");
    writeFile(work.file("-x"), "x");
    RunOptions options;
    options.folder = work.path();
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"sign", "-x", "--subject", "y"},
             {"verify", "-x", "-x.sig"},
             {"encrypt", "-x", "--subject", "y"},
             {"decrypt", "-x"},
             {"store", "import", "-x"},
         }) {
        const ProgramRun run = runCli(arguments, options);
        EXPECT_EQ(run.status, 2) << arguments[0];
        EXPECT_EQ(run.err, "plombar-cli: неизвестный параметр «-x» (имя файла, начинающееся с «-», пишите "
                           "после «--»)\n")
            << arguments[0];
        EXPECT_EQ(listFolder(work.path()), std::vector<std::string>{"-x"});
    }
}

// An option's value that reads like a request for help is a value: the command runs.
TEST(AwkwardNamesWithoutEndOfOptions, OptionValuesThatLookLikeHelpAreValues) {
    TestStore store;
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Помощь");
    const std::string thumbprint = store.add(identity);
    TempDir work("plombar-faults-help");
    RunOptions options;
    options.folder = work.path();
    ProgramRun run = runCli({"store", "export", thumbprint, "--out", "--help"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(work.file("--help")), identity.der());
    run = runCli({"store", "export", thumbprint, "--out", "-h"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(work.file("-h")), identity.der());
    writeFile(work.file("данные"), "данные");
    run = runCli({"encrypt", "данные", "--cert", "--help"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(fileExists(work.file("данные.enc")));
    writeFile(work.file("-h"), "x\n"); // a password file
    run = runCli({"sign", "--password-file", "-h", "--thumbprint", thumbprint, "данные"}, options);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(fileExists(work.file("данные.sig")));
    // Where it is an option, it is help.
    EXPECT_NE(runCli({"store", "export", "--help", "--out", "x"}, options).out.find("--out"),
              std::string::npos);
}

} // namespace
