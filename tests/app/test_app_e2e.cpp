// The whole road through one window, as a user takes it: sign a file (detached, Base64, packed into
// 7z), unpack the archive with the 7z command and verify the unpacked pair on the verification page,
// encrypt the original for a certificate file exported from the store, and decrypt it back byte for
// byte. The four pages are saved as PNG after every step, and the real Qt dialogs of the prompts
// (selection, view, password, message boxes) are saved too; every text shown must fit its control
// and have a glyph in its font.

#include "CertificateDialogs.h"
#include "CryptoStartup.h"
#include "DecryptionPage.h"
#include "EncryptionPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "QtPrompts.h"
#include "ScriptedPrompts.h"
#include "SevenZipTestSupport.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "VerificationPage.h"
#include "crypto/CertificateStore.h"
#include "crypto/TrustReport.h"
#include "operations/DecryptFlow.h"
#include "operations/EncryptFlow.h"
#include "operations/SignFlow.h"
#include "operations/VerifyFlow.h"
#include "platform/Paths.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>

using namespace plombar;
using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;
using plombar::crypto::KeyAlgorithm;
using plombar::test::TestIdentity;
using plombar::test::TestStore;

namespace {

const char* const kPageNames[] = {"signing", "verification", "encryption", "decryption", "certificates"};
const std::string kPassword = "пароль ключа";
const std::string kSubject = "CN=Иванов Иван Иванович, O=ООО «Ромашка», C=RU";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QString screenshotPath(const QString& name) {
    QDir().mkpath(QStringLiteral(PLOMBAR_SCREENSHOT_DIR));
    return QStringLiteral(PLOMBAR_SCREENSHOT_DIR "/") + name + QStringLiteral(".png");
}

// Every character of `text` (blanks and line breaks aside) has a glyph in `font`: a missing font
// draws every letter as a box and Qt says nothing.
void checkGlyphs(const QFont& font, const QString& text, const QString& where) {
    const QFontMetrics metrics(font);
    for (const uint c : text.toUcs4()) {
        if (QChar::isSpace(c) || QChar::category(c) == QChar::Other_Control)
            continue;
        QVERIFY2(metrics.inFontUcs4(c),
                 qPrintable(where +
                            QStringLiteral(": no glyph for U+%1 in ").arg(c, 4, 16, QLatin1Char('0')) +
                            font.family() + QStringLiteral(" in \"") + text + '"'));
    }
}

int widestLine(const QFontMetrics& metrics, const QString& text) {
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

// Every text that `root` shows fits its control (nothing clipped) and has its glyphs: captions of
// buttons and check boxes, labels (also against the widget that holds them), tabs, text areas,
// line edits (the password dots too), list and table cells and their headers.
void checkShownTexts(QWidget* root, const QString& where) {
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (!w->isVisibleTo(root) && w != root)
            continue;
        const QString name =
            where + QLatin1Char('/') +
            (w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName());
        if (auto* b = qobject_cast<QAbstractButton*>(w); b != nullptr && !b->text().isEmpty()) {
            checkGlyphs(b->font(), b->text(), name);
            QVERIFY2(b->width() >= b->sizeHint().width() && b->height() >= b->sizeHint().height(),
                     qPrintable(name + QStringLiteral(" \"") + b->text() + QStringLiteral("\" is clipped")));
            QVERIFY2(
                b->fontMetrics().horizontalAdvance(b->text()) <= b->contentsRect().width(),
                qPrintable(name + QStringLiteral(" \"") + b->text() + QStringLiteral("\" is wider than it")));
        } else if (auto* l = qobject_cast<QLabel*>(w); l != nullptr && !l->text().isEmpty()) {
            checkGlyphs(l->font(), l->text(), name);
            const QRect inner = l->contentsRect();
            if (l->wordWrap())
                QVERIFY2(
                    l->heightForWidth(l->width()) <= l->height(),
                    qPrintable(name + QStringLiteral(" \"") + l->text() + QStringLiteral("\" is cut off")));
            else
                QVERIFY2(
                    widestLine(l->fontMetrics(), l->text()) <= inner.width(),
                    qPrintable(name + QStringLiteral(" \"") + l->text() + QStringLiteral("\" is clipped")));
            if (l != root && l->parentWidget() != nullptr)
                QVERIFY2(l->parentWidget()->rect().contains(l->geometry()),
                         qPrintable(name + QStringLiteral(" \"") + l->text() +
                                    QStringLiteral("\" runs out of the widget that holds it")));
        } else if (auto* t = qobject_cast<QTabBar*>(w)) {
            for (int i = 0; i < t->count(); ++i) {
                checkGlyphs(t->font(), t->tabText(i), name);
                QVERIFY2(t->fontMetrics().horizontalAdvance(t->tabText(i)) < t->tabRect(i).width(),
                         qPrintable(name + QStringLiteral(" tab \"") + t->tabText(i) +
                                    QStringLiteral("\" is clipped")));
            }
        } else if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
            checkGlyphs(e->font(), e->toPlainText(), name);
        } else if (auto* line = qobject_cast<QLineEdit*>(w); line != nullptr && !line->text().isEmpty()) {
            const QString shown = line->echoMode() == QLineEdit::Password
                                      ? QString(QChar(line->style()->styleHint(
                                            QStyle::SH_LineEdit_PasswordCharacter, nullptr, line)))
                                      : line->text();
            checkGlyphs(line->font(), shown, name);
        } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
            const QTreeWidgetItem* header = tree->headerItem();
            for (int c = 0; c < tree->columnCount(); ++c) {
                checkGlyphs(tree->font(), header->text(c), name);
                QVERIFY2(tree->columnWidth(c) >= tree->fontMetrics().horizontalAdvance(header->text(c)),
                         qPrintable(name + QStringLiteral(" header \"") + header->text(c) +
                                    QStringLiteral("\" is clipped")));
                for (int r = 0; r < tree->topLevelItemCount(); ++r)
                    checkGlyphs(tree->font(), tree->topLevelItem(r)->text(c), name);
            }
            // Every column in sight, without scrolling sideways.
            QVERIFY2(tree->header()->length() <= tree->viewport()->width(),
                     qPrintable(name + QStringLiteral(": columns %1 px wide in %2 px")
                                           .arg(tree->header()->length())
                                           .arg(tree->viewport()->width())));
        } else if (auto* table = qobject_cast<QTableWidget*>(w)) {
            for (int r = 0; r < table->rowCount(); ++r)
                for (int c = 0; c < table->columnCount(); ++c)
                    if (const QTableWidgetItem* item = table->item(r, c))
                        checkGlyphs(table->font(), item->text(), name);
        }
        if (w->isWindow() && !w->windowTitle().isEmpty())
            checkGlyphs(w->font(), w->windowTitle(), name + QStringLiteral(" title"));
    }
}

