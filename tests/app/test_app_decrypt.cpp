// Decryption on the real window: every outcome with the failure message (system text, " - ", the
// code unsigned), the resets of the slot, label and button on every path, the output name without
// the last four characters, key passwords, and messages made by `openssl cms -encrypt`.

#include "CryptoStartup.h"
#include "DecryptionPage.h"
#include "EncryptionPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>

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

const QString kDecrypted = QStringLiteral("message: Расшифрован");

struct PageState {
    std::string slot;
    QString label;
    bool button = false;

    QString text() const {
        return QStringLiteral("decryptFileName=\"%1\" fileLabel=\"%2\" decryptButton=%3")
            .arg(qs(slot), label)
            .arg(button);
    }
};

PageState pageState(const MainWindow& window) {
    return {window.decryptionPage->decryptFileName, window.decryptionPage->fileLabel->text(),
            window.decryptionPage->decryptButton->isEnabled()};
}

const PageState kReset{"", QString(), false};

} // namespace

class TestDecryptWindow : public QObject {
    Q_OBJECT

    std::map<std::pair<int, std::string>, TestIdentity> identities;
    std::unique_ptr<TestStore> store;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::string input;
    std::string content;

    const TestIdentity& identity(KeyAlgorithm algorithm, const std::string& name = "Получатель") {
        auto& slot = identities[{static_cast<int>(algorithm), name}];
        if (!slot.certificate)
            slot = test::makeIdentity(algorithm, "CN=" + name + ", O=ООО Ромашка, C=RU");
        return slot;
    }

    // Writes `message` as `name` and chooses it with "Открыть файл"; forgets that part of the log.
    void chooseInput(const std::string& name, const std::string& message) {
        input = dir->file(name);
        test::writeFile(input, message);
        prompts->answerFile(input);
        QVERIFY(app::test::clickEnabled(*window, window->decryptionPage->chooseFileButton));
        QCOMPARE(window->decryptionPage->decryptFileName, input);
        QVERIFY(window->decryptionPage->decryptButton->isEnabled());
        prompts->log.clear();
    }

    void decrypt() { QVERIFY(app::test::clickEnabled(*window, window->decryptionPage->decryptButton)); }

    // The message for a recipient, made by the window's own "Зашифровать" for a certificate file, in a
    // folder of its own; empty when that failed. Forgets that part of the log.
    std::string envelopeFor(const TestIdentity& recipient, const std::string& plain) {
        test::TempDir scratch("plombar-decrypt-envelope");
        const std::string source = scratch.file("plain");
        test::writeFile(source, plain);
        test::writeFile(scratch.file("recipient.cer"), recipient.der());
        window->encryptionPage->certificateFromFileBox->setChecked(true);
        prompts->answerFile(scratch.file("recipient.cer"));
        prompts->answerFile(source);
        if (!app::test::clickEnabled(*window, window->encryptionPage->chooseCertificateButton) ||
            !app::test::clickEnabled(*window, window->encryptionPage->chooseFileButton) ||
            !app::test::clickEnabled(*window, window->encryptionPage->encryptButton) ||
            !test::fileExists(source + ".enc"))
            return {};
        prompts->log.clear();
        return test::readFile(source + ".enc");
    }

    // A failed decryption: the message alone, the resets, nothing written, no folder.
    void checkFailure(const QString& message) {
        const std::vector<std::string> files = test::listFolder(dir->path());
        PageState atMessage;
        prompts->onPrompt = [&](const QString&) { atMessage = pageState(*window); };
        decrypt();
        QCOMPARE(prompts->log, QStringList{message});
        QCOMPARE(atMessage.text(), (PageState{input, qs(input), true}).text());
        QCOMPARE(pageState(*window).text(), kReset.text());
        QCOMPARE(test::listFolder(dir->path()), files);
    }

private slots:
    void initTestCase() { ::setenv("LC_ALL", "C.UTF-8", 1); }

    void cleanupTestCase() { identities.clear(); }

    void init() {
        content = std::string("PK\x03\x04\n\r\n\0", 8) + test::randomBytes(7000, 5);
        store = std::make_unique<TestStore>();
        dir = std::make_unique<test::TempDir>("plombar-decrypt");
        prompts = std::make_unique<ScriptedPrompts>();
        window = std::make_unique<MainWindow>(*prompts);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        QCOMPARE(prompts->unscripted(), QStringList());
        QCOMPARE(prompts->pendingAnswers(), QStringList());
        window.reset();
        prompts.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        dir.reset();
        store.reset();
    }

    // ---- success -------------------------------------------------------------------------------------

