// Screenshots of the window's pages and of the dialogs (saved as PNG for a look by eye), and the
// checks a screenshot alone would leave to the eye: every caption fits its control, nothing overlaps
// or sticks out of its page, and the font has every Cyrillic letter. Built twice: at scale 1, and at
// QT_SCALE_FACTOR=2 on a 2560 x 1600 screen (names ending in "-scale2").

#include "CertificateDialogs.h"
#include "CertificatesPage.h"
#include "CryptoStartup.h"
#include "EncryptionPage.h"
#include "ErrorDialog.h"
#include "GuiTest.h"
#include "MainWindow.h"
#include "PageWidgets.h"
#include "QtPrompts.h"
#include "ScriptedPrompts.h"
#include "SigningPage.h"
#include "TestPki.h"
#include "TestSupport.h"
#include "VerificationPage.h"
#include "crypto/CertificateStore.h"
#include "crypto/ContentSigning.h"
#include "crypto/TrustReport.h"
#include "platform/ByteStreams.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdlib>
#include <memory>

using plombar::app::MainWindow;
using plombar::app::test::ScriptedPrompts;

namespace {

#ifndef PLOMBAR_SCREENSHOT_SCALE
#define PLOMBAR_SCREENSHOT_SCALE 1
#endif

QString screenshotPath(const QString& name) {
    QDir().mkpath(QStringLiteral(PLOMBAR_SCREENSHOT_DIR));
    const QString suffix = PLOMBAR_SCREENSHOT_SCALE == 1 ? QString() : QStringLiteral("-scale2");
    return QStringLiteral(PLOMBAR_SCREENSHOT_DIR "/") + name + suffix + QStringLiteral(".png");
}

std::vector<plombar::crypto::CertificateDescription> sampleCertificates() {
    plombar::crypto::CertificateDescription a;
    a.issuedTo = "Иванов Иван Иванович";
    a.issuedBy = "УЦ ООО «Ромашка»";
    a.validFrom = "01.02.2024 10:00:00";
    a.validTo = "01.02.2026 10:00:00";
    a.keyAlgorithm = "ГОСТ Р 34.10-2012 256 бит";
    a.hasPrivateKey = true;
    a.version = "V3";
    a.serialNumber = "01 2f a3 77 00 00 00 00 00 0c";
    a.signatureAlgorithm = "ГОСТ Р 34.11-2012/34.10-2012 256 бит (1.2.643.7.1.1.3.2)";
    a.issuer = "CN = УЦ ООО «Ромашка»\nO = ООО «Ромашка»\nC = RU";
    a.subject = "CN = Иванов Иван Иванович\nSN = Иванов\nG = Иван Иванович\nC = RU";
    a.publicKeyAlgorithm = "ГОСТ Р 34.10-2012 256 бит (1.2.643.7.1.1.1.1)";
    a.publicKeyParameters = "1.2.643.2.2.35.1, 1.2.643.7.1.1.2.2";
    a.thumbprint = "3f2a9c5e1b0d4477a6e0c3b2918f7d6e5c4b3a29";
    a.organization = "ООО «Ромашка»";
    a.friendlyName = "Подпись для отчётов";
    a.extensions = {
        {"X509v3 Key Usage (2.5.29.15), критическое", "Digital Signature, Non Repudiation, Key Encipherment"},
        {"X509v3 Extended Key Usage (2.5.29.37)",
         "TLS Web Client Authentication, E-mail Protection, 1.2.643.2.2.34.6, 1.2.643.3.131.1.1, "
         "1.2.643.100.113.1"},
        {"1.2.643.100.111", "Средство электронной подписи: КриптоПро CSP (версия 4.0) исполнение 2-Base"}};
    a.extensionOids = {"2.5.29.15", "2.5.29.37", "1.2.643.100.111"};
    plombar::crypto::CertificateDescription b = a;
    b.issuedTo = "Петрова Мария Сергеевна № 2";
    b.keyAlgorithm = "ГОСТ Р 34.10-2012 512 бит";
    b.hasPrivateKey = false;
    b.validTo = "31.12.2025 23:59:59";
    b.expired = true;
    b.thumbprint = "9a8b7c6d5e4f30211203f4e5d6c7b8a998877665";
    plombar::crypto::CertificateDescription c = a;
    c.issuedTo = "Сидоров Пётр";
    c.organization = "АО «Василёк»";
    c.friendlyName.clear();
    c.hasPrivateKey = false;
    return {a, b, c};
}

// Every button and check box shows its whole caption.
void checkCaptionsFit(const QWidget* root, const QString& where) {
    for (const QAbstractButton* b : root->findChildren<QAbstractButton*>()) {
        if (!b->isVisibleTo(root) || b->text().isEmpty())
            continue;
        const QString what =
            where + QLatin1Char('/') + b->objectName() + QStringLiteral(" \"") + b->text() + '"';
        const QSize hint = b->sizeHint();
        QVERIFY2(b->width() >= hint.width() && b->height() >= hint.height(),
                 qPrintable(what + QStringLiteral(": %1x%2 < %3x%4")
                                       .arg(b->width())
                                       .arg(b->height())
                                       .arg(hint.width())
                                       .arg(hint.height())));
        const int text = b->fontMetrics().horizontalAdvance(b->text());
        QVERIFY2(text <= b->contentsRect().width(),
                 qPrintable(what + QStringLiteral(": text wider than control")));
    }
}

// The controls of a page stay inside it and do not cover each other. Labels are empty at start
// and grow with their text, so only their position is checked.
void checkPageLayout(const QWidget* page, const QString& name) {
    const QRect area = page->rect();
    QList<const QWidget*> controls;
    for (const QWidget* w : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        controls << w;
    for (const QWidget* w : controls) {
        const QRect g =
            qobject_cast<const QLabel*>(w) != nullptr ? QRect(w->pos(), QSize(1, 1)) : w->geometry();
        QVERIFY2(area.contains(g),
                 qPrintable(name + QLatin1Char('/') + w->objectName() + " sticks out of the page"));
        for (const QWidget* other : controls) {
            if (other == w || qobject_cast<const QLabel*>(w) || qobject_cast<const QLabel*>(other))
                continue;
            QVERIFY2(
                !w->geometry().intersects(other->geometry()),
                qPrintable(name + QLatin1Char('/') + w->objectName() + " covers " + other->objectName()));
        }
    }
}

} // namespace

class TestScreenshots : public QObject {
    Q_OBJECT

