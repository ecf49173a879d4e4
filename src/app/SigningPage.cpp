#include "SigningPage.h"

#include "CertificatePrompts.h"
#include "DiagnosticLog.h"
#include "FileSizeGate.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "crypto/SignOperation.h"
#include "sevenzip/PackSignedPair.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

namespace plombar::app {

namespace {

void untickNow(QCheckBox* box) {
    box->setChecked(false);
    box->repaint();
}

} // namespace

// The page as the signing operation sees it, for one run.
class SigningPage::OperationView : public crypto::SignView {
public:
    explicit OperationView(SigningPage& page) : page_(page) {}

    CertificateRef SelectCertificate(StoreRef store, const std::string& title) override {
        return chooseCertificateFromStore(page_.prompts_, store, title);
    }

    void ShowMessage(const std::string& text) override { page_.prompts_.showMessage(text); }

    bool Base64Checked() override { return page_.base64Box->isChecked(); }

    void SignatureSaved(const std::string& inputPath, const std::string& signaturePath) override {
        untickNow(page_.base64Box);
        untickNow(page_.attachedBox);
        // Unticked, the archive library is not even loaded: a missing one goes unnoticed then.
        if (!page_.packBox->isChecked())
            return;
        // An error leaves the packing box ticked and the signature file written.
        const std::string archive = sevenzip::packSignedPair(inputPath, signaturePath, archiveWriter_);
        page_.prompts_.showMessage(sevenzip::archiveCreatedMessage(archive));
        untickNow(page_.packBox);
        untickNow(page_.attachedBox);
    }

    void ClearSelection() override {
        page_.signFileName.clear();
        setLabelText(page_.fileLabel, "");
        page_.signButton->setEnabled(false);
    }

    void OpenFolder(const std::string& folder) override { page_.prompts_.openFolder(folder); }

private:
    SigningPage& page_;
    // Lives as long as the view, that is until sign() ends: the library is unloaded last, after the
    // folder is opened, or as an error leaves the handler.
    sevenzip::ComPtr<sevenzip::ArchiveWriter> archiveWriter_;
};

SigningPage::SigningPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("signingPage"));
    packBox = makeCheckBox(this, "packBox", QStringLiteral("Упаковать файлы 7zip"));
    chooseFileButton =
        makeButton(this, "chooseFileButton", QStringLiteral("Открыть файл для подписания"), true);
    signButton = makeButton(this, "signButton", QStringLiteral("Подписать"), false);
    base64Box = makeCheckBox(this, "base64Box", QStringLiteral("BASE64"));
    attachedBox = makeCheckBox(this, "attachedBox", QStringLiteral("Прикрепленная"));
    fileLabel = makePathLabel(this, "fileLabel");

    connectGuarded(signButton, prompts_, [this] { sign(); });
    connectGuarded(chooseFileButton, prompts_, [this] { chooseFile(); });
    acceptFileDrops(this, prompts_, 1,
                    [this](const std::vector<std::string>& paths) { takeFile(paths.front()); });
}

SigningPage::~SigningPage() = default;

// The packing box at the top, the two buttons side by side below it, the two format boxes side by
// side below those, the chosen path at the bottom.
void SigningPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int y = kPageMargin;
    packBox->setGeometry(QRect(QPoint(kPageMargin, y), packBox->sizeHint()));
    y += packBox->height() + kControlGap;

    const int buttons = rowHeight({chooseFileButton, signButton});
    chooseFileButton->setGeometry(kPageMargin, y, buttonSize(chooseFileButton).width(), buttons);
    const int right = chooseFileButton->geometry().right() + 1 + kControlGap;
    signButton->setGeometry(right, y, buttonSize(signButton).width(), buttons);
    y += buttons + kControlGap;

    base64Box->setGeometry(QRect(QPoint(kPageMargin, y), base64Box->sizeHint()));
    attachedBox->setGeometry(QRect(QPoint(right, y), attachedBox->sizeHint()));
    y += rowHeight({base64Box, attachedBox}) + kControlGap;

    fileLabel->move(kPageMargin, y);
}

void SigningPage::chooseFile() {
    chooseGatedFile(prompts_, fileToSignDialog, signFileName, fileLabel, signButton);
}

void SigningPage::takeFile(const std::string& path) {
    takeGatedFile(prompts_, fileToSignDialog, path, signFileName, fileLabel, signButton);
}

// Signs the file in signFileName with a certificate from the store "MY". An error raised on the way
// (the file gone, the signature not saved) leaves the page as it was for the application's error
// report.
void SigningPage::sign() {
    // Read once: ticking the box while a dialog is open does not change the kind of this signature.
    const bool detached = !attachedBox->isChecked();
    OperationView view(*this);
    const crypto::SignResult result = crypto::SignFile(signFileName, detached, view);
    logDiagnostic("подпись", result.diagnostic);
    if (crypto::UntickAttachedAfter(result.outcome))
        untickNow(attachedBox);
}

} // namespace plombar::app