    void success_data() {
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("emptyContent");
        for (KeyAlgorithm algorithm : test::kGostAlgorithms)
            QTest::addRow("%s", crypto::KeyAlgorithmName(algorithm))
                << static_cast<int>(algorithm) << QStringLiteral("отчёт.pdf.enc")
                << QStringLiteral("отчёт.pdf") << false;
        QTest::newRow("not ending in .enc")
            << static_cast<int>(KeyAlgorithm::Gost2012_256) << QStringLiteral("архив.p7m")
            << QStringLiteral("архив") << false;
        QTest::newRow("short name") << static_cast<int>(KeyAlgorithm::Gost2012_256) << QStringLiteral("notes")
                                    << QStringLiteral("n") << false;
        QTest::newRow("empty content")
            << static_cast<int>(KeyAlgorithm::Gost2001) << QStringLiteral("пусто.txt.enc")
            << QStringLiteral("пусто.txt") << true;
    }

    // The content lands beside the input (an older file there is replaced), "Расшифрован" is shown,
    // the page is reset, and the folder opens last.
    void success() {
        QFETCH(int, algorithm);
        QFETCH(QString, name);
        QFETCH(QString, output);
        QFETCH(bool, emptyContent);
        const TestIdentity& recipient = identity(static_cast<KeyAlgorithm>(algorithm));
        store->add(recipient);
        if (emptyContent)
            content.clear();
        chooseInput(name.toStdString(), envelopeFor(recipient, content));
        const std::string outputPath = dir->file(output.toStdString());
        test::writeFile(outputPath, "an older file of that name");

        PageState atMessage, atFolder;
        bool writtenAtMessage = false;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kDecrypted) {
                atMessage = pageState(*window);
                writtenAtMessage = test::readFile(outputPath) == content;
            } else if (entry.startsWith(QLatin1String("openFolder:"))) {
                atFolder = pageState(*window);
            }
        };
        decrypt();

        QCOMPARE(prompts->log,
                 (QStringList{kDecrypted, QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY2(writtenAtMessage, "the message comes after the file is written");
        QCOMPARE(atMessage.text(), (PageState{input, qs(input), true}).text());
        QCOMPARE(atFolder.text(), kReset.text());
        QCOMPARE(pageState(*window).text(), kReset.text());
        QVERIFY(test::readFile(outputPath) == content);
    }

    // A message made by `openssl cms -encrypt -gost89`, DER or streamed BER.
    void opensslMessage_data() {
        QTest::addColumn<bool>("stream");
        QTest::newRow("DER") << false;
        QTest::newRow("streamed BER") << true;
    }

    void opensslMessage() {
        QFETCH(bool, stream);
        const TestIdentity& recipient = identity(KeyAlgorithm::Gost2012_512);
        store->add(recipient);
        test::writeFile(dir->file("r.crt"), recipient.pem());
        test::writeFile(dir->file("plain"), content);
        std::string log;
        QVERIFY2(test::runOpenssl("cms -encrypt -binary -gost89 -engine gost -outform DER" +
                                      std::string(stream ? " -stream" : "") + " -in " +
                                      test::shellQuote(dir->file("plain")) + " -out " +
                                      test::shellQuote(dir->file("from openssl.enc")) + " " +
                                      test::shellQuote(dir->file("r.crt")),
                                  &log) == 0,
                 log.c_str());
        input = dir->file("from openssl.enc");
        prompts->answerFile(input);
        QVERIFY(app::test::clickEnabled(*window, window->decryptionPage->chooseFileButton));
        prompts->log.clear();
        decrypt();
        QCOMPARE(prompts->log,
                 (QStringList{kDecrypted, QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY(test::readFile(dir->file("from openssl")) == content);
    }

    // An encrypted key asks for its password once, in the data call.
    void keyPassword() {
        const TestIdentity& recipient = identity(KeyAlgorithm::Gost2012_256);
        store->add(recipient, TestStore::Key::Encrypted, "пароль");
        chooseInput("отчёт.pdf.enc", envelopeFor(recipient, content));
        prompts->answerPassword("пароль");
        decrypt();
        QCOMPARE(prompts->log.size(), 3);
        QVERIFY2(prompts->log[0].startsWith(QLatin1String("password: ")) &&
                     prompts->log[0].contains(QStringLiteral("Получатель")),
                 qPrintable(prompts->log[0]));
        QCOMPARE(prompts->log.mid(1),
                 (QStringList{kDecrypted, QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY(test::readFile(dir->file("отчёт.pdf")) == content);
    }

    // ---- failed calls --------------------------------------------------------------------------------

    void failedCalls_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("message");
        QTest::newRow("recipient not in the store")
            << "stranger"
            << "C.UTF-8"
            << QStringLiteral(
                   "message: Cannot find the certificate and private key to use for decryption - 2148081676");
        QTest::newRow("recipient not in the store, Russian")
            << "stranger"
            << "ru_RU.UTF-8"
            << QStringLiteral(
                   "message: Не удается найти сертификат и закрытый ключ для расшифровки - 2148081676");
        QTest::newRow("certificate without its key")
            << "nokey"
            << "C.UTF-8"
            << QStringLiteral(
                   "message: Cannot find the certificate and private key to use for decryption - 2148081676");
        QTest::newRow("not an enveloped message")
            << "signature"
            << "C.UTF-8"
            << QStringLiteral(
                   "message: The type of the cryptographic message being decoded is different than what "
                   "was expected - 2148081674");
        QTest::newRow("not a message at all")
            << "text"
            << "C.UTF-8" << QStringLiteral("message: ASN1 bad tag value met - 2148086027");
        QTest::newRow("another key under the recipient's name")
            << "impostor"
            << "C.UTF-8" << QStringLiteral("message: Bad Data - 2148073477");
        QTest::newRow("password cancelled")
            << "cancel"
            << "C.UTF-8" << QStringLiteral("message: The operation was canceled by the user - 1223");
    }

    void failedCalls() {
        QFETCH(QString, kind);
        QFETCH(QString, locale);
        QFETCH(QString, message);
        std::string bytes;
        if (kind == QLatin1String("stranger")) {
            store->add(identity(KeyAlgorithm::Gost2012_256, "Свой"));
            bytes = envelopeFor(identity(KeyAlgorithm::Gost2012_256, "Чужой"), content);
        } else if (kind == QLatin1String("nokey")) {
            store->add(identity(KeyAlgorithm::Gost2012_256), TestStore::Key::None);
            bytes = envelopeFor(identity(KeyAlgorithm::Gost2012_256), content);
        } else if (kind == QLatin1String("signature")) {
            // An attached signed message made by openssl: a CMS message of another type.
            const TestIdentity& signer = identity(KeyAlgorithm::Gost2012_256);
            test::writeFile(dir->file("s.crt"), signer.pem());
            test::writeFile(dir->file("s.key"), signer.keyPem());
            test::writeFile(dir->file("plain"), "data");
            std::string log;
            QVERIFY2(test::runOpenssl("cms -sign -binary -nodetach -engine gost -outform DER -in " +
                                          test::shellQuote(dir->file("plain")) + " -signer " +
                                          test::shellQuote(dir->file("s.crt")) + " -inkey " +
                                          test::shellQuote(dir->file("s.key")) + " -out " +
                                          test::shellQuote(dir->file("signed.der")),
                                      &log) == 0,
                     log.c_str());
            bytes = test::readFile(dir->file("signed.der"));
            store->add(signer);
        } else if (kind == QLatin1String("text")) {
            bytes = "Это не зашифрованный файл\n";
        } else if (kind == QLatin1String("impostor")) {
            test::IdentityFields fields;
            fields.subject = "CN=Получатель";
            fields.serial = "\x05\x05\x05";
            store->add(test::makeIdentity(fields));
            bytes = envelopeFor(test::makeIdentity(fields), content);
        } else {
            store->add(identity(KeyAlgorithm::Gost2012_512), TestStore::Key::Encrypted, "пароль");
            bytes = envelopeFor(identity(KeyAlgorithm::Gost2012_512), content);
            prompts->cancelPassword();
        }
        QVERIFY(!bytes.empty());
        chooseInput("отчёт.pdf.enc", bytes);
        ::setenv("LC_ALL", locale.toUtf8().constData(), 1);
        if (kind == QLatin1String("cancel")) {
            decrypt();
            QCOMPARE(prompts->log.size(), 2);
            QCOMPARE(prompts->log[1], message);
            QCOMPARE(pageState(*window).text(), kReset.text());
            QVERIFY(!test::fileExists(dir->file("отчёт.pdf")));
        } else {
            checkFailure(message);
        }
    }

    // ---- raised errors -------------------------------------------------------------------------------

    // A raised error goes to the error report; the slot, label and button are reset all the same.
    void errors_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("input gone") << "gone";
        QTest::newRow("output cannot be created") << "blocked";
    }

    void errors() {
        QFETCH(QString, kind);
        const TestIdentity& recipient = identity(KeyAlgorithm::Gost2012_256);
        store->add(recipient);
        chooseInput("отчёт.pdf.enc", envelopeFor(recipient, content));
        QString expected;
        if (kind == QLatin1String("gone")) {
            ::unlink(input.c_str());
            expected =
                QStringLiteral("error: Cannot open file \"%1\". The system cannot find the file specified.")
                    .arg(qs(input));
        } else {
            QVERIFY(::mkdir(dir->file("отчёт.pdf").c_str(), 0700) == 0);
            expected = QStringLiteral("error: Cannot create file \"%1\". Access is denied.")
                           .arg(qs(dir->file("отчёт.pdf")));
        }
        const std::vector<std::string> files = test::listFolder(dir->path());
        decrypt();
        QCOMPARE(prompts->log, QStringList{expected});
        QCOMPARE(pageState(*window).text(), kReset.text());
        QCOMPARE(test::listFolder(dir->path()), files);
    }
};

int main(int argc, char** argv) {
    app::test::useOffscreenWhenHeadless();
    QApplication application(argc, argv);
    TestDecryptWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_decrypt.moc"
