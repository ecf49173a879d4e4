// The page "Сертификаты" on the real window, over stores under a temporary XDG_DATA_HOME: what it
// lists per store, which buttons it enables, and each change it makes (import of a PKCS #12 file,
// a certificate, a certificate with its key; export as DER and PEM; removal after a confirmation;
// a test certificate), checked in the store's folder and against `openssl`.

#include "CertificatesPage.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "crypto/GostRuntime.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <memory>

#include <sys/stat.h>

using namespace plombar;
using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;
using plombar::test::TestStore;

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

class TestCertificatesPage : public QObject {
    Q_OBJECT

    std::unique_ptr<TestStore> store;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    app::CertificatesPage* page = nullptr;

    QStringList rows() const {
        QStringList texts;
        for (int r = 0; r < page->certificateList->topLevelItemCount(); ++r) {
            const QTreeWidgetItem* item = page->certificateList->topLevelItem(r);
            texts << item->text(0) + QStringLiteral(" | ") + item->text(3);
        }
        texts.sort();
        return texts;
    }

    void selectRow(const QString& issuedTo) {
        for (int r = 0; r < page->certificateList->topLevelItemCount(); ++r)
            if (page->certificateList->topLevelItem(r)->text(0) == issuedTo)
                page->certificateList->setCurrentItem(page->certificateList->topLevelItem(r));
    }

    void chooseStore(int index) {
        page->storeBox->setCurrentIndex(index);
        QCOMPARE(page->storeBox->currentIndex(), index);
    }

    bool click(QPushButton* button) { return app::test::clickEnabled(*window, button); }

private slots:
    void initTestCase() { QVERIFY2(crypto::GostRuntimeReady(), crypto::GostRuntimeErrorText().c_str()); }

    void init() {
        store = std::make_unique<TestStore>();
        dir = std::make_unique<test::TempDir>("plombar-certificates");
        store->add(test::makeIdentity(crypto::KeyAlgorithm::Gost2012_256, "CN=Иванов, O=Ромашка"));
        store->add(test::makeIdentity(crypto::KeyAlgorithm::Gost2012_512, "CN=Петрова"),
                   TestStore::Key::None);
        prompts = std::make_unique<ScriptedPrompts>();
        window = std::make_unique<MainWindow>(*prompts);
        page = window->certificatesPage;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->pages->setCurrentWidget(page);
    }

    void cleanup() {
        QCOMPARE(prompts->unscripted(), QStringList());
        QCOMPARE(prompts->pendingAnswers(), QStringList());
        window.reset();
        prompts.reset();
        dir.reset();
        store.reset();
    }

    void fifthPageListsTheStores() {
        QCOMPARE(window->pages->indexOf(page), 4);
        QCOMPARE(window->pages->tabText(4), QStringLiteral("Сертификаты"));
        QCOMPARE(page->storeBox->count(), 3);
        QCOMPARE(page->storeName(), std::string("MY"));
        QCOMPARE(rows(), QStringList({"Иванов | Есть", "Петрова | Нет"}));
        const QString tip = page->certificateList->topLevelItem(0)->toolTip(0);
        QVERIFY2(tip.contains(QStringLiteral("Отпечаток: ")), qPrintable(tip));
        chooseStore(1);
        QCOMPARE(page->storeName(), std::string("Root"));
        QCOMPARE(rows(), QStringList());
        chooseStore(2);
        QCOMPARE(page->storeName(), std::string("CA"));
        QCOMPARE(prompts->log, QStringList());
    }

    // Keys live in "MY" only; a certificate must be selected to view, export or remove it.
    void buttonsFollowStoreAndSelection_data() {
        QTest::addColumn<int>("storeIndex");
        QTest::addColumn<bool>("select");
        QTest::newRow("MY, nothing selected") << 0 << false;
        QTest::newRow("MY, a row selected") << 0 << true;
        QTest::newRow("Root") << 1 << false;
        QTest::newRow("CA") << 2 << false;
    }

    void buttonsFollowStoreAndSelection() {
        QFETCH(int, storeIndex);
        QFETCH(bool, select);
        chooseStore(storeIndex);
        if (select)
            selectRow(QStringLiteral("Иванов"));
        QCOMPARE(page->viewButton->isEnabled(), select);
        QCOMPARE(page->exportButton->isEnabled(), select);
        QCOMPARE(page->removeButton->isEnabled(), select);
        QVERIFY(page->importButton->isEnabled());
        QCOMPARE(page->importWithKeyButton->isEnabled(), storeIndex == 0);
        QCOMPARE(page->testCertificateButton->isEnabled(), storeIndex == 0);
    }

