// The main window driven like a user: initial state, the file choices of the four pages with the
// size gate, the certificate source box, the dialogs' memory, and the guard around every handler.

#include "DecryptionPage.h"
#include "EncryptionPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "PageWidgets.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "Startup.h"
#include "TestSupport.h"
#include "VerificationPage.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextDocumentFragment>
#include <QUrl>

#include <memory>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <utility>

using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;

namespace {

constexpr std::uint64_t kLimit = 314572800;
const QString kTooBig = QStringLiteral("message: Размер файла не должен превышать 299 Мб");

enum Page { kSigning, kVerification, kEncryption, kDecryption };

// The four choices that pass the size gate.
struct Gated {
    const char* row;
    Page page;
    const char* button;
    const char* dialog;
    const char* filter;
    std::string& (*slot)(MainWindow&);
    const char* label;
    const char* operation; // the button the choice enables; none for the certificate file
};
const Gated kGated[] = {
    {"file to sign", kSigning, "chooseFileButton", "fileToSignDialog", "",
     [](MainWindow& w) -> std::string& { return w.signingPage->signFileName; }, "fileLabel", "signButton"},
    {"file to encrypt", kEncryption, "chooseFileButton", "fileToEncryptDialog", "",
     [](MainWindow& w) -> std::string& { return w.encryptionPage->encryptFileName; }, "fileLabel",
     "encryptButton"},
    {"file to decrypt", kDecryption, "chooseFileButton", "fileToDecryptDialog", "Зашифрованные файлы|*.enc",
     [](MainWindow& w) -> std::string& { return w.decryptionPage->decryptFileName; }, "fileLabel",
     "decryptButton"},
    {"certificate file", kEncryption, "chooseCertificateButton", "certificateFileDialog",
     "Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem",
     [](MainWindow& w) -> std::string& { return w.encryptionPage->recipientCertFileName; },
     "certificateLabel", nullptr},
};
const Gated& kCertificateFile = kGated[3];

// The two choices on the verification page.
struct Ungated {
    const char* row;
    const char* button;
    const char* dialog;
    const char* filter;
    std::string& (*slot)(MainWindow&);
    const char* label;
    std::string& (*otherSlot)(MainWindow&);
    const char* otherButton;
};
std::string& dataSlot(MainWindow& w) {
    return w.verificationPage->verifyDataFileName;
}
std::string& signatureSlot(MainWindow& w) {
    return w.verificationPage->verifySignatureFileName;
}
const Ungated kUngated[] = {
    {"data file", "dataFileButton", "dataFileDialog", "", dataSlot, "dataFileLabel", signatureSlot,
     "signatureFileButton"},
    {"signature file", "signatureFileButton", "signatureFileDialog",
     "Signature|*.sig|PKCS7|*.p7s|Подписи|*.sig;*.p7s", signatureSlot, "signatureFileLabel", dataSlot,
     "dataFileButton"},
};

QString openFileEntry(const char* dialog, const char* filter, const std::string& initial) {
    return QStringLiteral("openFile: %1 filter=\"%2\" initial=\"%3\"")
        .arg(QString::fromUtf8(dialog), QString::fromUtf8(filter), QString::fromStdString(initial));
}

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<plombar::test::TempDir> dir;

    // Controls by their object names, which are unique within a page.
    template <class Control> Control* control(int page, const char* name) const {
        return window->pages->widget(page)->findChild<Control*>(QString::fromLatin1(name));
    }
    QPushButton* button(int page, const char* name) const { return control<QPushButton>(page, name); }
    QLabel* label(const Gated& g) const { return control<QLabel>(g.page, g.label); }
    QLabel* label(const Ungated& u) const { return control<QLabel>(kVerification, u.label); }
    QPushButton* button(const Ungated& u) const { return button(kVerification, u.button); }

    std::string file(const std::string& name, std::uint64_t size = 10) {
        const std::string path = dir->file(name);
        plombar::app::test::makeSparseFile(path, size);
        return path;
    }

    // Makes the certificate file button usable, as the user must before choosing.
    void prepare(const Gated& g) {
        if (&g == &kCertificateFile) {
            QVERIFY(
                plombar::app::test::clickEnabled(*window, window->encryptionPage->certificateFromFileBox));
            QVERIFY(window->encryptionPage->certificateFromFileBox->isChecked());
        }
    }

    // The state of the operation button a gated choice may enable (for the certificate file:
    // "Зашифровать", which that choice must never enable).
    bool operationEnabled(const Gated& g) const {
        return button(g.page, g.operation != nullptr ? g.operation : "encryptButton")->isEnabled();
    }

    // One click on a gated choice; the log gets what this click asked.
    void choose(const Gated& g) {
        QVERIFY(plombar::app::test::clickEnabled(*window, button(g.page, g.button)));
    }

    static void addGatedRows() {
        QTest::addColumn<int>("handler");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i)
            QTest::newRow(kGated[i].row) << i;
    }

