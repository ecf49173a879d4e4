#include "VerificationPage.h"

#include "PageWidgets.h"
#include "Prompts.h"
#include "WindowInteraction.h"
#include "crypto/SignatureVerification.h"
#include "operations/VerifyFlow.h"
#include "platform/Errors.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>

#include <algorithm>

namespace plombar::app {

// The report area as the verification flow writes it: one appended line per report line, the
// verdict lines coloured (green "V - ...", red "X - ...") with their text unchanged. Once the run
// ends, by any way, the report shows its beginning.
class VerificationPage::OperationView : public operations::VerifyReport {
public:
    explicit OperationView(VerificationPage& page) : page_(page) {}
    ~OperationView() override {
        page_.reportArea->moveCursor(QTextCursor::Start);
        page_.reportArea->verticalScrollBar()->setValue(0);
    }
    OperationView(const OperationView&) = delete;
    OperationView& operator=(const OperationView&) = delete;

    void clear() override { page_.reportArea->clear(); }
    void addLine(const std::string& line) override {
        const QString text = QString::fromStdString(line);
        page_.reportArea->appendPlainText(text);
        const bool valid = text.startsWith(QLatin1String("V - "));
        if (!valid && !text.startsWith(QLatin1String("X - ")))
            return;
        QTextCursor cursor(page_.reportArea->document()->lastBlock());
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setForeground(valid ? QColor(0x00, 0x80, 0x00) : QColor(0xc0, 0x00, 0x00));
        cursor.mergeCharFormat(format);
    }

private:
    VerificationPage& page_;
};

namespace {

// The second run that saves the document: the report and the certificate were shown by the check.
class QuietReport final : public operations::VerifyReport {
public:
    void addLine(const std::string&) override {}
};
class SaveInteraction final : public WindowInteraction {
public:
    using WindowInteraction::WindowInteraction;
    void showCertificate(const crypto::Certificate&) noexcept override {}
};

// Where the save dialog opens: the signature's folder, on its name without ".sig" or ".p7s" (just
// the folder for any other name).
std::string documentNameFor(const std::string& signature) {
    const std::size_t slash = signature.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : signature.substr(0, slash + 1);
    const std::string name = signature.substr(folder.size());
    if ((hasExtension(name, ".sig") || hasExtension(name, ".p7s")) && name.size() > 4)
        return folder + name.substr(0, name.size() - 4);
    return folder;
}

} // namespace

VerificationPage::VerificationPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("verificationPage"));
    dataFileButton = makeButton(this, "dataFileButton", QStringLiteral("Исходный файл"), true);
    dataFileLabel = makePathLabel(this, "dataFileLabel");
    signatureFileButton = makeButton(this, "signatureFileButton", QStringLiteral("Файл подписи"), true);
    signatureFileLabel = makePathLabel(this, "signatureFileLabel");
    verifyButton = makeButton(this, "verifyButton", QStringLiteral("Проверить"), false);
    saveDocumentButton = makeButton(this, "saveDocumentButton", QStringLiteral("Сохранить документ"), false);
    reportArea = new QPlainTextEdit(this);
    reportArea->setObjectName(QStringLiteral("reportArea"));
    reportArea->setReadOnly(true);
    reportArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reportArea->setFocusPolicy(Qt::StrongFocus);
    // Read-only, so Tab has nothing to insert: let it move the focus on.
    reportArea->setTabChangesFocus(true);
    reportArea->setPlainText(QStringLiteral("Memo1"));

    connectGuarded(verifyButton, prompts_, [this] { verify(); });
    connectGuarded(saveDocumentButton, prompts_, [this] { saveDocument(); });
    connectGuarded(dataFileButton, prompts_, [this] { chooseDataFile(); });
    connectGuarded(signatureFileButton, prompts_, [this] { chooseSignatureFile(); });
    // A data file and its signature may come in one drag.
    acceptFileDrops(this, prompts_, 2, [this](const std::vector<std::string>& paths) { takeFiles(paths); });
    reportArea->setAcceptDrops(false);
    reportArea->viewport()->setAcceptDrops(false);
}

VerificationPage::~VerificationPage() = default;

