// The window under faults: file names with blanks, line breaks, Cyrillic and leading dashes in every
// operation; files that grew past memory after they were chosen; the reason for a refused key on
// standard error; and a typed password that leaves no copy in the process's memory.

#include "DecryptionPage.h"
#include "EncryptionPage.h"
#include "FaultSupport.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "VerificationPage.h"

#include "CertificateDialogs.h"
#include "CryptoStartup.h"
#include "operations/SignFlow.h"
#include "operations/VerifyFlow.h"
#include "platform/FileSize.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "sevenzip/PackSignedPair.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

using plombar::app::MainWindow;
using plombar::app::test::clickEnabled;
using plombar::app::test::ScriptedPrompts;
using namespace plombar;
using namespace plombar::faults;

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// Standard error, caught in a file for the object's lifetime.
class StderrCapture {
public:
    StderrCapture() : file_("plombar-stderr") {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(file_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return test::readFile(file_.file("err"));
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    test::TempDir file_;
    int saved_ = -1;
};

// Types `text` character by character as key presses carrying the text (QTest's own helper types
// Latin-1 only).
void typeText(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

// A soft address-space limit on this process for the object's lifetime: what it uses now and
// `room` more.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(std::uint64_t room) {
        ::getrlimit(RLIMIT_AS, &saved_);
        std::ifstream statm("/proc/self/statm");
        std::uint64_t pages = 0;
        statm >> pages;
        const rlimit limit{pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + room,
                           saved_.rlim_max};
        ::setrlimit(RLIMIT_AS, &limit);
    }
    ~AddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &saved_); }

private:
    rlimit saved_{};
};

} // namespace

class TestWindowFaults : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestStore> store;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    test::TestIdentity identity = test::makeIdentity(crypto::KeyAlgorithm::Gost2012_256, "CN=Подписант");
    std::string thumbprint;

    void choose(QPushButton* button, const std::string& path) {
        prompts->answerFile(path);
        QVERIFY(clickEnabled(*window, button));
    }

    void click(QPushButton* button) { QVERIFY(clickEnabled(*window, button)); }