    void viewShowsTheSelectedCertificate() {
        selectRow(QStringLiteral("Петрова"));
        QVERIFY(click(page->viewButton));
        QCOMPARE(prompts->log, QStringList({"viewCertificate: Петрова"}));
    }

    void importPkcs12WithPassword() {
        const test::TestIdentity identity =
            test::makeIdentity(crypto::KeyAlgorithm::Gost2012_256, "CN=Из PFX");
        test::writeFile(dir->file("cert.pem"), identity.pem());
        test::writeFile(dir->file("key.pem"), identity.keyPem());
        test::writeFile(dir->file("pass"), "пароль");
        std::string log;
        QVERIFY2(test::runOpenssl("pkcs12 -export -engine gost -keypbe gost89 -certpbe gost89 -macalg "
                                  "md_gost12_256 -in " +
                                      test::shellQuote(dir->file("cert.pem")) + " -inkey " +
                                      test::shellQuote(dir->file("key.pem")) + " -out " +
                                      test::shellQuote(dir->file("личный.pfx")) +
                                      " -passout file:" + test::shellQuote(dir->file("pass")),
                                  &log) == 0,
                 log.c_str());
        prompts->answerFile(dir->file("личный.pfx"));
        prompts->answerPassword("неверный");
        prompts->answerPassword("пароль");
        QVERIFY(click(page->importButton));
        QCOMPARE(
            prompts->log,
            QStringList({"openFile: certificateImportDialog filter=\"Сертификаты и PKCS "
                         "#12|*.pfx;*.p12;*.cer;*.crt;*.pem;*.der|Все файлы|*.*\" initial=\"\"",
                         "password: Пароль файла PKCS #12 " + qs(dir->file("личный.pfx")),
                         "password: Пароль файла PKCS #12 " + qs(dir->file("личный.pfx")) +
                             "\nНеверный пароль, попробуйте ещё раз (попытка 2 из 3)",
                         "message: Сертификат «Из PFX» добавлен в хранилище «MY» вместе с закрытым ключом"}));
        QCOMPARE(rows(), QStringList({"Иванов | Есть", "Из PFX | Есть", "Петрова | Нет"}));
        QVERIFY(test::fileExists(store->keyFile(identity.thumbprint())));
    }

    // A certificate alone into any store; with its key file only into "MY".
    void importCertificate_data() {
        QTest::addColumn<int>("storeIndex");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<QString>("encoding");
        QTest::newRow("MY, DER") << 0 << false << "der";
        QTest::newRow("Root, PEM") << 1 << false << "pem";
        QTest::newRow("CA, DER") << 2 << false << "der";
        QTest::newRow("MY with key") << 0 << true << "pem";
    }

    void importCertificate() {
        QFETCH(int, storeIndex);
        QFETCH(bool, withKey);
        QFETCH(QString, encoding);
        chooseStore(storeIndex);
        const test::TestIdentity identity =
            test::makeIdentity(crypto::KeyAlgorithm::Gost2012_256, "CN=Новый УЦ");
        const std::string file = dir->file("новый." + encoding.toStdString());
        test::writeFile(file, encoding == QLatin1String("pem") ? identity.pem() : identity.der());
        const std::string key = dir->file("новый.key");
        test::writeFile(key, identity.keyPem());
        prompts->answerFile(file);
        if (withKey)
            prompts->answerFile(key);
        QVERIFY(click(withKey ? page->importWithKeyButton : page->importButton));
        QCOMPARE(prompts->log.last(),
                 QStringLiteral("message: Сертификат «Новый УЦ» добавлен в хранилище «%1»%2")
                     .arg(qs(page->storeName()), withKey ? " вместе с закрытым ключом" : ""));
        QVERIFY(rows().contains(QStringLiteral("Новый УЦ | ") + (withKey ? "Есть" : "Нет")));
        QVERIFY(test::fileExists(crypto::CertificateStore::folderOf(page->storeName()) + "/" +
                                 identity.thumbprint() + ".cer"));
    }

