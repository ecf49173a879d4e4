// The verification page driven like a user: both files chosen through their dialogs, "Проверить"
// pressed; the report in the report area line by line, the certificate view shown between its first and
// second line, the page's resets after a completed run and none after an error.

#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "VerificationPage.h"
#include "VerifyTestUtil.h"

#include "operations/SignFlow.h"
#include "operations/VerifyFlow.h"
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

#include <unistd.h>

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

const QStringList kNotVerified = {kVerifyHeaderLine, kSignatureInvalidLine};

} // namespace

class TestVerifyPage : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> store;
    TestIdentity ca, signer;
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<MainWindow> window;
    std::string data;
    const std::string content = std::string("Акт сверки\r\n\0\x1A\n", 22) + randomBytes(30000, 9);

    QStringList memoLines() const {
        return window->verificationPage->reportArea->toPlainText().split(QLatin1Char('\n'));
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
        QCOMPARE(memoLines(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
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
        QCOMPARE(memoLines(), verifiedReport("01 2345", kCertificateInPeriodLine));
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
        QCOMPARE(memoLines(), verifiedReport(serialText.toStdString(), period.toUtf8().constData()));
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
            memoLines(),
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
        QCOMPARE(memoLines(), verifiedReport("01 2345", kCertificateInPeriodLine));
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
        QCOMPARE(memoLines(), verifiedReport("01 2345", kCertificateInPeriodLine));
        checkReset();
    }

    void secondRunReplacesTheReport() {
        choosePair(data, writeSignature("плохая.sig", "плохая"));
        verifyPressed();
        QCOMPARE(memoLines(), kNotVerified);
        choosePair(data, writeSignature("подпись.sig", cmsSign(signer, content)));
        verifyPressed();
        QCOMPARE(memoLines(), verifiedReport("01 2345", kCertificateInPeriodLine));
        choosePair(data, writeSignature("плохая.sig", "плохая"));
        verifyPressed();
        QCOMPARE(memoLines(), kNotVerified);
    }
};

int main(int argc, char** argv) {
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
