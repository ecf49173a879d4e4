// The encryption and decryption operations: the order of what the window sees, each outcome, the
// files they write, the errors they raise and what is released before each step.

#include "EnvelopeTestUtil.h"

#include "crypto/DecryptOperation.h"
#include "crypto/EncryptOperation.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <sys/stat.h>

#include <cstdlib>
#include <functional>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

std::string countsText(const OpenHandleCounts& c) {
    return "contexts=" + std::to_string(c.certificateContexts) + " stores=" + std::to_string(c.stores) +
           " storeHandles=" + std::to_string(c.storeHandles);
}
const std::string kNothingOpen = "contexts=0 stores=0 storeHandles=0";

// A window that answers at once and writes down what it was asked, with what was still open.
class RecordingEncryptView : public EncryptView {
public:
    std::function<PCCERT_CONTEXT(HCERTSTORE)> choose;
    std::function<void(const std::string&)> onMessage;
    std::vector<std::string> events;
    std::string openAtReset;

    PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string& title) override {
        events.push_back("select: " + title);
        return choose ? choose(store) : nullptr;
    }
    void ShowMessage(const std::string& text) override {
        events.push_back("message: " + text);
        if (onMessage)
            onMessage(text);
    }
    void ClearInputSlot() override { events.push_back("clear input"); }
    void ResetPage() noexcept override {
        events.push_back("reset");
        openAtReset = countsText(CountOpenHandles());
    }
    void OpenFolder(const std::string& folder) override { events.push_back("open: " + folder); }
    void ClearSlots() override { events.push_back("clear slots"); }
};

class RecordingDecryptView : public DecryptView {
public:
    std::vector<std::string> events;
    std::string openAtReset;

    void ShowMessage(const std::string& text) override { events.push_back("message: " + text); }
    void ResetPage() noexcept override {
        events.push_back("reset");
        openAtReset = countsText(CountOpenHandles());
    }
    void OpenFolder(const std::string& folder) override { events.push_back("open: " + folder); }
};

using Events = std::vector<std::string>;

class EnvelopeOperationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        input = folder.file("отчёт за май.pdf");
        writeFile(input, content);
    }
    void TearDown() override { EXPECT_EQ(countsText(CountOpenHandles()), kNothingOpen); }

    // Picks the store entry with this thumbprint, as the user would in the dialog.
    static std::function<PCCERT_CONTEXT(HCERTSTORE)> pick(const std::string& thumbprint) {
        return [thumbprint](HCERTSTORE store) { return findInStore(store, thumbprint).release(); };
    }

    std::string addRecipient(KeyAlgorithm algorithm = KeyAlgorithm::Gost2012_256) {
        identity = makeIdentity(algorithm, "CN=Получатель");
        return store.add(identity);
    }

    EncryptResult encrypt(RecordingEncryptView& view, bool fromFile = false,
                          const std::string& certificate = {}) {
        return EncryptFile({input, fromFile, certificate}, view);
    }

    std::string decryptedBytes(const std::string& message) {
        HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall call = decryptBytes({my}, message);
        CertCloseStore(my, 0);
        EXPECT_TRUE(call.ok) << call.diagnostic;
        return call.output;
    }

    TestStore store;
    TempDir folder{"plombar-envelope-operation"};
    std::string input;
    std::string content = std::string("%PDF-1.4\n\r\n\0\x01", 13) + randomBytes(3000, 11);
    TestIdentity identity;
};

const std::string kNoCertificateEvent = "message: Не выбран сертификат";
const std::string kEncryptedEvent = "message: Файл зашифрован";
const std::string kSelectEvent = "select: Укажите сертификат для шифрования";

} // namespace

// ---------------------------------------------------------------------------------------------
// Encryption

TEST_F(EnvelopeOperationTest, EncryptsForTheChosenCertificate) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        RecordingEncryptView view;
        view.choose = pick(addRecipient(algorithm));
        const EncryptResult result = encrypt(view);
        EXPECT_EQ(result.outcome, EncryptOutcome::Success);
        EXPECT_EQ(result.outputPath, input + ".enc");
        EXPECT_EQ(view.events, (Events{kSelectEvent, kEncryptedEvent, "reset", "open: " + folder.path() + "/",
                                       "clear slots"}));
        EXPECT_EQ(view.openAtReset, kNothingOpen) << "everything is released before the page reset";
        EXPECT_EQ(decryptedBytes(readFile(input + ".enc")), content);
    }
}

