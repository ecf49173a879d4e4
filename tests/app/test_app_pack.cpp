// Packing the signed pair from the real window: the archive beside the pair (checked with the 7z
// command and openssl), the message and the order of resets, the wait cursor, how long the archive
// library stays loaded, the failures: the archive not writable, the library missing or wrong, and
// "Отмена" pressed while packing.
//
// The library's search is pointed at a missing or a stand-in library by hiding /usr/lib/p7zip in a
// private mount namespace (root only; skipped where namespaces are not allowed).

#include "CryptoStartup.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SevenZipTestSupport.h"
#include "SigningPage.h"
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
#include <unistd.h>

#include <cstdlib>
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

const QString kSelect =
    QStringLiteral("selectCertificate: title=\"Укажите сертификат для подписи\" text=\"\" [Подписант]");
const QString kSigned = QStringLiteral("message: Подписанное сообщение создано");

QString archiveMessage(const std::string& archive) {
    return QStringLiteral("message: Создан архив:") + qs(archive);
}

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

QString cursorState() {
    const QCursor* c = QApplication::overrideCursor();
    if (c == nullptr)
        return QStringLiteral("normal");
    return c->shape() == Qt::WaitCursor ? QStringLiteral("wait") : QStringLiteral("other");
}

bool archiveLibraryLoaded() {
    return test::libraryLoaded(test::kSystemLibrary);
}

// The DER message of a signature file (Base64 decoded by Qt, not by our codec).
std::string messageOf(const std::string& bytes, bool base64) {
    return base64 ? QByteArray::fromBase64(QByteArray::fromStdString(bytes)).toStdString() : bytes;
}

// Records, while `recording`, the state changes and paints of the watched check boxes in order.
class BoxWatcher : public QObject {
public:
    QStringList events;
    bool recording = false;

    void watch(std::initializer_list<QCheckBox*> boxes) {
        for (QCheckBox* box : boxes) {
            box->installEventFilter(this);
            connect(box, &QCheckBox::stateChanged, this, [this, box](int state) {
                if (recording)
                    events << box->objectName() + (state == Qt::Checked ? " ticked" : " unticked");
            });
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (recording && event->type() == QEvent::Paint)
            events << watched->objectName() + (static_cast<QCheckBox*>(watched)->isChecked()
                                                   ? " painted ticked"
                                                   : " painted unticked");
        return false;
    }
};

} // namespace

class TestPackWindow : public QObject {
    Q_OBJECT

    TestIdentity signer;
    std::unique_ptr<TestStore> store;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::string input;
    std::string content;

    void chooseInput(const std::string& name = "Договор № 17 «Ромашка».pdf") {
        input = dir->file(name);
        test::writeFile(input, content);
        prompts->answerFile(input);
        QVERIFY(app::test::clickEnabled(*window, window->signingPage->chooseFileButton));
        QCOMPARE(window->signingPage->signFileName, input);
        prompts->log.clear();
    }

    void setBoxes(bool pack, bool base64, bool attached) {
        window->signingPage->packBox->setChecked(pack);
        window->signingPage->base64Box->setChecked(base64);
        window->signingPage->attachedBox->setChecked(attached);
    }

    void sign() {
        prompts->answerCertificate(0);
        QVERIFY(app::test::clickEnabled(*window, window->signingPage->signButton));
    }

    // Unpacks `archive` with the 7z command into a fresh folder and returns the folder's listing;
    // `unpacked` then names the files.
    std::vector<std::string> unpack(const std::string& archive, test::TempDir& out) {
        std::string log;
        const int status =
            test::run7z("x -o" + test::shellQuote(out.path()) + " " + test::shellQuote(archive), &log);
        if (status != 0)
            qWarning("%s", log.c_str());
        return test::listFolder(out.path());
    }

private slots:
    void initTestCase() {
        ::setenv("LC_ALL", "C.UTF-8", 1);
        signer = test::makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Подписант, O=ООО Ромашка, C=RU");
    }

    void cleanupTestCase() { signer = {}; }

    void init() {
        content = std::string("%PDF-1.7\n\0\x01", 11) + test::wordText(300000, 3);
        store = std::make_unique<TestStore>();
        store->add(signer);
        dir = std::make_unique<test::TempDir>("plombar-pack-window");
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
        QCOMPARE(cursorState(), QStringLiteral("normal"));
        // The writer never outlives the click that made it.
        QVERIFY(!archiveLibraryLoaded());
        dir.reset();
        store.reset();
    }