private slots:
    void initTestCase() { ::setenv("LC_ALL", "C.UTF-8", 1); }

    void init() {
        store = std::make_unique<test::TestStore>();
        thumbprint = store->add(identity);
        dir = std::make_unique<test::TempDir>("plombar-window-faults");
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

    // ---- awkward names -------------------------------------------------------------------------------

    void awkwardNamesInEveryOperation_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("blanks") << "папка с пробелами"
                                << "отчёт за май 2024.pdf";
        QTest::newRow("line break") << "две\nстроки"
                                    << "имя\nс переводом строки.txt";
        QTest::newRow("leading dashes") << "-папка"
                                        << "-x";
        QTest::newRow("option-like") << "--"
                                     << "--help";
        QTest::newRow("quotes and shell characters") << "$(echo) `x` 'y'"
                                                     << "\"a\"; rm -rf *.txt";
        QTest::newRow("tab and carriage return") << "таб\tпапка"
                                                 << "файл\r.bin";
    }

    // Sign (Base64, packed), verify, encrypt for a certificate file, decrypt: the outputs land under
    // the names made from the input's, and each page opens the right folder.
    void awkwardNamesInEveryOperation() {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        const std::string folderPath = dir->file(folder.toStdString());
        QCOMPARE(::mkdir(folderPath.c_str(), 0700), 0);
        const std::string input = folderPath + "/" + name.toStdString();
        const std::string content = test::randomBytes(3000, 5) + "конец";
        test::writeFile(input, content);
        const std::string certificate = folderPath + "/-получатель " + name.toStdString() + ".cer";
        test::writeFile(certificate, identity.der());

        // Signing, Base64, packed with the signed file.
        choose(window->signingPage->chooseFileButton, input);
        window->signingPage->packBox->setChecked(true);
        window->signingPage->base64Box->setChecked(true);
        prompts->answerCertificate(0);
        prompts->log.clear();
        click(window->signingPage->signButton);
        const std::string signature = input + ".p7s";
        const std::string archive = sevenzip::signedPairArchivePath(signature);
        QCOMPARE(prompts->log,
                 QStringList(
                     {QStringLiteral("selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" "
                                     "[Подписант]"),
                      QStringLiteral("message: Подписанное сообщение создано"),
                      qs("message: " + sevenzip::archiveCreatedMessage(archive)),
                      qs("openFolder: " + folderPath + "/")}));
        QVERIFY(test::fileExists(signature));
        // The archive holds the pair under their bare names (7z's listing shows control characters as
        // "_", so it is unpacked and looked at).
        const test::TempDir unpacked("plombar-unpacked");
        QCOMPARE(test::runCommand("7z x -bd -y -o" + test::shellQuote(unpacked.path()) + " " +
                                  test::shellQuote(archive) + " >/dev/null"),
                 0);
        QCOMPARE(test::listFolder(unpacked.path()),
                 std::vector<std::string>({name.toStdString(), name.toStdString() + ".p7s"}));
        QVERIFY(test::readFile(unpacked.file(name.toStdString())) == content);
        QVERIFY(test::readFile(unpacked.file(name.toStdString() + ".p7s")) == test::readFile(signature));

        // Verification of that pair.
        choose(window->verificationPage->dataFileButton, input);
        choose(window->verificationPage->signatureFileButton, signature);
        prompts->log.clear();
        click(window->verificationPage->verifyButton);
        QCOMPARE(prompts->log, QStringList({QStringLiteral("viewCertificate: Подписант")}));
        QCOMPARE(window->verificationPage->reportArea->toPlainText().split(QLatin1Char('\n')).mid(0, 2),
                 QStringList({operations::kVerifyHeaderLine, operations::kSignatureValidLine}));

        // Encryption for the certificate file, then decryption of the result into a fresh name.
        choose(window->encryptionPage->chooseFileButton, input);
        QVERIFY(clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
        choose(window->encryptionPage->chooseCertificateButton, certificate);
        prompts->log.clear();
        click(window->encryptionPage->encryptButton);
        QCOMPARE(prompts->log, QStringList({QStringLiteral("message: Файл зашифрован"),
                                            qs("openFolder: " + folderPath + "/")}));
        QVERIFY(::unlink(input.c_str()) == 0);
        choose(window->decryptionPage->chooseFileButton, input + ".enc");
        prompts->log.clear();
        click(window->decryptionPage->decryptButton);
        QCOMPARE(prompts->log, QStringList({QStringLiteral("message: Расшифрован"),
                                            qs("openFolder: " + folderPath + "/")}));
        QVERIFY(test::readFile(input) == content);
        QCOMPARE(temporaryFilesIn(folderPath), std::vector<std::string>());
    }

    // ---- cancel ------------------------------------------------------------------------------------

    void cancelledRunLeavesNothing_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("output"); // appended to the input's path
        QTest::newRow("signing") << "sign"
                                 << "Подпись"
                                 << ".sig";
        QTest::newRow("Base64 signing") << "sign base64"
                                        << "Подпись"
                                        << ".p7s";
        QTest::newRow("encryption") << "encrypt"
                                    << "Шифрование"
                                    << ".enc";
        QTest::newRow("decryption") << "decrypt"
                                    << "Расшифровка"
                                    << "";
    }

    // "Отмена" pressed midway through a multi-megabyte file: the user is told plainly, no output and
    // no temporary file remain, and the page can run again.
    void cancelledRunLeavesNothing() {
        QFETCH(QString, operation);
        QFETCH(QString, stage);
        QFETCH(QString, output);
        const std::string input = dir->file("большой.bin");
        test::writeFile(input, test::randomBytes(6 * 1024 * 1024, 9));
        const std::string certificate = dir->file("получатель.cer");
        test::writeFile(certificate, identity.der());
        QPushButton* run = nullptr;
        QStringList expected;
        if (operation.startsWith(QStringLiteral("sign"))) {
            choose(window->signingPage->chooseFileButton, input);
            window->signingPage->base64Box->setChecked(operation.endsWith(QStringLiteral("base64")));
            prompts->answerCertificate(0);
            expected << QStringLiteral(
                "selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" "
                "[Подписант]");
            run = window->signingPage->signButton;
        } else {
            choose(window->encryptionPage->chooseFileButton, input);
            QVERIFY(clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
            choose(window->encryptionPage->chooseCertificateButton, certificate);
            run = window->encryptionPage->encryptButton;
            if (operation == QStringLiteral("decrypt")) {
                click(run);
                QVERIFY(::unlink(input.c_str()) == 0);
                choose(window->decryptionPage->chooseFileButton, input + ".enc");
                run = window->decryptionPage->decryptButton;
            }
        }
        prompts->log.clear();
        prompts->cancelProgressAt(2 * 1024 * 1024, stage.toStdString());
        click(run);
        expected << QStringLiteral("progress: ") + stage << QStringLiteral("cancel: ") + stage
                 << QStringLiteral("message: Операция отменена пользователем");
        QCOMPARE(prompts->log, expected);
        QVERIFY(!test::fileExists(input + output.toStdString()));
        QCOMPARE(temporaryFilesIn(dir->path()), std::vector<std::string>());
    }

    // ---- saves -----------------------------------------------------------------------------------------

    void savesOverTheFileSizeLimit_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("output"); // appended to the input's path
        QTest::newRow("signature") << 0 << ".sig";
        QTest::newRow("Base64 signature") << 1 << ".p7s";
        QTest::newRow("archive of the pair") << 2 << ".p7s.7z";
        QTest::newRow("envelope") << 3 << ".enc";
        QTest::newRow("decrypted file") << 4 << "";
    }

    // Each page's output at the file size limit: the application's error report names the file with
    // the system's text, an older file of that name stays whole, and no temporary file is left.
    void savesOverTheFileSizeLimit() {
        QFETCH(int, page);
        QFETCH(QString, output);
        const std::string input = dir->file("отчёт.bin");
        const std::string content = test::randomBytes(64 << 10, 9);
        test::writeFile(input, content);
        QPushButton* run = nullptr;
        std::uint64_t limit = 256;
        if (page <= 2) {
            choose(window->signingPage->chooseFileButton, input);
            window->signingPage->base64Box->setChecked(page >= 1);
            window->signingPage->packBox->setChecked(page == 2);
            prompts->answerCertificate(0);
            run = window->signingPage->signButton;
            if (page == 2)
                limit = 16 << 10; // the signature fits, the archive does not
        } else if (page == 3) {
            choose(window->encryptionPage->chooseFileButton, input);
            prompts->answerCertificate(0);
            run = window->encryptionPage->encryptButton;
        } else {
            choose(window->encryptionPage->chooseFileButton, input);
            prompts->answerCertificate(0);
            click(window->encryptionPage->encryptButton);
            test::writeFile(input, "precious");
            choose(window->decryptionPage->chooseFileButton, input + ".enc");
            run = window->decryptionPage->decryptButton;
        }
        const std::string target = input + output.toStdString();
        test::writeFile(target, "precious");
        prompts->log.clear();
        {
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            const rlimit small{limit, saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &small);
            click(run);
            ::setrlimit(RLIMIT_FSIZE, &saved);
        }
        const QString error = QStringLiteral("error: Cannot create file \"%1\". %2.")
                                  .arg(qs(target), qs(systemMessage(winerr::ERROR_FILE_TOO_LARGE)));
        QVERIFY2(prompts->log.contains(error), qPrintable(prompts->log.join('\n')));
        QCOMPARE(test::readFile(target), std::string("precious"));
        QCOMPARE(temporaryFilesIn(dir->path()), std::vector<std::string>());
    }

    // ---- memory ---------------------------------------------------------------------------------------

    // Files that grew far beyond memory after they were chosen: each page reports the failed load and
    // the window goes on working. Signing, verification, encryption and decryption stream their input
    // and need no memory for it (a grown message is read as far as it shows itself to be none); a
    // certificate file is still read whole.
    void filesBeyondMemory_data() {
        QTest::addColumn<int>("page");
        QTest::newRow("encryption: certificate file") << 4;
        QTest::newRow("decryption") << 5;
    }
    void filesBeyondMemory() {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer reserves terabytes of address space, so an address-space limit leaves it "
              "unable to map its own memory");
