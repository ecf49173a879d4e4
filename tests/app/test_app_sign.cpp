// Signing on the real window: every outcome with what it leaves on the page, the files it writes
// (checked with `openssl cms -verify -engine gost`), the order of prompts and resets, key passwords,
// the certificate selection dialog, failed loads and saves, and a missing GOST engine.
//
// Root ignores permission bits, so this executable drops to the unprivileged user "nobody" before
// anything else when it starts as root: a read-only folder then really is one.

#include "CryptoStartup.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "WindowInteraction.h"
#include "crypto/CertificateStore.h"
#include "crypto/GostRuntime.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

using namespace plombar;
using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;
using plombar::crypto::KeyAlgorithm;
using plombar::test::TestIdentity;
using plombar::test::TestStore;

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QString selectEntry(const QStringList& issuedTo) {
    return QStringLiteral("selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" [%1]")
        .arg(issuedTo.join(QStringLiteral("; ")));
}

const QString kSigned = QStringLiteral("message: Подписанное сообщение создано");
const QString kNoCertificate = QStringLiteral("message: Не выбран сертификат");
const QString kNoProvider = QStringLiteral("message: Не удалось определить криптопровайдер");

// The digest algorithm identifiers as DER (tag, length, value) the way the message carries them.
const std::string kOid94("\x06\x06\x2a\x85\x03\x02\x02\x09", 8);
const std::string kOid2012_256("\x06\x08\x2a\x85\x03\x07\x01\x01\x02\x02", 10);
const std::string kOid2012_512("\x06\x08\x2a\x85\x03\x07\x01\x01\x02\x03", 10);

const char* algorithmName(KeyAlgorithm algorithm) {
    return crypto::KeyAlgorithmName(algorithm);
}

// Everything the signing page shows, in one comparable line.
struct PageState {
    std::string slot;
    QString label;
    bool button = false;
    bool pack = false;
    bool base64 = false;
    bool attached = false;

    QString text() const {
        return QStringLiteral("slot=\"%1\" label=\"%2\" signButton=%3 packBox=%4 base64Box=%5 attachedBox=%6")
            .arg(qs(slot), label)
            .arg(button)
            .arg(pack)
            .arg(base64)
            .arg(attached);
    }
};

PageState pageState(const MainWindow& window) {
    return {window.signingPage->signFileName,
            window.signingPage->fileLabel->text(),
            window.signingPage->signButton->isEnabled(),
            window.signingPage->packBox->isChecked(),
            window.signingPage->base64Box->isChecked(),
            window.signingPage->attachedBox->isChecked()};
}

// The DER message of a signature file: the file itself, or its Base64 text decoded by Qt's own
// decoder (which skips the CR LF breaks), so the check does not lean on our codec.
std::string messageOf(const std::string& path) {
    const std::string bytes = test::readFile(path);
    if (path.size() < 4 || path.substr(path.size() - 4) != ".p7s")
        return bytes;
    const QByteArray der = QByteArray::fromBase64(QByteArray::fromStdString(bytes));
    return der.toStdString();
}

// The prompts that the selection dialog is given, kept whole for checks of what each row says.
class CapturingPrompts : public ScriptedPrompts {
public:
    std::vector<crypto::CertificateDescription> rows;
    std::optional<std::size_t>
    selectCertificate(const std::string& title, const std::string& displayText,
                      const std::vector<crypto::CertificateDescription>& certificates) override {
        rows = certificates;
        return ScriptedPrompts::selectCertificate(title, displayText, certificates);
    }
};

} // namespace

class TestSignWindow : public QObject {
    Q_OBJECT

    std::map<std::pair<int, std::string>, TestIdentity> identities; // key pairs are slow to make
    std::unique_ptr<TestStore> store;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::string input;
    std::string content;