    // ---- success ---------------------------------------------------------------------------------

    void packs_data() {
        QTest::addColumn<bool>("base64");
        QTest::addColumn<bool>("attached");
        QTest::newRow("detached DER") << false << false;
        QTest::newRow("detached Base64") << true << false;
        QTest::newRow("attached DER") << false << true;
        QTest::newRow("attached Base64") << true << true;
    }

    // The archive message comes after the signature is written and before the page resets; the
    // wait cursor shows throughout; the library stays loaded until the folder has been opened.
    void packs() {
        QFETCH(bool, base64);
        QFETCH(bool, attached);
        chooseInput();
        const std::string signature = input + (base64 ? ".p7s" : ".sig");
        const std::string archive = signature + ".7z";
        setBoxes(true, base64, attached);

        BoxWatcher boxes;
        boxes.watch({window->signingPage->packBox, window->signingPage->attachedBox});
        QString cursorAtSigned;
        QString cursorAtArchive;
        PageState atArchive;
        bool archiveAtMessage = false;
        bool loadedAtFolder = false;
        PageState atFolder;
        prompts->onPrompt = [&](const QString& entry) {
            if (entry == kSigned) {
                cursorAtSigned = cursorState();
            } else if (entry.startsWith(QStringLiteral("message: Создан архив:"))) {
                cursorAtArchive = cursorState();
                atArchive = pageState(*window);
                archiveAtMessage = test::fileExists(archive);
                boxes.recording = true;
            } else if (entry.startsWith(QLatin1String("openFolder:"))) {
                boxes.recording = false;
                loadedAtFolder = archiveLibraryLoaded();
                atFolder = pageState(*window);
            }
        };
        sign();

        QCOMPARE(prompts->log, (QStringList{kSelect, kSigned, archiveMessage(archive),
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QCOMPARE(cursorAtSigned, QStringLiteral("wait"));
        QCOMPARE(cursorAtArchive, QStringLiteral("wait"));
        QVERIFY(archiveAtMessage);
        // At the message only "BASE64" and "Прикрепленная" are unticked; the packing box goes after it.
        QCOMPARE(atArchive.text(), (PageState{input, qs(input), true, true, false, false}).text());
        // After the message: the packing box unticked and drawn at once, then "Прикрепленная" drawn again.
        QCOMPARE(boxes.events,
                 (QStringList{QStringLiteral("packBox unticked"), QStringLiteral("packBox painted unticked"),
                              QStringLiteral("attachedBox painted unticked")}));
        const PageState reset{"", QString(), false, false, false, false};
        QCOMPARE(atFolder.text(), reset.text());
        QVERIFY2(loadedAtFolder, "the writer is released only after the folder is opened");
        QVERIFY(!archiveLibraryLoaded());
        QCOMPARE(pageState(*window).text(), reset.text());

        QCOMPARE(test::listFolder(dir->path()),
                 (std::vector<std::string>{fileNameOf(input), fileNameOf(signature), fileNameOf(archive)}));
        for (const auto& entry : test::listArchive(archive))
            QCOMPARE(qs(entry.at("Method")), QStringLiteral("BZip2"));
        test::TempDir out("plombar-pack-window-out");
        QCOMPARE(unpack(archive, out), (std::vector<std::string>{fileNameOf(input), fileNameOf(signature)}));
        const std::string unpackedInput = out.file(fileNameOf(input));
        QVERIFY(test::readFile(unpackedInput) == content);
        QVERIFY(test::readFile(out.file(fileNameOf(signature))) == test::readFile(signature));

        // The unpacked pair is a good signature for the unpacked file.
        const std::string der = out.file("message.der");
        test::writeFile(der, messageOf(test::readFile(signature), base64));
        std::string extracted;
        std::string log;
        QVERIFY2(test::opensslVerifies(der, attached ? std::string() : unpackedInput, &extracted, &log),
                 log.c_str());
        if (attached)
            QVERIFY(extracted == content);
    }

    // Signing the same file again replaces the archive, which then holds the new signature.
    void signingAgainReplacesTheArchive() {
        chooseInput();
        setBoxes(true, false, false);
        sign();
        const std::string archive = input + ".sig.7z";
        QVERIFY(test::fileExists(archive));
        test::writeFile(archive, "an older archive");
        const std::string firstSignature = test::readFile(input + ".sig");

        chooseInput();
        setBoxes(true, false, true);
        sign();
        QCOMPARE(prompts->log.mid(1, 2), (QStringList{kSigned, archiveMessage(archive)}));
        test::TempDir out("plombar-pack-window-out");
        QCOMPARE(unpack(archive, out).size(), std::size_t{2});
        const std::string second = test::readFile(out.file(fileNameOf(input) + ".sig"));
        QVERIFY(second == test::readFile(input + ".sig"));
        QVERIFY(second != firstSignature); // attached this time, so it holds the content
        QVERIFY(second.size() > content.size());
    }

    // Unticked, the library is not loaded at any moment of the run and no archive appears.
    void untickedDoesNotLoadTheLibrary() {
        chooseInput();
        setBoxes(false, true, true);
        bool everLoaded = false;
        prompts->onPrompt = [&](const QString&) { everLoaded = everLoaded || archiveLibraryLoaded(); };
        sign();
        QCOMPARE(prompts->log,
                 (QStringList{kSelect, kSigned, QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY(!everLoaded);
        QCOMPARE(test::listFolder(dir->path()),
                 (std::vector<std::string>{fileNameOf(input), fileNameOf(input) + ".p7s"}));
    }

    // ---- failures --------------------------------------------------------------------------------

    // The archive cannot be written: the error report, the signature stays, the packing box stays ticked,
    // the file stays chosen, no folder is opened, and the library goes as the error leaves.
    void archiveCannotBeWritten() {
        chooseInput();
        const std::string archive = input + ".p7s.7z";
        QCOMPARE(::mkdir(archive.c_str(), 0700), 0);
        setBoxes(true, true, true);
        sign();
        QCOMPARE(
            prompts->log,
            (QStringList{
                kSelect, kSigned,
                QStringLiteral("error: Cannot create file \"%1\". Access is denied.").arg(qs(archive))}));
        QCOMPARE(pageState(*window).text(), (PageState{input, qs(input), true, true, false, false}).text());
        QVERIFY(!archiveLibraryLoaded());
        QCOMPARE(
            test::listFolder(dir->path()),
            (std::vector<std::string>{fileNameOf(input), fileNameOf(input) + ".p7s", fileNameOf(archive)}));
        QVERIFY(test::listFolder(archive).empty());

        // Once the way is clear, the same choice packs.
        QCOMPARE(::rmdir(archive.c_str()), 0);
        prompts->log.clear();
        window->signingPage->base64Box->setChecked(true);
        sign();
        QCOMPARE(prompts->log.mid(1, 2), (QStringList{kSigned, archiveMessage(archive)}));
        QVERIFY(!window->signingPage->packBox->isChecked());
    }

    void cancelledPacking_data() {
        QTest::addColumn<qulonglong>("cancelAt"); // bytes of the packing stage
        QTest::addColumn<bool>("olderArchive");
        QTest::newRow("as packing begins") << qulonglong{0} << false;
        QTest::newRow("midway, over an older archive") << qulonglong{1} << true;
    }

    // "Отмена" while the pair is packed: the plain cancel message and no other; no archive and no
    // temporary file, an older archive as it was; the signature, already announced, stays; the page is
    // left as a failed packing leaves it. The next click signs and packs with both stages shown.
    void cancelledPacking() {
        QFETCH(qulonglong, cancelAt);
        QFETCH(bool, olderArchive);
        chooseInput();
        const std::string signature = input + ".p7s";
        const std::string archive = signature + ".7z";
        if (olderArchive)
            test::writeFile(archive, "older archive");
        setBoxes(true, true, false);
        prompts->cancelProgressAt(cancelAt, "Упаковка");
        sign();
        const QString signing = QStringLiteral("progress: Подпись");
        const QString packing = QStringLiteral("progress: Упаковка");
        QCOMPARE(prompts->log,
                 (QStringList{kSelect, signing, kSigned, packing, QStringLiteral("cancel: Упаковка"),
                              QStringLiteral("message: Операция отменена пользователем")}));
        QCOMPARE(pageState(*window).text(), (PageState{input, qs(input), true, true, false, false}).text());
        std::vector<std::string> expected{fileNameOf(input), fileNameOf(signature)};
        if (olderArchive)
            expected.push_back(fileNameOf(archive));
        QCOMPARE(test::listFolder(dir->path()), expected);
        if (olderArchive)
            QCOMPARE(test::readFile(archive), std::string("older archive"));

        prompts->log.clear();
        window->signingPage->base64Box->setChecked(true);
        sign();
        QCOMPARE(prompts->log, (QStringList{kSelect, signing, kSigned, packing, archiveMessage(archive),
                                            QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QCOMPARE(test::run7z("t " + test::shellQuote(archive)), 0);
    }

    void hiddenLibrary_data() {
        QTest::addColumn<QString>("library");
        QTest::newRow("no library in its folder") << "missing";
        QTest::newRow("a library without CreateObject") << "stand-in";
    }

    // Runs hiddenLibraryChild in a private mount namespace whose /usr/lib/p7zip is empty or holds a
    // stand-in 7z.so that marks every load.
    void hiddenLibrary() {
        if (std::getenv("PLOMBAR_TEST_IN_NAMESPACE") != nullptr)
            QSKIP("the parent of hiddenLibraryChild");
        if (!test::runningAsRoot() || test::runCommand("unshare --mount true 2>/dev/null") != 0)
            QSKIP("private mount namespaces are not allowed here");
        QFETCH(QString, library);
        test::TempDir empty("plombar-no-7z");
        const std::string folder = library == QLatin1String("missing") ? empty.path() : FAKE7Z_MARKED_DIR;
        const std::string loads = dir->file("loads.txt");
        std::string output;
        const std::string command =
            "PLOMBAR_TEST_IN_NAMESPACE=1 PLOMBAR_TEST_HIDDEN=" + library.toStdString() +
            " PLOMBAR_FAKE7Z_LOADS=" + test::shellQuote(loads) +
            " unshare --mount sh -c 'mount --bind \"$1\" /usr/lib/p7zip && exec \"$2\" hiddenLibraryChild' "
            "sh " +
            test::shellQuote(folder) + " " +
            test::shellQuote(QCoreApplication::applicationFilePath().toStdString()) + " 2>&1";
        const int status = test::runCommand(command, &output);
        QVERIFY2(status == 0, output.c_str());
        QVERIFY2(output.find("PASS   : TestPackWindow::hiddenLibraryChild") != std::string::npos,
                 output.c_str());
    }

    // Unticked, a missing or wrong library goes unnoticed and is never loaded; ticked, its error
    // shows after the signature is written, and the packing box stays ticked.
    void hiddenLibraryChild() {
        const char* hidden = std::getenv("PLOMBAR_TEST_HIDDEN");
        if (std::getenv("PLOMBAR_TEST_IN_NAMESPACE") == nullptr || hidden == nullptr)
            QSKIP("runs in the child process of hiddenLibrary");
        const bool standIn = std::string(hidden) == "stand-in";
        const std::string loads = std::getenv("PLOMBAR_FAKE7Z_LOADS");
        QCOMPARE(test::fileExists(std::string(test::kSystemLibrary)), standIn);

        chooseInput();
        setBoxes(false, false, false);
        sign();
        QCOMPARE(prompts->log,
                 (QStringList{kSelect, kSigned, QStringLiteral("openFolder: ") + qs(dir->path() + "/")}));
        QVERIFY2(!test::fileExists(loads), "loaded although unticked");

        chooseInput();
        setBoxes(true, false, true);
        sign();
        const QString error = standIn ? QStringLiteral("error: 7z.so is not a 7z library.")
                                      : QStringLiteral("error: Error loading library 7z.so.");
        QCOMPARE(prompts->log, (QStringList{kSelect, kSigned, error}));
        QCOMPARE(pageState(*window).text(), (PageState{input, qs(input), true, true, false, false}).text());
        QVERIFY(test::fileExists(input + ".sig"));
        QVERIFY(!test::fileExists(input + ".sig.7z"));
        QCOMPARE(test::fileExists(loads), standIn);
        if (standIn)
            QCOMPARE(test::readFile(loads), std::string("loaded\n"));
    }
};

int main(int argc, char** argv) {
    app::test::useOffscreenWhenHeadless();
    QApplication application(argc, argv);
    TestPackWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_pack.moc"