#endif
        QFETCH(int, page);
        const std::uint64_t huge = std::uint64_t{8} << 30;
        const std::string small = dir->file("небольшой.txt");
        test::writeFile(small, "небольшой");
        const std::string grown = dir->file("выросший.bin");
        test::writeFile(grown, "сначала небольшой");
        const std::string certificate = dir->file("сертификат.cer");
        test::writeFile(certificate, identity.der());
        operations::SignResult signedSmall;
        {
            struct QuietSign : operations::Interaction {
                std::string thumbprint;
                test::ScriptedPasswords noPasswords{{}};
                std::optional<std::size_t>
                chooseCertificate(const std::string&,
                                  const std::vector<crypto::StoreEntry>& entries) override {
                    for (std::size_t i = 0; i < entries.size(); ++i)
                        if (entries[i].certificate.thumbprint() == thumbprint)
                            return i;
                    return std::nullopt;
                }
                void showMessage(const std::string&) override {}
                void showCertificate(const crypto::Certificate&) noexcept override {}
                void openFolder(const std::string&) override {}
                crypto::PasswordSource& passwords() override { return noPasswords; }
            } interaction;
            interaction.thumbprint = thumbprint;
            operations::SignRequest request;
            request.inputPath = small;
            signedSmall = operations::signFile(request, interaction);
            QCOMPARE(signedSmall.outcome, operations::SignOutcome::Signed);
        }

        QPushButton* run = nullptr;
        switch (page) {
        case 4:
            choose(window->encryptionPage->chooseFileButton, small);
            QVERIFY(clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
            choose(window->encryptionPage->chooseCertificateButton, certificate);
            makeSparseFile(certificate, huge); // grows after the gate let it through
            run = window->encryptionPage->encryptButton;
            break;
        default:
            choose(window->decryptionPage->chooseFileButton, grown);
            run = window->decryptionPage->decryptButton;
            break;
        }
        makeSparseFile(grown, huge);
        prompts->log.clear();
        {
            AddressSpaceLimit limit(std::uint64_t{1} << 30);
            click(run);
        }
        QStringList expected;
        expected << (page == 5 ? QStringLiteral("message: ASN1 bad tag value met - 2148086027")
                               : QStringLiteral("error: Out of memory while expanding memory stream."));
        QCOMPARE(prompts->log, expected);

        // The window is alive: the next run, with files that fit, completes.
        choose(window->verificationPage->dataFileButton, small);
        choose(window->verificationPage->signatureFileButton, signedSmall.signaturePath);
        prompts->log.clear();
        click(window->verificationPage->verifyButton);
        QCOMPARE(prompts->log, QStringList({QStringLiteral("viewCertificate: Подписант")}));
        QCOMPARE(window->verificationPage->reportArea->toPlainText().split(QLatin1Char('\n')).value(1),
                 qs(operations::kSignatureValidLine));
    }

    // ---- the store folder ---------------------------------------------------------------------------

    // A store folder others can write to may hold a planted key or recipient: the window refuses it
    // in the error report, before any dialog, and writes nothing.
    void storeFolderOthersCanWriteToIsRefused() {
        const std::string input = dir->file("документ.txt");
        test::writeFile(input, "документ");
        QCOMPARE(::chmod(store->folder().c_str(), 0777), 0);
        choose(window->signingPage->chooseFileButton, input);
        prompts->log.clear();
        click(window->signingPage->signButton);
        QCOMPARE(
            prompts->log,
            QStringList({"error: Папка хранилища «" + qs(store->folder()) +
                         "» доступна для записи другим пользователям (права 0777): в неё могут подложить "
                         "чужие сертификаты и ключи. Хранилище не будет использовано; оставьте запись "
                         "только владельцу: выполните chmod 700 «" +
                         qs(store->folder()) + "»."}));
        QCOMPARE(test::listFolder(dir->path()), std::vector<std::string>{"документ.txt"});
    }

    // ---- keys -----------------------------------------------------------------------------------------

    // A key file that others may read: the window shows the system's fixed text, and the reason goes
    // to standard error for whoever looks there.
    void refusedKeyReasonGoesToStandardError() {
        QCOMPARE(::chmod(store->keyFile(thumbprint).c_str(), 0644), 0);
        const std::string input = dir->file("документ.txt");
        test::writeFile(input, "документ");
        choose(window->signingPage->chooseFileButton, input);
        prompts->answerCertificate(0);
        prompts->log.clear();
        StderrCapture captured;
        click(window->signingPage->signButton);
        const std::string err = captured.text();
        QCOMPARE(prompts->log,
                 QStringList(
                     {QStringLiteral("selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" "
                                     "[Подписант]"),
                      QStringLiteral("message: Не удалось определить криптопровайдер")}));
        QCOMPARE(qs(err),
                 qs("plombar: подпись: Права доступа к файлу закрытого ключа «" + store->keyFile(thumbprint) +
                    "» слишком широкие (0644): его могут читать другие пользователи. Ключ не будет "
                    "использован; оставьте доступ только владельцу: chmod 600 «" +
                    store->keyFile(thumbprint) + "»\n"));
    }

    // The decryption page says why too.
    void refusedKeyReasonOnDecryption() {
        const std::string input = dir->file("письмо.txt");
        test::writeFile(input, "письмо");
        choose(window->encryptionPage->chooseFileButton, input);
        prompts->answerCertificate(0);
        click(window->encryptionPage->encryptButton);
        QCOMPARE(::chmod(store->keyFile(thumbprint).c_str(), 0640), 0);
        choose(window->decryptionPage->chooseFileButton, input + ".enc");
        prompts->log.clear();
        StderrCapture captured;
        click(window->decryptionPage->decryptButton);
        const std::string err = captured.text();
        QCOMPARE(prompts->log.size(), 1);
        QVERIFY(prompts->log[0].startsWith(QStringLiteral("message: ")));
        QVERIFY2(err.rfind("plombar: расшифровка: ", 0) == 0, err.c_str());
        QVERIFY2(err.find("слишком широкие (0640)") != std::string::npos, err.c_str());
    }

    // A password typed into the dialog: once taken, neither its UTF-16 window (the widget's) nor its
    // UTF-8 window (the caller's, wiped after use as the key prompt does) is anywhere in memory.
    void typedPasswordLeavesNoCopy() {
        // The needles are kept reversed, so that the test itself holds no copy of the password.
        std::string forwards = "Сложный-пароль-Key5!";
        const std::string backwards = reversed(forwards);
        QString typed = QString::fromStdString(forwards);
        OPENSSL_cleanse(forwards.data(), forwards.size());
        QByteArray utf16(reinterpret_cast<const char*>(typed.utf16()), typed.size() * 2);
        std::reverse(utf16.begin(), utf16.end());
        const std::vector<std::string> needles = {backwards, utf16.toStdString()};
        std::fill(utf16.begin(), utf16.end(), '\0');

        std::string password;
        {
            app::PasswordDialog dialog("Подписант");
            typeText(dialog.passwordEdit(), typed);
            std::fill_n(typed.data(), typed.size(), QChar(u'\0'));
            // A correction, as users make them: the undo history then holds a removal too.
            QTest::keyClick(dialog.passwordEdit(), Qt::Key_Backspace);
            typeText(dialog.passwordEdit(), QStringLiteral("!"));
            QCOMPARE(dialog.passwordEdit()->text().size(), 20);
            password = dialog.takePassword();
            QCOMPARE(dialog.passwordEdit()->text(), QString());
        }
        QCOMPARE(password.size(), backwards.size());
        OPENSSL_cleanse(password.data(), password.size());
        QCoreApplication::processEvents();
        const std::vector<std::size_t> hits = scanOwnMemory(needles);
        QCOMPARE(hits[0], std::size_t{0});
        QCOMPARE(hits[1], std::size_t{0});
    }
};

int main(int argc, char** argv) {
    app::test::useOffscreenWhenHeadless();
    ignoreFileSizeSignal(); // as the program's main does
    QApplication application(argc, argv);
    TestWindowFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_faults.moc"