    // The stores the page "Сертификаты" shows, under a temporary XDG_DATA_HOME.
    std::unique_ptr<plombar::test::TestStore> store;

private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), qreal(PLOMBAR_SCREENSHOT_SCALE));
        store = std::make_unique<plombar::test::TestStore>();
        store->add(plombar::test::makeIdentity(plombar::crypto::KeyAlgorithm::Gost2012_256,
                                               "CN=Иванов Иван Иванович, O=ООО «Ромашка», C=RU"),
                   plombar::test::TestStore::Key::Plain, {}, "Подпись для отчётов");
        plombar::test::IdentityFields old;
        old.subject = "CN=Петрова Мария Сергеевна, O=АО «Василёк»";
        old.notBefore = 1577836800; // 01.01.2020
        old.notAfter = 1609459199;  // 31.12.2020
        store->add(plombar::test::makeIdentity(old), plombar::test::TestStore::Key::None);
    }

    void cleanupTestCase() { store.reset(); }

    void fontHasEveryCyrillicLetter() {
        QString letters;
        for (char16_t c = u'А'; c <= u'я'; ++c)
            letters += QChar(c);
        letters += QStringLiteral("Ёё«»№…");
        for (const QFont& font :
             {QApplication::font(), QApplication::font("QPushButton"), QApplication::font("QLabel")}) {
            const QFontMetrics metrics(font);
            for (const QChar c : letters)
                QVERIFY2(metrics.inFont(c),
                         qPrintable(QStringLiteral("no glyph for ") + c + " in " + font.family()));
        }
    }

    void pagesFitAndAreSaved() {
        ScriptedPrompts prompts;
        MainWindow window(prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(625, 343));
        QVERIFY(window.rect().contains(window.pages->geometry()));
        // All four tabs show at once, without scroll arrows.
        QVERIFY(window.pages->tabBar()->sizeHint().width() <= window.pages->width());

        const char* names[] = {"page1-signing", "page2-verification", "page3-encryption", "page4-decryption",
                               "page5-certificates"};
        QCOMPARE(window.pages->count(), 5);
        for (int i = 0; i < 5; ++i) {
            window.pages->setCurrentIndex(i);
            QWidget* page = window.pages->widget(i);
            QVERIFY(page->isVisible());
            checkPageLayout(page, QString::fromLatin1(names[i]));
            checkCaptionsFit(page, QString::fromLatin1(names[i]));
            QVERIFY(window.grab().save(screenshotPath(QString::fromLatin1(names[i]))));
        }
        // The report area holds several lines.
        QVERIFY(window.verificationPage->reportArea->viewport()->height() >=
                4 * window.verificationPage->reportArea->fontMetrics().lineSpacing());
    }

    // The pages with paths chosen and a report written, as a user sees them mid-work.
    void filledPagesAreSaved() {
        ScriptedPrompts prompts;
        MainWindow window(prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const std::string path = "/home/пользователь/Документы/Договор поставки № 17 от 01.02.2024.pdf";
        // Too long for the page: cut in the middle, the file's name whole.
        plombar::app::setLabelText(window.signingPage->fileLabel,
                                   "/home/пользователь/Документы/Бухгалтерия/2024/Договоры с поставщиками/"
                                   "Подписанные/Договор поставки № 17 от 01.02.2024.pdf");
        const auto* signLabel = qobject_cast<const plombar::app::PathLabel*>(window.signingPage->fileLabel);
        QVERIFY(signLabel->shownText().contains(QChar(u'…')));
        QVERIFY(signLabel->shownText().endsWith(QStringLiteral("Договор поставки № 17 от 01.02.2024.pdf")));
        window.signingPage->signButton->setEnabled(true);
        window.signingPage->packBox->setChecked(true);
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page1-signing-filled"))));

        window.pages->setCurrentIndex(1);
        plombar::app::setLabelText(window.verificationPage->dataFileLabel, path);
        plombar::app::setLabelText(window.verificationPage->signatureFileLabel, path + ".sig");
        window.verificationPage->verifyButton->setEnabled(true);
        window.verificationPage->reportArea->setPlainText(
            QStringLiteral("Подпись верна\nСрок действия сертификата: 01.02.2024 - 01.02.2026\n"
                           "Серийный номер: 012FA377000000000000C\nCN=Иванов Иван Иванович"));
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page2-verification-filled"))));

        window.pages->setCurrentIndex(2);
        window.encryptionPage->certificateFromFileBox->setChecked(true);
        plombar::app::setLabelText(window.encryptionPage->certificateLabel,
                                   "/home/пользователь/получатель.cer");
        plombar::app::setLabelText(window.encryptionPage->fileLabel, path);
        window.encryptionPage->encryptButton->setEnabled(true);
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page3-encryption-filled"))));

        window.pages->setCurrentIndex(4);
        QCOMPARE(window.certificatesPage->certificateList->topLevelItemCount(), 2);
        window.certificatesPage->certificateList->setCurrentItem(
            window.certificatesPage->certificateList->topLevelItem(0));
        // Every column header shows whole.
        const QTreeWidget* list = window.certificatesPage->certificateList;
        for (int c = 1; c < list->columnCount(); ++c)
            QVERIFY2(list->columnWidth(c) >=
                         list->fontMetrics().horizontalAdvance(list->headerItem()->text(c)),
                     qPrintable(list->headerItem()->text(c)));
        // The buttons end above the page's bottom edge.
        QVERIFY(window.certificatesPage->testCertificateButton->geometry().bottom() <
                window.certificatesPage->height());
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page5-certificates-filled"))));
        // The certificate path beside the box stays clear of the file button below it.
        QVERIFY(window.encryptionPage->certificateLabel->geometry().bottom() <
                window.encryptionPage->chooseFileButton->geometry().top());
    }

    // The verification page after a valid check of an attached signature alone, as it really
    // comes out: the report with the trust lines, and "Сохранить документ" enabled.
    void verificationOfAttachedSignatureIsSaved() {
        using namespace plombar::crypto;
        plombar::test::TempDir dir("plombar-shot-verify");
        ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
        const plombar::test::TestChain chain = plombar::test::makeChain();
        CertificateStore::open(CertificateStore::kRoot)
            .add(Certificate::fromDer(chain.root.der()), nullptr, {});
        CertificateStore::open(CertificateStore::kIntermediate)
            .add(Certificate::fromDer(chain.intermediate.der()), nullptr, {});
        const std::string content = "Договор поставки № 17\n";
        plombar::MemorySource source(content);
        plombar::MemorySink signature;
        SignOptions options;
        options.layout = SignatureLayout::Attached;
        options.hashOid = "1.2.643.7.1.1.2.2";
        options.attributes = SignedAttributes::CadesBes;
        signContent(source, content.size(), {chain.leaf.certificate.get(), chain.leaf.key.get()}, options,
                    signature);
        const std::string path = dir.file("Договор поставки № 17 от 01.02.2024.pdf.sig");
        plombar::test::writeFile(path, signature.take());

        ScriptedPrompts prompts;
        MainWindow window(prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        prompts.answerFile(path);
        QVERIFY(plombar::app::test::clickEnabled(window, window.verificationPage->signatureFileButton));
        QVERIFY(plombar::app::test::clickEnabled(window, window.verificationPage->verifyButton));
        const QString report = window.verificationPage->reportArea->toPlainText();
        QVERIFY2(report.contains(QString::fromUtf8(kChainBuiltLine)), qPrintable(report));
        QVERIFY2(report.contains(QString::fromUtf8(kSigningTimePrefix)), qPrintable(report));
        QVERIFY(window.verificationPage->saveDocumentButton->isEnabled());
        checkPageLayout(window.verificationPage, QStringLiteral("page2-verification-attached"));
        checkCaptionsFit(window.verificationPage, QStringLiteral("page2-verification-attached"));
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page2-verification-attached"))));
        // The report's end, with the trust lines.
        QScrollBar* scroll = window.verificationPage->reportArea->verticalScrollBar();
        scroll->setValue(scroll->maximum());
        QVERIFY(window.grab().save(screenshotPath(QStringLiteral("page2-verification-attached-end"))));
        ::unsetenv("XDG_CACHE_HOME");
    }

    // The progress dialog over the window while a signed pair is packed.
    void packingProgressIsSaved() {
        ScriptedPrompts scripted;
        MainWindow window(scripted);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        plombar::app::QtPrompts prompts("Пломбарь", &window);
        const auto view = prompts.openProgress();
        QVERIFY(view->update("Упаковка", 120ull << 20, 300ull << 20));
        auto* dialog = window.findChild<QProgressDialog*>(QStringLiteral("progressDialog"));
        QVERIFY(dialog != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        checkCaptionsFit(dialog, QStringLiteral("progress"));
        const auto* label = dialog->findChild<QLabel*>();
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(QStringLiteral("Упаковка")));
        QVERIFY(dialog->grab().save(screenshotPath(QStringLiteral("dialog-progress-packing"))));
    }

    void certificateSelectionFitsAndIsSaved() {
        const auto certs = sampleCertificates();
        plombar::app::CertificateSelectionDialog dialog("Выбор сертификата для подписи", "", certs, {});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.list()->setCurrentItem(dialog.list()->topLevelItem(0));
        checkCaptionsFit(&dialog, QStringLiteral("selection"));
        // Every column shows its whole header.
        const QTreeWidgetItem* header = dialog.list()->headerItem();
        for (int c = 0; c < dialog.list()->columnCount(); ++c)
            QVERIFY2(dialog.list()->columnWidth(c) >=
                         dialog.list()->fontMetrics().horizontalAdvance(header->text(c)),
                     qPrintable(header->text(c)));
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-certificate-selection"))));
    }

    void emptyCertificateSelectionIsSaved() {
        plombar::app::CertificateSelectionDialog dialog("Укажите сертификат для подписи", "", {}, {});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        checkCaptionsFit(&dialog, QStringLiteral("selection-empty"));
        QVERIFY(dialog.emptyStoreNote()->height() >=
                dialog.emptyStoreNote()->heightForWidth(dialog.emptyStoreNote()->width()));
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-certificate-selection-empty"))));
    }

    void detailedErrorIsSaved() {
        const auto problem = plombar::app::describeGostModuleProblem(
            {false, false,
             "error:12800067:DSO support routines::could not load the shared library "
             "(filename(/usr/lib/x86_64-linux-gnu/"
             "engines-3/gost.so)); error:13000084:engine routines::no such engine (id=gost)"});
        plombar::app::DetailedErrorDialog dialog("plombar", problem.sentence, problem.details);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        checkCaptionsFit(&dialog, QStringLiteral("detailed-error"));
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-gost-missing"))));
        dialog.detailsButton()->click();
        QCoreApplication::processEvents();
        QVERIFY(dialog.detailsView()->isVisible());
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-gost-missing-details"))));
    }

    void certificateViewFitsAndIsSaved() {
        const auto certs = sampleCertificates();
        plombar::app::CertificateViewDialog dialog(certs[0]);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        checkCaptionsFit(&dialog, QStringLiteral("view"));
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-certificate-view-general"))));
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("thumbprint"))->text(),
                 QString::fromStdString(certs[0].thumbprint));
        auto* tabs = dialog.findChild<QTabWidget*>(QStringLiteral("tabs"));
        tabs->setCurrentIndex(1);
        dialog.details()->selectRow(6);
        QCoreApplication::processEvents();
        // No field is cut off: each value, wrapped to its column, fits its row.
        const QTableWidget* table = dialog.details();
        for (int r = 0; r < table->rowCount(); ++r) {
            for (int c = 0; c < 2; ++c) {
                const QString text = table->item(r, c)->text();
                const int width = table->columnWidth(c) - 8;
                const QRect needed =
                    table->fontMetrics().boundingRect(QRect(0, 0, width, 10000), Qt::TextWordWrap, text);
                QVERIFY2(needed.height() <= table->rowHeight(r) && needed.width() <= width + 8,
                         qPrintable(QStringLiteral("row %1 column %2 cut (%3x%4 in %5x%6): ")
                                        .arg(r)
                                        .arg(c)
                                        .arg(needed.width())
                                        .arg(needed.height())
                                        .arg(width)
                                        .arg(table->rowHeight(r)) +
                                    text));
            }
        }
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-certificate-view-details"))));
    }

    // The prompts' own modal dialogs, as the window opens them: each is grabbed once shown, its
    // captions checked, and closed.
    void modalPromptsFitAndAreSaved_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("message") << "dialog-message";
        QTest::newRow("error") << "dialog-error";
        QTest::newRow("confirmation") << "dialog-confirm-removal";
        QTest::newRow("signature file") << "dialog-open-signature";
        QTest::newRow("document save") << "dialog-save-document";
    }
    void modalPromptsFitAndAreSaved() {
        QFETCH(QString, name);
        plombar::test::TempDir dir("plombar-shot-prompts");
        plombar::test::writeFile(dir.file("Договор поставки № 17.pdf.sig"), "подпись");
        ScriptedPrompts scripted;
        MainWindow window(scripted);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        plombar::app::QtPrompts prompts("Пломбарь", &window);
        bool grabbed = false;
        QTimer::singleShot(0, &window, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (dialog == nullptr || !QTest::qWaitForWindowExposed(dialog))
                return;
            checkCaptionsFit(dialog, name);
            grabbed = dialog->grab().save(screenshotPath(name));
            dialog->close();
        });
        const std::string signature = dir.file("Договор поставки № 17.pdf.sig");
        if (name == QLatin1String("dialog-message"))
            prompts.showMessage("Подписанное сообщение создано");
        else if (name == QLatin1String("dialog-error"))
            prompts.showError("Cannot open file \"" + signature + "\". Отказано в доступе.");
        else if (name == QLatin1String("dialog-confirm-removal"))
            QVERIFY(!prompts.confirm("Удалить сертификат «Иванов Иван Иванович» (отпечаток "
                                     "3f2a9c5e1b0d4477a6e0c3b2918f7d6e5c4b3a29) из хранилища «MY»?"));
        else if (name == QLatin1String("dialog-open-signature"))
            QVERIFY(!prompts.openFile("signatureFileDialog",
                                      window.verificationPage->signatureFileDialog.filter(), signature));
        else
            QVERIFY(!prompts.saveFile("documentSaveDialog", "", dir.file("Договор поставки № 17.pdf")));
        QVERIFY(grabbed);
    }

    void passwordDialogFitsAndIsSaved() {
        plombar::app::PasswordDialog dialog("Иванов Иван Иванович");
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.passwordEdit()->setText(QStringLiteral("секрет"));
        checkCaptionsFit(&dialog, QStringLiteral("password"));
        QVERIFY(dialog.grab().save(screenshotPath(QStringLiteral("dialog-password"))));
    }
};

int main(int argc, char** argv) {
    // Room for the window at its initial place, in the window's own pixels.
    plombar::app::test::useOffscreenScreen(1280 * PLOMBAR_SCREENSHOT_SCALE, 1024 * PLOMBAR_SCREENSHOT_SCALE,
                                           PLOMBAR_SCREENSHOT_SCALE);
    QApplication app(argc, argv);
    TestScreenshots test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_screenshots.moc"
