#include "MainWindow.h"

#include "CertificatesPage.h"
#include "DecryptionPage.h"
#include "Dispatch.h"
#include "EncryptionPage.h"
#include "PageWidgets.h"
#include "SigningPage.h"
#include "VerificationPage.h"
#include "WindowPlacement.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QPainter>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QTreeWidget>

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace plombar::app {

namespace {

constexpr int kWindowWidth = 625;
constexpr int kWindowHeight = 343;
constexpr int kWindowLeft = 192;
constexpr int kWindowTop = 124;
// The tab widget sits at (8, 16) and keeps the same distance to the right and bottom edges that it
// has in a window of the initial size, where it measures 593 x 281.
constexpr int kPagesLeft = 8;
constexpr int kPagesTop = 16;
constexpr int kPagesWidth = 593;
constexpr int kPagesHeight = 281;
constexpr int kPagesRightGap = kWindowWidth - kPagesLeft - kPagesWidth;
constexpr int kPagesBottomGap = kWindowHeight - kPagesTop - kPagesHeight;

} // namespace

MainWindow::MainWindow(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Пломбарь 1.7 от 12.12.2018"));

    pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("pages"));
    pages->setGeometry(kPagesLeft, kPagesTop, kPagesWidth, kPagesHeight);
    signingPage = new SigningPage(prompts);
    pages->addTab(signingPage, QStringLiteral("Подпись"));
    verificationPage = new VerificationPage(prompts);
    pages->addTab(verificationPage, QStringLiteral("Верификация"));
    encryptionPage = new EncryptionPage(prompts);
    pages->addTab(encryptionPage, QStringLiteral("Шифрование"));
    decryptionPage = new DecryptionPage(prompts);
    pages->addTab(decryptionPage, QStringLiteral("DECRYPT"));
    certificatesPage = new CertificatesPage(prompts);
    pages->addTab(certificatesPage, QStringLiteral("Сертификаты"));

    setFocusOrder();
    // At start the first enabled control of the first page has the focus.
    for (QWidget* w = signingPage->signButton; signingPage->isAncestorOf(w); w = w->nextInFocusChain()) {
        if (w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) != 0) {
            w->setFocus();
            break;
        }
    }

    setMinimumSize(kWindowWidth, kWindowHeight);
    resize(kWindowWidth, kWindowHeight);
    move(kWindowLeft, kWindowTop);
    pages->setCurrentIndex(0);
}

MainWindow::~MainWindow() = default;

// The area around the pages shows the application-workspace colour, as an MDI area does. Painted
// here rather than set as the background role, which would hand a light text colour to every
// control on the pages.
void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().brush(QPalette::Dark));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize size = event->size();
    pages->setGeometry(kPagesLeft, kPagesTop, std::max(0, size.width() - kPagesLeft - kPagesRightGap),
                       std::max(0, size.height() - kPagesTop - kPagesBottomGap));
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The focused control is always marked, not only once the user has pressed Tab (showing the
    // window clears this).
    setAttribute(Qt::WA_KeyboardFocusChange);
    if (placed_ || isMaximized() || isFullScreen())
        return;
    placed_ = true;
    if (const QScreen* where = screen()) {
        const QRect frame = frameGeometry();
        const QPoint fitted = placeOnScreen(frame, where->availableGeometry());
        // move() places a shown window by its frame.
        if (fitted != frame.topLeft())
            move(fitted);
    }
}

void MainWindow::openGivenFile(const std::string& path) {
    runGuarded(prompts_, [this, &path] {
        if (hasExtension(path, ".enc")) {
            pages->setCurrentWidget(decryptionPage);
            decryptionPage->takeFile(path);
        } else if (hasExtension(path, ".sig") || hasExtension(path, ".p7s")) {
            pages->setCurrentWidget(verificationPage);
            const std::string dataFile = path.substr(0, path.rfind('.'));
            if (QFileInfo(QString::fromStdString(dataFile)).isFile())
                verificationPage->takeFiles({dataFile, path});
            else
                verificationPage->takeFiles({path});
        } else {
            pages->setCurrentWidget(signingPage);
            signingPage->takeFile(path);
        }
    });
}

// The order in which Tab walks the controls, page by page.
void MainWindow::setFocusOrder() {
    QWidget* const chain[] = {
        signingPage->signButton,
        signingPage->chooseFileButton,
        signingPage->packBox,
        signingPage->base64Box,
        signingPage->attachedBox,
        verificationPage->reportArea,
        verificationPage->verifyButton,
        verificationPage->dataFileButton,
        verificationPage->signatureFileButton,
        verificationPage->saveDocumentButton,
        encryptionPage->encryptButton,
        encryptionPage->chooseFileButton,
        encryptionPage->certificateFromFileBox,
        encryptionPage->chooseCertificateButton,
        decryptionPage->chooseFileButton,
        decryptionPage->decryptButton,
        certificatesPage->storeBox,
        certificatesPage->certificateList,
        certificatesPage->viewButton,
        certificatesPage->importButton,
        certificatesPage->importWithKeyButton,
        certificatesPage->exportButton,
        certificatesPage->removeButton,
        certificatesPage->testCertificateButton,
    };
    for (std::size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

} // namespace plombar::app