TEST_F(EnvelopeOperationTest, EncryptsForACertificateFile) {
    addRecipient(KeyAlgorithm::Gost2012_512);
    const std::string certificate = folder.file("получатель.cer");
    writeFile(certificate, identity.der());
    RecordingEncryptView view;
    const EncryptResult result = encrypt(view, true, certificate);
    EXPECT_EQ(result.outcome, EncryptOutcome::Success);
    EXPECT_EQ(view.events, (Events{kEncryptedEvent, "reset", "open: " + folder.path() + "/", "clear slots"}));
    EXPECT_EQ(decryptedBytes(readFile(input + ".enc")), content);
}

TEST_F(EnvelopeOperationTest, NoCertificateOutcomes) {
    addRecipient();
    const std::string pem = folder.file("получатель.pem.cer");
    writeFile(pem, identity.pem());
    const std::string empty = folder.file("пустой.cer");
    writeFile(empty, "");
    const struct {
        const char* name;
        bool fromFile;
        std::string certificate;
        Events events;
    } cases[] = {
        {"dialog cancelled", false, "", {kSelectEvent, kNoCertificateEvent, "clear input", "reset"}},
        {"PEM certificate file", true, pem, {kNoCertificateEvent, "clear input", "reset"}},
        {"empty certificate file", true, empty, {kNoCertificateEvent, "clear input", "reset"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingEncryptView view;
        const EncryptResult result = encrypt(view, c.fromFile, c.certificate);
        EXPECT_EQ(result.outcome, EncryptOutcome::NoCertificate);
        EXPECT_EQ(view.events, c.events);
        EXPECT_EQ(view.openAtReset, kNothingOpen);
        EXPECT_FALSE(fileExists(input + ".enc"));
    }
}

// Raised errors end the run after the releases, with the page reset last and no folder opened.
TEST_F(EnvelopeOperationTest, EncryptionErrors) {
    const std::string rsa = folder.file("rsa.cer");
    writeFile(rsa, makeIdentity(KeyAlgorithm::Rsa2048).der());
    const std::string ec = folder.file("ec.cer");
    writeFile(ec, makeIdentity(KeyAlgorithm::EcP256).der());
    const struct {
        const char* name;
        std::string input;
        bool fromFile;
        std::string certificate;
        std::string error;
    } cases[] = {
        {"missing input", folder.file("нет.pdf"), false, "",
         "Cannot open file \"" + folder.file("нет.pdf") + "\". The system cannot find the file specified"},
        {"no certificate file chosen", input, true, "",
         "Cannot open file \"\". The system cannot find the path specified"},
        {"RSA recipient", input, true, rsa,
         "System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm"},
        {"EC recipient", input, true, ec,
         "System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingEncryptView view;
        try {
            EncryptFile({c.input, c.fromFile, c.certificate}, view);
            ADD_FAILURE() << "no error raised";
        } catch (const Error& error) {
            EXPECT_EQ(error.message(), c.error);
        }
        EXPECT_EQ(view.events, Events{"reset"});
        EXPECT_EQ(view.openAtReset, kNothingOpen);
        EXPECT_FALSE(fileExists(c.input + ".enc"));
    }
}

TEST_F(EnvelopeOperationTest, FailedEncryptionCallFromTheDialog) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Rsa2048, "CN=RSA"));
    RecordingEncryptView view;
    view.choose = pick(thumbprint);
    EXPECT_THROW(encrypt(view), SystemError);
    EXPECT_EQ(view.events, (Events{kSelectEvent, "reset"}));
    EXPECT_EQ(view.openAtReset, kNothingOpen);
    EXPECT_EQ(listFolder(folder.path()), std::vector<std::string>{"отчёт за май.pdf"});
}

