// The encryption and decryption flows as the window and plombar-cli run them: what the user sees in
// which order, each outcome with its exact text, the files written and what an error leaves.

#include "TestPki.h"
#include "TestSupport.h"

#include "crypto/ContentEncryption.h"
#include "operations/DecryptFlow.h"
#include "operations/EncryptFlow.h"
#include "operations/Messages.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <optional>

using namespace plombar;
using namespace plombar::operations;
using namespace plombar::test;
using crypto::KeyAlgorithm;

namespace {

using Events = std::vector<std::string>;

// Answers at once and writes down what the flow asked, with the common names the dialog would list.
class RecordingInteraction : public Interaction {
public:
    std::optional<std::size_t> choice; // what the dialog answers; nullopt: cancelled
    std::vector<ScriptedPasswords::Answer> answers;
    Events events;

    std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                 const std::vector<crypto::StoreEntry>& entries) override {
        std::string names;
        for (const crypto::StoreEntry& entry : entries)
            names += (names.empty() ? "" : "; ") + entry.certificate.commonName();
        events.push_back("select: " + title + " [" + names + "]");
        return choice;
    }
    void showMessage(const std::string& text) override { events.push_back("message: " + text); }
    void showCertificate(const crypto::Certificate&) noexcept override { events.push_back("certificate"); }
    void openFolder(const std::string& folder) override { events.push_back("open: " + folder); }
    crypto::PasswordSource& passwords() override {
        if (!passwords_)
            passwords_.emplace(answers);
        return *passwords_;
    }
    void runEnded() noexcept override { events.push_back("end"); }

    const ScriptedPasswords* asked() const { return passwords_ ? &*passwords_ : nullptr; }

private:
    std::optional<ScriptedPasswords> passwords_;
};

const std::string kSelect = "select: Укажите сертификат для шифрования";
const std::string kNoCertificate = "message: Не выбран сертификат";
const std::string kEncrypted = "message: Файл зашифрован";
const std::string kDecrypted = "message: Расшифрован";

std::string messageFor(const TestIdentity& recipient, const std::string& content) {
    MemorySource source(content);
    MemorySink sink;
    crypto::encryptContent(source, content.size(), recipient.certificate.get(), sink);
    return sink.take();
}

std::string decryptedWith(const TestIdentity& recipient, const std::string& message) {
    MemorySource source(message);
    MemorySink sink;
    const crypto::DecryptionCandidate candidate{recipient.certificate.get(), [&recipient] {
                                                    EVP_PKEY_up_ref(recipient.key.get());
                                                    return crypto::EvpPkeyPtr(recipient.key.get());
                                                }};
    crypto::decryptMessage(source, std::span(&candidate, 1), sink);
    return sink.take();
}

class EnvelopeFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        input = folder.file("отчёт за май.pdf");
        writeFile(input, content);
    }

    const TestIdentity& recipient(KeyAlgorithm algorithm = KeyAlgorithm::Gost2012_256) {
        auto& slot = identities[static_cast<int>(algorithm)];
        if (!slot.certificate)
            slot =
                makeIdentity(algorithm, "CN=Получатель " + std::string(crypto::KeyAlgorithmName(algorithm)));
        return slot;
    }

    TestStore store;
    TempDir folder{"plombar-envelope-flows"};
    std::string input;
    std::string content = std::string("%PDF-1.4\n\r\n\0\x01", 13) + randomBytes(3000, 11);
    std::map<int, TestIdentity> identities;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Encryption

