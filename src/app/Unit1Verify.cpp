#include "Unit1.h"

#include "CertificatePrompts.h"
#include "Prompts.h"
#include "crypto/VerifyOperation.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace plombar::app {

namespace {

// The verification page's part of a run: the report goes into Memo1, one appended line per report
// line, and the signer's certificate into the certificate view dialog.
class MemoVerifyView : public crypto::VerifyView {
public:
    MemoVerifyView(QPlainTextEdit& memo, Prompts& prompts) : memo_(memo), prompts_(prompts) {}

    void ClearReport() override { memo_.clear(); }
    void AddLine(const std::string& line) override { memo_.appendPlainText(QString::fromStdString(line)); }
    // A dialog that cannot be shown is not reported; the report goes on.
    void ViewCertificate(CertificateRef signer) override { showCertificate(prompts_, signer); }

private:
    QPlainTextEdit& memo_;
    Prompts& prompts_;
};

} // namespace

// Checks the detached signature VerifySignatureFileName against VerifyDataFileName and writes the
// report into Memo1. Whatever the outcome, a completed run empties the page's choices, so the next
// check starts from choosing both files; an error leaves them for a retry.
void TForm1::Button3Click() {
    MemoVerifyView view(*Memo1, prompts_);
    crypto::VerifyDetachedSignature(VerifySignatureFileName, VerifyDataFileName, view);
    setLabelText(Label1, "");
    setLabelText(Label3, "");
    VerifyDataFileName.clear();
    VerifySignatureFileName.clear();
    Button3->setEnabled(false);
}

} // namespace plombar::app
