// Gated choices of a read-only file. Root ignores permission bits, so this executable drops to
// the unprivileged user "nobody" before anything else when it starts as root.

#include "GuiTest.h"
#include "ScriptedPrompts.h"
#include "TestSupport.h"
#include "Unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

using plombar::app::TForm1;
using plombar::app::test::ScriptedPrompts;

namespace {

struct Gated {
    const char* button;
    const char* dialog;
    const char* filter;
    std::string TForm1::*slot;
    const char* label;
    const char* operation;
};
const Gated kGated[] = {
    {"Button2", "OpenDialog2", "", &TForm1::SignFileName, "Label2", "Button1"},
    {"Button6", "OpenDialog4", "", &TForm1::EncryptFileName, "Label4", "Button7"},
    {"Button8", "OpenDialog5", "Зашифрованные файлы|*.enc", &TForm1::DecryptFileName, "Label5", "Button9"},
    {"Button11", "OpenDialog6", "Certificate|*.cer", &TForm1::RecipientCertFileName, "Label6", nullptr},
};

QString openFileEntry(const Gated& g, const std::string& initial) {
    return QStringLiteral("openFile: %1 filter=\"%2\" initial=\"%3\"")
        .arg(QString::fromUtf8(g.dialog), QString::fromUtf8(g.filter), QString::fromStdString(initial));
}

bool dropRoot() {
    if (::geteuid() != 0)
        return true;
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
        return false;
    // Changing the user makes the process undumpable, which stops LeakSanitizer from inspecting
    // its own threads at exit.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    return true;
}

} // namespace

class TestReadOnlyChoices : public QObject {
    Q_OBJECT

    std::unique_ptr<plombar::test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<TForm1> form;

    QPushButton* button(const char* name) const {
        return form->findChild<QPushButton*>(QString::fromLatin1(name));
    }

    std::string readOnlyFile(const std::string& name) {
        const std::string path = dir->file(name);
        plombar::test::writeFile(path, "content");
        plombar::app::test::makeReadOnly(path);
        return path;
    }

private slots:
    void initTestCase() {
        // Without this the checks below would pass or fail for the wrong reason.
        QVERIFY2(::geteuid() != 0, "still root: permission bits would not apply");
    }

    void init() {
        dir = std::make_unique<plombar::test::TempDir>("plombar-readonly");
        prompts = std::make_unique<ScriptedPrompts>();
        form = std::make_unique<TForm1>(*prompts);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

    void cleanup() {
        form.reset();
        prompts.reset();
        dir.reset();
    }

    void gatedRefusesReadOnlyFile_data() {
        QTest::addColumn<int>("handler");
        QTest::addColumn<bool>("afterGoodChoice");
        for (int i = 0; i < static_cast<int>(std::size(kGated)); ++i) {
            QTest::newRow(QByteArray(kGated[i].button) + " first") << i << false;
            QTest::newRow(QByteArray(kGated[i].button) + " after a good file") << i << true;
        }
    }

    // "File access denied.": the slot takes the read-only path, the label and the button stay; the
    // certificate file's label shows that path, which "Зашифровать" will read the certificate from.
    void gatedRefusesReadOnlyFile() {
        QFETCH(int, handler);
        QFETCH(bool, afterGoodChoice);
        const Gated& g = kGated[handler];
        if (g.operation == nullptr)
            form->CheckBox4->setChecked(true);
        const std::string good = dir->file("good.txt");
        plombar::test::writeFile(good, "x");
        const std::string locked = readOnlyFile("только чтение.txt");

        QStringList expected;
        if (afterGoodChoice) {
            prompts->answerFile(good);
            QVERIFY(plombar::app::test::clickEnabled(*form, button(g.button)));
            expected << openFileEntry(g, "");
        }
        prompts->answerFile(locked);
        QVERIFY(plombar::app::test::clickEnabled(*form, button(g.button)));
        expected << openFileEntry(g, afterGoodChoice ? good : "")
                 << QStringLiteral("error: File access denied.");

        QCOMPARE(prompts->log, expected);
        QCOMPARE((*form).*g.slot, locked);
        auto* label = form->findChild<QLabel*>(QString::fromLatin1(g.label));
        const std::string shown = g.operation == nullptr ? locked : afterGoodChoice ? good : std::string();
        QCOMPARE(label->text(), QString::fromStdString(shown));
        QCOMPARE(button(g.operation != nullptr ? g.operation : "Button7")->isEnabled(),
                 afterGoodChoice && g.operation != nullptr);
    }

    // The verification page reads files only later: a read-only file is taken as it is.
    void verificationTakesReadOnlyFiles() {
        const std::string data = readOnlyFile("данные.txt");
        const std::string signature = readOnlyFile("данные.txt.sig");
        prompts->answerFile(data);
        prompts->answerFile(signature);
        QVERIFY(plombar::app::test::clickEnabled(*form, form->Button4));
        QVERIFY(plombar::app::test::clickEnabled(*form, form->Button5));
        QCOMPARE(prompts->log.filter(QStringLiteral("error:")), QStringList());
        QCOMPARE(form->VerifyDataFileName, data);
        QCOMPARE(form->VerifySignatureFileName, signature);
        QVERIFY(form->Button3->isEnabled());
    }
};

int main(int argc, char** argv) {
    if (!dropRoot()) {
        std::perror("cannot drop root rights");
        return 1;
    }
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    TestReadOnlyChoices test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_readonly.moc"
