// The signing flow: what the user sees in which order for every outcome, the files it writes (and
// leaves alone), the formats, the errors and where they come.

#include "RecordingInteraction.h"

#include "codec/Base64.h"
#include "crypto/CertificateStore.h"
#include "crypto/SignatureVerification.h"
#include "operations/SignFlow.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "sevenzip/PackSignedPair.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace plombar;
using namespace plombar::operations;
using namespace plombar::test;
using crypto::SignatureLayout;

namespace {

// Writes down the window's points in the run, and changes the format while the message is shown.
class RecordingCheckpoints : public SignCheckpoints {
public:
    explicit RecordingCheckpoints(std::vector<std::string>& events) : events_(events) {}
    std::optional<bool> base64Then; // the box as the user leaves it during the message

    bool base64(bool requested) override {
        events_.push_back("base64?");
        return base64Then.value_or(requested);
    }
    void signatureSaved() override { events_.push_back("saved"); }
    void packed() override { events_.push_back("packed"); }
    void beforeFolderOpens() override { events_.push_back("done"); }

private:
    std::vector<std::string>& events_;
};

class SignFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        input = folder.file("отчёт за май.pdf");
        writeFile(input, content);
    }
    std::string addSigner(KeyAlgorithm algorithm, TestStore::Key key = TestStore::Key::Plain,
                          const std::string& password = {}) {
        identity = makeIdentity(algorithm, "CN=Подписант");
        return store.add(identity, key, password);
    }
    SignResult sign(bool base64, SignatureLayout layout = SignatureLayout::Detached) {
        SignRequest request;
        request.inputPath = input;
        request.base64 = base64;
        request.layout = layout;
        return signFile(request, interaction, checkpoints);
    }
    // The signature file checked by OpenSSL's own verification (Base64 decoded first).
    bool opensslAccepts(const std::string& path, bool base64, bool detached) {
        const std::string der = scratch.file("message.der");
        writeFile(der, base64 ? decodeBase64(readFile(path)) : readFile(path));
        std::string extracted;
        return opensslVerifies(der, detached ? input : std::string(), &extracted) &&
               (detached || extracted == content);
    }

    TestStore store;
    TempDir folder{"plombar-sign-flow"};
    TempDir scratch{"plombar-sign-flow-scratch"};
    std::string input;
    const std::string content = std::string("%PDF-1.4\n\r\n\0\x01\x02", 14) + randomBytes(5000, 5);
    TestIdentity identity;
    RecordingInteraction interaction;
    RecordingCheckpoints checkpoints{interaction.events};
};

const std::string kChoose = std::string("choose: ") + kSignCertificateTitle;

} // namespace

TEST_F(SignFlowTest, EveryOutcomeInOrder) {
    const std::string open = "open: " + folder.path() + "/";
    const std::string signedText = std::string("message: ") + kSignedText;
    struct Case {
        const char* name;
        std::function<std::string()> prepare; // the thumbprint to pick, "" to cancel
        SignatureLayout layout;
        bool base64;
        SignOutcome outcome;
        std::vector<std::string> events;
        const char* file; // the one signature file there afterwards, "" for none
    };
    const Case cases[] = {
        {"cancelled",
         [&] {
             addSigner(KeyAlgorithm::Gost2012_256);
             return std::string();
         },
         SignatureLayout::Detached,
         false,
         SignOutcome::NoCertificate,
         {kChoose, "message: Не выбран сертификат"},
         ""},
        {"no key",
         [&] { return addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::None); },
         SignatureLayout::Detached,
         false,
         SignOutcome::NoKey,
         {kChoose, "message: Не удалось определить криптопровайдер"},
         ""},
        {"RSA certificate",
         [&] { return addSigner(KeyAlgorithm::Rsa2048); },
         SignatureLayout::Detached,
         false,
         SignOutcome::Refused,
         {kChoose, "message: Unknown cryptographic algorithm - 2148077570"},
         ""},
        {"detached DER",
         [&] { return addSigner(KeyAlgorithm::Gost2012_256); },
         SignatureLayout::Detached,
         false,
         SignOutcome::Signed,
         {kChoose, signedText, "base64?", "saved", "done", open},
         ".sig"},
        {"attached Base64",
         [&] { return addSigner(KeyAlgorithm::Gost2012_512); },
         SignatureLayout::Attached,
         true,
         SignOutcome::Signed,
         {kChoose, signedText, "base64?", "saved", "done", open},
         ".p7s"},
        {"2001 attached DER",
         [&] { return addSigner(KeyAlgorithm::Gost2001); },
         SignatureLayout::Attached,
         false,
         SignOutcome::Signed,
         {kChoose, signedText, "base64?", "saved", "done", open},
         ".sig"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        crypto::CertificateStore::open().remove(identity.certificate ? identity.thumbprint() : "none");
        std::remove((input + ".sig").c_str());
        std::remove((input + ".p7s").c_str());
        interaction.events.clear();
        interaction.pickThumbprint = c.prepare();
        const SignResult result = sign(c.base64, c.layout);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(interaction.events, c.events);
        const std::string file = std::string(c.file).empty() ? std::string() : input + c.file;
        EXPECT_EQ(result.signaturePath, file);
        EXPECT_EQ(listFolder(folder.path()).size(), file.empty() ? 1u : 2u);
        if (!file.empty()) {
            EXPECT_TRUE(opensslAccepts(file, c.base64, c.layout == SignatureLayout::Detached));
        }
    }
}

