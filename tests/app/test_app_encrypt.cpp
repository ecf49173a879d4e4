// Encryption on the real window: every outcome with what it leaves on the page and in the two
// slots, the file it writes (opened by `openssl cms -decrypt -engine gost`), the order of the page
// reset and its repaints, the selection dialog and the certificate file.

#include "CryptoStartup.h"
#include "EncryptionPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
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

QString selectEntry(const QStringList& issuedTo) {
    return QStringLiteral("selectCertificate: title=\"Укажите сертификат для шифрования\" text=\"\" [%1]")
        .arg(issuedTo.join(QStringLiteral("; ")));
}

const QString kEncrypted = QStringLiteral("message: Файл зашифрован");
const QString kNoCertificate = QStringLiteral("message: Не выбран сертификат");

// Everything the encryption page shows and holds, in one comparable line.
struct PageState {
    std::string input;
    std::string certificate;
    QString label4;
    QString label6;
    bool button7 = false;
    bool checkBox4 = false;
    bool button11 = false;

    QString text() const {
        return QStringLiteral("encryptFileName=\"%1\" recipientCertFileName=\"%2\" fileLabel=\"%3\" "
                              "certificateLabel=\"%4\" "
                              "encryptButton=%5 certificateFromFileBox=%6 chooseCertificateButton=%7")
            .arg(qs(input), qs(certificate), label4, label6)
            .arg(button7)
            .arg(checkBox4)
            .arg(button11);
    }
};

PageState pageState(const MainWindow& window) {
    return {window.encryptionPage->encryptFileName,
            window.encryptionPage->recipientCertFileName,
            window.encryptionPage->fileLabel->text(),
            window.encryptionPage->certificateLabel->text(),
            window.encryptionPage->encryptButton->isEnabled(),
            window.encryptionPage->certificateFromFileBox->isChecked(),
            window.encryptionPage->chooseCertificateButton->isEnabled()};
}

// The page after its reset, with what the slots hold then.
PageState resetPage(const std::string& input, const std::string& certificate) {
    return {input, certificate, QString(), QString(), false, false, false};
}

// Writes down, as they happen, the state changes of the page's controls (a label's new text shows
// in the resize that fits it) and the repaints that draw them at once.
class ControlRecorder : public QObject {
public:
    QStringList changes;
    QStringList paints;
    bool recording = false;

    void watch(std::initializer_list<QWidget*> widgets) {
        for (QWidget* widget : widgets) {
            widget->installEventFilter(this);
            // stateChanged comes before toggled, whose handlers (the window's own) run first.
            if (auto* box = qobject_cast<QCheckBox*>(widget))
                connect(box, &QCheckBox::stateChanged, this, [this, box](int state) {
                    if (recording)
                        changes << box->objectName() + (state == Qt::Checked ? " ticked" : " unticked");
                });
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!recording)
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        const QString name = watched->objectName();
        if (event->type() == QEvent::EnabledChange) {
            changes << name + (widget->isEnabled() ? " enabled" : " disabled");
        } else if (event->type() == QEvent::Resize) {
            if (const auto* label = qobject_cast<QLabel*>(watched))
                changes << name + " \"" + label->text() + "\"";
        } else if (event->type() == QEvent::Paint) {
            QString what = name + " painted";
            if (const auto* box = qobject_cast<QCheckBox*>(watched))
                what += box->isChecked() ? " ticked" : " unticked";
            else
                what += widget->isEnabled() ? " enabled" : " disabled";
            paints << what;
        }
        return false;
    }
};

} // namespace

class TestEncryptWindow : public QObject {
    Q_OBJECT

    std::map<std::pair<int, std::string>, TestIdentity> identities; // key pairs are slow to make
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