TEST_F(EnvelopeOperationTest, ExistingOutputReplacedEmptyInputEncrypted) {
    RecordingEncryptView view;
    view.choose = pick(addRecipient());
    writeFile(input + ".enc", "old");
    content.clear();
    writeFile(input, content);
    EXPECT_EQ(encrypt(view).outcome, EncryptOutcome::Success);
    const std::string message = readFile(input + ".enc");
    EXPECT_NE(message, "old");
    EXPECT_EQ(decryptedBytes(message), "");
    EXPECT_EQ(listFolder(folder.path()),
              (std::vector<std::string>{"отчёт за май.pdf", "отчёт за май.pdf.enc"}));
}

TEST_F(EnvelopeOperationTest, OutputCannotBeCreated) {
    RecordingEncryptView view;
    view.choose = pick(addRecipient());
    ASSERT_EQ(::mkdir((input + ".enc").c_str(), 0700), 0); // a folder in the way
    try {
        encrypt(view);
        ADD_FAILURE() << "no error raised";
    } catch (const FileCreateError& error) {
        EXPECT_EQ(error.message().rfind("Cannot create file \"" + input + ".enc\". ", 0), 0u)
            << error.message();
    }
    EXPECT_EQ(view.events, (Events{kSelectEvent, "reset"}));
}

// Releasing the certificate or closing the store through the OS-error check fails after the file
// was written and announced: the error is raised, the remaining releases and the page reset still
// run, the folder is not opened and the slots are not cleared.
TEST_F(EnvelopeOperationTest, FailedReleasesAfterSuccess) {
    const std::string thumbprint = addRecipient();
    {
        SCOPED_TRACE("certificate released twice");
        RecordingEncryptView view;
        PCCERT_CONTEXT chosen = nullptr;
        view.choose = [&](HCERTSTORE my) { return chosen = findInStore(my, thumbprint).release(); };
        view.onMessage = [&](const std::string&) { CertFreeCertificateContext(chosen); };
        try {
            encrypt(view);
            ADD_FAILURE() << "no error raised";
        } catch (const SystemError& error) {
            EXPECT_EQ(error.message(), "System Error.  Code: -2147024809.\r\nThe parameter is incorrect");
        }
        EXPECT_EQ(view.events, (Events{kSelectEvent, kEncryptedEvent, "reset"}));
        EXPECT_EQ(view.openAtReset, kNothingOpen);
        EXPECT_TRUE(fileExists(input + ".enc"));
    }
    {
        SCOPED_TRACE("a context of the store still open");
        RecordingEncryptView view;
        CertContextHandle kept;
        view.choose = [&](HCERTSTORE my) {
            CertContextHandle chosen = findInStore(my, thumbprint);
            kept.reset(CertDuplicateCertificateContext(chosen.get()));
            return chosen.release();
        };
        try {
            encrypt(view);
            ADD_FAILURE() << "no error raised";
        } catch (const SystemError& error) {
            EXPECT_EQ(error.message(), "System Error.  Code: -2146885617.\r\nFinal closure is pending until "
                                       "additional frees or closes");
        }
        EXPECT_EQ(view.events, (Events{kSelectEvent, kEncryptedEvent, "reset"}));
        EXPECT_EQ(view.openAtReset, "contexts=1 stores=1 storeHandles=0") << "only the kept context";
    }
}

// ---------------------------------------------------------------------------------------------
// Decryption

