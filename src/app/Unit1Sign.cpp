#include "CertificatePrompts.h"
#include "DiagnosticLog.h"
#include "Prompts.h"
#include "Unit1.h"
#include "crypto/SignOperation.h"
#include "sevenzip/PackSignedPair.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace plombar::app {

namespace {

void untickNow(QCheckBox* box) {
    box->setChecked(false);
    box->repaint();
}

// The signing page as the signing operation sees it.
class SigningPage : public crypto::SignView {
public:
    explicit SigningPage(TForm1& form) : form_(form) {}

    CertificateRef SelectCertificate(StoreRef store, const std::string& title) override {
        return chooseCertificateFromStore(form_.prompts(), store, title);
    }

    void ShowMessage(const std::string& text) override { form_.prompts().showMessage(text); }

    bool Base64Checked() override { return form_.CheckBox2->isChecked(); }

    void SignatureSaved(const std::string& inputPath, const std::string& signaturePath) override {
        untickNow(form_.CheckBox2);
        untickNow(form_.CheckBox3);
        // Unticked, the archive library is not even loaded: a missing one goes unnoticed then.
        if (!form_.CheckBox1->isChecked())
            return;
        // An error leaves CheckBox1 ticked and the signature file written.
        const std::string archive = sevenzip::PackSignedPair(inputPath, signaturePath, archiveWriter_);
        form_.prompts().showMessage(sevenzip::ArchiveCreatedMessage(archive));
        untickNow(form_.CheckBox1);
        untickNow(form_.CheckBox3);
    }

    void ClearSelection() override {
        form_.SignFileName.clear();
        form_.setLabelText(form_.Label2, "");
        form_.Button1->setEnabled(false);
    }

    void OpenFolder(const std::string& folder) override { form_.prompts().openFolder(folder); }

private:
    TForm1& form_;
    // Lives as long as the page, that is until Button1Click ends: the library is unloaded last, after
    // the folder is opened, or as an error leaves the handler.
    sevenzip::ComPtr<sevenzip::I7zArchiveWriter> archiveWriter_;
};

} // namespace

// "Подписать": signs the file in SignFileName with a certificate from the store "MY". An error
// raised on the way (the file gone, the signature not saved) leaves the page as it was for the
// application's error report.
void TForm1::Button1Click() {
    // Read once: ticking the box while a dialog is open does not change the kind of this signature.
    const bool detached = !CheckBox3->isChecked();
    SigningPage page(*this);
    const crypto::SignResult result = crypto::SignFile(SignFileName, detached, page);
    LogDiagnostic("подпись", result.diagnostic);
    if (crypto::UntickAttachedAfter(result.outcome))
        untickNow(CheckBox3);
}

} // namespace plombar::app
