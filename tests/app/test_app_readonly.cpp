// Gated choices of a read-only file. Root ignores permission bits, so this executable drops to
// the unprivileged user "nobody" before anything else when it starts as root.

#include "DecryptionPage.h"
#include "EncryptionPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "VerificationPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;

namespace {

struct Gated {
    const char* row;
    int page;
    const char* button;
    const char* dialog;
    const char* filter;
    std::string& (*slot)(MainWindow&);
    const char* label;
    const char* operation;
};
const Gated kGated[] = {
    {"file to sign", 0, "chooseFileButton", "fileToSignDialog", "",
     [](MainWindow& w) -> std::string& { return w.signingPage->signFileName; }, "fileLabel", "signButton"},
    {"file to encrypt", 2, "chooseFileButton", "fileToEncryptDialog", "",
     [](MainWindow& w) -> std::string& { return w.encryptionPage->encryptFileName; }, "fileLabel",
     "encryptButton"},
    {"file to decrypt", 3, "chooseFileButton", "fileToDecryptDialog", "Зашифрованные файлы|*.enc",
     [](MainWindow& w) -> std::string& { return w.decryptionPage->decryptFileName; }, "fileLabel",
     "decryptButton"},
    {"certificate file", 2, "chooseCertificateButton", "certificateFileDialog",
     "Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem",
     [](MainWindow& w) -> std::string& { return w.encryptionPage->recipientCertFileName; },
     "certificateLabel", nullptr},
};

QString openFileEntry(const Gated& g, const std::string& initial) {
    return QStringLiteral("openFile: %1 filter=\"%2\" initial=\"%3\"")
        .arg(QString::fromUtf8(g.dialog), QString::fromUtf8(g.filter), QString::fromStdString(initial));
}

} // namespace

class TestReadOnlyChoices : public QObject {
    Q_OBJECT

    std::unique_ptr<plombar::test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;

    // A control by its object name, which is unique within its page.
    template <class Control> Control* control(int page, const char* name) const {
        return window->pages->widget(page)->findChild<Control*>(QString::fromLatin1(name));
    }

    std::string fileWithMode(const std::string& name, mode_t mode) {
        const std::string path = dir->file(name);
        plombar::test::writeFile(path, "content");
        if (::chmod(path.c_str(), mode) != 0)
            throw std::runtime_error("chmod " + path);
        return path;
    }
    std::string readOnlyFile(const std::string& name) { return fileWithMode(name, 0444); }

private slots:
    void initTestCase() {
        // Without this the checks below would pass or fail for the wrong reason.
        QVERIFY2(::geteuid() != 0, "still root: permission bits would not apply");
    }

    void init() {
        dir = std::make_unique<plombar::test::TempDir>("plombar-readonly");
        prompts = std::make_unique<ScriptedPrompts>();
        window = std::make_unique<MainWindow>(*prompts);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        window.reset();
        prompts.reset();
        dir.reset();
    }

