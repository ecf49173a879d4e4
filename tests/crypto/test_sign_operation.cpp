// The signing operation: the order of what the window sees, each outcome, the files it writes and
// the errors it raises.

#include "CryptoTestUtil.h"

#include "codec/Base64.h"
#include "crypto/CertificateStore.h"
#include "crypto/CryptoInternal.h"
#include "crypto/SignOperation.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <sys/stat.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

// A window that answers at once and writes down what it was asked, with the number of handles
// still open at each step.
class RecordingView : public SignView {
public:
    std::function<PCCERT_CONTEXT(HCERTSTORE)> choose;
    bool base64 = false;
    std::function<void()> onSaved;
    std::vector<std::string> events;
    OpenHandleCounts atOpenFolder;

    PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string& title) override {
        events.push_back("select: " + title);
        return choose ? choose(store) : nullptr;
    }
    void ShowMessage(const std::string& text) override { events.push_back("message: " + text); }
    bool Base64Checked() override {
        events.push_back("base64?");
        return base64;
    }
    void SignatureSaved(const std::string& input, const std::string& signature) override {
        events.push_back("saved: " + fileNameOf(input) + " -> " + fileNameOf(signature));
        if (onSaved)
            onSaved();
    }
    void ClearSelection() override { events.push_back("clear"); }
    void OpenFolder(const std::string& folder) override {
        events.push_back("open: " + folder);
        atOpenFolder = CountOpenHandles();
    }
};

// Picks the store entry with this thumbprint, as the user would in the dialog.
std::function<PCCERT_CONTEXT(HCERTSTORE)> pick(const std::string& thumbprint) {
    return [thumbprint](HCERTSTORE store) { return findInStore(store, thumbprint).release(); };
}

class SignOperationTest : public ::testing::Test {
protected:
    void SetUp() override {
        input = folder.file("отчёт за май.pdf");
        writeFile(input, content);
    }
    void TearDown() override {
        const OpenHandleCounts counts = CountOpenHandles();
        EXPECT_EQ(counts.certificateContexts, 0);
        EXPECT_EQ(counts.stores, 0);
        EXPECT_EQ(counts.providerHandles, 0);
        detail::failSignCallAfter(-1, 0);
    }
    std::string addSigner(KeyAlgorithm algorithm, TestStore::Key key = TestStore::Key::Plain,
                          const std::string& password = {}) {
        identity = makeIdentity(algorithm, "CN=Подписант");
        return store.add(identity, key, password);
    }

    TestStore store;
    TempDir folder{"plombar-sign"};
    std::string input;
    const std::string content = std::string("%PDF-1.4\n\r\n\0\x01\x02", 14) + randomBytes(5000, 5);
    TestIdentity identity;
};

// The DER message in a signature file, decoded when it is Base64 text.
std::string messageIn(const std::string& path, bool base64) {
    const std::string bytes = readFile(path);
    if (!base64)
        return bytes;
    return decodeBase64(bytes);
}

bool verifies(const std::string& der, const std::string& content, bool detached) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    BioPtr out(BIO_new(BIO_s_mem()));
    const bool ok = cms && CMS_verify(cms.get(), nullptr, nullptr, detached ? data.get() : nullptr, out.get(),
                                      CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
    ClearOpenSslErrors();
    return ok && (detached || BioText(out.get()) == content);
}

} // namespace

