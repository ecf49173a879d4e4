// The main window driven like a user: initial state, the file choices of the four pages with the
// size gate, the certificate source box, the dialogs' memory, and the guard around every handler.

#include "GuiTest.h"
#include "ScriptedPrompts.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "platform/Errors.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>

#include <memory>
#include <new>
#include <stdexcept>
#include <sys/stat.h>

using plombar::app::TForm1;
using plombar::app::test::ScriptedPrompts;

namespace {

constexpr std::uint64_t kLimit = 314572800;
const QString kTooBig = QStringLiteral("message: Размер файла не должен превышать 299 Мб");

// The four choices that pass the size gate.
struct Gated {
    const char* button;
    const char* dialog;
    const char* filter;
    std::string TForm1::*slot;
    const char* label;
    const char* operation; // the button the choice enables; none for the certificate file
};
const Gated kGated[] = {
    {"Button2", "OpenDialog2", "", &TForm1::SignFileName, "Label2", "Button1"},
    {"Button6", "OpenDialog4", "", &TForm1::EncryptFileName, "Label4", "Button7"},
    {"Button8", "OpenDialog5", "Зашифрованные файлы|*.enc", &TForm1::DecryptFileName, "Label5", "Button9"},
    {"Button11", "OpenDialog6", "Certificate|*.cer", &TForm1::RecipientCertFileName, "Label6", nullptr},
};

// The two choices on the verification page.
struct Ungated {
    const char* button;
    const char* dialog;
    const char* filter;
    std::string TForm1::*slot;
    const char* label;
    std::string TForm1::*otherSlot;
    const char* otherButton;
};
const Ungated kUngated[] = {
    {"Button4", "OpenDialog1", "", &TForm1::VerifyDataFileName, "Label1", &TForm1::VerifySignatureFileName,
     "Button5"},
    {"Button5", "OpenDialog3", "Signature|*.sig|PKCS7|*.p7s", &TForm1::VerifySignatureFileName, "Label3",
     &TForm1::VerifyDataFileName, "Button4"},
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
    std::unique_ptr<TForm1> form;
    std::unique_ptr<plombar::test::TempDir> dir;

    QPushButton* button(const char* name) const {
        return form->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QLabel* label(const char* name) const { return form->findChild<QLabel*>(QString::fromLatin1(name)); }

    std::string file(const std::string& name, std::uint64_t size = 10) {
        const std::string path = dir->file(name);
        plombar::app::test::makeSparseFile(path, size);
        return path;
    }

    // Makes the certificate file button usable, as the user must before choosing.
    void prepare(const Gated& g) {
        if (std::string_view(g.button) == "Button11") {
            QVERIFY(plombar::app::test::clickEnabled(*form, form->CheckBox4));
            QVERIFY(form->CheckBox4->isChecked());
        }
    }

    // The state of the operation button a gated choice may enable (for the certificate file:
    // "Зашифровать", which that choice must never enable).
    bool operationEnabled(const Gated& g) const {
        return button(g.operation != nullptr ? g.operation : "Button7")->isEnabled();
    }

    // One click on a gated choice; the log gets what this click asked.
    void choose(const Gated& g) { QVERIFY(plombar::app::test::clickEnabled(*form, button(g.button))); }

    static void addGatedRows() {
        QTest::addColumn<int>("handler");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i)
            QTest::newRow(kGated[i].button) << i;
    }

private slots:
    void init() {
        dir = std::make_unique<plombar::test::TempDir>("plombar-app");
        prompts = std::make_unique<ScriptedPrompts>();
        form = std::make_unique<TForm1>(*prompts);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

    void cleanup() {
        if (prompts)
            QCOMPARE(prompts->unscripted(), QStringList());
        form.reset();
        prompts.reset();
        dir.reset();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // ---- initial state -------------------------------------------------------------------------

    void initialWindow() {
        QCOMPARE(form->windowTitle(), QStringLiteral("Пломбарь 1.7 от 12.12.2018"));
        QCOMPARE(form->size(), QSize(625, 343));
        QCOMPARE(form->pos(), QPoint(192, 124));
        QCOMPARE(form->PageControl1->geometry(), QRect(8, 16, 593, 281));
        QCOMPARE(form->PageControl1->objectName(), QStringLiteral("PageControl1"));
        QCOMPARE(form->PageControl1->count(), 4);
        QCOMPARE(form->PageControl1->currentIndex(), 0);
        const QStringList pages = {QStringLiteral("Подпись"), QStringLiteral("Верификация"),
                                   QStringLiteral("Шифрование"), QStringLiteral("DECRYPT")};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(form->PageControl1->tabText(i), pages[i]);
            QCOMPARE(form->PageControl1->widget(i)->objectName(), QStringLiteral("TabSheet%1").arg(i + 1));
        }
        QCOMPARE(form->TabSheet1, form->PageControl1->widget(0));
        QCOMPARE(form->TabSheet4, form->PageControl1->widget(3));

        for (const auto* slot :
             {&form->SignFileName, &form->VerifyDataFileName, &form->VerifySignatureFileName,
              &form->EncryptFileName, &form->RecipientCertFileName, &form->DecryptFileName})
            QVERIFY(slot->empty());
    }

    void initialControls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("enabled");
        const auto row = [](const char* name, int page, const QString& caption, bool enabled) {
            QTest::newRow(name) << QString::fromLatin1(name) << page << caption << enabled;
        };
        row("CheckBox1", 0, QStringLiteral("Упаковать файлы 7zip"), true);
        row("Button2", 0, QStringLiteral("Открыть файл для подписания"), true);
        row("Button1", 0, QStringLiteral("Подписать"), false);
        row("CheckBox2", 0, QStringLiteral("BASE64"), true);
        row("CheckBox3", 0, QStringLiteral("Прикрепленная"), true);
        row("Label2", 0, QString(), true);
        row("Button4", 1, QStringLiteral("Исходный файл"), true);
        row("Label1", 1, QString(), true);
        row("Button5", 1, QStringLiteral("Файл подписи"), true);
        row("Label3", 1, QString(), true);
        row("Button3", 1, QStringLiteral("Проверить"), false);
        row("Button11", 2, QStringLiteral("Выбрать Сертификат"), false);
        row("CheckBox4", 2, QStringLiteral("Выбрать сертификат из файла"), true);
        row("Label6", 2, QString(), true);
        row("Button6", 2, QStringLiteral("Открыть файл"), true);
        row("Label4", 2, QString(), true);
        row("Button7", 2, QStringLiteral("Зашифровать"), false);
        row("Button8", 3, QStringLiteral("Открыть файл"), true);
        row("Button9", 3, QStringLiteral("DECRYPT"), false);
        row("Label5", 3, QString(), true);
    }

    void initialControls() {
        QFETCH(QString, name);
        QFETCH(int, page);
        QFETCH(QString, caption);
        QFETCH(bool, enabled);
        auto* widget = form->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QCOMPARE(plombar::app::test::pageOf(*form, widget), page);
        QCOMPARE(widget->isEnabled(), enabled);
        if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
            QCOMPARE(b->text(), caption);
            QVERIFY(!b->isChecked());
            QCOMPARE(qobject_cast<QCheckBox*>(widget) != nullptr, name.startsWith(QLatin1String("CheckBox")));
        } else {
            auto* l = qobject_cast<QLabel*>(widget);
            QVERIFY(l != nullptr);
            QCOMPARE(l->text(), QString());
            QCOMPARE(l->textFormat(), Qt::PlainText);
        }
    }