// The recipient from the dialog or from a certificate file in each form people receive it: the
// message is written, announced, the run ends, and the folder opens last.
TEST_F(EnvelopeFlowTest, EncryptsForEveryRecipientSource) {
    const struct {
        const char* name;
        KeyAlgorithm algorithm;
        const char* file; // nullptr: from the store
    } cases[] = {
        {"store, 34.10-2001", KeyAlgorithm::Gost2001, nullptr},
        {"store, 34.10-2012 256", KeyAlgorithm::Gost2012_256, nullptr},
        {"store, 34.10-2012 512", KeyAlgorithm::Gost2012_512, nullptr},
        {"DER file", KeyAlgorithm::Gost2012_512, "der"},
        {"PEM file", KeyAlgorithm::Gost2012_256, "pem"},
        {"Base64 file", KeyAlgorithm::Gost2001, "base64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TestIdentity& who = recipient(c.algorithm);
        store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Другой"));
        const std::string thumbprint = store.add(who);
        RecordingInteraction interaction;
        EncryptRequest request{input, c.file != nullptr, {}};
        Events expected;
        if (c.file == nullptr) {
            // The dialog lists the store in its order; the flow takes the entry chosen there.
            const std::vector<crypto::StoreEntry> entries = crypto::CertificateStore::open().entries();
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (entries[i].certificate.thumbprint() == thumbprint)
                    interaction.choice = i;
            std::string names;
            for (const crypto::StoreEntry& entry : entries)
                names += (names.empty() ? "" : "; ") + entry.certificate.commonName();
            expected.push_back(kSelect + " [" + names + "]");
        } else {
            request.certificatePath = folder.file("получатель.cer");
            const std::string form = c.file;
            std::string bytes = form == "der" ? who.der() : who.pem();
            if (form == "base64") { // the PEM body alone, after a blank line
                bytes = bytes.substr(bytes.find('\n') + 1);
                bytes = "\r\n" + bytes.substr(0, bytes.find("-----END"));
            }
            writeFile(request.certificatePath, bytes);
        }
        expected.insert(expected.end(), {kEncrypted, "end", "open: " + folder.path() + "/"});
        const EncryptResult result = encryptFile(request, interaction);
        EXPECT_EQ(result.outcome, EncryptOutcome::Success);
        EXPECT_EQ(result.outputPath, input + ".enc");
        EXPECT_EQ(interaction.events, expected);
        EXPECT_TRUE(decryptedWith(who, readFile(input + ".enc")) == content);
        ::unlink((input + ".enc").c_str());
    }
}

TEST_F(EnvelopeFlowTest, OpensslDecryptsTheFlowsMessage) {
    const TestIdentity& who = recipient(KeyAlgorithm::Gost2012_512);
    writeFile(folder.file("r.crt"), who.pem());
    writeFile(folder.file("r.key"), who.keyPem());
    RecordingInteraction interaction;
    ASSERT_EQ(encryptFile({input, true, folder.file("r.crt")}, interaction).outcome, EncryptOutcome::Success);
    std::string log;
    ASSERT_EQ(runOpenssl("cms -decrypt -binary -debug_decrypt -engine gost -inform DER -in " +
                             shellQuote(input + ".enc") + " -recip " + shellQuote(folder.file("r.crt")) +
                             " -inkey " + shellQuote(folder.file("r.key")) + " -out " +
                             shellQuote(folder.file("plain")),
                         &log),
              0)
        << log;
    EXPECT_TRUE(readFile(folder.file("plain")) == content);
}

// "Не выбран сертификат": nothing is written and no folder opens.
TEST_F(EnvelopeFlowTest, NoCertificateOutcomes) {
    const std::string junk = folder.file("не сертификат.cer");
    writeFile(junk, "-----BEGIN CERTIFICATE-----\nне base64\n-----END CERTIFICATE-----\n");
    const std::string empty = folder.file("пустой.cer");
    writeFile(empty, "");
    const struct {
        const char* name;
        bool withEntry;
        const std::string* file;
        Events events;
    } cases[] = {
        {"dialog cancelled",
         true,
         nullptr,
         {kSelect + " [Получатель " + crypto::KeyAlgorithmName(KeyAlgorithm::Gost2012_256) + "]",
          kNoCertificate, "end"}},
        {"empty store: the dialog still shows", false, nullptr, {kSelect + " []", kNoCertificate, "end"}},
        {"file of no certificate", true, &junk, {kNoCertificate, "end"}},
        {"empty certificate file", true, &empty, {kNoCertificate, "end"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStore own;
        if (c.withEntry)
            own.add(recipient());
        RecordingInteraction interaction;
        const EncryptResult result =
            encryptFile({input, c.file != nullptr, c.file != nullptr ? *c.file : ""}, interaction);
        EXPECT_EQ(result.outcome, EncryptOutcome::NoCertificate);
        EXPECT_EQ(result.outputPath, "");
        EXPECT_EQ(interaction.events, c.events);
        EXPECT_FALSE(fileExists(input + ".enc"));
    }
}

// Raised errors leave after the run's end, with nothing written and no folder opened.
TEST_F(EnvelopeFlowTest, EncryptionErrors) {
    const std::string rsa = folder.file("rsa.cer");
    writeFile(rsa, makeIdentity(KeyAlgorithm::Rsa2048).der());
    const std::string ec = folder.file("ec.cer");
    writeFile(ec, makeIdentity(KeyAlgorithm::EcP256).der());
    const std::string good = folder.file("получатель.cer");
    writeFile(good, recipient().der());
    const std::string blocked = folder.file("занято.pdf");
    writeFile(blocked, "x");
    ASSERT_EQ(::mkdir((blocked + ".enc").c_str(), 0700), 0); // a folder where the output goes
    const std::string unknownAlgorithm =
        "System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm";
    const struct {
        const char* name;
        std::string input;
        std::string certificate; // empty: "Выбрать сертификат из файла" ticked without a file
        std::string error;
        std::string diagnostic;
    } cases[] = {
        {"missing input", folder.file("нет.pdf"), good,
         "Cannot open file \"" + folder.file("нет.pdf") + "\". The system cannot find the file specified",
         ""},
        {"no certificate file chosen", input, "",
         "Cannot open file \"\". The system cannot find the path specified", ""},
        {"RSA recipient", input, rsa, unknownAlgorithm,
         "no content cipher for the identifier \"1.2.840.113549.1.1.1\""},
        {"EC recipient", input, ec, unknownAlgorithm,
         "no content cipher for the identifier \"1.2.840.10045.2.1\""},
        {"output cannot be created", blocked, good,
         "Cannot create file \"" + blocked + ".enc\". " + systemMessage(winerr::ERROR_ACCESS_DENIED), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> before = listFolder(folder.path());
        RecordingInteraction interaction;
        try {
            encryptFile({c.input, true, c.certificate}, interaction);
            ADD_FAILURE() << "no error raised";
        } catch (const FailedStepError& error) {
            EXPECT_EQ(error.message(), c.error);
            EXPECT_EQ(error.diagnostic(), c.diagnostic);
        } catch (const Error& error) {
            EXPECT_EQ(error.message(), c.error);
            EXPECT_EQ("", c.diagnostic);
        }
        EXPECT_EQ(interaction.events, Events{"end"});
        EXPECT_EQ(listFolder(folder.path()), before);
    }
}

// A store folder that others can write to may hold a planted recipient: it is refused before the
// dialog. A certificate file does not need the store.
TEST_F(EnvelopeFlowTest, UnsafeStoreIsRefusedOnlyWhenItIsUsed) {
    store.add(recipient());
    ASSERT_EQ(::chmod(store.folder().c_str(), 0777), 0);
    RecordingInteraction fromStore;
    fromStore.choice = 0;
    try {
        encryptFile({input, false, {}}, fromStore);
        ADD_FAILURE() << "no error raised";
    } catch (const Error& error) {
        EXPECT_NE(error.message().find("доступна для записи другим пользователям (права 0777)"),
                  std::string::npos)
            << error.message();
    }
    EXPECT_EQ(fromStore.events, Events{"end"});
    EXPECT_FALSE(fileExists(input + ".enc"));

    writeFile(folder.file("r.cer"), recipient().der());
    RecordingInteraction fromFile;
    EXPECT_EQ(encryptFile({input, true, folder.file("r.cer")}, fromFile).outcome, EncryptOutcome::Success);
    ::chmod(store.folder().c_str(), 0700);
}

TEST_F(EnvelopeFlowTest, EmptyInputEncryptedAndOlderOutputReplaced) {
    content.clear();
    writeFile(input, content);
    writeFile(input + ".enc", "an older message");
    writeFile(folder.file("r.cer"), recipient().der());
    RecordingInteraction interaction;
    EXPECT_EQ(encryptFile({input, true, folder.file("r.cer")}, interaction).outcome, EncryptOutcome::Success);
    EXPECT_EQ(decryptedWith(recipient(), readFile(input + ".enc")), "");
    EXPECT_EQ(listFolder(folder.path()),
              (std::vector<std::string>{"r.cer", "отчёт за май.pdf", "отчёт за май.pdf.enc"}));
}

// ---------------------------------------------------------------------------------------------
// Decryption

class DecryptFlowTest : public EnvelopeFlowTest {
protected:
    // The content encrypted for `who`, written as `name` in the folder.
    std::string envelopeFile(const std::string& name, const TestIdentity& who) {
        const std::string path = folder.file(name);
        writeFile(path, messageFor(who, content));
        return path;
    }
};

// The content lands under the input's name less its last four characters (an older file there is
// replaced), "Расшифрован" comes once it is written, the folder opens after the run's end.
TEST_F(DecryptFlowTest, DecryptsBesideTheInput) {
    const struct {
        const char* input;
        const char* output;
        KeyAlgorithm algorithm;
    } cases[] = {
        {"отчёт.pdf.enc", "отчёт.pdf", KeyAlgorithm::Gost2001},
        {"archive.p7m", "archive", KeyAlgorithm::Gost2012_256},
        {"документ.шифр", "документ.", KeyAlgorithm::Gost2012_512}, // four characters, not the extension
        {"данные", "да", KeyAlgorithm::Gost2012_256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        store.add(recipient(c.algorithm));
        const std::string path = envelopeFile(c.input, recipient(c.algorithm));
        writeFile(folder.file(c.output), "an older file of that name");
        RecordingInteraction interaction;
        const DecryptResult result = decryptFile(path, interaction);
        EXPECT_EQ(result.outcome, DecryptOutcome::Success);
        EXPECT_EQ(result.outputPath, folder.file(c.output));
        EXPECT_EQ(interaction.events, (Events{kDecrypted, "end", "open: " + folder.path() + "/"}));
        EXPECT_TRUE(readFile(folder.file(c.output)) == content);
    }
}

// The failures a user meets, each with the message the window shows (system text, " - ", the code
// unsigned) and nothing written.
TEST_F(DecryptFlowTest, FailureMessages) {
    IdentityFields fields;
    fields.subject = "CN=Получатель";
    fields.serial = "\x05\x05\x05";
    const TestIdentity genuine = makeIdentity(fields);
    const TestIdentity impostor = makeIdentity(fields); // same issuer and serial, another key
    const TestIdentity stranger = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Чужой");
    const std::string notForUs =
        "Cannot find the certificate and private key to use for decryption - 2148081676";
    const std::string badData = "Bad Data - 2148073477";
    const struct {
        const char* name;
        std::string message;       // the file's bytes
        const TestIdentity* entry; // the store's entry
        TestStore::Key key;
        std::vector<ScriptedPasswords::Answer> answers;
        std::string shown;
    } cases[] = {
        {"recipient not in the store",
         messageFor(genuine, content),
         &stranger,
         TestStore::Key::Plain,
         {},
         notForUs},
        {"certificate without its key",
         messageFor(genuine, content),
         &genuine,
         TestStore::Key::None,
         {},
         notForUs},
        {"not a message",
         "Это не зашифрованный файл\n",
         &genuine,
         TestStore::Key::Plain,
         {},
         "ASN1 bad tag value met - 2148086027"},
        {"the message cut short",
         messageFor(genuine, content).substr(0, 2000),
         &genuine,
         TestStore::Key::Plain,
         {},
         "ASN1 bad tag value met - 2148086027"},
        {"another key under the recipient's name",
         messageFor(genuine, content),
         &impostor,
         TestStore::Key::Plain,
         {},
         badData},
        {"empty content, another key",
         messageFor(genuine, ""),
         &impostor,
         TestStore::Key::Plain,
         {},
         badData},
        {"password cancelled",
         messageFor(genuine, content),
         &genuine,
         TestStore::Key::Encrypted,
         {{"", true}},
         "The operation was canceled by the user - 1223"},
        {"password wrong three times",
         messageFor(genuine, content),
         &genuine,
         TestStore::Key::Encrypted,
         {{"a"}, {"b"}, {"c"}},
         failureMessage(winerr::ERROR_INVALID_PASSWORD)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStore own;
        own.add(*c.entry, c.key, "пароль");
        const std::string path = folder.file("отчёт.pdf.enc");
        writeFile(path, c.message);
        const std::vector<std::string> before = listFolder(folder.path());
        RecordingInteraction interaction;
        interaction.answers = c.answers;
        const DecryptResult result = decryptFile(path, interaction);
        EXPECT_EQ(result.outcome, DecryptOutcome::Failed);
        EXPECT_EQ(failureMessage(result.errorCode), c.shown);
        EXPECT_FALSE(result.diagnostic.empty());
        EXPECT_EQ(interaction.events, (Events{"message: " + c.shown, "end"}));
        EXPECT_EQ(listFolder(folder.path()), before);
    }
}

// A message that does not decrypt says so even where the output cannot be written; one that does
// reports the output's error, after the run's end and without a message.
TEST_F(DecryptFlowTest, OutputInTheWay) {
    store.add(recipient());
    const std::string path = envelopeFile("отчёт.pdf.enc", recipient());
    ASSERT_EQ(::mkdir(folder.file("отчёт.pdf").c_str(), 0700), 0);
    RecordingInteraction decrypts;
    try {
        decryptFile(path, decrypts);
        ADD_FAILURE() << "no error raised";
    } catch (const FileCreateError& error) {
        EXPECT_EQ(error.message(), "Cannot create file \"" + folder.file("отчёт.pdf") + "\". " +
                                       systemMessage(winerr::ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(decrypts.events, Events{"end"});

    const std::string foreign =
        envelopeFile("отчёт.pdf.enc", makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Чужой"));
    RecordingInteraction refused;
    EXPECT_EQ(decryptFile(foreign, refused).outcome, DecryptOutcome::Failed);
    EXPECT_EQ(refused.events.size(), 2u);
    EXPECT_EQ(listFolder(folder.path()),
              (std::vector<std::string>{"отчёт за май.pdf", "отчёт.pdf", "отчёт.pdf.enc"}));
}

TEST_F(DecryptFlowTest, MissingInputIsAnError) {
    RecordingInteraction interaction;
    try {
        decryptFile(folder.file("нет.enc"), interaction);
        ADD_FAILURE() << "no error raised";
    } catch (const FileOpenError& error) {
        EXPECT_EQ(error.message(), "Cannot open file \"" + folder.file("нет.enc") +
                                       "\". The system cannot find the file specified");
    }
    EXPECT_EQ(interaction.events, Events{"end"});
}

// An encrypted key is asked for once, naming whose key it is, before anything is written.
TEST_F(DecryptFlowTest, EncryptedKeyAskedOnce) {
    store.add(recipient(KeyAlgorithm::Gost2012_512), TestStore::Key::Encrypted, "секрет");
    const std::string path = envelopeFile("отчёт.pdf.enc", recipient(KeyAlgorithm::Gost2012_512));
    RecordingInteraction interaction;
    interaction.answers = {{"секрет"}};
    EXPECT_EQ(decryptFile(path, interaction).outcome, DecryptOutcome::Success);
    ASSERT_NE(interaction.asked(), nullptr);
    ASSERT_EQ(interaction.asked()->requests().size(), 1u);
    EXPECT_NE(interaction.asked()->requests()[0].subject.find("Получатель"), std::string::npos);
    EXPECT_TRUE(readFile(folder.file("отчёт.pdf")) == content);
}

// A message made by `openssl cms -encrypt`, DER or streamed BER with indefinite lengths.
TEST_F(DecryptFlowTest, DecryptsOpensslMessages) {
    store.add(recipient(KeyAlgorithm::Gost2012_256));
    writeFile(folder.file("r.crt"), recipient(KeyAlgorithm::Gost2012_256).pem());
    for (const char* mode : {"", " -stream"}) {
        SCOPED_TRACE(mode);
        std::string log;
        ASSERT_EQ(runOpenssl(std::string("cms -encrypt -binary -gost89 -engine gost -outform DER") + mode +
                                 " -in " + shellQuote(input) + " -out " +
                                 shellQuote(folder.file("openssl.enc")) + " " +
                                 shellQuote(folder.file("r.crt")),
                             &log),
                  0)
            << log;
        RecordingInteraction interaction;
        EXPECT_EQ(decryptFile(folder.file("openssl.enc"), interaction).outcome, DecryptOutcome::Success);
        EXPECT_TRUE(readFile(folder.file("openssl")) == content);
    }
}
