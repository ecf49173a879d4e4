#include "EncryptionPage.h"

#include "Dispatch.h"
#include "FileSizeGate.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "WindowInteraction.h"
#include "operations/EncryptFlow.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

namespace plombar::app {

// The window's side of one encryption run: its prompts, and the page reset when the run ends.
class EncryptionPage::OperationView : public WindowInteraction {
public:
    explicit OperationView(EncryptionPage& page) : WindowInteraction(page.prompts_), page_(page) {}

    // "Зашифровать" disabled, both path labels emptied, the certificate source box unticked,
    // "Выбрать Сертификат" disabled; the first change needs no repaint of its own, every later one
    // is drawn at once.
    void runEnded() noexcept override {
        page_.encryptButton->setEnabled(false);
        setLabelText(page_.fileLabel, "");
        setLabelText(page_.certificateLabel, "");
        page_.certificateFromFileBox->setChecked(false);
        page_.certificateFromFileBox->repaint();
        page_.chooseCertificateButton->setEnabled(false);
        page_.chooseCertificateButton->repaint();
    }

private:
    EncryptionPage& page_;
};

EncryptionPage::EncryptionPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("encryptionPage"));
    chooseCertificateButton =
        makeButton(this, "chooseCertificateButton", QStringLiteral("Выбрать Сертификат"), false);
    certificateFromFileBox =
        makeCheckBox(this, "certificateFromFileBox", QStringLiteral("Выбрать сертификат из файла"));
    certificateLabel = makePathLabel(this, "certificateLabel");
    chooseFileButton = makeButton(this, "chooseFileButton", QStringLiteral("Открыть файл"), true);
    fileLabel = makePathLabel(this, "fileLabel");
    encryptButton = makeButton(this, "encryptButton", QStringLiteral("Зашифровать"), false);

    connectGuarded(chooseFileButton, prompts_, [this] { chooseFile(); });
    connectGuarded(encryptButton, prompts_, [this] { encrypt(); });
    connectGuarded(chooseCertificateButton, prompts_, [this] { chooseCertificateFile(); });
    // Every change of the box runs the handler, whether the user clicked or a handler set it.
    connect(certificateFromFileBox, &QCheckBox::toggled, this,
            [this] { runGuarded(prompts_, [this] { updateCertificateSource(); }); });
    acceptFileDrops(this, prompts_, 1,
                    [this](const std::vector<std::string>& paths) { takeFile(paths.front()); });
}

EncryptionPage::~EncryptionPage() = default;

// "Выбрать Сертификат" at the top left with the source box and the certificate path to its right,
// the file choice with its path below, "Зашифровать" lower down.
void EncryptionPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int line = lineHeight(certificateLabel);
    const int height = rowHeight({chooseCertificateButton, chooseFileButton, encryptButton});

    int y = kPageMargin;
    chooseCertificateButton->setGeometry(kPageMargin, y, buttonSize(chooseCertificateButton).width(), height);
    const int right = chooseCertificateButton->geometry().right() + 1 + kControlGap;
    const QSize box = certificateFromFileBox->sizeHint();
    certificateFromFileBox->setGeometry(QRect(QPoint(right, y + (height - box.height()) / 2), box));
    y += height + kPathLabelGap;
    certificateLabel->move(right, y);
    y += line + kControlGap;

    chooseFileButton->setGeometry(kPageMargin, y, buttonSize(chooseFileButton).width(), height);
    y += height + kPathLabelGap;
    fileLabel->move(kPageMargin, y);
    y += line + 2 * kControlGap;

    encryptButton->setGeometry(kPageMargin, y, buttonSize(encryptButton).width(), height);
}

void EncryptionPage::chooseFile() {
    chooseGatedFile(prompts_, fileToEncryptDialog, encryptFileName, fileLabel, encryptButton);
}

// Choosing the certificate file never enables "Зашифровать": only a file to encrypt does. A gate
// error keeps the chosen path in the slot, and "Зашифровать" will use it, so the label shows it too.
void EncryptionPage::chooseCertificateFile() {
    try {
        chooseGatedFile(prompts_, certificateFileDialog, recipientCertFileName, certificateLabel, nullptr);
    } catch (...) {
        setLabelText(certificateLabel, recipientCertFileName);
        throw;
    }
}

void EncryptionPage::takeFile(const std::string& path) {
    const bool certificate =
        hasExtension(path, ".cer") || hasExtension(path, ".crt") || hasExtension(path, ".pem");
    if (!certificate || !certificateFromFileBox->isChecked()) {
        takeGatedFile(prompts_, fileToEncryptDialog, path, encryptFileName, fileLabel, encryptButton);
        return;
    }
    try {
        takeGatedFile(prompts_, certificateFileDialog, path, recipientCertFileName, certificateLabel,
                      nullptr);
    } catch (...) {
        setLabelText(certificateLabel, recipientCertFileName);
        throw;
    }
}

// While the box is ticked the label shows the certificate file that "Зашифровать" will use: the
// slot keeps its path through every untick and tick, and encrypting for a file the window does not
// show would be encrypting for someone the user cannot see. Unticked, the label is empty.
void EncryptionPage::updateCertificateSource() {
    setLabelText(certificateLabel,
                 certificateFromFileBox->isChecked() ? recipientCertFileName : std::string());
    chooseCertificateButton->setEnabled(certificateFromFileBox->isChecked());
}

// Encrypts the file in encryptFileName for a certificate from the store "MY" or, with the box ticked,
// from the certificate file in recipientCertFileName. The page is reset on every outcome; without a
// certificate encryptFileName is cleared, after success both slots are (once the folder opened), and
// an error leaves both as they were.
void EncryptionPage::encrypt() {
    OperationView view(*this);
    const operations::EncryptResult result = operations::encryptFile(
        {encryptFileName, certificateFromFileBox->isChecked(), recipientCertFileName}, view);
    encryptFileName.clear();
    if (result.outcome == operations::EncryptOutcome::Success)
        recipientCertFileName.clear();
}

} // namespace plombar::app