    void publicMembersAreTheNamedControls() {
        const std::pair<const char*, QWidget*> members[] = {
            {"Button1", form->Button1},     {"Button2", form->Button2},     {"Button3", form->Button3},
            {"Button4", form->Button4},     {"Button5", form->Button5},     {"Button6", form->Button6},
            {"Button7", form->Button7},     {"Button8", form->Button8},     {"Button9", form->Button9},
            {"Button11", form->Button11},   {"CheckBox1", form->CheckBox1}, {"CheckBox2", form->CheckBox2},
            {"CheckBox3", form->CheckBox3}, {"CheckBox4", form->CheckBox4}, {"Label1", form->Label1},
            {"Label2", form->Label2},       {"Label3", form->Label3},       {"Label4", form->Label4},
            {"Label5", form->Label5},       {"Label6", form->Label6},       {"Memo1", form->Memo1}};
        for (const auto& [name, widget] : members)
            QCOMPARE(widget->objectName(), QString::fromLatin1(name));
        QVERIFY(form->findChild<QWidget*>(QStringLiteral("Button10")) == nullptr);
    }

    void memoShowsOneLineReadOnly() {
        QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Memo1"));
        QCOMPARE(form->Memo1->document()->blockCount(), 1);
        QVERIFY(form->Memo1->isReadOnly());
        QCOMPARE(form->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        form->PageControl1->setCurrentIndex(1);
        QVERIFY(form->Memo1->verticalScrollBar()->isVisible());
    }

    void openDialogFilters_data() {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("filter");
        QTest::newRow("1") << QStringLiteral("OpenDialog1") << QString();
        QTest::newRow("2") << QStringLiteral("OpenDialog2") << QString();
        QTest::newRow("3") << QStringLiteral("OpenDialog3") << QStringLiteral("Signature|*.sig|PKCS7|*.p7s");
        QTest::newRow("4") << QStringLiteral("OpenDialog4") << QString();
        QTest::newRow("5") << QStringLiteral("OpenDialog5") << QStringLiteral("Зашифрованные файлы|*.enc");
        QTest::newRow("6") << QStringLiteral("OpenDialog6") << QStringLiteral("Certificate|*.cer");
    }

    void openDialogFilters() {
        QFETCH(QString, dialog);
        QFETCH(QString, filter);
        const plombar::app::TOpenDialog* dialogs[] = {&form->OpenDialog1, &form->OpenDialog2,
                                                      &form->OpenDialog3, &form->OpenDialog4,
                                                      &form->OpenDialog5, &form->OpenDialog6};
        const auto* d = dialogs[dialog.back().digitValue() - 1];
        QCOMPARE(qs(d->name()), dialog);
        QCOMPARE(qs(d->filter()), filter);
        QVERIFY(d->fileName().empty());
    }

    // The order in which Tab walks the controls of each page.
    void focusOrder_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("signing") << 0
                                 << QStringList{"Button1", "Button2", "CheckBox1", "CheckBox2", "CheckBox3"};
        QTest::newRow("verification") << 1 << QStringList{"Memo1", "Button3", "Button4", "Button5"};
        QTest::newRow("encryption") << 2 << QStringList{"Button7", "Button6", "CheckBox4", "Button11"};
        QTest::newRow("decryption") << 3 << QStringList{"Button8", "Button9"};
    }

