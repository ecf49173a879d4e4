#include "DecryptionPage.h"

#include "DiagnosticLog.h"
#include "FileSizeGate.h"
#include "PageWidgets.h"
#include "Prompts.h"
#include "WindowInteraction.h"
#include "operations/DecryptFlow.h"

#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

namespace plombar::app {

// The window's side of one decryption run: its prompts, and the page reset when the run ends.
class DecryptionPage::OperationView : public WindowInteraction {
public:
    explicit OperationView(DecryptionPage& page) : WindowInteraction(page.prompts_), page_(page) {}

    void runEnded() noexcept override {
        page_.decryptFileName.clear();
        setLabelText(page_.fileLabel, "");
        page_.decryptButton->setEnabled(false);
    }

private:
    DecryptionPage& page_;
};

DecryptionPage::DecryptionPage(Prompts& prompts, QWidget* parent) : QWidget(parent), prompts_(prompts) {
    setObjectName(QStringLiteral("decryptionPage"));
    chooseFileButton = makeButton(this, "chooseFileButton", QStringLiteral("Открыть файл"), true);
    decryptButton = makeButton(this, "decryptButton", QStringLiteral("DECRYPT"), false);
    fileLabel = makePathLabel(this, "fileLabel");

    connectGuarded(chooseFileButton, prompts_, [this] { chooseFile(); });
    connectGuarded(decryptButton, prompts_, [this] { decrypt(); });
    acceptFileDrops(this, prompts_, 1,
                    [this](const std::vector<std::string>& paths) { takeFile(paths.front()); });
}

DecryptionPage::~DecryptionPage() = default;

// The two buttons side by side, the path under them.
void DecryptionPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int height = rowHeight({chooseFileButton, decryptButton});
    chooseFileButton->setGeometry(kPageMargin, kPageMargin, buttonSize(chooseFileButton).width(), height);
    decryptButton->setGeometry(chooseFileButton->geometry().right() + 1 + kControlGap, kPageMargin,
                               buttonSize(decryptButton).width(), height);
    fileLabel->move(kPageMargin, kPageMargin + height + kPathLabelGap);
}

void DecryptionPage::chooseFile() {
    chooseGatedFile(prompts_, fileToDecryptDialog, decryptFileName, fileLabel, decryptButton);
}

void DecryptionPage::takeFile(const std::string& path) {
    takeGatedFile(prompts_, fileToDecryptDialog, path, decryptFileName, fileLabel, decryptButton);
}

// Decrypts the file in decryptFileName with a key that the store "MY" holds and writes the content
// under the file's name without its last four characters. The slot is cleared on every outcome.
void DecryptionPage::decrypt() {
    OperationView view(*this);
    // The run resets the slot; the flow keeps its own copy of the path.
    const std::string input = decryptFileName;
    const operations::DecryptResult result = operations::decryptFile(input, view);
    logDiagnostic("расшифровка", result.diagnostic);
}

} // namespace plombar::app