TEST(ChooseHashAlgorithm, ExactKeysOnly) {
    const struct {
        const char* key;
        const char* hash;
    } cases[] = {
        {"1.2.643.2.2.19", "1.2.643.2.2.9"},
        {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"},
        {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3"},
        {"", ""},
        {"1.2.643.2.2.19 ", ""},
        {" 1.2.643.2.2.19", ""},
        {"1.2.643.2.2.1", ""},
        {"1.2.643.2.2.190", ""},
        {"1.2.643.7.1.1.1", ""},
        {"1.2.643.7.1.1.1.3", ""},
        {"1.2.643.7.1.1.2.2", ""},
        {"1.2.840.113549.1.1.1", ""},
        {"1.2.840.10045.2.1", ""},
        {"GOST R 34.10-2012", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseHashAlgorithm(c.key), c.hash) << "\"" << c.key << "\"";
    EXPECT_EQ(ChooseHashAlgorithm(std::string("1.2.643.2.2.19\0", 15)), "");
}

TEST(FailureMessage, SystemTextDashUnsignedCode) {
    EXPECT_EQ(systemMessage(0x80091002, MessageLanguage::English), "Unknown cryptographic algorithm");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(FailureMessage(0x80091002), "Unknown cryptographic algorithm - 2148077570");
    EXPECT_EQ(FailureMessage(0x80090008), "Invalid algorithm specified - 2148073480");
    EXPECT_EQ(FailureMessage(5), "Access is denied - 5");
    EXPECT_EQ(FailureMessage(0x12345), " - 74565");
    ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(FailureMessage(0x80091002), "Неизвестный криптографический алгоритм - 2148077570");
    ::setenv("LC_ALL", "C.UTF-8", 1);
}

TEST_F(SignOperationTest, EveryOutcomeInOrder) {
    const std::string folderPart = folder.path() + "/";
    struct Case {
        const char* name;
        std::function<std::string()> prepare; // returns the thumbprint to pick, "" to cancel
        bool detached;
        bool base64;
        SignOutcome outcome;
        std::vector<std::string> events;
        const char* file; // the one file that must exist afterwards, "" for none
    };
    const std::string select = std::string("select: ") + kSignCertificateTitle;
    const std::string saved = "saved: отчёт за май.pdf -> отчёт за май.pdf";
    const Case cases[] = {
        {"cancelled",
         [&] {
             addSigner(KeyAlgorithm::Gost2012_256);
             return std::string();
         },
         true,
         false,
         SignOutcome::NoCertificate,
         {select, "message: Не выбран сертификат", "clear"},
         ""},
        {"no key",
         [&] { return addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::None); },
         true,
         false,
         SignOutcome::NoKey,
         {select, "message: Не удалось определить криптопровайдер"},
         ""},
        {"RSA certificate",
         [&] { return addSigner(KeyAlgorithm::Rsa2048); },
         true,
         false,
         SignOutcome::FirstCallFailed,
         {select, "message: Unknown cryptographic algorithm - 2148077570"},
         ""},
        {"first call refused",
         [&] {
             detail::failSignCallAfter(0, winerr::NTE_BAD_ALGID);
             return addSigner(KeyAlgorithm::Gost2012_256);
         },
         false,
         true,
         SignOutcome::FirstCallFailed,
         {select, "message: Invalid algorithm specified - 2148073480"},
         ""},
        {"second call refused",
         [&] {
             detail::failSignCallAfter(1, winerr::NTE_BAD_SIGNATURE);
             return addSigner(KeyAlgorithm::Gost2012_256);
         },
         true,
         false,
         SignOutcome::SecondCallFailed,
         {select, "message: Invalid Signature - 2148073478"},
         ""},
        {"detached DER",
         [&] { return addSigner(KeyAlgorithm::Gost2012_256); },
         true,
         false,
         SignOutcome::Success,
         {select, "message: Подписанное сообщение создано", "base64?", saved + ".sig", "clear",
          "open: " + folderPart},
         ".sig"},
        {"attached Base64",
         [&] { return addSigner(KeyAlgorithm::Gost2012_512); },
         false,
         true,
         SignOutcome::Success,
         {select, "message: Подписанное сообщение создано", "base64?", saved + ".p7s", "clear",
          "open: " + folderPart},
         ".p7s"},
        {"2001 attached DER",
         [&] { return addSigner(KeyAlgorithm::Gost2001); },
         false,
         false,
         SignOutcome::Success,
         {select, "message: Подписанное сообщение создано", "base64?", saved + ".sig", "clear",
          "open: " + folderPart},
         ".sig"},
    };
    for (const Case& c : cases) {
        CertificateStore::open().remove(identity.certificate ? identity.thumbprint() : std::string("none"));
        std::remove((input + ".sig").c_str());
        std::remove((input + ".p7s").c_str());
        RecordingView view;
        const std::string thumbprint = c.prepare();
        if (!thumbprint.empty())
            view.choose = pick(thumbprint);
        view.base64 = c.base64;
        const SignResult result = SignFile(input, c.detached, view);
        detail::failSignCallAfter(-1, 0);
        EXPECT_EQ(result.outcome, c.outcome) << c.name;
        EXPECT_EQ(view.events, c.events) << c.name;
        EXPECT_EQ(UntickAttachedAfter(result.outcome),
                  c.outcome != SignOutcome::SecondCallFailed && c.outcome != SignOutcome::Success)
            << c.name;
        const std::string file = std::string(c.file).empty() ? std::string() : input + c.file;
        EXPECT_EQ(result.signaturePath, file) << c.name;
        EXPECT_EQ(fileExists(input + ".sig"), file == input + ".sig") << c.name;
        EXPECT_EQ(fileExists(input + ".p7s"), file == input + ".p7s") << c.name;
        if (!file.empty()) {
            EXPECT_TRUE(verifies(messageIn(file, c.base64), content, c.detached)) << c.name;
            EXPECT_EQ(view.atOpenFolder.certificateContexts, 0)
                << c.name << ": released before the folder opens";
            EXPECT_EQ(view.atOpenFolder.stores, 0) << c.name;
            EXPECT_EQ(view.atOpenFolder.providerHandles, 0) << c.name;
        }
        EXPECT_EQ(CountOpenHandles().certificateContexts, 0) << c.name;
    }
}

TEST_F(SignOperationTest, Base64FileIsTheDerMessageInLinesOf76) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    RecordingView view;
    view.choose = pick(thumbprint);
    view.base64 = true;
    ASSERT_EQ(SignFile(input, false, view).outcome, SignOutcome::Success);
    const std::string text = readFile(input + ".p7s");
    EXPECT_EQ(text.substr(0, 2), "MI");
    EXPECT_EQ(text.find("\r\n"), 76u);
    EXPECT_NE(text.substr(text.size() - 2), "\r\n");
    const std::string der = messageIn(input + ".p7s", true);
    EXPECT_TRUE(verifies(der, content, false));
}

TEST_F(SignOperationTest, ExistingSignatureIsReplaced) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    writeFile(input + ".sig", "old signature that must go");
    RecordingView view;
    view.choose = pick(thumbprint);
    ASSERT_EQ(SignFile(input, true, view).outcome, SignOutcome::Success);
    EXPECT_TRUE(verifies(readFile(input + ".sig"), content, true));
    EXPECT_EQ(listFolder(folder.path()),
              (std::vector<std::string>{"отчёт за май.pdf", "отчёт за май.pdf.sig"}));
}