class DecryptOperationTest : public EnvelopeOperationTest {
protected:
    // input encrypted for the identity (in the store or not), written as `name` in the folder.
    std::string encryptedFile(const std::string& name, const TestIdentity& recipient) {
        const std::string der = recipient.der();
        CertContextHandle context(CertCreateCertificateContext(
            kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
        const EnvelopeCall call = encryptBytes({context.get()}, content);
        EXPECT_TRUE(call.ok);
        const std::string path = folder.file(name);
        writeFile(path, call.output);
        return path;
    }
};

TEST_F(DecryptOperationTest, DecryptsBesideTheInput) {
    addRecipient();
    const std::string path = encryptedFile("отчёт.pdf.enc", identity);
    writeFile(folder.file("отчёт.pdf"), "old content to be replaced");
    RecordingDecryptView view;
    const DecryptResult result = DecryptFile(path, view);
    EXPECT_EQ(result.outcome, DecryptOutcome::Success);
    EXPECT_EQ(result.outputPath, folder.file("отчёт.pdf"));
    EXPECT_EQ(view.events, (Events{"message: Расшифрован", "reset", "open: " + folder.path() + "/"}));
    EXPECT_EQ(view.openAtReset, kNothingOpen);
    EXPECT_TRUE(readFile(folder.file("отчёт.pdf")) == content);
}

TEST_F(DecryptOperationTest, LastFourCharactersDropped) {
    addRecipient();
    const struct {
        const char* input;
        const char* output;
    } cases[] = {
        {"notes.bin", "notes"},
        {"archive.p7m", "archive"},
        {"документ.шифр", "документ."}, // four characters, not the extension
        {"данные", "да"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        RecordingDecryptView view;
        const DecryptResult result = DecryptFile(encryptedFile(c.input, identity), view);
        EXPECT_EQ(result.outputPath, folder.file(c.output));
        EXPECT_TRUE(readFile(folder.file(c.output)) == content);
    }
}

TEST_F(DecryptOperationTest, EmptyContentGivesAnEmptyFile) {
    addRecipient();
    content.clear();
    const std::string path = encryptedFile("пусто.txt.enc", identity);
    RecordingDecryptView view;
    EXPECT_EQ(DecryptFile(path, view).outcome, DecryptOutcome::Success);
    ASSERT_TRUE(fileExists(folder.file("пусто.txt")));
    EXPECT_EQ(readFile(folder.file("пусто.txt")), "");
}

// The data call runs for an empty content too, so that a foreign key is refused even then.
TEST_F(DecryptOperationTest, EmptyContentStillNeedsTheRightKey) {
    IdentityFields fields;
    fields.subject = "CN=Получатель";
    fields.serial = "\x09";
    const TestIdentity genuine = makeIdentity(fields);
    store.add(makeIdentity(fields));
    content.clear();
    RecordingDecryptView view;
    EXPECT_EQ(DecryptFile(encryptedFile("пусто.enc", genuine), view).outcome, DecryptOutcome::DataCallFailed);
    EXPECT_FALSE(fileExists(folder.file("пу")));
}

TEST_F(DecryptOperationTest, DecryptionErrors) {
    addRecipient();
    const std::string path = encryptedFile("отчёт.pdf.enc", identity);
    ASSERT_EQ(::mkdir(folder.file("отчёт.pdf").c_str(), 0700), 0); // a folder where the output goes
    {
        RecordingDecryptView view;
        try {
            DecryptFile(path, view);
            ADD_FAILURE() << "no error raised";
        } catch (const FileCreateError& error) {
            EXPECT_EQ(error.message().rfind("Cannot create file \"" + folder.file("отчёт.pdf") + "\". ", 0),
                      0u)
                << error.message();
        }
        EXPECT_EQ(view.events, Events{"reset"}) << "the message comes after the file is written";
        EXPECT_EQ(view.openAtReset, kNothingOpen);
    }
    {
        RecordingDecryptView view;
        try {
            DecryptFile(folder.file("нет.enc"), view);
            ADD_FAILURE() << "no error raised";
        } catch (const FileOpenError& error) {
            EXPECT_EQ(error.message(), "Cannot open file \"" + folder.file("нет.enc") +
                                           "\". The system cannot find the file specified");
        }
        EXPECT_EQ(view.events, Events{"reset"});
        EXPECT_EQ(view.openAtReset, kNothingOpen);
    }
}

TEST_F(DecryptOperationTest, EncryptedKeyAskedOnce) {
    identity = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Получатель");
    store.add(identity, TestStore::Key::Encrypted, "секрет");
    const std::string path = encryptedFile("отчёт.pdf.enc", identity);
    ScriptedPasswords passwords({{"секрет"}});
    RecordingDecryptView view;
    EXPECT_EQ(DecryptFile(path, view).outcome, DecryptOutcome::Success);
    EXPECT_EQ(passwords.requests().size(), 1u);
    EXPECT_TRUE(readFile(folder.file("отчёт.pdf")) == content);
}
