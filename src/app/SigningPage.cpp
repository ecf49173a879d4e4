#include "SigningPage.h"

#include "DiagnosticLog.h"
#include "FileSizeGate.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "WindowInteraction.h"
#include "operations/SignFlow.h"

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

// The page's part in a signing run: its boxes are read and reset where they always were.
class SigningPage::OperationView : public operations::SignCheckpoints {
public:
    explicit OperationView(SigningPage& page) : page_(page) {}

    bool base64(bool) override { return page_.base64Box->isChecked(); }

    void signatureSaved() override {
        untickNow(page_.base64Box);
        untickNow(page_.attachedBox);
        untickNow(page_.cadesBox);
    }

    // Unticked, the archive library is not even loaded: a missing one goes unnoticed then. A failed
    // packing leaves the box ticked.
    bool pack(bool) override { return page_.packBox->isChecked(); }

    void packed() override {
        untickNow(page_.packBox);
        untickNow(page_.attachedBox);
    }

    void beforeFolderOpens() override { page_.clearSelection(); }

private:
    SigningPage& page_;
};

SigningPage::SigningPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("signingPage"));
    packBox = makeCheckBox(this, "packBox", QStringLiteral("Упаковать файлы 7zip"));
    chooseFileButton =
        makeButton(this, "chooseFileButton", QStringLiteral("Открыть файл для подписания"), true);
    signButton = makeButton(this, "signButton", QStringLiteral("Подписать"), false);
    base64Box = makeCheckBox(this, "base64Box", QStringLiteral("BASE64"));
    attachedBox = makeCheckBox(this, "attachedBox", QStringLiteral("Прикрепленная"));
    cadesBox = makeCheckBox(this, "cadesBox", QStringLiteral("CAdES-BES"));
    fileLabel = makePathLabel(this, "fileLabel");

    connectGuarded(signButton, prompts_, [this] { sign(); });
    connectGuarded(chooseFileButton, prompts_, [this] { chooseFile(); });
    acceptFileDrops(this, prompts_, 1,
                    [this](const std::vector<std::string>& paths) { takeFile(paths.front()); });
}

SigningPage::~SigningPage() = default;

// The packing box at the top (the CAdES-BES box beside it), the two buttons side by side below it, the two
// format boxes side by side below those, the chosen path at the bottom.
void SigningPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int y = kPageMargin;
    const int top = y;
    packBox->setGeometry(QRect(QPoint(kPageMargin, y), packBox->sizeHint()));
    y += packBox->height() + kControlGap;

    const int buttons = rowHeight({chooseFileButton, signButton});
    chooseFileButton->setGeometry(kPageMargin, y, buttonSize(chooseFileButton).width(), buttons);
    const int right = chooseFileButton->geometry().right() + 1 + kControlGap;
    signButton->setGeometry(right, y, buttonSize(signButton).width(), buttons);
    cadesBox->setGeometry(QRect(QPoint(right, top), cadesBox->sizeHint()));
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

void SigningPage::clearSelection() {
    signFileName.clear();
    setLabelText(fileLabel, "");
    signButton->setEnabled(false);
}

// Signs the file in signFileName with a certificate from the store "MY". An error raised on the way
// (the file gone, the signature not saved, the pair not packed) leaves the page as the run left it
// for the application's error report.
void SigningPage::sign() {
    operations::SignRequest request;
    request.inputPath = signFileName;
    // Read once: ticking the box while a dialog is open does not change the kind of this signature.
    request.layout =
        attachedBox->isChecked() ? crypto::SignatureLayout::Attached : crypto::SignatureLayout::Detached;
    request.attributes =
        cadesBox->isChecked() ? crypto::SignedAttributes::CadesBes : crypto::SignedAttributes::None;
    request.base64 = base64Box->isChecked(); // read again once the message has been shown
    request.pack = packBox->isChecked();
    WindowInteraction interaction(prompts_);
    OperationView view(*this);
    const operations::SignResult result = operations::signFile(request, interaction, view);
    logDiagnostic("подпись", result.diagnostic);
    switch (result.outcome) {
    case operations::SignOutcome::NoCertificate:
        clearSelection();
        untickNow(attachedBox);
        break;
    case operations::SignOutcome::NoKey:
    case operations::SignOutcome::Refused:
        untickNow(attachedBox);
        break;
    case operations::SignOutcome::NotPacked:
        std::rethrow_exception(result.packingError);
    case operations::SignOutcome::Failed:
    case operations::SignOutcome::Signed:
        break;
    }
}

} // namespace plombar::app
