#include "DiagnosticLog.h"
#include "Prompts.h"
#include "Unit1.h"
#include "crypto/DecryptOperation.h"

#include <QLabel>
#include <QPushButton>

namespace plombar::app {

namespace {

// The decryption page as the decryption operation sees it.
class DecryptionPage : public crypto::DecryptView {
public:
    explicit DecryptionPage(TForm1& form) : form_(form) {}

    void ShowMessage(const std::string& text) override { form_.prompts().showMessage(text); }

    void ResetPage() noexcept override {
        form_.DecryptFileName.clear();
        form_.setLabelText(form_.Label5, "");
        form_.Button9->setEnabled(false);
    }

    void OpenFolder(const std::string& folder) override { form_.prompts().openFolder(folder); }

private:
    TForm1& form_;
};

} // namespace

// "DECRYPT": decrypts the file in DecryptFileName with a key that the store "MY" holds and writes
// the content under the file's name without its last four characters. The slot is cleared on
// every outcome.
void TForm1::Button9Click() {
    DecryptionPage page(*this);
    const crypto::DecryptResult result = crypto::DecryptFile(DecryptFileName, page);
    LogDiagnostic("расшифровка", result.diagnostic);
}

} // namespace plombar::app