    void focusOrder() {
        QFETCH(int, page);
        QFETCH(QStringList, order);
        QWidget* sheet = form->PageControl1->widget(page);
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
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        form->PageControl1->setCurrentIndex(2);
        form->Button6->setFocus();
        QTest::keyClick(form->Button6, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), form->CheckBox4);
        QTest::keyClick(form->CheckBox4, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != form->Button11);
        QVERIFY(!form->TabSheet3->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == form->Button6);

        form->PageControl1->setCurrentIndex(0);
        form->Button2->setFocus();
        QTest::keyClick(form->Button2, Qt::Key_Backtab);
        QVERIFY(QApplication::focusWidget() != form->Button1);
    }

    // ---- gated choices -------------------------------------------------------------------------

    void gatedSizeLimit_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<bool>("accepted");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray b = kGated[i].button;
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
        QCOMPARE(qs((*form).*g.slot), accepted ? qs(path) : QString());
        QCOMPARE(label(g.label)->text(), accepted ? qs(path) : QString());
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
        QVERIFY(((*form).*g.slot).empty());
        QCOMPARE(label(g.label)->text(), QString());
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
        QCOMPARE((*form).*g.slot, path);
        QCOMPARE(label(g.label)->text(), qs(path));
        QCOMPARE(operationEnabled(g), g.operation != nullptr);

        plombar::app::test::makeSparseFile(path, kLimit + 1);
        prompts->reset();
        prompts->cancelFile();
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, path), kTooBig}));
        QVERIFY(((*form).*g.slot).empty());
        QCOMPARE(label(g.label)->text(), QString());
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
                labelDuringMessage = label(g.label)->text();
                slotEmptyDuringMessage = ((*form).*g.slot).empty();
            }
        };
        choose(g);
        QCOMPARE(prompts->log, QStringList({openFileEntry(g.dialog, g.filter, ""),
                                            openFileEntry(g.dialog, g.filter, good), kTooBig}));
        QCOMPARE(labelDuringMessage, qs(good));
        QVERIFY(slotEmptyDuringMessage);
        QVERIFY(((*form).*g.slot).empty());
        QCOMPARE(label(g.label)->text(), QString());
        QCOMPARE(operationEnabled(g), g.operation != nullptr);
    }

    // A gate error keeps the dialog's result in the slot while label and button stay as they were;
    // only the certificate file's label follows the slot, since "Зашифровать" would use that file.
    void gatedGateErrors_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<QString>("bad");
        QTest::addColumn<QString>("report");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            const QByteArray b = kGated[i].button;
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
        QCOMPARE((*form).*g.slot, badPath);
        const bool labelFollowsSlot = g.operation == nullptr;
        QCOMPARE(label(g.label)->text(), labelFollowsSlot ? qs(badPath) : QString());
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
        QCOMPARE((*form).*g.slot, badPath);
        QCOMPARE(label(g.label)->text(), labelFollowsSlot ? qs(badPath) : qs(good));
        QCOMPARE(operationEnabled(g), g.operation != nullptr);
    }

    void certificateFileNeverEnablesEncrypt() {
        prepare(kGated[3]);
        QVERIFY(form->Button11->isEnabled());
        const std::string cert = file("получатель.cer");
        prompts->answerFile(cert);
        choose(kGated[3]);
        QCOMPARE(form->RecipientCertFileName, cert);
        QCOMPARE(form->Label6->text(), qs(cert));
        QVERIFY(!form->Button7->isEnabled());
        QVERIFY(form->Button11->isEnabled());
        for (const char* op : {"Button1", "Button3", "Button9"})
            QVERIFY(!button(op)->isEnabled());
    }

    // ---- ungated choices -----------------------------------------------------------------------

    void ungated_data() {
        QTest::addColumn<int>("handler");
        QTest::newRow("Button4") << 0;
        QTest::newRow("Button5") << 1;
    }

    // No gate and no existence check; a cancel first empties the slot, then the label.
    void ungated() {
        QFETCH(int, handler);
        const Ungated& u = kUngated[handler];
        const std::string missing = dir->file("нет такого файла.sig");
        prompts->answerFile(missing);
        QVERIFY(plombar::app::test::clickEnabled(*form, button(u.button)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, "")}));
        QCOMPARE((*form).*u.slot, missing);
        QCOMPARE(label(u.label)->text(), qs(missing));
        QVERIFY(!form->Button3->isEnabled());

        // The other file: now "Проверить" is enabled.
        const std::string other = file("другой.bin");
        prompts->answerFile(other);
        QVERIFY(plombar::app::test::clickEnabled(*form, button(u.otherButton)));
        QVERIFY(form->Button3->isEnabled());

        // Cancel: the slot is empty while the dialog shows, the label is emptied after it.
        prompts->reset();
        prompts->cancelFile();
        QString labelDuringDialog;
        bool slotEmptyDuringDialog = false;
        prompts->onPrompt = [&](const QString&) {
            labelDuringDialog = label(u.label)->text();
            slotEmptyDuringDialog = ((*form).*u.slot).empty();
        };
        QVERIFY(plombar::app::test::clickEnabled(*form, button(u.button)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, missing)}));
        QCOMPARE(labelDuringDialog, qs(missing));
        QVERIFY(slotEmptyDuringDialog);
        QVERIFY(((*form).*u.slot).empty());
        QCOMPARE(label(u.label)->text(), QString());
        QCOMPARE((*form).*u.otherSlot, other);
        QVERIFY(form->Button3->isEnabled());
    }

    void ungatedCancelAtStartIsNoError_data() { ungated_data(); }
    void ungatedCancelAtStartIsNoError() {
        QFETCH(int, handler);
        const Ungated& u = kUngated[handler];
        prompts->cancelFile();
        QVERIFY(plombar::app::test::clickEnabled(*form, button(u.button)));
        QCOMPARE(prompts->log, QStringList({openFileEntry(u.dialog, u.filter, "")}));
        QVERIFY(((*form).*u.slot).empty());
        QVERIFY(!form->Button3->isEnabled());
    }

    // ---- recipient certificate source ----------------------------------------------------------

    void certificateSourceBox_data() {
        QTest::addColumn<bool>("byUser");
        QTest::newRow("clicked") << true;
        QTest::newRow("set by code") << false;
    }

    void certificateSourceBox() {
        QFETCH(bool, byUser);
        const auto setBox = [&](bool ticked) {
            if (byUser) {
                QVERIFY(plombar::app::test::clickEnabled(*form, form->CheckBox4));
            } else {
                form->CheckBox4->setChecked(ticked);
            }
            QCOMPARE(form->CheckBox4->isChecked(), ticked);
        };
        setBox(true);
        QVERIFY(form->Button11->isEnabled());
        const std::string cert = file("cert.cer");
        prompts->answerFile(cert);
        choose(kGated[3]);
        QCOMPARE(form->Label6->text(), qs(cert));

        setBox(false);
        QCOMPARE(form->Label6->text(), QString());
        QVERIFY(!form->Button11->isEnabled());
        QCOMPARE(form->RecipientCertFileName, cert);

        // Ticked again, the label shows the kept file that "Зашифровать" will use, whatever it showed.
        form->setLabelText(form->Label6, "что-то");
        setBox(true);
        QCOMPARE(form->Label6->text(), qs(cert));
        QVERIFY(form->Button11->isEnabled());
        QCOMPARE(form->RecipientCertFileName, cert);
        QVERIFY(!form->Button7->isEnabled());
        QCOMPARE(prompts->log, QStringList({openFileEntry("OpenDialog6", "Certificate|*.cer", "")}));
    }

    // ---- dialogs remember the file last confirmed in them --------------------------------------

    void dialogsReopenOnLastConfirmedFile_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("dialog");
        for (const auto& g : kGated)
            QTest::newRow(g.button) << QString::fromLatin1(g.button) << QString::fromLatin1(g.dialog);
        for (const auto& u : kUngated)
            QTest::newRow(u.button) << QString::fromLatin1(u.button) << QString::fromLatin1(u.dialog);
    }

    void dialogsReopenOnLastConfirmedFile() {
        QFETCH(QString, button);
        QFETCH(QString, dialog);
        if (button == QLatin1String("Button11"))
            form->CheckBox4->setChecked(true);
        const std::string a = file("a.txt");
        const std::string b = file("b.txt");
        prompts->answerFile(a);
        prompts->cancelFile();
        prompts->answerFile(b);
        prompts->cancelFile();
        auto* target = form->findChild<QPushButton*>(button);
        for (int i = 0; i < 4; ++i)
            QVERIFY(plombar::app::test::clickEnabled(*form, target));
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
        QCOMPARE(form->Label2->text(), qs(path));
        QVERIFY(form->Label2->width() >= form->Label2->fontMetrics().horizontalAdvance(qs(path)));
        prompts->answerFile(file("x"));
        choose(kGated[0]);
        QVERIFY(form->Label2->width() < form->Label2->fontMetrics().horizontalAdvance(qs(path)));
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
        QCOMPARE(prompts->log, QStringList({openFileEntry("OpenDialog2", "", ""), report}));
        QCOMPARE(form->Label2->text(), QString());
        QVERIFY(!form->Button1->isEnabled());

        // The window goes on: the next click works. The failed dialog confirmed nothing.
        prompts->onPrompt = nullptr;
        prompts->reset();
        prompts->answerFile(path);
        choose(kGated[0]);
        QCOMPARE(prompts->log, QStringList({openFileEntry("OpenDialog2", "", "")}));
        QCOMPARE(form->Label2->text(), qs(path));
        QVERIFY(form->Button1->isEnabled());
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
        QVERIFY(plombar::app::test::clickEnabled(*form, form->Button4));
        QCOMPARE(cursors, QStringList({"openFile=wait", "error=normal", "openFile=wait", "message=wait",
                                       "openFile=wait"}));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

int main(int argc, char** argv) {
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_window.moc"