// The Base64 file is the DER message's text in lines of 76 characters with CR LF, no break after the
// last line, exactly as it has always been written; also when the box changes during the message.
TEST_F(SignFlowTest, FormatsAndAChangeOfFormatDuringTheMessage) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    struct Case {
        bool base64AtClick;
        bool base64AtMessage;
        SignatureLayout layout;
    };
    const Case cases[] = {
        {true, true, SignatureLayout::Attached},  {false, true, SignatureLayout::Attached},
        {true, false, SignatureLayout::Attached}, {false, true, SignatureLayout::Detached},
        {true, false, SignatureLayout::Detached},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.base64AtClick) + std::to_string(c.base64AtMessage) +
                     std::to_string(static_cast<int>(c.layout)));
        std::remove((input + ".sig").c_str());
        std::remove((input + ".p7s").c_str());
        checkpoints.base64Then = c.base64AtMessage;
        const SignResult result = sign(c.base64AtClick, c.layout);
        ASSERT_EQ(result.outcome, SignOutcome::Signed);
        EXPECT_EQ(result.signaturePath, input + (c.base64AtMessage ? ".p7s" : ".sig"));
        EXPECT_EQ(listFolder(folder.path()),
                  (std::vector<std::string>{"отчёт за май.pdf", fileNameOf(result.signaturePath)}));
        const std::string written = readFile(result.signaturePath);
        if (c.base64AtMessage) {
            EXPECT_EQ(written.substr(0, 2), "MI");
            EXPECT_EQ(written.find("\r\n"), 76u);
            EXPECT_NE(written.substr(written.size() - 2), "\r\n");
            EXPECT_EQ(written, encodeBase64(decodeBase64(written)));
        }
        EXPECT_TRUE(
            opensslAccepts(result.signaturePath, c.base64AtMessage, c.layout == SignatureLayout::Detached));
    }
}

TEST_F(SignFlowTest, CadesAttributesOnRequest) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    SignRequest request;
    request.inputPath = input;
    request.attributes = crypto::SignedAttributes::CadesBes;
    ASSERT_EQ(signFile(request, interaction).outcome, SignOutcome::Signed);
    EXPECT_TRUE(opensslAccepts(input + ".sig", false, true));
    FileReader signature(input + ".sig");
    FileReader data(input);
    crypto::VerifyOptions options;
    options.data = &data;
    const crypto::VerificationResult result = crypto::verifySignature(signature, options);
    ASSERT_EQ(result.signers.size(), 1u);
    EXPECT_TRUE(result.signers[0].valid);
    EXPECT_TRUE(result.signers[0].signingTime.has_value());
}

TEST_F(SignFlowTest, ExistingSignatureIsReplaced) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    writeFile(input + ".sig", "old signature that must go");
    ASSERT_EQ(sign(false).outcome, SignOutcome::Signed);
    EXPECT_TRUE(opensslAccepts(input + ".sig", false, true));
    EXPECT_EQ(listFolder(folder.path()),
              (std::vector<std::string>{"отчёт за май.pdf", "отчёт за май.pdf.sig"}));
}

TEST_F(SignFlowTest, KeyPasswords) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "пароль");
    {
        ScriptedPasswords passwords({{"пароль"}});
        interaction.passwordSource = &passwords;
        EXPECT_EQ(sign(false).outcome, SignOutcome::Signed);
        EXPECT_EQ(passwords.requests().size(), 1u);
        EXPECT_EQ(passwords.requests()[0].subject, "CN=Подписант");
    }
    std::remove((input + ".sig").c_str());
    ScriptedPasswords cancelled({{"", true}});
    interaction.passwordSource = &cancelled;
    interaction.events.clear();
    const SignResult result = sign(false);
    EXPECT_EQ(result.outcome, SignOutcome::NoKey);
    EXPECT_EQ(result.errorCode, winerr::ERROR_CANCELLED);
    EXPECT_EQ(interaction.events,
              (std::vector<std::string>{kChoose, "message: Не удалось определить криптопровайдер"}));
    EXPECT_FALSE(fileExists(input + ".sig"));
}