private slots:
    void init() {
        dir = std::make_unique<plombar::test::TempDir>("plombar-app");
        prompts = std::make_unique<ScriptedPrompts>();
        window = std::make_unique<MainWindow>(*prompts);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() {
        if (prompts)
            QCOMPARE(prompts->unscripted(), QStringList());
        window.reset();
        prompts.reset();
        dir.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // ---- initial state -------------------------------------------------------------------------

    void initialWindow() {
        QCOMPARE(window->windowTitle(), QStringLiteral("Пломбарь 1.7 от 12.12.2018"));
        QCOMPARE(window->objectName(), QStringLiteral("mainWindow"));
        QCOMPARE(window->size(), QSize(625, 343));
        QCOMPARE(window->pos(), QPoint(192, 124));
        QCOMPARE(window->pages->geometry(), QRect(8, 16, 593, 281));
        QCOMPARE(window->pages->objectName(), QStringLiteral("pages"));
        QCOMPARE(window->pages->count(), 5);
        QCOMPARE(window->pages->tabText(4), QStringLiteral("Сертификаты"));
        QCOMPARE(window->pages->currentIndex(), 0);
        const QStringList captions = {QStringLiteral("Подпись"), QStringLiteral("Верификация"),
                                      QStringLiteral("Шифрование"), QStringLiteral("DECRYPT")};
        const QWidget* pages[] = {window->signingPage, window->verificationPage, window->encryptionPage,
                                  window->decryptionPage};
        const QStringList names = {QStringLiteral("signingPage"), QStringLiteral("verificationPage"),
                                   QStringLiteral("encryptionPage"), QStringLiteral("decryptionPage")};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(window->pages->tabText(i), captions[i]);
            QCOMPARE(window->pages->widget(i), pages[i]);
            QCOMPARE(pages[i]->objectName(), names[i]);
        }

        for (const auto* slot :
             {&window->signingPage->signFileName, &window->verificationPage->verifyDataFileName,
              &window->verificationPage->verifySignatureFileName, &window->encryptionPage->encryptFileName,
              &window->encryptionPage->recipientCertFileName, &window->decryptionPage->decryptFileName})
            QVERIFY(slot->empty());
    }

    void initialControls_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("enabled");
        const auto row = [](int page, const char* name, const QString& caption, bool enabled) {
            QTest::addRow("%d %s", page, name) << page << QString::fromLatin1(name) << caption << enabled;
        };
        row(kSigning, "packBox", QStringLiteral("Упаковать файлы 7zip"), true);
        row(kSigning, "chooseFileButton", QStringLiteral("Открыть файл для подписания"), true);
        row(kSigning, "signButton", QStringLiteral("Подписать"), false);
        row(kSigning, "base64Box", QStringLiteral("BASE64"), true);
        row(kSigning, "attachedBox", QStringLiteral("Прикрепленная"), true);
        row(kSigning, "cadesBox", QStringLiteral("CAdES-BES"), true);
        row(kSigning, "fileLabel", QString(), true);
        row(kVerification, "dataFileButton", QStringLiteral("Исходный файл"), true);
        row(kVerification, "dataFileLabel", QString(), true);
        row(kVerification, "signatureFileButton", QStringLiteral("Файл подписи"), true);
        row(kVerification, "signatureFileLabel", QString(), true);
        row(kVerification, "verifyButton", QStringLiteral("Проверить"), false);
        row(kVerification, "saveDocumentButton", QStringLiteral("Сохранить документ"), false);
        row(kEncryption, "chooseCertificateButton", QStringLiteral("Выбрать Сертификат"), false);
        row(kEncryption, "certificateFromFileBox", QStringLiteral("Выбрать сертификат из файла"), true);
        row(kEncryption, "certificateLabel", QString(), true);
        row(kEncryption, "chooseFileButton", QStringLiteral("Открыть файл"), true);
        row(kEncryption, "fileLabel", QString(), true);
        row(kEncryption, "encryptButton", QStringLiteral("Зашифровать"), false);
        row(kDecryption, "chooseFileButton", QStringLiteral("Открыть файл"), true);
        row(kDecryption, "decryptButton", QStringLiteral("DECRYPT"), false);
        row(kDecryption, "fileLabel", QString(), true);
    }

    void initialControls() {
        QFETCH(int, page);
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(bool, enabled);
        auto* widget = window->pages->widget(page)->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QCOMPARE(plombar::app::test::pageOf(*window, widget), page);
        QCOMPARE(widget->isEnabled(), enabled);
        if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
            QCOMPARE(b->text(), caption);
            QVERIFY(!b->isChecked());
            QCOMPARE(qobject_cast<QCheckBox*>(widget) != nullptr, name.endsWith(QLatin1String("Box")));
        } else {
            auto* l = qobject_cast<QLabel*>(widget);
            QVERIFY(l != nullptr);
            QCOMPARE(l->text(), QString());
            QCOMPARE(l->textFormat(), Qt::PlainText);
        }
    }

    // Each page holds exactly its named controls, and the members are those controls.
    void publicMembersAreTheNamedControls() {
        const auto* s = window->signingPage;
        const auto* v = window->verificationPage;
        const auto* e = window->encryptionPage;
        const auto* d = window->decryptionPage;
        const std::vector<std::vector<std::pair<const char*, QWidget*>>> pages = {
            {{"packBox", s->packBox},
             {"chooseFileButton", s->chooseFileButton},
             {"signButton", s->signButton},
             {"base64Box", s->base64Box},
             {"attachedBox", s->attachedBox},
             {"cadesBox", s->cadesBox},
             {"fileLabel", s->fileLabel}},
            {{"dataFileButton", v->dataFileButton},
             {"dataFileLabel", v->dataFileLabel},
             {"signatureFileButton", v->signatureFileButton},
             {"signatureFileLabel", v->signatureFileLabel},
             {"verifyButton", v->verifyButton},
             {"saveDocumentButton", v->saveDocumentButton},
             {"reportArea", v->reportArea}},
            {{"chooseCertificateButton", e->chooseCertificateButton},
             {"certificateFromFileBox", e->certificateFromFileBox},
             {"certificateLabel", e->certificateLabel},
             {"chooseFileButton", e->chooseFileButton},
             {"fileLabel", e->fileLabel},
             {"encryptButton", e->encryptButton}},
            {{"chooseFileButton", d->chooseFileButton},
             {"decryptButton", d->decryptButton},
             {"fileLabel", d->fileLabel}},
        };
        for (int page = 0; page < 4; ++page) {
            QStringList expected;
            for (const auto& [name, widget] : pages[static_cast<std::size_t>(page)]) {
                QCOMPARE(widget->objectName(), QString::fromLatin1(name));
                QCOMPARE(widget->parentWidget(), window->pages->widget(page));
                expected << QString::fromLatin1(name);
            }
            QStringList present;
            for (const QWidget* w :
                 window->pages->widget(page)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                present << w->objectName();
            expected.sort();
            present.sort();
            QCOMPARE(present, expected);
        }
    }

    void reportAreaShowsOneLineReadOnly() {
        const QPlainTextEdit* report = window->verificationPage->reportArea;
        QCOMPARE(report->toPlainText(), QStringLiteral("Memo1"));
        QCOMPARE(report->document()->blockCount(), 1);
        QVERIFY(report->isReadOnly());
        QCOMPARE(report->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        window->pages->setCurrentIndex(kVerification);
        QVERIFY(report->verticalScrollBar()->isVisible());
    }

    void openDialogFilters_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("filter");
        QTest::newRow("data file") << 0 << QStringLiteral("dataFileDialog") << QString();
        QTest::newRow("file to sign") << 1 << QStringLiteral("fileToSignDialog") << QString();
        QTest::newRow("signature file") << 2 << QStringLiteral("signatureFileDialog")
                                        << QStringLiteral("Signature|*.sig|PKCS7|*.p7s|Подписи|*.sig;*.p7s");
        QTest::newRow("file to encrypt") << 3 << QStringLiteral("fileToEncryptDialog") << QString();
        QTest::newRow("file to decrypt")
            << 4 << QStringLiteral("fileToDecryptDialog") << QStringLiteral("Зашифрованные файлы|*.enc");
        QTest::newRow("certificate file")
            << 5 << QStringLiteral("certificateFileDialog")
            << QStringLiteral("Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem");
    }

    void openDialogFilters() {
        QFETCH(int, index);
        QFETCH(QString, dialog);
        QFETCH(QString, filter);
        const plombar::app::OpenFileDialog* dialogs[] = {
            &window->verificationPage->dataFileDialog,      &window->signingPage->fileToSignDialog,
            &window->verificationPage->signatureFileDialog, &window->encryptionPage->fileToEncryptDialog,
            &window->decryptionPage->fileToDecryptDialog,   &window->encryptionPage->certificateFileDialog};
        const auto* d = dialogs[index];
        QCOMPARE(qs(d->name()), dialog);
        QCOMPARE(qs(d->filter()), filter);
        QVERIFY(d->fileName().empty());
    }

    // The order in which Tab walks the controls of each page.
    void focusOrder_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("signing") << 0 << QStringList{"signButton", "chooseFileButton", "packBox",
                                                     "base64Box",  "attachedBox",      "cadesBox"};
        QTest::newRow("verification") << 1
                                      << QStringList{"reportArea", "verifyButton", "dataFileButton",
                                                     "signatureFileButton", "saveDocumentButton"};
        QTest::newRow("encryption") << 2
                                    << QStringList{"encryptButton", "chooseFileButton",
                                                   "certificateFromFileBox", "chooseCertificateButton"};
        QTest::newRow("decryption") << 3 << QStringList{"chooseFileButton", "decryptButton"};
    }

    void focusOrder() {
        QFETCH(int, page);
        QFETCH(QStringList, order);
        QWidget* sheet = window->pages->widget(page);
        auto* first = sheet->findChild<QWidget*>(order.first());
        QStringList seen;
        QWidget* w = first;
        do {
            if (sheet->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) != 0)
                seen << w->objectName();
            w = w->nextInFocusChain();
        } while (w != first);
        QCOMPARE(seen, order);
    }

    // Tab from key to key, skipping the disabled buttons.
    void tabSkipsDisabledControls() {
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        const auto* e = window->encryptionPage;
        window->pages->setCurrentIndex(kEncryption);
        e->chooseFileButton->setFocus();
        QTest::keyClick(e->chooseFileButton, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), e->certificateFromFileBox);
        QTest::keyClick(e->certificateFromFileBox, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != e->chooseCertificateButton);
        QVERIFY(!e->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == e->chooseFileButton);

        const auto* s = window->signingPage;
        window->pages->setCurrentIndex(kSigning);
        s->chooseFileButton->setFocus();
        QTest::keyClick(s->chooseFileButton, Qt::Key_Backtab);
        QVERIFY(QApplication::focusWidget() != s->signButton);
    }

    // ---- gated choices -------------------------------------------------------------------------

    void gatedSizeLimit_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<bool>("accepted");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray b = kGated[i].row;
            QTest::newRow(b + " empty file") << i << 0ULL << true;
            QTest::newRow(b + " at the limit") << i << qulonglong(kLimit) << true;
            QTest::newRow(b + " one byte over") << i << qulonglong(kLimit + 1) << false;
            QTest::newRow(b + " 5 GiB") << i << 5ULL * 1024 * 1024 * 1024 << false;
        }
    }

    void gatedSizeLimit() {
        QFETCH(int, handler);
        QFETCH(qulonglong, size);
        QFETCH(bool, accepted);
        const Gated& g = kGated[handler];
        prepare(g);
        const std::string path = file("входной файл.bin", size);
        prompts->answerFile(path);
        choose(g);

        QStringList expected{openFileEntry(g.dialog, g.filter, "")};
        if (!accepted)
            expected << kTooBig;
        QCOMPARE(prompts->log, expected);
        QCOMPARE(qs(g.slot(*window)), accepted ? qs(path) : QString());
        QCOMPARE(label(g)->text(), accepted ? qs(path) : QString());
        QCOMPARE(operationEnabled(g), accepted && g.operation != nullptr);
    }

    void gatedCancelBeforeAnyChoice_data() { addGatedRows(); }
    void gatedCancelBeforeAnyChoice() {
        QFETCH(int, handler);
        const Gated& g = kGated[handler];
        prepare(g);
        prompts->cancelFile();
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, ""), "error: I/O error 6."}));
        QVERIFY(g.slot(*window).empty());
        QCOMPARE(label(g)->text(), QString());
        QVERIFY(!operationEnabled(g));
    }

    // A cancel checks the earlier file again: still fine, then grown past the limit meanwhile.
    void gatedCancelRechecksEarlierChoice_data() { addGatedRows(); }
    void gatedCancelRechecksEarlierChoice() {
        QFETCH(int, handler);
        const Gated& g = kGated[handler];
        prepare(g);
        const std::string path = file("a.dat");
        prompts->answerFile(path);
        choose(g);
        prompts->cancelFile();
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, ""),
                                            openFileEntry(g.dialog, g.filter, path)}));
        QCOMPARE(g.slot(*window), path);
        QCOMPARE(label(g)->text(), qs(path));
        QCOMPARE(operationEnabled(g), g.operation != nullptr);

        plombar::app::test::makeSparseFile(path, kLimit + 1);
        prompts->reset();
        prompts->cancelFile();
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, path), kTooBig}));
        QVERIFY(g.slot(*window).empty());
        QCOMPARE(label(g)->text(), QString());
        QCOMPARE(operationEnabled(g), g.operation != nullptr);
    }

    // A refusal empties slot and label but never disables the button; the slot is empty already
    // while the message shows, the label only afterwards.
    void gatedGoodThenOversize_data() { addGatedRows(); }
    void gatedGoodThenOversize() {
        QFETCH(int, handler);
        const Gated& g = kGated[handler];
        prepare(g);
        const std::string good = file("good.dat");
        const std::string big = file("big.dat", kLimit + 1);
        prompts->answerFile(good);
        prompts->answerFile(big);
        choose(g);
        QString labelDuringMessage;
        bool slotEmptyDuringMessage = false;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry.startsWith(QLatin1String("message:"))) {
                labelDuringMessage = label(g)->text();
                slotEmptyDuringMessage = g.slot(*window).empty();
            }
        };
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, ""),
                                            openFileEntry(g.dialog, g.filter, good), kTooBig}));
        QCOMPARE(labelDuringMessage, qs(good));
        QVERIFY(slotEmptyDuringMessage);
        QVERIFY(g.slot(*window).empty());
        QCOMPARE(label(g)->text(), QString());
        QCOMPARE(operationEnabled(g), g.operation != nullptr);
    }

    // A gate error keeps the dialog's result in the slot while label and button stay as they were;
    // only the certificate file's label follows the slot, since "Зашифровать" would use that file.
    void gatedGateErrors_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<QString>("bad");
        QTest::addColumn<QString>("report");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray b = kGated[i].row;
            QTest::newRow(b + " no such file") << i << "нет такого.txt"
                                               << "error: File not found.";
            QTest::newRow(b + " no such folder") << i << "нет папки/x.txt"
                                                 << "error: Invalid filename.";
            QTest::newRow(b + " a folder") << i << "папка"
                                           << "error: File access denied.";
            // Refused without being opened: a FIFO without a writer would hang the window.
            QTest::newRow(b + " a named pipe") << i << "канал"
                                               << "error: I/O error 1920.";
        }
    }

    void gatedGateErrors() {
        QFETCH(int, handler);
        QFETCH(QString, bad);
        QFETCH(QString, report);
        const Gated& g = kGated[handler];
        prepare(g);
        QVERIFY(QDir().mkpath(qs(dir->file("папка"))));
        QCOMPARE(::mkfifo(dir->file("канал").c_str(), 0600), 0);
        const std::string badPath = dir->file(bad.toStdString());

        // From the start: nothing gets enabled or shown.
        prompts->answerFile(badPath);
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, ""), report}));
        QCOMPARE(g.slot(*window), badPath);
        const bool labelFollowsSlot = g.operation == nullptr;
        QCOMPARE(label(g)->text(), labelFollowsSlot ? qs(badPath) : QString());
        QVERIFY(!operationEnabled(g));

        // After a good choice: the label still shows it and the button stays enabled.
        const std::string good = file("good.dat");
        prompts->reset();
        prompts->answerFile(good);
        prompts->answerFile(badPath);
        choose(g);
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, badPath),
                                            openFileEntry(g.dialog, g.filter, good), report}));
        QCOMPARE(g.slot(*window), badPath);
        QCOMPARE(label(g)->text(), labelFollowsSlot ? qs(badPath) : qs(good));
        QCOMPARE(operationEnabled(g), g.operation != nullptr);
    }

    void certificateFileNeverEnablesEncrypt() {
        const auto* e = window->encryptionPage;
        prepare(kCertificateFile);
        QVERIFY(e->chooseCertificateButton->isEnabled());
        const std::string cert = file("получатель.cer");
        prompts->answerFile(cert);
        choose(kCertificateFile);
        QCOMPARE(e->recipientCertFileName, cert);
        QCOMPARE(e->certificateLabel->text(), qs(cert));
        QVERIFY(!e->encryptButton->isEnabled());
        QVERIFY(e->chooseCertificateButton->isEnabled());
        for (const QPushButton* operation :
             {window->signingPage->signButton, window->verificationPage->verifyButton,
              window->decryptionPage->decryptButton})
            QVERIFY(!operation->isEnabled());
    }

    // ---- ungated choices -----------------------------------------------------------------------

    void ungated_data() {
        QTest::addColumn<int>("handler");
        QTest::newRow(kUngated[0].row) << 0;
        QTest::newRow(kUngated[1].row) << 1;
    }

    // No gate and no existence check; a cancel first empties the slot, then the label.
    void ungated() {
        QFETCH(int, handler);
        const Ungated& u = kUngated[handler];
        const std::string missing = dir->file("нет такого файла.sig");
        prompts->answerFile(missing);
        QVERIFY(plombar::app::test::clickEnabled(*window, button(u)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, "")}));
        QCOMPARE(u.slot(*window), missing);
        QCOMPARE(label(u)->text(), qs(missing));
        QVERIFY(!window->verificationPage->verifyButton->isEnabled());

        // The other file: now "Проверить" is enabled.
        const std::string other = file("другой.bin");
        prompts->answerFile(other);
        QVERIFY(plombar::app::test::clickEnabled(*window, button(kVerification, u.otherButton)));
        QVERIFY(window->verificationPage->verifyButton->isEnabled());

        // Cancel: the slot is empty while the dialog shows, the label is emptied after it.
        prompts->reset();
        prompts->cancelFile();
        QString labelDuringDialog;
        bool slotEmptyDuringDialog = false;
        prompts->onPrompt = [&](const QString&) {
            labelDuringDialog = label(u)->text();
            slotEmptyDuringDialog = u.slot(*window).empty();
        };
        QVERIFY(plombar::app::test::clickEnabled(*window, button(u)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, missing)}));
        QCOMPARE(labelDuringDialog, qs(missing));
        QVERIFY(slotEmptyDuringDialog);
        QVERIFY(u.slot(*window).empty());
        QCOMPARE(label(u)->text(), QString());
        QCOMPARE(u.otherSlot(*window), other);
        QVERIFY(window->verificationPage->verifyButton->isEnabled());
    }

    void ungatedCancelAtStartIsNoError_data() { ungated_data(); }
    void ungatedCancelAtStartIsNoError() {
        QFETCH(int, handler);
        const Ungated& u = kUngated[handler];
        prompts->cancelFile();
        QVERIFY(plombar::app::test::clickEnabled(*window, button(u)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, "")}));
        QVERIFY(u.slot(*window).empty());
        QVERIFY(!window->verificationPage->verifyButton->isEnabled());
    }

    // ---- recipient certificate source ----------------------------------------------------------

    void certificateSourceBox_data() {
        QTest::addColumn<bool>("byUser");
        QTest::newRow("clicked") << true;
        QTest::newRow("set by code") << false;
    }

    void certificateSourceBox() {
        QFETCH(bool, byUser);
        auto* e = window->encryptionPage;
        const auto setBox = [&](bool ticked) {
            if (byUser) {
                QVERIFY(plombar::app::test::clickEnabled(*window, e->certificateFromFileBox));
            } else {
                e->certificateFromFileBox->setChecked(ticked);
            }
            QCOMPARE(e->certificateFromFileBox->isChecked(), ticked);
        };
        setBox(true);
        QVERIFY(e->chooseCertificateButton->isEnabled());
        const std::string cert = file("cert.cer");
        prompts->answerFile(cert);
        choose(kCertificateFile);
        QCOMPARE(e->certificateLabel->text(), qs(cert));

        setBox(false);
        QCOMPARE(e->certificateLabel->text(), QString());
        QVERIFY(!e->chooseCertificateButton->isEnabled());
        QCOMPARE(e->recipientCertFileName, cert);

        // Ticked again, the label shows the kept file that "Зашифровать" will use, whatever it showed.
        plombar::app::setLabelText(e->certificateLabel, "что-то");
        setBox(true);
        QCOMPARE(e->certificateLabel->text(), qs(cert));
        QVERIFY(e->chooseCertificateButton->isEnabled());
        QCOMPARE(e->recipientCertFileName, cert);
        QVERIFY(!e->encryptButton->isEnabled());
        QCOMPARE(prompts->log,
                 QStringList({openFileEntry("certificateFileDialog",
                                            "Certificate|*.cer|Сертификаты|*.cer;*.crt;*.pem", "")}));
    }

    // ---- dialogs remember the file last confirmed in them --------------------------------------

    void dialogsReopenOnLastConfirmedFile_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("dialog");
        for (const auto& g : kGated)
            QTest::newRow(g.row) << int{g.page} << QString::fromLatin1(g.button)
                                 << QString::fromLatin1(g.dialog);
        for (const auto& u : kUngated)
            QTest::newRow(u.row) << int{kVerification} << QString::fromLatin1(u.button)
                                 << QString::fromLatin1(u.dialog);
    }

    void dialogsReopenOnLastConfirmedFile() {
        QFETCH(int, page);
        QFETCH(QString, button);
        QFETCH(QString, dialog);
        if (dialog == QLatin1String(kCertificateFile.dialog))
            window->encryptionPage->certificateFromFileBox->setChecked(true);
        const std::string a = file("a.txt");
        const std::string b = file("b.txt");
        prompts->answerFile(a);
        prompts->cancelFile();
        prompts->answerFile(b);
        prompts->cancelFile();
        auto* target = window->pages->widget(page)->findChild<QPushButton*>(button);
        for (int i = 0; i < 4; ++i)
            QVERIFY(plombar::app::test::clickEnabled(*window, target));
        QStringList initials;
        for (const QString& entry : prompts->log)
            if (entry.startsWith(QLatin1String("openFile: ") + dialog + QLatin1Char(' ')))
                initials << entry.section(QStringLiteral("initial="), 1);
        QCOMPARE(initials,
                 QStringList({"\"\"", "\"" + qs(a) + "\"", "\"" + qs(a) + "\"", "\"" + qs(b) + "\""}));
        QCOMPARE(prompts->log.size(), 4); // no other prompt: every gate passed
    }

    // ---- labels --------------------------------------------------------------------------------

    void labelShowsPathAsPlainTextAndFitsIt() {
        const std::string path = file("<b>жирный<i> & ещё.txt");
        prompts->answerFile(path);
        choose(kGated[0]);
        const QLabel* label = window->signingPage->fileLabel;
        QCOMPARE(label->text(), qs(path));
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(qs(path)));
        prompts->answerFile(file("x"));
        choose(kGated[0]);
        QVERIFY(label->width() < label->fontMetrics().horizontalAdvance(qs(path)));
    }

    // A path too long for the page is cut in the middle: the start of the path and the whole file
    // name stay visible. The tooltip and a copy give the whole path; special characters show escaped.
    void pathLabels_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<QString>("shownName");
        const QString deep = QStringLiteral("Очень длинное имя папки с документами бухгалтерии/").repeated(4);
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray row = kGated[i].row;
            QTest::newRow(row + " short") << i << QString() << "счёт.pdf" << false << "счёт.pdf";
            QTest::newRow(row + " long") << i << deep << "Договор № 17.pdf" << true << "Договор № 17.pdf";
            QTest::newRow(row + " long name")
                << i << deep << "Договор поставки № 17 от 01.02.2024 (копия).pdf" << true
                << "/Договор поставки № 17 от 01.02.2024 (копия).pdf";
        }
        QTest::newRow("line feed and direction mark in the name")
            << 0 << QString() << QStringLiteral("a\nb\u202Etxt.exe") << false
            << QStringLiteral("a\\nb\\u202Etxt.exe");
        QTest::newRow("markup in the name")
            << 0 << deep << "<b>жирный<i> & ещё.txt" << true << "<b>жирный<i> & ещё.txt";
    }

    void pathLabels() {
        QFETCH(int, handler);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QFETCH(bool, cut);
        QFETCH(QString, shownName);
        const Gated& g = kGated[handler];
        prepare(g);
        if (!folder.isEmpty())
            QVERIFY(QDir().mkpath(qs(dir->file(folder.toStdString()))));
        const std::string path = file((folder + name).toStdString());
        prompts->answerFile(path);
        choose(g);
        auto* pathLabel = qobject_cast<plombar::app::PathLabel*>(label(g));
        QVERIFY(pathLabel != nullptr);
        QCOMPARE(pathLabel->text(), qs(path));

        const QString shown = pathLabel->shownText();
        QVERIFY2(shown.endsWith(shownName), qPrintable(shown));
        QCOMPARE(shown.contains(QChar(u'…')), cut);
        QVERIFY2(shown.startsWith(qs(dir->path()).left(5)), qPrintable(shown));
        const QWidget* page = window->pages->widget(g.page);
        QVERIFY(pathLabel->x() + pathLabel->fontMetrics().horizontalAdvance(shown) <=
                page->width() - plombar::app::kPageMargin);
        if (!cut && shownName == name)
            QCOMPARE(shown, qs(path));

        QCOMPARE(QTextDocumentFragment::fromHtml(pathLabel->toolTip()).toPlainText(),
                 qs(plombar::escapeForDisplay(path)));
        QApplication::clipboard()->clear();
        window->pages->setCurrentIndex(g.page);
        pathLabel->setFocus();
        QTest::keySequence(pathLabel, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), qs(path));
    }

    // ---- drag and drop -------------------------------------------------------------------------

    // Drags `urls` onto `page` and drops them there when the page takes the drag; gives whether it did.
    bool drop(QWidget* page, const QList<QUrl>& urls) {
        window->pages->setCurrentWidget(page);
        QMimeData data;
        data.setUrls(urls);
        const QPointF where = QRectF(page->rect()).center();
        QDragEnterEvent enter(where.toPoint(), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
                              Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(page, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropEvent(where, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data, Qt::LeftButton,
                             Qt::NoModifier);
        QApplication::sendEvent(page, &dropEvent);
        return dropEvent.isAccepted() && dropEvent.dropAction() == Qt::CopyAction;
    }

    // A dropped file goes where choosing it in the page's dialog would put it, through the same gate,
    // and the dialog then opens on it.
    void droppedFileIsChosen_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<QString>("report");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray row = kGated[i].row;
            const char* name = &kGated[i] == &kCertificateFile ? "получатель.CRT" : "документ.pdf";
            QTest::newRow(row + " good") << i << name << 10ULL << QString();
            QTest::newRow(row + " too big") << i << name << qulonglong(kLimit + 1) << kTooBig;
            QTest::newRow(row + " gone") << i << name << 0ULL << "error: File not found.";
        }
    }

    void droppedFileIsChosen() {
        QFETCH(int, handler);
        QFETCH(QString, name);
        QFETCH(qulonglong, size);
        QFETCH(QString, report);
        const Gated& g = kGated[handler];
        prepare(g);
        const bool gone = report == QLatin1String("error: File not found.");
        const std::string path = gone ? dir->file(name.toStdString()) : file(name.toStdString(), size);
        QVERIFY(drop(window->pages->widget(g.page), {QUrl::fromLocalFile(qs(path))}));
        QCOMPARE(prompts->log, report.isEmpty() ? QStringList() : QStringList{report});
        const bool taken = report.isEmpty();
        QCOMPARE(g.slot(*window), taken || gone ? path : std::string());
        QCOMPARE(label(g)->text(), taken || (gone && g.operation == nullptr) ? qs(path) : QString());
        QCOMPARE(operationEnabled(g), taken && g.operation != nullptr);

        // The page's dialog opens on the dropped file.
        prompts->reset();
        prompts->cancelFile();
        choose(g);
        QCOMPARE(prompts->log.first(), openFileEntry(g.dialog, g.filter, path));
        prompts->reset();
    }

    // On the encryption page a certificate file goes to the certificate only while the box says so.
    void droppedCertificateWithBoxUntickedIsTheFileToEncrypt() {
        const std::string cert = file("получатель.cer");
        QVERIFY(drop(window->encryptionPage, {QUrl::fromLocalFile(qs(cert))}));
        QCOMPARE(window->encryptionPage->encryptFileName, cert);
        QVERIFY(window->encryptionPage->recipientCertFileName.empty());
        QVERIFY(window->encryptionPage->encryptButton->isEnabled());
    }

    // On the verification page a signature file fills the signature slot, any other the data slot,
    // both may come in one drag, and nothing is gated or checked.
    void droppedFilesToVerify_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("signature");
        QTest::newRow("sig") << QStringList{"отчёт.pdf.sig"} << ""
                             << "отчёт.pdf.sig";
        QTest::newRow("p7s") << QStringList{"отчёт.pdf.p7s"} << ""
                             << "отчёт.pdf.p7s";
        QTest::newRow("upper case") << QStringList{"ОТЧЁТ.P7S"} << ""
                                    << "ОТЧЁТ.P7S";
        QTest::newRow("data file") << QStringList{"отчёт.pdf"} << "отчёт.pdf"
                                   << "";
        QTest::newRow("sig in the middle of the name") << QStringList{"отчёт.sig.pdf"} << "отчёт.sig.pdf"
                                                       << "";
        QTest::newRow("both at once") << QStringList{"a.sig", "a"} << "a"
                                      << "a.sig";
        QTest::newRow("missing files are taken") << QStringList{"нет.txt", "нет.txt.sig"} << "нет.txt"
                                                 << "нет.txt.sig";
    }

    void droppedFilesToVerify() {
        QFETCH(QStringList, names);
        QFETCH(QString, data);
        QFETCH(QString, signature);
        QList<QUrl> urls;
        for (const QString& n : names)
            urls << QUrl::fromLocalFile(
                qs(n.startsWith(QStringLiteral("нет")) ? dir->file(n.toStdString()) : file(n.toStdString())));
        const auto* v = window->verificationPage;
        QVERIFY(drop(window->verificationPage, urls));
        QCOMPARE(prompts->log, QStringList());
        const auto pathOf = [&](const QString& n) {
            return n.isEmpty() ? QString() : qs(dir->file(n.toStdString()));
        };
        QCOMPARE(qs(v->verifyDataFileName), pathOf(data));
        QCOMPARE(v->dataFileLabel->text(), pathOf(data));
        QCOMPARE(qs(v->verifySignatureFileName), pathOf(signature));
        QCOMPARE(v->signatureFileLabel->text(), pathOf(signature));
        QCOMPARE(v->verifyButton->isEnabled(), !data.isEmpty() && !signature.isEmpty());
        if (!signature.isEmpty())
            QCOMPARE(qs(v->signatureFileDialog.fileName()), pathOf(signature));
    }

    // Drags that are no local files, or more files than the page has slots for, are refused.
    void refusedDrags_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QList<QUrl>>("urls");
        const QUrl local = QUrl::fromLocalFile(QStringLiteral("/tmp/a.txt"));
        const QUrl web(QStringLiteral("https://example.org/a.txt"));
        QTest::newRow("web address") << int{kSigning} << QList<QUrl>{web};
        QTest::newRow("two files to sign") << int{kSigning} << QList<QUrl>{local, local};
        QTest::newRow("two files to decrypt") << int{kDecryption} << QList<QUrl>{local, local};
        QTest::newRow("three files to verify") << int{kVerification} << QList<QUrl>{local, local, local};
        QTest::newRow("a local file and a web address") << int{kVerification} << QList<QUrl>{local, web};
        QTest::newRow("no files") << int{kEncryption} << QList<QUrl>{};
    }

    void refusedDrags() {
        QFETCH(int, page);
        QFETCH(QList<QUrl>, urls);
        QVERIFY(!drop(window->pages->widget(page), urls));
        QCOMPARE(prompts->log, QStringList());
        QVERIFY(window->signingPage->signFileName.empty());
        QVERIFY(window->verificationPage->verifyDataFileName.empty());
        QVERIFY(window->decryptionPage->decryptFileName.empty());
    }

    // ---- a file named at start ------------------------------------------------------------------

    void openGivenFile_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("present"); // files made beforehand
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("chosen"); // "slot=file" pairs of the page after it
        QTest::addColumn<QStringList>("log");
        QTest::newRow("encrypted") << "отчёт.pdf.enc" << QStringList{"отчёт.pdf.enc"} << 10ULL
                                   << int{kDecryption} << "decrypt=отчёт.pdf.enc" << QStringList();
        QTest::newRow("signature beside its data")
            << "отчёт.pdf.sig" << QStringList{"отчёт.pdf.sig", "отчёт.pdf"} << 10ULL << int{kVerification}
            << "data=отчёт.pdf signature=отчёт.pdf.sig" << QStringList();
        QTest::newRow("Base64 signature without its data")
            << "отчёт.pdf.p7s" << QStringList{"отчёт.pdf.p7s"} << 10ULL << int{kVerification}
            << "data= signature=отчёт.pdf.p7s" << QStringList();
        QTest::newRow("signature whose data is a folder")
            << "папка.P7S" << QStringList{"папка.P7S", "папка/"} << 10ULL << int{kVerification}
            << "data= signature=папка.P7S" << QStringList();
        QTest::newRow("any other file") << "счёт.pdf" << QStringList{"счёт.pdf"} << 10ULL << int{kSigning}
                                        << "sign=счёт.pdf" << QStringList();
        QTest::newRow("too big to sign") << "фильм.mkv" << QStringList{"фильм.mkv"} << qulonglong(kLimit + 1)
                                         << int{kSigning} << "sign=" << QStringList{kTooBig};
        QTest::newRow("encrypted file gone") << "нет.enc" << QStringList() << 0ULL << int{kDecryption}
                                             << "decrypt=нет.enc" << QStringList{"error: File not found."};
    }

    void openGivenFile() {
        QFETCH(QString, name);
        QFETCH(QStringList, present);
        QFETCH(qulonglong, size);
        QFETCH(int, page);
        QFETCH(QString, chosen);
        QFETCH(QStringList, log);
        for (const QString& p : present) {
            if (p.endsWith(QLatin1Char('/')))
                QVERIFY(QDir().mkpath(qs(dir->file(p.chopped(1).toStdString()))));
            else
                file(p.toStdString(), size);
        }
        const std::string path = dir->file(name.toStdString());
        window->openGivenFile(path);
        QCOMPARE(prompts->log, log);
        QCOMPARE(window->pages->currentIndex(), page);
        const auto shown = [&](const std::string& slot) {
            return slot.empty() ? QString() : qs(slot).mid(qs(dir->path()).size() + 1);
        };
        QString actual;
        switch (page) {
        case kSigning:
            actual = "sign=" + shown(window->signingPage->signFileName);
            break;
        case kVerification:
            actual = "data=" + shown(window->verificationPage->verifyDataFileName) +
                     " signature=" + shown(window->verificationPage->verifySignatureFileName);
            QCOMPARE(window->verificationPage->verifyButton->isEnabled(), !actual.contains("data= "));
            break;
        default:
            actual = "decrypt=" + shown(window->decryptionPage->decryptFileName);
        }
        QCOMPARE(actual, chosen);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void fileFromArguments_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        const QString here = QDir::currentPath();
        QTest::newRow("none") << QStringList{"plombar"} << "";
        QTest::newRow("empty") << QStringList{"plombar", ""} << "";
        QTest::newRow("absolute") << QStringList{"plombar", "/home/user/отчёт.sig"} << "/home/user/отчёт.sig";
        QTest::newRow("relative") << QStringList{"plombar", "папка/отчёт.enc"} << here + "/папка/отчёт.enc";
        QTest::newRow("file URL")
            << QStringList{"plombar", "file:///home/user/%D0%BE%D1%82%D1%87%D1%91%D1%82%20%231.sig"}
            << "/home/user/отчёт #1.sig";
        QTest::newRow("only the first") << QStringList{"plombar", "/a", "/b"} << "/a";
        QTest::newRow("name with a colon") << QStringList{"plombar", "/tmp/file:x"} << "/tmp/file:x";
    }

    void fileFromArguments() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        QCOMPARE(qs(plombar::app::fileFromArguments(arguments)), file);
    }

    // ---- keyboard ------------------------------------------------------------------------------

    void firstEnabledControlHasFocusAtStart() {
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QCOMPARE(QApplication::focusWidget(), window->signingPage->chooseFileButton);
    }

    void enterPressesFocusedButton_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("dialog");
        for (const auto& [key, keyName] :
             {std::pair{int{Qt::Key_Return}, "Return"}, {int{Qt::Key_Enter}, "Enter"}}) {
            for (const auto& g : kGated)
                QTest::addRow("%s %s", keyName, g.row)
                    << int{g.page} << QString::fromLatin1(g.button) << key << QString::fromLatin1(g.dialog);
            for (const auto& u : kUngated)
                QTest::addRow("%s %s", keyName, u.row) << int{kVerification} << QString::fromLatin1(u.button)
                                                       << key << QString::fromLatin1(u.dialog);
        }
    }

    void enterPressesFocusedButton() {
        QFETCH(int, page);
        QFETCH(QString, button);
        QFETCH(int, key);
        QFETCH(QString, dialog);
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        if (dialog == QLatin1String(kCertificateFile.dialog))
            window->encryptionPage->certificateFromFileBox->setChecked(true);
        window->pages->setCurrentIndex(page);
        auto* target = this->button(page, button.toLatin1().constData());
        target->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), target);
        prompts->answerFile(file("f.txt"));
        QTest::keyClick(target, static_cast<Qt::Key>(key),
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(prompts->log.size(), 1);
        QVERIFY(prompts->log.first().startsWith(QStringLiteral("openFile: ") + dialog + QLatin1Char(' ')));
        // With a modifier it is no press.
        QTest::keyClick(target, static_cast<Qt::Key>(key), Qt::ControlModifier);
        QCOMPARE(prompts->log.size(), 1);
    }

    void enterOnDisabledButtonDoesNothing() {
        auto* sign = window->signingPage->signButton;
        QVERIFY(!sign->isEnabled());
        QSignalSpy clicks(sign, &QPushButton::clicked);
        QTest::keyClick(sign, Qt::Key_Return);
        QCOMPARE(clicks.count(), 0);
    }

    // The focused control looks different from the same control without the focus, also when it
    // got the focus by a click or at start rather than by Tab.
    void focusIsVisible_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("name");
        QTest::newRow("button") << int{kSigning} << "chooseFileButton";
        QTest::newRow("check box") << int{kSigning} << "base64Box";
        QTest::newRow("button on the encryption page") << int{kEncryption} << "chooseFileButton";
    }

    void focusIsVisible() {
        QFETCH(int, page);
        QFETCH(QString, name);
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        window->pages->setCurrentIndex(page);
        auto* control = window->pages->widget(page)->findChild<QWidget*>(name);
        window->pages->tabBar()->setFocus(Qt::MouseFocusReason);
        const QImage unfocused = control->grab().toImage();
        control->setFocus(Qt::MouseFocusReason);
        QVERIFY(control->hasFocus());
        QVERIFY(control->grab().toImage() != unfocused);
    }

    // ---- the guard around every handler --------------------------------------------------------

    void guardReportsAnyError_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("report");
        QTest::newRow("std::runtime_error") << 0 << "error: boom.";
        QTest::newRow("message ending in a full stop") << 1 << "error: Stopped.";
        QTest::newRow("message ending in a blank") << 2 << "error: Trailing blank ";
        QTest::newRow("message ending in a digit") << 3 << "error: I/O error 32.";
        QTest::newRow("Cyrillic message") << 4 << "error: Ошибка ключа.";
        QTest::newRow("input/output error") << 5 << "error: File access denied.";
        QTest::newRow("allocation failure") << 6 << "error: Out of memory.";
        QTest::newRow("not an exception class") << 7 << "error: Unknown error.";
        QTest::newRow("message ending in ')'") << 8 << "error: (x)";
    }

    void guardReportsAnyError() {
        QFETCH(int, kind);
        QFETCH(QString, report);
        prompts->onPrompt = [kind](const QString& entry) {
            if (!entry.startsWith(QLatin1String("openFile:")))
                return;
            switch (kind) {
            case 0:
                throw std::runtime_error("boom");
            case 1:
                throw plombar::Error("Stopped.");
            case 2:
                throw plombar::Error("Trailing blank ");
            case 3:
                throw plombar::Error("I/O error 32");
            case 4:
                throw plombar::Error("Ошибка ключа");
            case 5:
                throw plombar::InputOutputError(5);
            case 6:
                throw std::bad_alloc();
            case 7:
                throw 42;
            default:
                throw plombar::Error("(x)");
            }
        };
        const std::string path = file("f.txt");
        prompts->answerFile(path);
        choose(kGated[0]);
        QCOMPARE(prompts->log, QStringList({openFileEntry("fileToSignDialog", "", ""), report}));
        QCOMPARE(window->signingPage->fileLabel->text(), QString());
        QVERIFY(!window->signingPage->signButton->isEnabled());

        // The window goes on: the next click works. The failed dialog confirmed nothing.
        prompts->onPrompt = nullptr;
        prompts->reset();
        prompts->answerFile(path);
        choose(kGated[0]);
        QCOMPARE(prompts->log, QStringList({openFileEntry("fileToSignDialog", "", "")}));
        QCOMPARE(window->signingPage->fileLabel->text(), qs(path));
        QVERIFY(window->signingPage->signButton->isEnabled());
    }

    // Handlers run under the wait cursor; the error report comes after the cursor is back.
    void handlersRunUnderTheWaitCursor() {
        QStringList cursors;
        prompts->onPrompt = [&](const QString& entry) {
            const QCursor* c = QApplication::overrideCursor();
            cursors << entry.section(QLatin1Char(':'), 0, 0) + QLatin1Char('=') +
                           (c == nullptr                   ? QStringLiteral("normal")
                            : c->shape() == Qt::WaitCursor ? QStringLiteral("wait")
                                                           : QStringLiteral("other"));
        };
        prompts->cancelFile(); // the gate fails on the empty slot
        choose(kGated[0]);
        prompts->answerFile(file("big", kLimit + 1));
        choose(kGated[0]);
        prompts->cancelFile();
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->dataFileButton));
        QCOMPARE(cursors, QStringList({"openFile=wait", "error=normal", "openFile=wait", "message=wait",
                                       "openFile=wait"}));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

int main(int argc, char** argv) {
    // Room for the window at its initial place.
    plombar::app::test::useOffscreenScreen(1280, 1024);
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_window.moc"