TEST_F(SignOperationTest, EncryptedKeyIsAskedForOnce) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "пароль");
    ScriptedPasswords passwords({{"пароль"}});
    RecordingView view;
    view.choose = pick(thumbprint);
    EXPECT_EQ(SignFile(input, true, view).outcome, SignOutcome::Success);
    EXPECT_EQ(passwords.requests().size(), 1u);
}

TEST_F(SignOperationTest, CancelledPasswordIsTheNoKeyOutcome) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "пароль");
    ScriptedPasswords passwords({{"", true}});
    RecordingView view;
    view.choose = pick(thumbprint);
    const SignResult result = SignFile(input, true, view);
    EXPECT_EQ(result.outcome, SignOutcome::NoKey);
    EXPECT_EQ(result.errorCode, winerr::ERROR_CANCELLED);
    EXPECT_EQ(view.events.back(), "message: Не удалось определить криптопровайдер");
    EXPECT_FALSE(fileExists(input + ".sig"));
}

TEST_F(SignOperationTest, LoadErrorsAreRaisedAfterTheDialog) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    const struct {
        std::string path;
        std::string text;
    } cases[] = {
        {folder.file("нет такого.txt"), "Cannot open file \"" + folder.file("нет такого.txt") +
                                            "\". The system cannot find the file specified"},
        {folder.file("нет папки/файл"), "Cannot open file \"" + folder.file("нет папки/файл") +
                                            "\". The system cannot find the path specified"},
        {"", "Cannot open file \"\". The system cannot find the path specified"},
    };
    for (const auto& c : cases) {
        RecordingView view;
        view.choose = pick(thumbprint);
        try {
            SignFile(c.path, true, view);
            ADD_FAILURE() << "no error for " << c.path;
        } catch (const FileOpenError& e) {
            EXPECT_EQ(e.message(), c.text);
        }
        EXPECT_EQ(view.events, std::vector<std::string>{std::string("select: ") + kSignCertificateTitle});
        EXPECT_EQ(CountOpenHandles().certificateContexts, 0);
        EXPECT_EQ(CountOpenHandles().stores, 0);
    }
}