    // Chooses the file to encrypt with "Открыть файл" and forgets that part of the log.
    void chooseInput(const std::string& name = "отчёт за май.pdf") {
        input = dir->file(name);
        test::writeFile(input, content);
        prompts->answerFile(input);
        QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->chooseFileButton));
        QCOMPARE(window->encryptionPage->encryptFileName, input);
        QVERIFY(window->encryptionPage->encryptButton->isEnabled());
        prompts->log.clear();
    }

    // Ticks "Выбрать сертификат из файла" and chooses `path` with "Выбрать Сертификат".
    void chooseCertificateFile(const std::string& path) {
        if (!window->encryptionPage->certificateFromFileBox->isChecked())
            QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
        prompts->answerFile(path);
        QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->chooseCertificateButton));
        QCOMPARE(window->encryptionPage->recipientCertFileName, path);
        prompts->log.clear();
    }

    std::string certificateFile(const TestIdentity& recipient, bool pem = false) {
        const std::string path = dir->file(pem ? "получатель.pem" : "получатель.cer");
        test::writeFile(path, pem ? recipient.pem() : recipient.der());
        return path;
    }

    void encrypt() { QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->encryptButton)); }

    // `openssl cms -decrypt` of the .enc file with the identity's key.
    void checkOpensslDecrypts(const std::string& message, const TestIdentity& recipient) {
        test::TempDir scratch("plombar-encrypt-check");
        test::writeFile(scratch.file("r.crt"), recipient.pem());
        test::writeFile(scratch.file("r.key"), recipient.keyPem());
        std::string log;
        const int status = test::runOpenssl(
            "cms -decrypt -binary -debug_decrypt -engine gost -inform DER -in " + test::shellQuote(message) +
                " -recip " + test::shellQuote(scratch.file("r.crt")) + " -inkey " +
                test::shellQuote(scratch.file("r.key")) + " -out " + test::shellQuote(scratch.file("plain")),
            &log);
        QVERIFY2(status == 0, log.c_str());
        QVERIFY(test::readFile(scratch.file("plain")) == content);
    }

