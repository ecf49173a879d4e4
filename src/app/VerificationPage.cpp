#include "VerificationPage.h"

#include "PageWidgets.h"
#include "Prompts.h"
#include "WindowInteraction.h"
#include "operations/VerifyFlow.h"

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

VerificationPage::VerificationPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("verificationPage"));
    dataFileButton = makeButton(this, "dataFileButton", QStringLiteral("Исходный файл"), true);
    dataFileLabel = makePathLabel(this, "dataFileLabel");
    signatureFileButton = makeButton(this, "signatureFileButton", QStringLiteral("Файл подписи"), true);
    signatureFileLabel = makePathLabel(this, "signatureFileLabel");
    verifyButton = makeButton(this, "verifyButton", QStringLiteral("Проверить"), false);
    reportArea = new QPlainTextEdit(this);
    reportArea->setObjectName(QStringLiteral("reportArea"));
    reportArea->setReadOnly(true);
    reportArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reportArea->setFocusPolicy(Qt::StrongFocus);
    // Read-only, so Tab has nothing to insert: let it move the focus on.
    reportArea->setTabChangesFocus(true);
    reportArea->setPlainText(QStringLiteral("Memo1"));

    connectGuarded(verifyButton, prompts_, [this] { verify(); });
    connectGuarded(dataFileButton, prompts_, [this] { chooseDataFile(); });
    connectGuarded(signatureFileButton, prompts_, [this] { chooseSignatureFile(); });
    // A data file and its signature may come in one drag.
    acceptFileDrops(this, prompts_, 2, [this](const std::vector<std::string>& paths) { takeFiles(paths); });
    reportArea->setAcceptDrops(false);
    reportArea->viewport()->setAcceptDrops(false);
}

VerificationPage::~VerificationPage() = default;

// Each choice button with its path under it, "Проверить" at the top right, the report filling the
// rest of the page.
void VerificationPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize page = event->size();
    const int width = std::max(buttonSize(dataFileButton).width(), buttonSize(signatureFileButton).width());
    const int height = rowHeight({dataFileButton, signatureFileButton, verifyButton});
    const int line = lineHeight(dataFileLabel);

    int y = kPageMargin;
    dataFileButton->setGeometry(kPageMargin, y, width, height);
    y += height + kPathLabelGap;
    dataFileLabel->move(kPageMargin, y);
    y += line + kControlGap;
    signatureFileButton->setGeometry(kPageMargin, y, width, height);
    y += height + kPathLabelGap;
    signatureFileLabel->move(kPageMargin, y);
    y += line + kControlGap;

    const int verifyWidth = buttonSize(verifyButton).width();
    verifyButton->setGeometry(page.width() - kPageMargin - verifyWidth, kPageMargin, verifyWidth, height);

    reportArea->setGeometry(kPageMargin, y, std::max(0, page.width() - 2 * kPageMargin),
                            std::max(0, page.height() - y - kPageMargin));
}

// No size gate and no check that the file exists; a cancel empties the slot.
void VerificationPage::chooseFileToVerify(OpenFileDialog& dialog, std::string& slot, QLabel* label) {
    slot.clear();
    if (dialog.run(prompts_))
        slot = dialog.fileName();
    setLabelText(label, slot);
    if (!verifyDataFileName.empty() && !verifySignatureFileName.empty())
        verifyButton->setEnabled(true);
}

void VerificationPage::takeFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        const bool signature = hasExtension(path, ".sig") || hasExtension(path, ".p7s");
        OpenFileDialog& dialog = signature ? signatureFileDialog : dataFileDialog;
        std::string& slot = signature ? verifySignatureFileName : verifyDataFileName;
        dialog.setFileName(path);
        slot = path;
        setLabelText(signature ? signatureFileLabel : dataFileLabel, slot);
    }
    if (!verifyDataFileName.empty() && !verifySignatureFileName.empty())
        verifyButton->setEnabled(true);
}

void VerificationPage::chooseDataFile() {
    chooseFileToVerify(dataFileDialog, verifyDataFileName, dataFileLabel);
}

void VerificationPage::chooseSignatureFile() {
    chooseFileToVerify(signatureFileDialog, verifySignatureFileName, signatureFileLabel);
}

// Checks the detached signature in verifySignatureFileName against verifyDataFileName and writes the
// report. Whatever the outcome, a completed run empties the page's choices, so the next check starts
// from choosing both files; an error leaves them for a retry.
void VerificationPage::verify() {
    OperationView report(*this);
    WindowInteraction interaction(prompts_);
    operations::verifySignatureFile({verifyDataFileName, verifySignatureFileName}, interaction, report);
    setLabelText(dataFileLabel, "");
    setLabelText(signatureFileLabel, "");
    verifyDataFileName.clear();
    verifySignatureFileName.clear();
    verifyButton->setEnabled(false);
}

} // namespace plombar::app
