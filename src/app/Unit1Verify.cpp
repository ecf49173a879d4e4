#include "Unit1.h"

#include "CryptUI.h"
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
    explicit MemoVerifyView(QPlainTextEdit& memo) : memo_(memo) {}

    void ClearReport() override { memo_.clear(); }
    void AddLine(const std::string& line) override { memo_.appendPlainText(QString::fromStdString(line)); }
    void ViewCertificate(crypto::PCCERT_CONTEXT signer) override {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA view{};
        view.dwSize = sizeof view;
        view.pCertContext = signer;
        BOOL propertiesChanged = crypto::FALSE;
        // A dialog that cannot be shown is not reported; the report goes on.
        CryptUIDlgViewCertificateA(&view, &propertiesChanged);
    }

private:
    QPlainTextEdit& memo_;
};

} // namespace

// Checks the detached signature VerifySignatureFileName against VerifyDataFileName and writes the
// report into Memo1. Whatever the outcome, a completed run empties the page's choices, so the next
// check starts from choosing both files; an error leaves them for a retry.
void TForm1::Button3Click() {
    MemoVerifyView view(*Memo1);
    crypto::VerifyDetachedSignature(VerifySignatureFileName, VerifyDataFileName, view);
    setLabelText(Label1, "");
    setLabelText(Label3, "");
    VerifyDataFileName.clear();
    VerifySignatureFileName.clear();
    Button3->setEnabled(false);
}

} // namespace plombar::app