private slots:
    void initTestCase() { ::setenv("LC_ALL", "C.UTF-8", 1); }

    void cleanupTestCase() { identities.clear(); }

    void init() {
        content = std::string("%PDF-1.4\n\r\n\0\x01\x02", 14) + test::randomBytes(5000, 3);
        store = std::make_unique<TestStore>();
        dir = std::make_unique<test::TempDir>("plombar-encrypt");
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
        dir.reset();
        store.reset();
    }

    // ---- success -------------------------------------------------------------------------------------

    void success_data() {
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<bool>("fromFile");
        QTest::addColumn<bool>("emptyInput");
        QTest::addColumn<bool>("pem");
        for (KeyAlgorithm algorithm : test::kGostAlgorithms)
            for (bool fromFile : {false, true})
                QTest::addRow("%s %s", crypto::KeyAlgorithmName(algorithm),
                              fromFile ? "certificate file" : "store")
                    << static_cast<int>(algorithm) << fromFile << false << false;
        QTest::newRow("empty file") << static_cast<int>(KeyAlgorithm::Gost2012_256) << false << true << false;
        QTest::newRow("PEM certificate file")
            << static_cast<int>(KeyAlgorithm::Gost2012_512) << true << false << true;
    }

    // The file is written, announced, the page reset, the folder opened, and only then both slots
    // are cleared.
    void success() {
        QFETCH(int, algorithm);
        QFETCH(bool, fromFile);
        QFETCH(bool, emptyInput);
        QFETCH(bool, pem);
        const TestIdentity& recipient = identity(static_cast<KeyAlgorithm>(algorithm));
        store->add(recipient);
        if (emptyInput)
            content.clear();
        chooseInput();
        std::string certificate;
        if (fromFile) {
            certificate = certificateFile(recipient, pem);
            chooseCertificateFile(certificate);
        } else {
            prompts->answerCertificate(0);
        }
        const PageState before = pageState(*window);
        QCOMPARE(
            before.text(),
            (PageState{input, certificate, qs(input), qs(certificate), true, fromFile, fromFile}).text());

        PageState atMessage, atFolder;
        bool existedAtMessage = false;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kEncrypted) {
                atMessage = pageState(*window);
                existedAtMessage = test::fileExists(input + ".enc");
            } else if (entry.startsWith(QLatin1String("openFolder:"))) {
                atFolder = pageState(*window);
            }
        };
        encrypt();

        QStringList expected;
        if (!fromFile)
            expected << selectEntry({QStringLiteral("Получатель")});
        expected << kEncrypted << QStringLiteral("openFolder: ") + qs(dir->path() + "/");
        QCOMPARE(prompts->log, expected);
        QVERIFY2(existedAtMessage, "the message comes after the file is written");
        QCOMPARE(atMessage.text(), before.text());
        QCOMPARE(atFolder.text(), resetPage(input, certificate).text()); // slots cleared after the folder
        QCOMPARE(pageState(*window).text(), resetPage("", "").text());
        checkOpensslDecrypts(input + ".enc", recipient);
        std::vector<std::string> files{"отчёт за май.pdf", "отчёт за май.pdf.enc"};
        if (fromFile)
            files.push_back(pem ? "получатель.pem" : "получатель.cer");
        QCOMPARE(test::listFolder(dir->path()), files);
    }

    // The page reset: "Зашифровать" disabled, both path labels emptied, the certificate source box
    // unticked, "Выбрать Сертификат" disabled, each drawn at once. Unticking the box runs its own
    // handler, which empties the certificate label again and disables its button on the spot.
    void resetOrder() {
        store->add(identity(KeyAlgorithm::Gost2012_256));
        chooseInput();
        chooseCertificateFile(certificateFile(identity(KeyAlgorithm::Gost2012_256)));
        ControlRecorder recorder;
        recorder.watch({window->encryptionPage->encryptButton, window->encryptionPage->fileLabel,
                        window->encryptionPage->certificateLabel,
                        window->encryptionPage->certificateFromFileBox,
                        window->encryptionPage->chooseCertificateButton});
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kEncrypted)
                recorder.recording = true;
            else if (entry.startsWith(QLatin1String("openFolder:")))
                recorder.recording = false;
        };
        encrypt();
        QCOMPARE(recorder.changes, (QStringList{
                                       QStringLiteral("encryptButton disabled"),
                                       QStringLiteral("fileLabel \"\""),
                                       QStringLiteral("certificateLabel \"\""),
                                       QStringLiteral("certificateFromFileBox unticked"),
                                       QStringLiteral("chooseCertificateButton disabled"),
                                   }));
        // Drawn before the handler goes on (the labels shrink to nothing and have nothing to draw).
        QVERIFY2(recorder.paints.contains(QStringLiteral("certificateFromFileBox painted unticked")),
                 qPrintable(recorder.paints.join(", ")));
        QVERIFY2(recorder.paints.contains(QStringLiteral("chooseCertificateButton painted disabled")),
                 qPrintable(recorder.paints.join(", ")));
        QVERIFY2(recorder.paints.contains(QStringLiteral("encryptButton painted disabled")),
                 qPrintable(recorder.paints.join(", ")));
    }

    void existingOutputReplaced() {
        store->add(identity(KeyAlgorithm::Gost2001));
        chooseInput();
        test::writeFile(input + ".enc", "an older message");
        prompts->answerCertificate(0);
        encrypt();
        QCOMPARE(prompts->log.size(), 3);
        checkOpensslDecrypts(input + ".enc", identity(KeyAlgorithm::Gost2001));
    }

    // ---- foreseen outcomes ---------------------------------------------------------------------------

    // Cancelling the dialog, or a certificate file that holds no certificate: "Не выбран сертификат",
    // encryptFileName cleared, recipientCertFileName kept, the page reset, nothing written, no folder.
    void noCertificate_data() {
        QTest::addColumn<bool>("textFile");
        QTest::newRow("dialog cancelled") << false;
        QTest::newRow("certificate file of text") << true;
    }

    void noCertificate() {
        QFETCH(bool, textFile);
        store->add(identity(KeyAlgorithm::Gost2012_512));
        chooseInput();
        std::string certificate = certificateFile(identity(KeyAlgorithm::Gost2012_512));
        if (textFile)
            test::writeFile(certificate, "Это не сертификат\n");
        chooseCertificateFile(certificate);
        if (!textFile) {
            // The certificate file stays chosen while the dialog is used.
            QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
            QCOMPARE(window->encryptionPage->recipientCertFileName, certificate);
            prompts->cancelCertificate();
        }
        PageState atMessage;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kNoCertificate)
                atMessage = pageState(*window);
        };
        encrypt();
        QStringList expected;
        if (!textFile)
            expected << selectEntry({QStringLiteral("Получатель")});
        expected << kNoCertificate;
        QCOMPARE(prompts->log, expected);
        QCOMPARE(atMessage.input, input);
        QCOMPARE(pageState(*window).text(), resetPage("", certificate).text());
        QVERIFY(!test::fileExists(input + ".enc"));
    }

    // The certificate file kept through an untick and tick, or through a cancelled store dialog, is
    // the one "Зашифровать" uses: while the box is ticked, the label shows it.
    void keptCertificateFileIsShown_data() {
        QTest::addColumn<bool>("storeDialogCancelled");
        QTest::newRow("untick and tick") << false;
        QTest::newRow("store dialog cancelled") << true;
    }
    void keptCertificateFileIsShown() {
        QFETCH(bool, storeDialogCancelled);
        store->add(identity(KeyAlgorithm::Gost2012_256, "Другой"));
        chooseInput();
        const std::string certificate = certificateFile(identity(KeyAlgorithm::Gost2012_256));
        chooseCertificateFile(certificate);
        QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
        QCOMPARE(window->encryptionPage->certificateLabel->text(), QString());
        if (storeDialogCancelled) {
            prompts->cancelCertificate();
            encrypt();
            chooseInput();
        }
        QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
        QCOMPARE(window->encryptionPage->certificateLabel->text(), qs(certificate));
        encrypt();
        checkOpensslDecrypts(input + ".enc", identity(KeyAlgorithm::Gost2012_256));
    }

    // ---- errors --------------------------------------------------------------------------------------

    // An error shows in the error report (with the full stop), the page is reset and both slots keep
    // their values; nothing is written and no folder opens.
    void errors_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("certificate file not chosen")
            << "nofile"
            << QStringLiteral("Cannot open file \"\". The system cannot find the path specified.");
        QTest::newRow("RSA recipient")
            << "rsa"
            << QStringLiteral("System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm.");
        QTest::newRow("EC recipient")
            << "ec"
            << QStringLiteral("System Error.  Code: -2146889726.\r\nUnknown cryptographic algorithm.");
        QTest::newRow("input gone") << "gone" << QString();
        QTest::newRow("output cannot be created") << "blocked" << QString();
    }

    void errors() {
        QFETCH(QString, kind);
        QFETCH(QString, expectedError);
        chooseInput();
        std::string certificate;
        QStringList expected;
        if (kind == QLatin1String("nofile")) {
            QVERIFY(app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
        } else if (kind == QLatin1String("rsa") || kind == QLatin1String("ec")) {
            store->add(identity(kind == QLatin1String("rsa") ? KeyAlgorithm::Rsa2048 : KeyAlgorithm::EcP256));
            prompts->answerCertificate(0);
            expected << selectEntry({QStringLiteral("Получатель")});
        } else if (kind == QLatin1String("gone")) {
            ::unlink(input.c_str());
            expectedError =
                QStringLiteral("Cannot open file \"%1\". The system cannot find the file specified.")
                    .arg(qs(input));
        } else {
            store->add(identity(KeyAlgorithm::Gost2012_256));
            certificate = certificateFile(identity(KeyAlgorithm::Gost2012_256));
            chooseCertificateFile(certificate);
            QVERIFY(::mkdir((input + ".enc").c_str(), 0700) == 0); // a folder in the way
            expectedError =
                QStringLiteral("Cannot create file \"%1\". Access is denied.").arg(qs(input + ".enc"));
        }
        const std::vector<std::string> files = test::listFolder(dir->path());
        encrypt();
        expected << QStringLiteral("error: ") + expectedError;
        QCOMPARE(prompts->log, expected);
        QCOMPARE(pageState(*window).text(), resetPage(input, certificate).text());
        QCOMPARE(test::listFolder(dir->path()), files);
    }
};

int main(int argc, char** argv) {
    app::test::useOffscreenWhenHeadless();
    QApplication application(argc, argv);
    TestEncryptWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_encrypt.moc"