    const TestIdentity& identity(KeyAlgorithm algorithm, const std::string& name = "Подписант") {
        auto& slot = identities[{static_cast<int>(algorithm), name}];
        if (!slot.certificate)
            slot = test::makeIdentity(algorithm, "CN=" + name + ", O=ООО Ромашка, C=RU");
        return slot;
    }

    std::string addSigner(KeyAlgorithm algorithm, TestStore::Key key = TestStore::Key::Plain,
                          const std::string& name = "Подписант", const std::string& password = {}) {
        return store->add(identity(algorithm, name), key, password);
    }

    // Chooses `path` with "Открыть файл для подписания" and forgets that part of the log.
    void choose(const std::string& path) {
        prompts->answerFile(path);
        QVERIFY(app::test::clickEnabled(*window, window->signingPage->chooseFileButton));
        QCOMPARE(window->signingPage->signFileName, path);
        QVERIFY(window->signingPage->signButton->isEnabled());
        prompts->log.clear();
    }

    void chooseInput(const std::string& name = "отчёт за май.pdf") {
        input = dir->file(name);
        test::writeFile(input, content);
        choose(input);
    }

    void setBoxes(bool pack, bool base64, bool attached) {
        window->signingPage->packBox->setChecked(pack);
        window->signingPage->base64Box->setChecked(base64);
        window->signingPage->attachedBox->setChecked(attached);
    }

    void sign() { QVERIFY(app::test::clickEnabled(*window, window->signingPage->signButton)); }

    // The "issued to" names of the store's certificates in the store's own order.
    static QStringList storeOrder() {
        QStringList names;
        for (const crypto::StoreEntry& entry : crypto::CertificateStore::open().entries())
            names << qs(entry.describe().issuedTo);
        return names;
    }

    // The message in `path` verifies with openssl against the input (detached) or holds the input.
    void checkSignature(const std::string& path, bool attached, KeyAlgorithm algorithm, const char* signer) {
        QVERIFY2(test::fileExists(path), path.c_str());
        const std::string der = messageOf(path);
        QVERIFY(!der.empty());
        test::TempDir scratch("plombar-sign-check");
        const std::string derFile = scratch.file("message.der");
        test::writeFile(derFile, der);
        std::string extracted;
        std::string log;
        QVERIFY2(test::opensslVerifies(derFile, attached ? std::string() : input, &extracted, &log),
                 log.c_str());
        if (attached)
            QVERIFY(extracted == content);
        else if (content.size() >= 64)
            QVERIFY(der.find(content.substr(0, 64)) == std::string::npos);
        const std::string oid = algorithm == KeyAlgorithm::Gost2001       ? kOid94
                                : algorithm == KeyAlgorithm::Gost2012_256 ? kOid2012_256
                                                                          : kOid2012_512;
        QVERIFY2(der.find(oid) != std::string::npos, "the hash of the signer's key algorithm");
        QVERIFY2(der.find(identity(algorithm, signer).der()) != std::string::npos,
                 "the signer's certificate");
    }

private slots:
    void initTestCase() {
        // The exact English system texts; the locale test of those texts is elsewhere.
        ::setenv("LC_ALL", "C.UTF-8", 1);
        QVERIFY2(::geteuid() != 0, "still root: permission bits would not apply");
    }

    void cleanupTestCase() {
        // Engine-backed keys go before OpenSSL's exit clean-up.
        identities.clear();
    }

    void init() {
        content = std::string("%PDF-1.4\n\r\n\0\x01\x02", 14) + test::randomBytes(6000, 7);
        store = std::make_unique<TestStore>();
        dir = std::make_unique<test::TempDir>("plombar-sign");
        prompts = std::make_unique<ScriptedPrompts>();
        window = std::make_unique<MainWindow>(*prompts);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        QCOMPARE(prompts->unscripted(), QStringList());
        QCOMPARE(prompts->pendingAnswers(), QStringList());
        window.reset();
        prompts.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        if (dir)
            ::chmod(dir->path().c_str(), 0700);
        dir.reset();
        store.reset();
    }