// Each choice button with its path under it, "Проверить" at the top right, "Сохранить документ"
// under it on the right, the report filling the rest of the page.
void VerificationPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize page = event->size();
    const int width = std::max(buttonSize(dataFileButton).width(), buttonSize(signatureFileButton).width());
    const int height = rowHeight({dataFileButton, signatureFileButton, verifyButton, saveDocumentButton});
    const int line = lineHeight(dataFileLabel);

    int y = kPageMargin;
    dataFileButton->setGeometry(kPageMargin, y, width, height);
    y += height + kPathLabelGap;
    dataFileLabel->move(kPageMargin, y);
    y += line + kControlGap;
    const int saveWidth = buttonSize(saveDocumentButton).width();
    saveDocumentButton->setGeometry(page.width() - kPageMargin - saveWidth, y, saveWidth, height);
    signatureFileButton->setGeometry(kPageMargin, y, width, height);
    y += height + kPathLabelGap;
    signatureFileLabel->move(kPageMargin, y);
    y += line + kControlGap;

    const int verifyWidth = buttonSize(verifyButton).width();
    verifyButton->setGeometry(page.width() - kPageMargin - verifyWidth, kPageMargin, verifyWidth, height);

    reportArea->setGeometry(kPageMargin, y, std::max(0, page.width() - 2 * kPageMargin),
                            std::max(0, page.height() - y - kPageMargin));
}

// "Проверить" is enabled by a data file with its signature, or by an attached signature alone (read
// as far as its content to tell); a choice never disables it.
void VerificationPage::enableVerifyWhenReady() {
    if (verifySignatureFileName.empty())
        return;
    if (!verifyDataFileName.empty() || crypto::isAttachedSignatureFile(verifySignatureFileName))
        verifyButton->setEnabled(true);
}

// A change of the page's files or a new check: the document of the last check is no longer offered.
void VerificationPage::forgetCheckedDocument() {
    checkedSignature_.clear();
    saveDocumentButton->setEnabled(false);
}

// No size gate and no check that the file exists; a cancel empties the slot.
void VerificationPage::chooseFileToVerify(OpenFileDialog& dialog, std::string& slot, QLabel* label) {
    forgetCheckedDocument();
    slot.clear();
    if (dialog.run(prompts_))
        slot = dialog.fileName();
    setLabelText(label, slot);
    enableVerifyWhenReady();
}

void VerificationPage::takeFiles(const std::vector<std::string>& paths) {
    forgetCheckedDocument();
    for (const std::string& path : paths) {
        const bool signature = hasExtension(path, ".sig") || hasExtension(path, ".p7s");
        OpenFileDialog& dialog = signature ? signatureFileDialog : dataFileDialog;
        std::string& slot = signature ? verifySignatureFileName : verifyDataFileName;
        dialog.setFileName(path);
        slot = path;
        setLabelText(signature ? signatureFileLabel : dataFileLabel, slot);
    }
    enableVerifyWhenReady();
}

void VerificationPage::chooseDataFile() {
    chooseFileToVerify(dataFileDialog, verifyDataFileName, dataFileLabel);
}

void VerificationPage::chooseSignatureFile() {
    chooseFileToVerify(signatureFileDialog, verifySignatureFileName, signatureFileLabel);
}

// Checks the signature in verifySignatureFileName against verifyDataFileName (or, with no data file,
// against the content it carries), with the trust lines, and writes the report. Whatever the
// outcome, a completed run empties the page's choices, so the next check starts from choosing the
// files; an error or a cancel leaves them for a retry. A valid attached signature checked alone
// offers its document to "Сохранить документ".
void VerificationPage::verify() {
    forgetCheckedDocument();
    OperationView report(*this);
    WindowInteraction interaction(prompts_);
    operations::VerifyRequest request{verifyDataFileName, verifySignatureFileName};
    request.checkTrust = true;
    const operations::VerifyResult result = operations::verifySignatureFile(request, interaction, report);
    const std::string signature = verifySignatureFileName;
    const bool alone = verifyDataFileName.empty();
    setLabelText(dataFileLabel, "");
    setLabelText(signatureFileLabel, "");
    verifyDataFileName.clear();
    verifySignatureFileName.clear();
    verifyButton->setEnabled(false);
    if (result.verified && result.attached && alone) {
        checkedSignature_ = signature;
        saveDocumentButton->setEnabled(true);
    }
}

// Runs the check again with the content going to the chosen file: the flow writes it atomically
// (a link planted at the name is replaced, never followed) and only when every signer still holds,
// so a signature changed since its check saves nothing.
void VerificationPage::saveDocument() {
    if (checkedSignature_.empty())
        return;
    const std::optional<std::string> target =
        prompts_.saveFile("documentSaveDialog", "", documentNameFor(checkedSignature_));
    if (!target)
        return;
    QuietReport report;
    SaveInteraction interaction(prompts_);
    const operations::VerifyResult result =
        operations::verifySignatureFile({"", checkedSignature_, *target}, interaction, report);
    if (!result.extracted) {
        forgetCheckedDocument();
        throw Error(kDocumentNotSavedText);
    }
    prompts_.showMessage(kDocumentSavedText);
}

} // namespace plombar::app