TEST_F(SignOperationTest, ErrorsOfThePackingStepLeaveAfterReleasingEverything) {
    const std::string thumbprint = addSigner(KeyAlgorithm::Gost2012_256);
    RecordingView view;
    view.choose = pick(thumbprint);
    view.onSaved = [] { throw Error("Не удалось упаковать"); };
    EXPECT_THROW(SignFile(input, true, view), Error);
    EXPECT_TRUE(fileExists(input + ".sig"));
    EXPECT_EQ(view.events.back(), "saved: отчёт за май.pdf -> отчёт за май.pdf.sig");
    EXPECT_EQ(CountOpenHandles().providerHandles, 0);
}

// The message comes before the save, so it is shown even when the save then fails. The save fails
// for real: the child drops root (which ignores permission bits) and the folder is read-only.
TEST(SignOperationSaveFailure, MessageIsShownBeforeTheFailedSave) {
    TempDir shared("plombar-nobody");
    makeWorldAccessible(shared.path());
    const int result = runUnprivileged([&]() -> int {
        ::setenv("XDG_DATA_HOME", (shared.path() + "/data").c_str(), 1);
        const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
        CertificateStore personal = CertificateStore::open();
        const Certificate certificate = Certificate::share(signer.certificate.get());
        const std::string thumbprint =
            personal.add(certificate, nullptr, std::string()).certificate.thumbprint();
        SecureString key(signer.keyPem());
        personal.add(certificate, &key, std::string());
        const std::string outputs = shared.path() + "/только чтение";
        if (::mkdir(outputs.c_str(), 0700) != 0)
            return 10;
        const std::string file = outputs + "/данные.bin";
        writeFile(file, "content");
        writeFile(file + ".sig", "old");
        if (::chmod(outputs.c_str(), 0500) != 0)
            return 11;
        RecordingView view;
        view.choose = pick(thumbprint);
        try {
            SignFile(file, true, view);
            return 12;
        } catch (const FileCreateError& e) {
            if (e.message() != "Cannot create file \"" + file + ".sig\". Access is denied")
                return 13;
        }
        if (view.events.size() != 3 || view.events[1] != "message: Подписанное сообщение создано" ||
            view.events[2] != "base64?")
            return 14;
        if (readFile(file + ".sig") != "old")
            return 15; // the old file survives a failed save
        if (listFolder(outputs).size() != 2)
            return 16; // and no temporary stays behind
        if (CountOpenHandles().certificateContexts != 0 || CountOpenHandles().stores != 0)
            return 17;
        return 0;
    });
    EXPECT_EQ(result, 0);
}