    // ---- outcomes that write nothing ---------------------------------------------------------------

    void failedOutcomes_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("cleared");
        QTest::addColumn<bool>("attachedAfter");
        const QString select = selectEntry({QStringLiteral("Подписант")});
        QTest::newRow("dialog cancelled") << "cancel" << QStringList{select, kNoCertificate} << true << false;
        QTest::newRow("empty store") << "empty" << QStringList{selectEntry({}), kNoCertificate} << true
                                     << false;
        QTest::newRow("no private key") << "nokey" << QStringList{select, kNoProvider} << false << false;
        QTest::newRow("RSA certificate")
            << "rsa"
            << QStringList{select, QStringLiteral("message: Unknown cryptographic algorithm - 2148077570")}
            << false << false;
        QTest::newRow("EC certificate")
            << "ec"
            << QStringList{select, QStringLiteral("message: Unknown cryptographic algorithm - 2148077570")}
            << false << false;
    }

    // Each foreseen failure: its message, then the resets of the table, nothing written, no folder.
    void failedOutcomes() {
        QFETCH(QString, kind);
        QFETCH(QStringList, expected);
        QFETCH(bool, cleared);
        QFETCH(bool, attachedAfter);
        if (kind == QLatin1String("cancel")) {
            addSigner(KeyAlgorithm::Gost2012_256);
            prompts->cancelCertificate();
        } else if (kind == QLatin1String("empty")) {
            prompts->cancelCertificate();
        } else {
            const KeyAlgorithm algorithm = kind == QLatin1String("rsa")  ? KeyAlgorithm::Rsa2048
                                           : kind == QLatin1String("ec") ? KeyAlgorithm::EcP256
                                                                         : KeyAlgorithm::Gost2012_256;
            addSigner(algorithm,
                      kind == QLatin1String("nokey") ? TestStore::Key::None : TestStore::Key::Plain);
            prompts->answerCertificate(0);
        }
        chooseInput();
        setBoxes(true, true, true);
        const PageState before = pageState(*window);
        PageState atMessage;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry.startsWith(QLatin1String("message:")))
                atMessage = pageState(*window);
        };

        sign();

        QCOMPARE(prompts->log, expected);
        // The message comes first; the page is reset after it.
        QCOMPARE(atMessage.text(), before.text());
        PageState after = before;
        if (cleared)
            after = {"", QString(), false, true, true, false};
        after.attached = attachedAfter;
        QCOMPARE(pageState(*window).text(), after.text());
        QCOMPARE(test::listFolder(dir->path()), std::vector<std::string>{"отчёт за май.pdf"});
    }

    // After a failure the file stays chosen, and the next click opens the dialog anew.
    void failureThenRetry() {
        addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::None, "Без ключа");
        addSigner(KeyAlgorithm::Gost2012_512, TestStore::Key::Plain, "С ключом");
        const QStringList names = storeOrder();
        chooseInput();
        prompts->answerCertificate(static_cast<std::size_t>(names.indexOf(QStringLiteral("Без ключа"))));
        prompts->answerCertificate(static_cast<std::size_t>(names.indexOf(QStringLiteral("С ключом"))));
        sign();
        QCOMPARE(prompts->log, (QStringList{selectEntry(names), kNoProvider}));
        QCOMPARE(pageState(*window).text(), (PageState{input, qs(input), true, false, false, false}).text());
        sign();
        QCOMPARE(prompts->log, (QStringList{selectEntry(names), kNoProvider, selectEntry(names), kSigned,
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        checkSignature(input + ".sig", false, KeyAlgorithm::Gost2012_512, "С ключом");
    }

    // ---- success -------------------------------------------------------------------------------------

    void success_data() {
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<bool>("attached");
        QTest::addColumn<bool>("base64");
        QTest::addColumn<bool>("emptyInput");
        for (KeyAlgorithm algorithm : test::kGostAlgorithms)
            for (bool attached : {false, true})
                for (bool base64 : {false, true})
                    QTest::addRow("%s %s %s", algorithmName(algorithm), attached ? "attached" : "detached",
                                  base64 ? "Base64" : "DER")
                        << static_cast<int>(algorithm) << attached << base64 << false;
        QTest::newRow("empty file detached")
            << static_cast<int>(KeyAlgorithm::Gost2012_256) << false << false << true;
        QTest::newRow("empty file attached")
            << static_cast<int>(KeyAlgorithm::Gost2012_256) << true << true << true;
    }

    void success() {
        QFETCH(int, algorithm);
        QFETCH(bool, attached);
        QFETCH(bool, base64);
        QFETCH(bool, emptyInput);
        const auto key = static_cast<KeyAlgorithm>(algorithm);
        addSigner(key);
        if (emptyInput)
            content.clear();
        chooseInput();
        const std::string signature = input + (base64 ? ".p7s" : ".sig");
        setBoxes(false, base64, attached);
        prompts->answerCertificate(0);

        PageState atMessage;
        bool existedAtMessage = true;
        PageState atFolder;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kSigned) {
                atMessage = pageState(*window);
                existedAtMessage = test::fileExists(signature);
            } else if (entry.startsWith(QLatin1String("openFolder:"))) {
                atFolder = pageState(*window);
            }
        };
        sign();

        QCOMPARE(prompts->log, (QStringList{selectEntry({QStringLiteral("Подписант")}), kSigned,
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY2(!existedAtMessage, "the message comes before the file is written");
        QCOMPARE(atMessage.text(), (PageState{input, qs(input), true, false, base64, attached}).text());
        const PageState reset{"", QString(), false, false, false, false};
        QCOMPARE(atFolder.text(), reset.text());
        QCOMPARE(pageState(*window).text(), reset.text());
        QCOMPARE(test::listFolder(dir->path()),
                 (std::vector<std::string>{"отчёт за май.pdf", fileNameOf(signature)}));
        checkSignature(signature, attached, key, "Подписант");
        if (base64) {
            const std::string text = test::readFile(signature);
            QCOMPARE(text.substr(0, 2), std::string("MI"));
            if (text.size() > 78)
                QCOMPARE(text.find("\r\n"), std::size_t{76});
        }
    }

    void cadesBox_data() {
        QTest::addColumn<bool>("cades");
        QTest::addColumn<bool>("attached");
        QTest::newRow("CAdES-BES detached") << true << false;
        QTest::newRow("CAdES-BES attached") << true << true;
        QTest::newRow("plain detached") << false << false;
    }

    // "CAdES-BES" adds the signing certificate v2 attribute, verifies with openssl, and is unticked
    // with the format boxes after the run.
    void cadesBox() {
        QVERIFY(!window->signingPage->cadesBox->isChecked());
        QFETCH(bool, cades);
        QFETCH(bool, attached);
        addSigner(KeyAlgorithm::Gost2012_256);
        chooseInput();
        setBoxes(false, false, attached);
        window->signingPage->cadesBox->setChecked(cades);
        prompts->answerCertificate(0);
        sign();
        const std::string signature = input + ".sig";
        checkSignature(signature, attached, KeyAlgorithm::Gost2012_256, "Подписант");
        // id-aa-signingCertificateV2, 1.2.840.113549.1.9.16.2.47, as DER.
        const std::string signingCertificateV2("\x06\x0b\x2a\x86\x48\x86\xf7\x0d\x01\x09\x10\x02\x2f", 13);
        QCOMPARE(test::readFile(signature).find(signingCertificateV2) != std::string::npos, cades);
        QVERIFY(!window->signingPage->cadesBox->isChecked());
    }

    // "Прикрепленная" counts as it was at the click; "BASE64" as it is once the message is made.
    void boxesAreReadWhenTheyCount_data() {
        QTest::addColumn<bool>("attachedAtClick");
        QTest::addColumn<bool>("base64AtClick");
        QTest::newRow("attached at the click, unticked in the dialog") << true << false;
        QTest::newRow("detached at the click, ticked in the dialog") << false << true;
    }

    void boxesAreReadWhenTheyCount() {
        QFETCH(bool, attachedAtClick);
        QFETCH(bool, base64AtClick);
        addSigner(KeyAlgorithm::Gost2012_256);
        chooseInput();
        setBoxes(false, base64AtClick, attachedAtClick);
        prompts->answerCertificate(0);
        prompts->onPrompt = [&](const QString& entry) {
            if (entry.startsWith(QLatin1String("selectCertificate:")))
                window->signingPage->attachedBox->setChecked(!attachedAtClick);
            else if (entry == kSigned)
                window->signingPage->base64Box->setChecked(!base64AtClick);
        };
        sign();
        const std::string signature = input + (base64AtClick ? ".sig" : ".p7s");
        QCOMPARE(test::listFolder(dir->path()),
                 (std::vector<std::string>{"отчёт за май.pdf", fileNameOf(signature)}));
        checkSignature(signature, attachedAtClick, KeyAlgorithm::Gost2012_256, "Подписант");
        QVERIFY(!window->signingPage->base64Box->isChecked());
        QVERIFY(!window->signingPage->attachedBox->isChecked());
    }

    void existingSignatureIsReplaced_data() {
        QTest::addColumn<bool>("base64");
        QTest::newRow(".sig") << false;
        QTest::newRow(".p7s") << true;
    }

    // No question, the old bytes are gone, the other kind of signature file is left alone.
    void existingSignatureIsReplaced() {
        QFETCH(bool, base64);
        addSigner(KeyAlgorithm::Gost2012_256);
        chooseInput();
        test::writeFile(input + ".sig", "old DER signature");
        test::writeFile(input + ".p7s", "old Base64 signature");
        setBoxes(false, base64, false);
        prompts->answerCertificate(0);
        sign();
        QCOMPARE(prompts->log, (QStringList{selectEntry({QStringLiteral("Подписант")}), kSigned,
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QCOMPARE(test::readFile(input + (base64 ? ".sig" : ".p7s")),
                 std::string(base64 ? "old DER signature" : "old Base64 signature"));
        checkSignature(input + (base64 ? ".p7s" : ".sig"), false, KeyAlgorithm::Gost2012_256, "Подписант");
        QCOMPARE(test::listFolder(dir->path()).size(), std::size_t{3});
    }

    // A name near the file system's limit: the signature's name still fits, so signing works.
    void longFileName() {
        addSigner(KeyAlgorithm::Gost2012_256);
        std::string name;
        while (name.size() < 250 - 4 - 4)
            name += "ж";
        chooseInput(name + ".pdf");
        setBoxes(false, false, false);
        prompts->answerCertificate(0);
        sign();
        QCOMPARE(prompts->log.mid(1, 1), QStringList{kSigned});
        QCOMPARE(prompts->log.size(), 3);
        checkSignature(input + ".sig", false, KeyAlgorithm::Gost2012_256, "Подписант");
    }

    // ---- raised errors -------------------------------------------------------------------------------

    void loadErrors_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("systemText");
        QTest::newRow("file deleted") << "file"
                                      << "The system cannot find the file specified";
        QTest::newRow("folder deleted") << "folder"
                                        << "The system cannot find the path specified";
        QTest::newRow("file made unreadable") << "unreadable"
                                              << "Access is denied";
    }

    // The file changed after it was chosen: the error comes after the certificate dialog and leaves
    // the page as it was.
    void loadErrors() {
        QFETCH(QString, cause);
        QFETCH(QString, systemText);
        addSigner(KeyAlgorithm::Gost2012_256);
        const std::string folder = dir->file("папка");
        QCOMPARE(::mkdir(folder.c_str(), 0700), 0);
        input = folder + "/договор.txt";
        test::writeFile(input, content);
        choose(input);
        if (cause == QLatin1String("file"))
            std::remove(input.c_str());
        else if (cause == QLatin1String("folder"))
            QCOMPARE(std::rename(folder.c_str(), (folder + " старая").c_str()), 0);
        else
            QCOMPARE(::chmod(input.c_str(), 0), 0);
        setBoxes(true, true, true);
        const PageState before = pageState(*window);
        prompts->answerCertificate(0);
        sign();
        QCOMPARE(
            prompts->log,
            (QStringList{selectEntry({QStringLiteral("Подписант")}),
                         QStringLiteral("error: Cannot open file \"%1\". %2.").arg(qs(input), systemText)}));
        QCOMPARE(pageState(*window).text(), before.text());
    }

    void saveErrors_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<bool>("base64");
        QTest::newRow("read-only folder, DER") << "folder" << false;
        QTest::newRow("read-only folder, Base64") << "folder" << true;
        QTest::newRow("read-only signature file") << "file" << false;
        QTest::newRow("a folder of the signature's name") << "directory" << true;
    }

    // The message is shown, then the save fails: nothing else changes, the old file survives and no
    // temporary file stays behind.
    void saveErrors() {
        QFETCH(QString, cause);
        QFETCH(bool, base64);
        addSigner(KeyAlgorithm::Gost2012_256);
        chooseInput();
        const std::string signature = input + (base64 ? ".p7s" : ".sig");
        if (cause == QLatin1String("file")) {
            test::writeFile(signature, "old");
            QCOMPARE(::chmod(signature.c_str(), 0444), 0);
        } else if (cause == QLatin1String("directory")) {
            QCOMPARE(::mkdir(signature.c_str(), 0700), 0);
        }
        const std::vector<std::string> files = test::listFolder(dir->path());
        if (cause == QLatin1String("folder"))
            QCOMPARE(::chmod(dir->path().c_str(), 0500), 0);
        setBoxes(true, base64, true);
        const PageState before = pageState(*window);
        prompts->answerCertificate(0);
        sign();
        QCOMPARE(
            prompts->log,
            (QStringList{
                selectEntry({QStringLiteral("Подписант")}), kSigned,
                QStringLiteral("error: Cannot create file \"%1\". Access is denied.").arg(qs(signature))}));
        QCOMPARE(pageState(*window).text(), before.text());
        QCOMPARE(test::listFolder(dir->path()), files);
        if (cause == QLatin1String("file"))
            QCOMPARE(test::readFile(signature), std::string("old"));
    }

    // ---- key passwords -------------------------------------------------------------------------------

    void passwords_data() {
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::addColumn<int>("questions");
        QTest::addColumn<bool>("signs");
        QTest::newRow("right password") << QStringList{QStringLiteral("пароль")} << 1 << true;
        QTest::newRow("wrong, then right")
            << QStringList{QStringLiteral("не тот"), QStringLiteral("пароль")} << 2 << true;
        QTest::newRow("cancelled") << QStringList{QStringLiteral("!")} << 1 << false;
        QTest::newRow("cancelled after a wrong one")
            << QStringList{QStringLiteral("1"), QStringLiteral("!")} << 2 << false;
        QTest::newRow("wrong three times")
            << QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")} << 3 << false;
    }

    void passwords() {
        QFETCH(QStringList, answers);
        QFETCH(int, questions);
        QFETCH(bool, signs);
        addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "Подписант", "пароль");
        chooseInput();
        setBoxes(false, false, true);
        prompts->answerCertificate(0);
        for (const QString& answer : answers) {
            if (answer == QLatin1String("!"))
                prompts->cancelPassword();
            else
                prompts->answerPassword(answer.toStdString());
        }
        sign();

        QStringList expected{selectEntry({QStringLiteral("Подписант")})};
        const QString owner = QStringLiteral("password: CN=Подписант, O=ООО Ромашка, C=RU");
        for (int i = 1; i <= questions; ++i)
            expected << (i == 1 ? owner
                                : owner + QStringLiteral(
                                              "\nНеверный пароль, попробуйте ещё раз (попытка %1 из 3)")
                                              .arg(i));
        if (signs)
            expected << kSigned << QStringLiteral("openFolder: ") + qs(dir->path() + "/");
        else
            expected << kNoProvider;
        QCOMPARE(prompts->log, expected);
        QCOMPARE(test::fileExists(input + ".sig"), signs);
        QVERIFY(!window->signingPage->attachedBox->isChecked());
        QCOMPARE(window->signingPage->signButton->isEnabled(), !signs);
    }

    // The question's text on its own, as the dialog shows it.
    void passwordQuestionText() {
        crypto::PasswordRequest request{"CN=Иванов", "ab", "/k.key", 1, false};
        QCOMPARE(qs(app::passwordQuestionText(request)), QStringLiteral("CN=Иванов"));
        request.attempt = 3;
        request.previousWasWrong = true;
        QCOMPARE(qs(app::passwordQuestionText(request)),
                 QStringLiteral("CN=Иванов\nНеверный пароль, попробуйте ещё раз (попытка 3 из 3)"));
    }

    // ---- the selection dialog ------------------------------------------------------------------------

    // Every store certificate is listed in the store's order; rows can be viewed before choosing, and
    // the chosen one signs.
    void selectionListsTheStore() {
        addSigner(KeyAlgorithm::Gost2001, TestStore::Key::Plain, "Первый");
        addSigner(KeyAlgorithm::Rsa2048, TestStore::Key::None, "Второй");
        addSigner(KeyAlgorithm::Gost2012_512, TestStore::Key::Plain, "Третий");
        const QStringList names = storeOrder();
        QCOMPARE(names.size(), 3);
        const int chosen = static_cast<int>(names.indexOf(QStringLiteral("Третий")));
        const int viewed = static_cast<int>(names.indexOf(QStringLiteral("Второй")));
        chooseInput();
        prompts->answerCertificate(static_cast<std::size_t>(chosen),
                                   {static_cast<std::size_t>(viewed), static_cast<std::size_t>(chosen)});
        sign();
        QCOMPARE(prompts->log, (QStringList{selectEntry(names), QStringLiteral("viewCertificate: Второй"),
                                            QStringLiteral("viewCertificate: Третий"), kSigned,
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        checkSignature(input + ".sig", false, KeyAlgorithm::Gost2012_512, "Третий");
        const std::string der = test::readFile(input + ".sig");
        QVERIFY(der.find(identity(KeyAlgorithm::Gost2001, "Первый").der()) == std::string::npos);
    }

    void selectionFromStore_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("result"); // the row chosen, -1 for none
        QTest::newRow("chosen") << "choose"
                                << "Заголовок" << 1;
        QTest::newRow("cancelled") << "cancel"
                                   << "Заголовок" << -1;
        QTest::newRow("empty store") << "empty"
                                     << "Заголовок" << -1;
        QTest::newRow("no title") << "choose"
                                  << "" << 0;
    }

    // The selection over the store on its own: what the dialog gets and what comes back.
    void selectionFromStore() {
        QFETCH(QString, situation);
        QFETCH(QString, title);
        QFETCH(int, result);
        if (situation != QLatin1String("empty")) {
            addSigner(KeyAlgorithm::Gost2012_256, TestStore::Key::Plain, "Первый");
            addSigner(KeyAlgorithm::Gost2001, TestStore::Key::None, "Второй");
        }
        CapturingPrompts capturing;
        if (result >= 0)
            capturing.answerCertificate(static_cast<std::size_t>(result));
        else
            capturing.cancelCertificate();

        app::WindowInteraction interaction(capturing);
        const std::vector<crypto::StoreEntry> entries = crypto::CertificateStore::open().entries();
        const std::optional<std::size_t> picked = interaction.chooseCertificate(title.toStdString(), entries);

        QStringList names;
        for (const auto& row : capturing.rows)
            names << qs(row.issuedTo);
        QCOMPARE(capturing.log, QStringList{QStringLiteral("selectCertificate: title=\"%1\" text=\"\" [%2]")
                                                .arg(title, names.join(QStringLiteral("; ")))});
        QCOMPARE(names.size(), situation == QLatin1String("empty") ? 0 : 2);
        // Each row says whether its key is there, and names its certificate.
        for (const auto& row : capturing.rows) {
            const bool first = row.issuedTo == "Первый";
            QCOMPARE(row.hasPrivateKey, first);
            QCOMPARE(row.thumbprint,
                     identity(first ? KeyAlgorithm::Gost2012_256 : KeyAlgorithm::Gost2001, row.issuedTo)
                         .thumbprint());
        }
        if (result < 0) {
            QVERIFY(!picked);
        } else {
            QVERIFY(picked);
            QCOMPARE(entries.at(*picked).certificate.thumbprint(),
                     capturing.rows[static_cast<std::size_t>(result)].thumbprint);
        }
    }

    // ---- the GOST engine -----------------------------------------------------------------------------

    void engineReadyIsNotReported() {
        QVERIFY(app::reportGostRuntimeAtStart(*prompts));
        QCOMPARE(prompts->log, QStringList());
    }

    // Runs engineMissingChild in a process that cannot find the engine.
    void engineMissing() {
        test::TempDir empty("plombar-no-engines");
        std::string output;
        const std::string command =
            "PLOMBAR_TEST_ENGINE_MISSING=1 OPENSSL_ENGINES=" + test::shellQuote(empty.path()) +
            " OPENSSL_CONF=/dev/null " +
            test::shellQuote(QCoreApplication::applicationFilePath().toStdString()) +
            " engineMissingChild 2>&1";
        const int status = test::runCommand(command, &output);
        QVERIFY2(status == 0, output.c_str());
        QVERIFY2(output.find("PASS   : TestSignWindow::engineMissingChild") != std::string::npos,
                 output.c_str());
    }

    // Without the engine the start says so plainly, and signing reports the same text before any dialog.
    void engineMissingChild() {
        if (std::getenv("PLOMBAR_TEST_ENGINE_MISSING") == nullptr)
            QSKIP("runs in the child process of engineMissing");
        crypto::GostRuntime gost;
        QVERIFY(!gost.Ready());
        const std::string text = gost.ErrorText();
        QVERIFY2(text.rfind("The GOST module for OpenSSL was not found (libengine-gost-openssl)", 0) == 0,
                 text.c_str());
        QVERIFY(!app::reportGostRuntimeAtStart(*prompts));
        QCOMPARE(prompts->log.size(), 1);
        QVERIFY2(prompts->log.first().startsWith(QStringLiteral(
                     "detailedError: Не найден модуль ГОСТ для OpenSSL, поэтому подпись, проверка, "
                     "шифрование и расшифровка недоступны: установите пакет "
                     "libengine-gost-openssl (sudo apt install libengine-gost-openssl). details=\"")),
                 qPrintable(prompts->log.first()));
        QVERIFY2(prompts->log.first().contains(QStringLiteral("engine")), qPrintable(prompts->log.first()));
        prompts->reset();

        content = "data";
        chooseInput();
        setBoxes(true, true, true);
        const PageState before = pageState(*window);
        sign();
        QCOMPARE(prompts->log, QStringList{QStringLiteral("error: ") + qs(errorReportText(text))});
        QCOMPARE(pageState(*window).text(), before.text());
        QCOMPARE(test::listFolder(dir->path()), std::vector<std::string>{"отчёт за май.pdf"});
    }
};

int main(int argc, char** argv) {
    if (!plombar::app::test::dropRootRights()) {
        std::perror("cannot drop root rights");
        return 1;
    }
    app::test::useOffscreenWhenHeadless();
    QApplication application(argc, argv);
    TestSignWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_sign.moc"