    void gatedChoiceNeedsReadAccessOnly_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<bool>("afterGoodChoice");
        QTest::addColumn<bool>("readable");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray row = kGated[i].row;
            QTest::newRow(row + " read-only first") << i << false << true;
            QTest::newRow(row + " read-only after a good file") << i << true << true;
            QTest::newRow(row + " unreadable first") << i << false << false;
            QTest::newRow(row + " unreadable after a good file") << i << true << false;
        }
    }

    // A file the user may read but not write is taken like any other: signing, encryption and
    // decryption only read it. One the user may not read is "File access denied.": the slot takes
    // its path, the label and the button stay; the certificate file's label shows that path, which
    // "Зашифровать" will read the certificate from.
    void gatedChoiceNeedsReadAccessOnly() {
        QFETCH(int, handler);
        QFETCH(bool, afterGoodChoice);
        QFETCH(bool, readable);
        const Gated& g = kGated[handler];
        if (g.operation == nullptr)
            window->encryptionPage->certificateFromFileBox->setChecked(true);
        const std::string good = dir->file("good.txt");
        plombar::test::writeFile(good, "x");
        const std::string chosen =
            fileWithMode(readable ? "только чтение.txt" : "нечитаемый.txt", readable ? 0444 : 0200);

        QStringList expected;
        if (afterGoodChoice) {
            prompts->answerFile(good);
            QVERIFY(plombar::app::test::clickEnabled(*window, control<QPushButton>(g.page, g.button)));
            expected << openFileEntry(g, "");
        }
        prompts->answerFile(chosen);
        QVERIFY(plombar::app::test::clickEnabled(*window, control<QPushButton>(g.page, g.button)));
        expected << openFileEntry(g, afterGoodChoice ? good : "");
        if (!readable)
            expected << QStringLiteral("error: File access denied.");

        QCOMPARE(prompts->log, expected);
        QCOMPARE(g.slot(*window), chosen);
        auto* label = control<QLabel>(g.page, g.label);
        const std::string shown = readable || g.operation == nullptr ? chosen
                                  : afterGoodChoice                  ? good
                                                                     : std::string();
        QCOMPARE(label->text(), QString::fromStdString(shown));
        QCOMPARE(
            control<QPushButton>(g.page, g.operation != nullptr ? g.operation : "encryptButton")->isEnabled(),
            g.operation != nullptr && (readable || afterGoodChoice));
    }

    // Signing, encrypting and decrypting only read their input: a read-only file signs and encrypts,
    // and a read-only envelope decrypts (elsewhere), without any error.
    void readOnlyFilesSignEncryptAndDecrypt() {
        plombar::test::TestStore store;
        store.add(
            plombar::test::makeIdentity(plombar::crypto::KeyAlgorithm::Gost2012_256, "CN=Только чтение"));
        const std::string input = readOnlyFile("отчёт.txt");
        const auto run = [&](QPushButton* choose, QPushButton* operation, const std::string& file) {
            prompts->answerFile(file);
            QVERIFY(plombar::app::test::clickEnabled(*window, choose));
            QVERIFY(plombar::app::test::clickEnabled(*window, operation));
        };
        prompts->answerCertificate(0);
        run(window->signingPage->chooseFileButton, window->signingPage->signButton, input);
        QVERIFY(plombar::test::fileExists(input + ".sig"));

        prompts->answerCertificate(0);
        run(window->encryptionPage->chooseFileButton, window->encryptionPage->encryptButton, input);
        QVERIFY(plombar::test::fileExists(input + ".enc"));

        plombar::test::TempDir other("plombar-readonly-out");
        const std::string envelope = other.file("отчёт.txt.enc");
        plombar::test::writeFile(envelope, plombar::test::readFile(input + ".enc"));
        plombar::app::test::makeReadOnly(envelope);
        run(window->decryptionPage->chooseFileButton, window->decryptionPage->decryptButton, envelope);
        QCOMPARE(plombar::test::readFile(other.file("отчёт.txt")), std::string("content"));

        QCOMPARE(prompts->log.filter(QStringLiteral("error:")), QStringList());
        QCOMPARE(prompts->unscripted(), QStringList());
        QCOMPARE(prompts->pendingAnswers(), QStringList());
    }

    // The verification page reads files only later: a read-only file is taken as it is.
    void verificationTakesReadOnlyFiles() {
        const std::string data = readOnlyFile("данные.txt");
        const std::string signature = readOnlyFile("данные.txt.sig");
        prompts->answerFile(data);
        prompts->answerFile(signature);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->dataFileButton));
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->signatureFileButton));
        QCOMPARE(prompts->log.filter(QStringLiteral("error:")), QStringList());
        QCOMPARE(window->verificationPage->verifyDataFileName, data);
        QCOMPARE(window->verificationPage->verifySignatureFileName, signature);
        QVERIFY(window->verificationPage->verifyButton->isEnabled());
    }
};

int main(int argc, char** argv) {
    if (!plombar::app::test::dropRootRights()) {
        std::perror("cannot drop root rights");
        return 1;
    }
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    TestReadOnlyChoices test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_readonly.moc"