void saveShot(QWidget* widget, const QString& name) {
    QVERIFY2(widget->grab().save(screenshotPath(name)), qPrintable(name));
}

// Runs `act` on the dialog of type T once it is the active modal widget; a different dialog in its
// place is closed, so that the test fails instead of hanging.
template <class T> void whenModal(std::function<void(T*)> act, bool* seen) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, act, seen] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *seen = true;
            act(w);
            if (QApplication::activeModalWidget() == w)
                w->close();
        } else if (deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
            if (auto* other = QApplication::activeModalWidget())
                other->close();
        }
    });
    timer->start(10);
}

// Catches the folder openings of the real prompts, so that no file manager starts.
class FolderCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    TestIdentity identity;
    std::unique_ptr<TestStore> store;
    std::string thumbprint;

    // The pages of `window` as they are now, under "<step>-<n>-<page>.png"; the page that was
    // shown stays shown.
    void savePages(MainWindow& window, const QString& step) {
        const int shown = window.pages->currentIndex();
        for (int i = 0; i < window.pages->count(); ++i) {
            window.pages->setCurrentIndex(i);
            const QString name = step + QStringLiteral("-%1-").arg(i + 1) + QLatin1String(kPageNames[i]);
            checkShownTexts(&window, name);
            saveShot(&window, name);
        }
        window.pages->setCurrentIndex(shown);
    }