    // Hostile or wrong files are reported and add nothing; a huge one is not even read.
    void importOfWrongFilesIsReportedAndAddsNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("report"); // the start of the error report; "" for any
        QTest::newRow("junk") << "junk"
                              << "";
        QTest::newRow("17 MiB") << "huge"
                                << "error: Файл %1 слишком велик для сертификата или ключа (больше 16 Мб)";
        QTest::newRow("named pipe") << "fifo"
                                    << "error: I/O error 1920.";
        QTest::newRow("gone") << "gone"
                              << "error: File not found.";
    }

    void importOfWrongFilesIsReportedAndAddsNothing() {
        QFETCH(QString, kind);
        QFETCH(QString, report);
        const std::string path = dir->file("файл.cer");
        if (kind == QLatin1String("junk"))
            test::writeFile(path, "not a certificate");
        else if (kind == QLatin1String("huge"))
            app::test::makeSparseFile(path, 17 * 1048576);
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(path.c_str(), 0600), 0);
        prompts->answerFile(path);
        QVERIFY(click(page->importButton));
        QCOMPARE(prompts->log.size(), 2);
        QVERIFY2(prompts->log[1].startsWith(QStringLiteral("error: ")), qPrintable(prompts->log[1]));
        if (!report.isEmpty())
            QCOMPARE(prompts->log[1], report.contains(QLatin1String("%1")) ? report.arg(qs(path)) : report);
        QCOMPARE(rows(), QStringList({"Иванов | Есть", "Петрова | Нет"}));
    }

    // The format follows the name's extension; the file holds the certificate, never the key.
    void exportCertificate_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("pem");
        QTest::newRow("DER") << "иванов.cer" << false;
        QTest::newRow("PEM") << "иванов.pem" << true;
        QTest::newRow("PEM in capitals") << "ИВАНОВ.PEM" << true;
    }

    void exportCertificate() {
        QFETCH(QString, name);
        QFETCH(bool, pem);
        selectRow(QStringLiteral("Иванов"));
        const std::string path = dir->file(name.toStdString());
        prompts->answerSave(path);
        QVERIFY(click(page->exportButton));
        QCOMPARE(
            prompts->log,
            QStringList({"saveFile: certificateExportDialog filter=\"Сертификат DER|*.cer|Сертификат "
                         "PEM|*.pem\" initial=\"\"",
                         "message: Сертификат записан в файл " + qs(path) + (pem ? " (PEM)" : " (DER)")}));
        const std::string written = test::readFile(path);
        QCOMPARE(written.rfind("-----BEGIN CERTIFICATE-----", 0) == 0, pem);
        QVERIFY(written.find("PRIVATE KEY") == std::string::npos);
        std::string subject;
        QCOMPARE(test::runOpenssl("x509 -noout -subject -nameopt utf8 -inform " +
                                      std::string(pem ? "PEM" : "DER") + " -in " + test::shellQuote(path),
                                  &subject),
                 0);
        QVERIFY2(subject.find("Иванов") != std::string::npos, subject.c_str());
    }

    void removeAsksFirst_data() {
        QTest::addColumn<bool>("yes");
        QTest::newRow("no") << false;
        QTest::newRow("yes") << true;
    }

    void removeAsksFirst() {
        QFETCH(bool, yes);
        selectRow(QStringLiteral("Иванов"));
        const crypto::StoreEntry entry =
            *std::find_if(page->entries().begin(), page->entries().end(),
                          [](const crypto::StoreEntry& e) { return e.describe().issuedTo == "Иванов"; });
        prompts->answerConfirm(yes);
        QVERIFY(click(page->removeButton));
        QCOMPARE(prompts->log, QStringList({"confirm: Удалить сертификат «Иванов» (отпечаток " +
                                            qs(entry.certificate.thumbprint()) +
                                            ") из хранилища «MY» вместе с его закрытым ключом? Это нельзя "
                                            "отменить."}));
        QCOMPARE(rows(),
                 yes ? QStringList({"Петрова | Нет"}) : QStringList({"Иванов | Есть", "Петрова | Нет"}));
        QCOMPARE(test::fileExists(entry.certificateFile()), !yes);
        QCOMPARE(test::fileExists(entry.keyFile()), !yes);
        QCOMPARE(page->removeButton->isEnabled(), !yes);
    }

    void testCertificateIsMadeWithItsKey() {
        QVERIFY(click(page->testCertificateButton));
        QCOMPARE(prompts->log.size(), 1);
        QVERIFY2(prompts->log[0].startsWith(QStringLiteral(
                     "message: Создан тестовый сертификат «Тестовый пользователь Пломбаря» (отпечаток ")),
                 qPrintable(prompts->log[0]));
        QVERIFY(prompts->log[0].endsWith(QStringLiteral(") в хранилище «MY»")));
        QVERIFY(rows().contains(QStringLiteral("Тестовый пользователь Пломбаря | Есть")));
    }

    // A change made by another program shows when the page is shown again.
    void pageReadsTheStoreAgainWhenShown() {
        window->pages->setCurrentIndex(0);
        store->add(test::makeIdentity(crypto::KeyAlgorithm::Gost2012_256, "CN=Из командной строки"));
        window->pages->setCurrentWidget(page);
        QVERIFY(rows().contains(QStringLiteral("Из командной строки | Есть")));
    }
};

int main(int argc, char** argv) {
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    TestCertificatesPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_certificates.moc"