// A file gone since it was chosen is reported after the dialog and before any password question.
TEST_F(SignFlowTest, InputErrorsComeAfterTheDialog) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "пароль");
    const std::pair<std::string, std::string> cases[] = {
        {folder.file("нет такого.txt"), "Cannot open file \"" + folder.file("нет такого.txt") +
                                            "\". The system cannot find the file specified"},
        {folder.file("нет папки/файл"), "Cannot open file \"" + folder.file("нет папки/файл") +
                                            "\". The system cannot find the path specified"},
        {folder.path(), "Cannot open file \"" + folder.path() + "\". Access is denied"},
    };
    for (const auto& [path, text] : cases) {
        interaction.events.clear();
        SignRequest request;
        request.inputPath = path;
        try {
            signFile(request, interaction);
            ADD_FAILURE() << "no error for " << path;
        } catch (const FileOpenError& e) {
            EXPECT_EQ(e.message(), text);
        }
        EXPECT_EQ(interaction.events, std::vector<std::string>{kChoose});
        EXPECT_TRUE(interaction.noPasswords.requests().empty());
    }
}

// A packing failure is an outcome of its own: the signature is written and stays, no folder opens.
TEST_F(SignFlowTest, PackingFailureKeepsTheSignature) {
    interaction.pickThumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    const std::string archive = sevenzip::signedPairArchivePath(input + ".sig");
    ASSERT_EQ(::mkdir(archive.c_str(), 0700), 0);
    SignRequest request;
    request.inputPath = input;
    request.pack = true;
    const SignResult result = signFile(request, interaction, checkpoints);
    EXPECT_EQ(result.outcome, SignOutcome::NotPacked);
    ASSERT_TRUE(result.packingError);
    try {
        std::rethrow_exception(result.packingError);
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + archive + "\". Access is denied");
    }
    EXPECT_EQ(interaction.events, (std::vector<std::string>{kChoose, std::string("message: ") + kSignedText,
                                                            "base64?", "saved"}));
    EXPECT_TRUE(opensslAccepts(input + ".sig", false, true));
}

// The message comes before the save, so it is shown even when the save then fails, for every format:
// the old file survives and no temporary stays. The child drops root, which ignores permission bits.
TEST(SignFlowSaveFailure, MessageIsShownBeforeTheFailedSave) {
    TempDir shared("plombar-nobody");
    makeWorldAccessible(shared.path());
    const int result = runUnprivileged([&]() -> int {
        ::setenv("XDG_DATA_HOME", (shared.path() + "/data").c_str(), 1);
        const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
        crypto::CertificateStore personal = crypto::CertificateStore::open();
        const crypto::Certificate certificate = crypto::Certificate::share(signer.certificate.get());
        const crypto::SecureString key(signer.keyPem());
        const std::string thumbprint =
            personal.add(certificate, &key, std::string()).certificate.thumbprint();
        const std::string outputs = shared.path() + "/только чтение";
        if (::mkdir(outputs.c_str(), 0700) != 0)
            return 10;
        const std::string file = outputs + "/данные.bin";
        writeFile(file, "content");
        writeFile(file + ".sig", "old");
        if (::chmod(outputs.c_str(), 0500) != 0)
            return 11;
        for (const bool base64 : {false, true}) {
            for (const SignatureLayout layout : {SignatureLayout::Detached, SignatureLayout::Attached}) {
                RecordingInteraction interaction;
                interaction.pickThumbprint = thumbprint;
                SignRequest request{file, layout, crypto::SignedAttributes::None, base64, false};
                const std::string target = file + (base64 ? ".p7s" : ".sig");
                try {
                    signFile(request, interaction);
                    return 12;
                } catch (const FileCreateError& e) {
                    if (e.message() != "Cannot create file \"" + target + "\". Access is denied")
                        return 13;
                }
                if (interaction.events.size() != 2 ||
                    interaction.events[1] != std::string("message: ") + kSignedText)
                    return 14;
                if (readFile(file + ".sig") != "old" || listFolder(outputs).size() != 2)
                    return 15;
            }
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
}