private slots:
    void initTestCase() {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        identity = test::makeIdentity(KeyAlgorithm::Gost2012_256, kSubject);
        store = std::make_unique<TestStore>();
        thumbprint = store->add(identity, TestStore::Key::Encrypted, kPassword, "Подпись Иванова");
    }

    void cleanupTestCase() {
        store.reset();
        identity = {};
    }

    void signVerifyEncryptDecrypt() {
        test::TempDir dir("plombar-e2e");
        const std::string input = dir.file("Договор поставки № 17 «Ромашка».pdf");
        const std::string content = std::string("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n", 15) +
                                    test::wordText(250000, 17) + test::randomBytes(40000, 17);
        test::writeFile(input, content);

        ScriptedPrompts prompts;
        MainWindow window(prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        savePages(window, QStringLiteral("0-start"));
        const QString folder = QStringLiteral("openFolder: ") + qs(dir.path() + "/");
        const QString password = QStringLiteral("password: ") + qs(kSubject);

        // ---- 1. sign: detached, Base64, packed ------------------------------------------------------
        prompts.answerFile(input);
        QVERIFY(app::test::clickEnabled(window, window.signingPage->chooseFileButton));
        QVERIFY(app::test::clickEnabled(window, window.signingPage->base64Box));
        QVERIFY(app::test::clickEnabled(window, window.signingPage->packBox));
        QVERIFY(window.signingPage->packBox->isChecked() && window.signingPage->base64Box->isChecked() &&
                !window.signingPage->attachedBox->isChecked());
        checkShownTexts(&window, QStringLiteral("1-signing-chosen"));
        saveShot(&window, QStringLiteral("1-signing-chosen"));
        prompts.answerCertificate(0);
        prompts.answerPassword(kPassword);
        QString cursorAtArchive;
        prompts.onPrompt = [&](const QString& entry) {
            if (entry.startsWith(QStringLiteral("message: Создан архив:")))
                cursorAtArchive = QApplication::overrideCursor() != nullptr &&
                                          QApplication::overrideCursor()->shape() == Qt::WaitCursor
                                      ? QStringLiteral("wait")
                                      : QStringLiteral("normal");
        };
        QVERIFY(app::test::clickEnabled(window, window.signingPage->signButton));
        prompts.onPrompt = nullptr;
        const std::string signature = input + ".p7s";
        const std::string archive = signature + ".7z";
        QCOMPARE(prompts.log,
                 (QStringList{
                     QStringLiteral("openFile: fileToSignDialog filter=\"\" initial=\"\""),
                     QStringLiteral("selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" "
                                    "[Иванов Иван Иванович]"),
                     password, QStringLiteral("message: Подписанное сообщение создано"),
                     QStringLiteral("message: Создан архив:") + qs(archive), folder}));
        QCOMPARE(cursorAtArchive, QStringLiteral("wait"));
        QVERIFY(!window.signingPage->packBox->isChecked() && !window.signingPage->base64Box->isChecked() &&
                !window.signingPage->attachedBox->isChecked());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        savePages(window, QStringLiteral("1-signed"));
        prompts.log.clear();

        // ---- 2. unpack with 7z, verify the unpacked pair ---------------------------------------------
        const std::string unpacked = dir.file("распаковано");
        std::string log;
        QVERIFY2(test::run7z("x -o" + test::shellQuote(unpacked) + " " + test::shellQuote(archive), &log) ==
                     0,
                 log.c_str());
        QCOMPARE(test::listFolder(unpacked),
                 (std::vector<std::string>{fileNameOf(input), fileNameOf(signature)}));
        const std::string unpackedInput = unpacked + "/" + fileNameOf(input);
        const std::string unpackedSignature = unpacked + "/" + fileNameOf(signature);
        prompts.answerFile(unpackedInput);
        QVERIFY(app::test::clickEnabled(window, window.verificationPage->dataFileButton));
        prompts.answerFile(unpackedSignature);
        QVERIFY(app::test::clickEnabled(window, window.verificationPage->signatureFileButton));
        checkShownTexts(&window, QStringLiteral("2-verification-chosen"));
        saveShot(&window, QStringLiteral("2-verification-chosen"));
        QVERIFY(app::test::clickEnabled(window, window.verificationPage->verifyButton));
        QCOMPARE(prompts.log,
                 (QStringList{QStringLiteral("openFile: dataFileDialog filter=\"\" initial=\"\""),
                              QStringLiteral(
                                  "openFile: signatureFileDialog "
                                  "filter=\"Signature|*.sig|PKCS7|*.p7s|Подписи|*.sig;*.p7s\" initial=\"\""),
                              QStringLiteral("viewCertificate: Иванов Иван Иванович")}));
        const QStringList report =
            window.verificationPage->reportArea->toPlainText().split(QLatin1Char('\n'));
        // Eight lines, then the signer's chain and revocation lines (and the signing time, when signed).
        QVERIFY2(report.size() == 10 || report.size() == 11,
                 qPrintable(window.verificationPage->reportArea->toPlainText()));
        QVERIFY2(report[8] == qs(crypto::kChainBuiltLine) ||
                     report[8].startsWith(qs(crypto::kChainNotBuiltPrefix)),
                 qPrintable(report[8]));
        QVERIFY2(report[9] == qs(crypto::kNotRevokedLine) ||
                     report[9].startsWith(qs(crypto::kRevocationUnknownPrefix)),
                 qPrintable(report[9]));
        QCOMPARE(report[0], qs(operations::kVerifyHeaderLine));
        QCOMPARE(report[1], qs(operations::kSignatureValidLine));
        QVERIFY(report[2].startsWith(qs(operations::kSerialNumberPrefix)));
        QCOMPARE(report[3], qs(operations::kCertificateInPeriodLine));
        QCOMPARE(report[4], qs(operations::kSubjectHeaderLine));
        QVERIFY2(report[5].contains(QStringLiteral("Иванов Иван Иванович")), qPrintable(report[5]));
        QCOMPARE(report[6], qs(operations::kIssuerHeaderLine));
        QVERIFY2(report[7].contains(QStringLiteral("ООО «Ромашка»")), qPrintable(report[7]));
        savePages(window, QStringLiteral("2-verified"));
        prompts.log.clear();

        // ---- 3. encrypt the original for a certificate file exported from the store --------------------
        const std::string certificate = dir.file("Иванов.cer");
        QVERIFY2(test::runCommand(test::shellQuote(PLOMBAR_CLI_PATH) + " store export " + thumbprint +
                                      " --out " + test::shellQuote(certificate) + " 2>&1",
                                  &log) == 0,
                 log.c_str());
        QVERIFY(test::readFile(certificate) == identity.der());
        QVERIFY(app::test::clickEnabled(window, window.encryptionPage->certificateFromFileBox));
        prompts.answerFile(certificate);
        QVERIFY(app::test::clickEnabled(window, window.encryptionPage->chooseCertificateButton));
        prompts.answerFile(input);
        QVERIFY(app::test::clickEnabled(window, window.encryptionPage->chooseFileButton));
        checkShownTexts(&window, QStringLiteral("3-encryption-chosen"));
        saveShot(&window, QStringLiteral("3-encryption-chosen"));
        QVERIFY(app::test::clickEnabled(window, window.encryptionPage->encryptButton));
        QCOMPARE(prompts.log,
                 (QStringList{QStringLiteral(
                                  "openFile: certificateFileDialog "
                                  "filter=\"Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem\" initial=\"\""),
                              QStringLiteral("openFile: fileToEncryptDialog filter=\"\" initial=\"\""),
                              QStringLiteral("message: ") + qs(operations::kEncryptedText), folder}));
        const std::string encrypted = input + ".enc";
        QVERIFY(test::fileExists(encrypted));
        QVERIFY(test::readFile(encrypted).find(content.substr(0, 4096)) == std::string::npos);
        savePages(window, QStringLiteral("3-encrypted"));
        prompts.log.clear();

        // ---- 4. decrypt it elsewhere, back to the same bytes --------------------------------------------
        const std::string elsewhere = dir.file("получено");
        QCOMPARE(::mkdir(elsewhere.c_str(), 0700), 0);
        const std::string received = elsewhere + "/" + fileNameOf(encrypted);
        test::writeFile(received, test::readFile(encrypted));
        prompts.answerFile(received);
        QVERIFY(app::test::clickEnabled(window, window.decryptionPage->chooseFileButton));
        checkShownTexts(&window, QStringLiteral("4-decryption-chosen"));
        saveShot(&window, QStringLiteral("4-decryption-chosen"));
        prompts.answerPassword(kPassword);
        QVERIFY(app::test::clickEnabled(window, window.decryptionPage->decryptButton));
        QCOMPARE(prompts.log,
                 (QStringList{
                     QStringLiteral(
                         "openFile: fileToDecryptDialog filter=\"Зашифрованные файлы|*.enc\" initial=\"\""),
                     password, QStringLiteral("message: ") + qs(operations::kDecryptedText),
                     QStringLiteral("openFolder: ") + qs(elsewhere + "/")}));
        const std::string decrypted = elsewhere + "/" + fileNameOf(input);
        QVERIFY(test::readFile(decrypted) == content);
        savePages(window, QStringLiteral("4-decrypted"));

        QCOMPARE(prompts.unscripted(), QStringList());
        QCOMPARE(prompts.pendingAnswers(), QStringList());
        // Nothing but the outputs was written beside the original.
        QCOMPARE(test::listFolder(dir.path()),
                 (std::vector<std::string>{fileNameOf(input), fileNameOf(encrypted), fileNameOf(signature),
                                           fileNameOf(archive), "Иванов.cer", "получено", "распаковано"}));
    }

    // The prompts' real dialogs over the store's certificate, driven and saved from a timer.
    void realDialogs() {
        std::vector<crypto::CertificateDescription> rows;
        for (const crypto::StoreEntry& entry : crypto::CertificateStore::open().entries())
            rows.push_back(entry.describe());
        QCOMPARE(rows.size(), std::size_t{1});

        ScriptedPrompts scripted;
        MainWindow window(scripted);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        app::QtPrompts prompts("plombar", &window);
        FolderCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");

        bool seen = false;
        whenModal<app::CertificateSelectionDialog>(
            [&](app::CertificateSelectionDialog* d) {
                d->list()->topLevelItem(0)->setSelected(true);
                checkShownTexts(d, QStringLiteral("dialog-selection"));
                saveShot(d, QStringLiteral("dialog-selection"));
                d->okButton()->click();
            },
            &seen);
        QCOMPARE(prompts.selectCertificate(operations::kSignCertificateTitle, "", rows),
                 std::optional<std::size_t>(0));
        QVERIFY(seen);

        seen = false;
        whenModal<app::CertificateViewDialog>(
            [&](app::CertificateViewDialog* d) {
                checkShownTexts(d, QStringLiteral("dialog-view-general"));
                saveShot(d, QStringLiteral("dialog-view-general"));
                auto* tabs = d->findChild<QTabWidget*>();
                QVERIFY(tabs != nullptr);
                tabs->setCurrentIndex(1);
                d->details()->selectRow(6); // the subject, shown whole below the list
                checkShownTexts(d, QStringLiteral("dialog-view-details"));
                saveShot(d, QStringLiteral("dialog-view-details"));
                d->accept();
            },
            &seen);
        prompts.viewCertificate(rows[0]);
        QVERIFY(seen);

        seen = false;
        whenModal<app::PasswordDialog>(
            [&](app::PasswordDialog* d) {
                d->passwordEdit()->setText(qs(kPassword));
                checkShownTexts(d, QStringLiteral("dialog-password"));
                saveShot(d, QStringLiteral("dialog-password"));
                d->accept();
            },
            &seen);
        QCOMPARE(prompts.askPassword(kSubject), std::optional<std::string>(kPassword));
        QVERIFY(seen);

        // The longest message a run shows: the archive's full path.
        const std::string archive =
            "/home/пользователь/Документы/Договоры 2024/Договор поставки № 17 «Ромашка» от "
            "01.02.2024.pdf.p7s.7z";
        seen = false;
        whenModal<QMessageBox>(
            [&](QMessageBox* box) {
                checkShownTexts(box, QStringLiteral("message-archive"));
                saveShot(box, QStringLiteral("message-archive"));
                box->accept();
            },
            &seen);
        prompts.showMessage(std::string("Создан архив:") + archive);
        QVERIFY(seen);

        seen = false;
        whenModal<QMessageBox>(
            [&](QMessageBox* box) {
                checkShownTexts(box, QStringLiteral("error-report"));
                saveShot(box, QStringLiteral("error-report"));
                box->accept();
            },
            &seen);
        prompts.showError("Error loading library 7z.so.");
        QVERIFY(seen);

        prompts.openFolder("/home/пользователь/Документы/");
        QCOMPARE(catcher.urls,
                 QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/home/пользователь/Документы/"))});
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    }
};

int main(int argc, char** argv) {
    app::test::useOffscreenWhenHeadless();
    // The offscreen screen is 800 px wide, narrower than any desktop the dialogs are made for; give it
    // the size of a small laptop's screen, so that what is checked here is what such a user sees.
    test::TempDir screenConfig("plombar-e2e-screen");
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        test::writeFile(screenConfig.file("screen.json"),
                        R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768,)"
                        R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") +
                                       QByteArray::fromStdString(screenConfig.file("screen.json")));
    }
    QApplication application(argc, argv);
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_e2e.moc"
