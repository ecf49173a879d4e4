// The verification page driven like a user: both files (or an attached signature alone) chosen
// through their dialogs, "Проверить" pressed; the report in the report area line by line, the
// certificate view shown between its first and second line, the trust lines after a valid signer's
// lines, the page's resets after a completed run and none after an error; the document of a valid
// attached signature saved through "Сохранить документ".

#include "GuiTest.h"
#include "LocalHttpServer.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "VerificationPage.h"
#include "VerifyTestUtil.h"

#include "crypto/CertificateStore.h"
#include "crypto/TrustReport.h"
#include "operations/SignFlow.h"
#include "operations/VerifyFlow.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCharFormat>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;
using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::operations;
using namespace plombar::test;

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

QByteArray bytes(const std::string& s) {
    return QByteArray::fromStdString(s);
}

const QStringList kNotVerified = {kVerifyHeaderLine, kSignatureInvalidLine};

// The trust lines of a signer whose authority ("Тестовый УЦ") is in no store.
const QStringList kUntrusted = {
    QStringLiteral("X Цепочка сертификатов не построена: не найден сертификат издателя «Тестовый УЦ»"),
    QStringLiteral("? Статус отзыва не проверен: не найден издатель сертификата «Тестовый подписант» для "
                   "проверки списка отзыва")};

} // namespace

class TestVerifyPage : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> store;
    TestIdentity ca, signer;
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<TempDir> cache; // XDG_CACHE_HOME: where revocation lists are kept
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::string data;
    const std::string content = std::string("Акт сверки\r\n\0\x1A\n", 22) + randomBytes(30000, 9);

    QStringList memoLines() const {
        return window->verificationPage->reportArea->toPlainText().split(QLatin1Char('\n'));
    }

    // The report without the trust lines (chain, revocation, signing time) that end it; those go to
    // `trust`.
    QStringList reportWithoutTrust(QStringList* trust = nullptr) const {
        QStringList lines = memoLines();
        QStringList cut;
        const auto isTrustLine = [](const QString& line) {
            for (const char* start : {kChainBuiltLine, kChainNotBuiltPrefix, kNotRevokedLine, kRevokedPrefix,
                                      kRevocationUnknownPrefix, kSigningTimePrefix})
                if (line.startsWith(QString::fromUtf8(start)))
                    return true;
            return false;
        };
        while (!lines.isEmpty() && isTrustLine(lines.last()))
            cut.prepend(lines.takeLast());
        if (trust != nullptr)
            *trust = cut;
        return lines;
    }

    QStringList verifiedReport(const std::string& serial, const char* period) const {
        return {kVerifyHeaderLine,
                kSignatureValidLine,
                qs(std::string(kSerialNumberPrefix) + serial),
                period,
                kSubjectHeaderLine,
                QStringLiteral("2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый подписант"),
                kIssuerHeaderLine,
                QStringLiteral("2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый УЦ")};
    }

    TestIdentity makeSigner(const std::string& serial, std::time_t notBefore = 0, std::time_t notAfter = 0) {
        IdentityFields fields;
        fields.rdns = {{{"C", "RU"}}, {{"O", "Пломбарь"}}, {{"CN", "Тестовый подписант"}}};
        fields.serial = serial;
        fields.notBefore = notBefore;
        fields.notAfter = notAfter;
        fields.issuer = &ca;
        return makeIdentity(fields);
    }

    // Chooses the pair through the page's two dialogs, as the user would; the log is emptied after.
    void choosePair(const std::string& dataPath, const std::string& signaturePath) {
        prompts->answerFile(dataPath);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->dataFileButton));
        prompts->answerFile(signaturePath);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->signatureFileButton));
        QVERIFY(window->verificationPage->verifyButton->isEnabled());
        prompts->log.clear();
    }

    void verifyPressed() {
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->verifyButton));
    }

    // Chooses `signaturePath` alone and checks it; the log is emptied before the check.
    void checkAlone(const std::string& signaturePath) {
        prompts->answerFile(signaturePath);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->signatureFileButton));
        prompts->log.clear();
        verifyPressed();
    }

    QPushButton* saveButton() const { return window->verificationPage->saveDocumentButton; }

    // The state of a page after a completed run.
    void checkReset() {
        QVERIFY(window->verificationPage->verifyDataFileName.empty());
        QVERIFY(window->verificationPage->verifySignatureFileName.empty());
        QCOMPARE(window->verificationPage->dataFileLabel->text(), QString());
        QCOMPARE(window->verificationPage->signatureFileLabel->text(), QString());
        QVERIFY(!window->verificationPage->verifyButton->isEnabled());
    }

    // The state of a page whose run stopped on an error: as chosen.
    void checkKept(const std::string& dataPath, const std::string& signaturePath) {
        QCOMPARE(window->verificationPage->verifyDataFileName, dataPath);
        QCOMPARE(window->verificationPage->verifySignatureFileName, signaturePath);
        QCOMPARE(window->verificationPage->dataFileLabel->text(), qs(dataPath));
        QCOMPARE(window->verificationPage->signatureFileLabel->text(), qs(signaturePath));
        QVERIFY(window->verificationPage->verifyButton->isEnabled());
    }

    std::string writeSignature(const std::string& name, const std::string& bytes) {
        const std::string path = dir->file(name);
        writeFile(path, bytes);
        return path;
    }

private slots:
    void initTestCase() {
        store = std::make_unique<TestStore>();
        IdentityFields caFields;
        caFields.subject = "CN=Тестовый УЦ, O=Пломбарь, C=RU";
        ca = makeIdentity(caFields);
        signer = makeSigner(std::string("\x01\x23\x45", 3));
    }

    void cleanupTestCase() {
        signer = {};
        ca = {};
        store.reset();
    }

    void init() {
        dir = std::make_unique<TempDir>("plombar-app-verify");
        cache = std::make_unique<TempDir>("plombar-app-verify-cache");
        ::setenv("XDG_CACHE_HOME", cache->path().c_str(), 1);
        ::setenv("no_proxy", "127.0.0.1", 1); // the revocation lists come from a local server
        data = dir->file("акт сверки.xlsx");
        writeFile(data, content);
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
        cache.reset();
        ::unsetenv("XDG_CACHE_HOME");
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // ---- signatures that verify ----------------------------------------------------------------

    void signaturesFromSigningVerify_data() {
        QTest::addColumn<bool>("base64");
        QTest::newRow(".sig") << false;
        QTest::newRow(".p7s") << true;
    }
    void signaturesFromSigningVerify() {
        QFETCH(bool, base64);
        store->add(signer);
        // Signed detached on the window's own signing page.
        prompts->answerFile(data);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->signingPage->chooseFileButton));
        window->signingPage->base64Box->setChecked(base64);
        prompts->answerCertificate(0);
        QVERIFY(plombar::app::test::clickEnabled(*window, window->signingPage->signButton));
        QVERIFY2(prompts->log.contains(QStringLiteral("message: ") + kSignedText),
                 qPrintable(prompts->log.join('|')));
        const std::string signature = data + (base64 ? ".p7s" : ".sig");
        QVERIFY(fileExists(signature));

        choosePair(data, signature);
        QStringList memoWhileViewing;
        prompts->onPrompt = [&](const QString&) { memoWhileViewing = memoLines(); };
        verifyPressed();

        QCOMPARE(prompts->log, QStringList({"viewCertificate: Тестовый подписант"}));
        // The dialog comes after the first line and before the second.
        QCOMPARE(memoWhileViewing, QStringList({kVerifyHeaderLine}));
        QStringList trust;
        QCOMPARE(reportWithoutTrust(&trust), verifiedReport("01 2345", kCertificateInPeriodLine));
        QCOMPARE(trust, kUntrusted);
        checkReset();
        QVERIFY(!saveButton()->isEnabled()); // a detached check has no document to save
    }

    void signaturesMadeElsewhereVerify_data() {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("signedContent"); // empty: the page's data file as is
        const std::string der = cmsSign(signer, content);
        const QByteArray text = QByteArray::fromStdString(der).toBase64();
        QTest::newRow("DER without attributes") << QByteArray::fromStdString(der) << QByteArray();
        QTest::newRow("DER with attributes")
            << QByteArray::fromStdString(cmsSign(signer, content, withAttributes())) << QByteArray();
        QTest::newRow("Base64, LF line ends") << text + "\n" << QByteArray();
        QTest::newRow("Base64 after a blank line") << "\r\n" + text << QByteArray();
        QTest::newRow("Base64 in armour") << "-----BEGIN CMS-----\r\n" + text + "\r\n-----END CMS-----\r\n"
                                          << QByteArray();
        // The signer's certificate from the store "MY" (signaturesFromSigningVerify put it there).
        QTest::newRow("no certificate inside")
            << QByteArray::fromStdString(cmsSign(signer, content, withoutSignerCertificate()))
            << QByteArray();

        // An attached message with outer length 0x4D49 begins 30 82 "MI": binary all the same.
        const std::string probe = cmsSign(signer, std::string(20000, 'a'), attachedMessage());
        const std::string attachedContent = randomBytes(20000 + 0x4D49 - (probe.size() - 4), 8);
        const std::string attached = cmsSign(signer, attachedContent, attachedMessage());
        QCOMPARE(attached.substr(0, 4), std::string("\x30\x82MI", 4));
        QTest::newRow("binary with MI on its first line")
            << QByteArray::fromStdString(attached) << QByteArray::fromStdString(attachedContent);
    }
    void signaturesMadeElsewhereVerify() {
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, signedContent);
        if (!signedContent.isEmpty())
            writeFile(data, signedContent.toStdString());
        choosePair(data, writeSignature("подпись.p7s", signature.toStdString()));
        verifyPressed();
        QCOMPARE(prompts->log, QStringList({"viewCertificate: Тестовый подписант"}));
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
    }

    // ---- signatures that do not verify ---------------------------------------------------------

    void signaturesThatDoNotVerify_data() {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QByteArray>("signedContent"); // empty: the page's data file as is
        const std::string der = cmsSign(signer, content);
        const QByteArray text = QByteArray::fromStdString(der).toBase64();
        QTest::newRow("empty file") << QByteArray() << QByteArray();
        QTest::newRow("garbage") << QByteArray("не подпись") << QByteArray();
        QTest::newRow("data changed")
            << QByteArray::fromStdString(cmsSign(signer, content + " ")) << QByteArray();
        QTest::newRow("signature value damaged")
            << QByteArray::fromStdString(damageSignatureValue(der)) << QByteArray();
        const TestIdentity stranger = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Не из хранилища");
        QTest::newRow("no certificate inside nor in the store")
            << QByteArray::fromStdString(cmsSign(stranger, content, withoutSignerCertificate()))
            << QByteArray();
    }
    void signaturesThatDoNotVerify() {
        QFETCH(QByteArray, signature);
        QFETCH(QByteArray, signedContent);
        if (!signedContent.isEmpty())
            writeFile(data, signedContent.toStdString());
        choosePair(data, writeSignature("подпись.sig", signature.toStdString()));
        verifyPressed();
        QCOMPARE(prompts->log, QStringList()); // no dialog, no message
        QCOMPARE(memoLines(), kNotVerified);
        checkReset();
    }

    void verdictLineColouredReportFromItsBeginning_data() {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("valid") << QByteArray::fromStdString(cmsSign(signer, content))
                               << QString::fromUtf8(kSignatureValidLine) << QColor(0x00, 0x80, 0x00);
        QTest::newRow("data changed") << QByteArray::fromStdString(cmsSign(signer, content + " "))
                                      << QString::fromUtf8(kSignatureInvalidLine) << QColor(0xc0, 0x00, 0x00);
    }
    // In a report taller than its area, the beginning shows after the run; the verdict line alone is
    // coloured and its text stays as it is.
    void verdictLineColouredReportFromItsBeginning() {
        QFETCH(QByteArray, signature);
        QFETCH(QString, verdict);
        QFETCH(QColor, colour);
        QPlainTextEdit* report = window->verificationPage->reportArea;
        report->resize(report->width(), report->fontMetrics().height());
        choosePair(data, writeSignature("подпись.sig", signature.toStdString()));
        verifyPressed();
        prompts->log.clear();
        const QStringList lines = memoLines();
        if (lines.size() > 2)
            QVERIFY(report->verticalScrollBar()->maximum() > 0); // taller than its area
        QCOMPARE(report->verticalScrollBar()->value(), 0);
        QVERIFY(lines.contains(verdict));
        for (QTextBlock block = report->document()->begin(); block.isValid(); block = block.next()) {
            const QTextCharFormat format = block.begin().fragment().charFormat();
            const bool coloured = format.hasProperty(QTextFormat::ForegroundBrush);
            QCOMPARE(coloured, block.text() == verdict);
            if (coloured)
                QCOMPARE(format.foreground().color(), colour);
        }
    }

    // ---- certificate details -------------------------------------------------------------------

    void certificateLines_data() {
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<qint64>("notBefore");
        QTest::addColumn<qint64>("notAfter");
        QTest::addColumn<QString>("serialText");
        QTest::addColumn<QString>("period");
        const qint64 now = std::time(nullptr);
        QTest::newRow("expired") << QByteArray("\x05", 1) << now - 7200 << now - 3600 << "05"
                                 << QString(kCertificateOutOfPeriodLine);
        QTest::newRow("not yet valid") << QByteArray("\x05", 1) << now + 3600 << now + 7200 << "05"
                                       << QString(kCertificateOutOfPeriodLine);
        QTest::newRow("16-byte serial")
            << QByteArray("\x10\x32\x54\x76\x98\xBA\xDC\xFE\x01\x23\x45\x67\x89\xAB\xCD\xEF", 16) << now - 60
            << now + 3600 << "1032 5476 98BA DCFE 0123 4567 89AB CDEF" << QString(kCertificateInPeriodLine);
        // A serial with its top bit set keeps the sign byte the encoding needs.
        QTest::newRow("serial with a sign byte") << QByteArray("\x80\x01", 2) << now - 60 << now + 3600
                                                 << "00 8001" << QString(kCertificateInPeriodLine);
    }
    void certificateLines() {
        QFETCH(QByteArray, serial);
        QFETCH(qint64, notBefore);
        QFETCH(qint64, notAfter);
        QFETCH(QString, serialText);
        QFETCH(QString, period);
        const TestIdentity who = makeSigner(serial.toStdString(), notBefore, notAfter);
        choosePair(data, writeSignature("подпись.sig", cmsSign(who, content)));
        verifyPressed();
        QCOMPARE(reportWithoutTrust(), verifiedReport(serialText.toStdString(), period.toUtf8().constData()));
        checkReset();
    }

    // ---- names that try to forge or hide report lines --------------------------------------------

    // A subject that forges the verdict line and an issuer hidden by an escape sequence each stay on
    // their own line, written out; the certificate dialog gets the same texts.
    void hostileNamesStayOnTheirLines() {
        IdentityFields authorityFields;
        authorityFields.rdns = {{{"CN", "\x1B[8mНастоящий УЦ"}}};
        const TestIdentity authority = makeIdentity(authorityFields);
        IdentityFields fields;
        fields.rdns = {{{"CN", std::string("\n") + kSignatureValidLine}}};
        fields.serial = "\x07";
        fields.issuer = &authority;
        choosePair(data, writeSignature("подпись.sig", cmsSign(makeIdentity(fields), content)));
        verifyPressed();
        const QString forged = QStringLiteral("\\n") + kSignatureValidLine;
        QCOMPARE(prompts->log, QStringList({"viewCertificate: " + forged}));
        QCOMPARE(
            reportWithoutTrust(),
            QStringList({kVerifyHeaderLine, kSignatureValidLine, qs(std::string(kSerialNumberPrefix) + "07"),
                         kCertificateInPeriodLine, kSubjectHeaderLine, "2.5.4.3=\"" + forged + "\"",
                         kIssuerHeaderLine, QStringLiteral("2.5.4.3=\\x1B[8mНастоящий УЦ")}));
    }

    // ---- errors --------------------------------------------------------------------------------

    void errorsLeaveThePageAsItWas_data() {
        QTest::addColumn<QString>("signatureName");
        QTest::addColumn<QString>("dataName");
        QTest::addColumn<bool>("hugeSignature");
        QTest::addColumn<QString>("error"); // %1: the data file's full path
        const QString missingData = QStringLiteral("Cannot open file \"%1\". ") +
                                    qs(systemMessage(winerr::ERROR_FILE_NOT_FOUND)) + QStringLiteral(".");
        QTest::newRow("signature missing") << "нет.sig"
                                           << "данные" << false << "File not found.";
        QTest::newRow("both missing") << "нет.sig"
                                      << "нет данных" << false << "File not found.";
        QTest::newRow("data missing") << "подпись.sig"
                                      << "нет данных" << false << missingData;
        // A signature file far too large to be one: the data file, opened first, is the one named.
        QTest::newRow("data missing, signature too big") << "огромная.sig"
                                                         << "нет данных" << true << missingData;
    }
    void errorsLeaveThePageAsItWas() {
        QFETCH(QString, signatureName);
        QFETCH(QString, dataName);
        QFETCH(bool, hugeSignature);
        QFETCH(QString, error);
        writeFile(dir->file("данные"), content);
        writeSignature("подпись.sig", cmsSign(signer, content));
        if (hugeSignature) {
            writeSignature("огромная.sig", "MIIB\r\n");
            QCOMPARE(::truncate(dir->file("огромная.sig").c_str(), off_t{1} << 40), 0);
        }
        // A report from an earlier run stays as it is.
        choosePair(data, writeSignature("первая.sig", cmsSign(signer, content)));
        verifyPressed();
        const QString earlierReport = window->verificationPage->reportArea->toPlainText();

        const std::string dataPath = dir->file(dataName.toStdString());
        const std::string signaturePath = dir->file(signatureName.toStdString());
        choosePair(dataPath, signaturePath);
        verifyPressed();
        const QString shown = error.contains(QStringLiteral("%1")) ? error.arg(qs(dataPath)) : error;
        QCOMPARE(prompts->log, QStringList({QStringLiteral("error: ") + shown}));
        QCOMPARE(window->verificationPage->reportArea->toPlainText(), earlierReport);
        checkKept(dataPath, signaturePath);

        // Pressing again retries the same pair; once the files are there, it completes.
        writeFile(dataPath, content);
        writeFile(signaturePath, cmsSign(signer, content));
        prompts->log.clear();
        verifyPressed();
        QCOMPARE(prompts->log, QStringList({"viewCertificate: Тестовый подписант"}));
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
    }

    // ---- the certificate view dialog -----------------------------------------------------------

    void failingViewDialogDoesNotStopTheReport() {
        choosePair(data, writeSignature("подпись.sig", cmsSign(signer, content)));
        prompts->onPrompt = [](const QString& entry) {
            if (entry.startsWith(QStringLiteral("viewCertificate")))
                throw std::runtime_error("the dialog cannot be shown");
        };
        verifyPressed();
        QCOMPARE(prompts->log, QStringList({"viewCertificate: Тестовый подписант"}));
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
    }

    void secondRunReplacesTheReport() {
        choosePair(data, writeSignature("плохая.sig", "плохая"));
        verifyPressed();
        QCOMPARE(memoLines(), kNotVerified);
        choosePair(data, writeSignature("подпись.sig", cmsSign(signer, content)));
        verifyPressed();
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        choosePair(data, writeSignature("плохая.sig", "плохая"));
        verifyPressed();
        QCOMPARE(memoLines(), kNotVerified);
    }

    // ---- an attached signature alone and its document ----------------------------------------------

    void signatureAloneEnablesCheckWhenAttached_data() {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<bool>("dropped"); // else chosen in "Файл подписи"
        QTest::addColumn<bool>("enabled");
        const QByteArray attached = bytes(cmsSign(signer, content, attachedMessage()));
        const QByteArray detached = bytes(cmsSign(signer, content));
        QTest::newRow("attached DER, chosen") << attached << false << true;
        QTest::newRow("attached Base64, dropped") << attached.toBase64() << true << true;
        QTest::newRow("detached, chosen") << detached << false << false;
        QTest::newRow("detached Base64, dropped") << detached.toBase64() << true << false;
        QTest::newRow("garbage, chosen") << QByteArray("MIIB не подпись") << false << false;
        QTest::newRow("empty, dropped") << QByteArray() << true << false;
    }
    void signatureAloneEnablesCheckWhenAttached() {
        QFETCH(QByteArray, signature);
        QFETCH(bool, dropped);
        QFETCH(bool, enabled);
        const std::string path = writeSignature("договор.pdf.sig", signature.toStdString());
        if (dropped) {
            window->verificationPage->takeFiles({path});
        } else {
            prompts->answerFile(path);
            QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->signatureFileButton));
        }
        QCOMPARE(window->verificationPage->verifyButton->isEnabled(), enabled);
        QVERIFY(!saveButton()->isEnabled());
    }

    void attachedDocumentIsSaved_data() {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("target"); // in the test folder; empty: the offered name; "-": cancel
        // Beforehand: "file" or "link" (to чужой.txt) at the target, "damaged" signature value.
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QString>("outcome"); // the last log entry; %1: the target's full path
        const QByteArray attached = bytes(cmsSign(signer, content, attachedMessage()));
        const QString saved = QStringLiteral("message: Документ сохранён");
        QTest::newRow("offered name") << attached << ""
                                      << "" << saved;
        QTest::newRow("Base64, another name") << attached.toBase64() << "копия.xlsx"
                                              << "" << saved;
        QTest::newRow("over an existing file") << attached << ""
                                               << "file" << saved;
        QTest::newRow("a link planted at the name is replaced") << attached << ""
                                                                << "link" << saved;
        QTest::newRow("folder not writable")
            << attached << "только чтение/договор.pdf"
            << ""
            << QStringLiteral("error: ") + qs(errorReportText("Cannot create file \"%1\". " +
                                                              systemMessage(winerr::ERROR_ACCESS_DENIED)));
        QTest::newRow("signature damaged since its check")
            << attached << ""
            << "damaged" << QStringLiteral("error: Подпись больше не верна: документ не сохранён.");
        QTest::newRow("dialog cancelled") << attached << "-"
                                          << ""
                                          << "";
    }
    // The document is written whole under the chosen name or not at all, with no temporary left.
    void attachedDocumentIsSaved() {
        QFETCH(QByteArray, signature);
        QFETCH(QString, target);
        QFETCH(QString, planted);
        QFETCH(QString, outcome);
        const std::string signaturePath = writeSignature("договор.pdf.sig", signature.toStdString());
        checkAlone(signaturePath);
        QCOMPARE(prompts->log, QStringList({"viewCertificate: Тестовый подписант"}));
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
        QVERIFY(saveButton()->isEnabled());

        const std::string offered = dir->file("договор.pdf");
        const std::string path =
            target.isEmpty() || target == QLatin1String("-") ? offered : dir->file(target.toStdString());
        if (planted == QLatin1String("file"))
            writeFile(path, "старое содержимое");
        if (planted == QLatin1String("link")) {
            writeFile(dir->file("чужой.txt"), "чужое");
            QCOMPARE(::symlink("чужой.txt", path.c_str()), 0);
        }
        if (planted == QLatin1String("damaged"))
            writeFile(signaturePath, damageSignatureValue(signature.toStdString()));
        const bool readOnly = target.startsWith(QStringLiteral("только чтение"));
        if (readOnly)
            QCOMPARE(::mkdir(dir->file("только чтение").c_str(), 0555), 0);
        const std::vector<std::string> before = listFolder(dir->path());
        if (target == QLatin1String("-"))
            prompts->cancelSave();
        else
            prompts->answerSave(path);
        prompts->log.clear();
        QVERIFY(plombar::app::test::clickEnabled(*window, saveButton()));

        QStringList log = {
            QStringLiteral("saveFile: documentSaveDialog filter=\"\" initial=\"%1\"").arg(qs(offered))};
        if (!outcome.isEmpty())
            log << outcome.arg(qs(path));
        QCOMPARE(prompts->log, log);
        if (outcome.startsWith(QStringLiteral("message"))) {
            QCOMPARE(readFile(path), content);
            struct stat st {};
            QCOMPARE(::lstat(path.c_str(), &st), 0);
            QVERIFY(S_ISREG(st.st_mode));
            if (planted == QLatin1String("link"))
                QCOMPARE(readFile(dir->file("чужой.txt")), std::string("чужое"));
        } else {
            QCOMPARE(listFolder(dir->path()), before);
            if (readOnly)
                QCOMPARE(listFolder(dir->file("только чтение")), std::vector<std::string>());
        }
        for (const std::string& name : listFolder(dir->path()))
            QVERIFY2(!isTemporarySaveName(name), name.c_str());
        // The report stays, and the document can be saved again unless its signature changed.
        QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        QCOMPARE(saveButton()->isEnabled(), planted != QLatin1String("damaged"));
    }

    void documentWithdrawn_data() {
        QTest::addColumn<QString>("then");
        QTest::newRow("a detached check") << "detached";
        QTest::newRow("the attached one checked against a data file") << "attached with data";
        QTest::newRow("a damaged attached check") << "damaged";
        QTest::newRow("a data file chosen") << "choose data";
        QTest::newRow("the signature dialog cancelled") << "cancel signature";
        QTest::newRow("a file dropped") << "drop";
    }
    // "Сохранить документ" is offered only after a valid check of an attached signature alone, and
    // only until the page's files change.
    void documentWithdrawn() {
        QFETCH(QString, then);
        const std::string attached = cmsSign(signer, content, attachedMessage());
        checkAlone(writeSignature("договор.pdf.sig", attached));
        QVERIFY(saveButton()->isEnabled());
        if (then == QLatin1String("detached")) {
            choosePair(data, writeSignature("подпись.sig", cmsSign(signer, content)));
            verifyPressed();
        } else if (then == QLatin1String("attached with data")) {
            choosePair(data, writeSignature("договор.pdf.sig", attached));
            verifyPressed();
            QCOMPARE(reportWithoutTrust(), verifiedReport("01 2345", kCertificateInPeriodLine));
        } else if (then == QLatin1String("damaged")) {
            checkAlone(writeSignature("договор.pdf.sig", damageSignatureValue(attached)));
            QCOMPARE(memoLines(), kNotVerified);
        } else if (then == QLatin1String("choose data")) {
            prompts->answerFile(data);
            QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->dataFileButton));
        } else if (then == QLatin1String("cancel signature")) {
            prompts->cancelFile();
            QVERIFY(plombar::app::test::clickEnabled(*window, window->verificationPage->signatureFileButton));
        } else {
            window->verificationPage->takeFiles({data});
        }
        QVERIFY(!saveButton()->isEnabled());
    }

    // ---- trust --------------------------------------------------------------------------------------

    void trustLinesFollowAValidSigner_data() {
        QTest::addColumn<QString>("crl"); // "none": no distribution points, "current", "revoked", "hang"
        QTest::addColumn<QStringList>("trust");
        const std::time_t revokedAt = std::time(nullptr) - 86400; // as the test below revokes it
        QTest::newRow("no revocation list named")
            << "none"
            << QStringList{
                   kChainBuiltLine,
                   QStringLiteral("? Статус отзыва не проверен: в сертификате «Тестовый подписант» нет "
                                  "точки распространения списка отзыва")};
        QTest::newRow("not revoked") << "current" << QStringList{kChainBuiltLine, kNotRevokedLine};
        QTest::newRow("revoked") << "revoked"
                                 << QStringList{kChainBuiltLine,
                                                kRevokedPrefix + qs(dateText(std::chrono::sys_seconds(
                                                                     std::chrono::seconds(revokedAt))))};
        // The server never answers: the progress dialog keeps being updated while the list is
        // fetched, and its "Отмена" stops the check with nothing saved and the page as it was.
        QTest::newRow("cancelled while the list is fetched") << "hang" << QStringList();
    }
    void trustLinesFollowAValidSigner() {
        QFETCH(QString, crl);
        QFETCH(QStringList, trust);
        const TestStore rowStore; // the stores of this row alone: each row's root has the same name
        plombar::test::LocalHttpServer server;
        ChainFields fields;
        if (crl != QLatin1String("none"))
            fields.crlBase = server.url("");
        const TestChain chain = makeChain(fields);
        CertificateStore::open(CertificateStore::kRoot)
            .add(Certificate::fromDer(chain.root.der()), nullptr, {});
        std::vector<RevokedCertificate> revoked;
        if (crl == QLatin1String("revoked"))
            revoked.push_back({&chain.leaf, std::time(nullptr) - 86400});
        CrlFields crlFields;
        crlFields.revoked = revoked;
        server.serve("/intermediate.crl", makeCrl(chain.intermediate, crlFields));
        server.serve("/root.crl", makeCrl(chain.root));
        if (crl == QLatin1String("hang"))
            server.setMode(plombar::test::LocalHttpServer::Mode::Hang);
        CmsSignOptions options = attachedMessage();
        options.extraCertificates = {chain.intermediate.certificate.get()};
        const std::string signaturePath =
            writeSignature("договор.pdf.sig", cmsSign(chain.leaf, content, options));

        // Beyond its start, the trust stage is updated only while a list is fetched.
        if (crl == QLatin1String("hang"))
            prompts->cancelProgressAt(0, kTrustStageTitle, 3);
        else
            prompts->showProgress();
        checkAlone(signaturePath);
        if (crl == QLatin1String("hang")) {
            QCOMPARE(prompts->log,
                     QStringList({"progress: Проверка", "progress: Проверка доверия",
                                  "cancel: Проверка доверия", "message: Операция отменена пользователем"}));
            QCOMPARE(memoLines(), QStringList({"Memo1"}));
            QCOMPARE(window->verificationPage->verifySignatureFileName, signaturePath);
            QVERIFY(window->verificationPage->verifyButton->isEnabled());
            QVERIFY(!saveButton()->isEnabled());
            QCOMPARE(listFolder(dir->path()),
                     (std::vector<std::string>{"акт сверки.xlsx", "договор.pdf.sig"}));
            return;
        }
        QCOMPARE(prompts->log, QStringList({"progress: Проверка", "progress: Проверка доверия",
                                            "viewCertificate: Тестовый подписант"}));
        QStringList lines;
        QCOMPARE(reportWithoutTrust(&lines).mid(0, 2), QStringList({kVerifyHeaderLine, kSignatureValidLine}));
        QCOMPARE(lines, trust);
        // The verdict holds whatever the trust lines say.
        QVERIFY(saveButton()->isEnabled());
    }
};

int main(int argc, char** argv) {
    // A folder the user may not write to must refuse the document, which it does not for root.
    if (!plombar::app::test::dropRootRights()) {
        std::perror("cannot drop root rights");
        return 1;
    }
    plombar::app::test::useOffscreenWhenHeadless();
    QApplication app(argc, argv);
    int result = 0;
    {
        TestVerifyPage test;
        result = QTest::qExec(&test, argc, argv);
    } // keys and certificates go before OpenSSL's exit clean-up
    return result;
}

#include "test_app_verify.moc"
