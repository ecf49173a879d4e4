#include "CryptUI.h"
#include "Prompts.h"
#include "Unit1.h"
#include "crypto/SignOperation.h"

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

    PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string& title) override {
        return CryptUIDlgSelectCertificateFromStore(store, nullptr, title.c_str(), "", 0, 0, nullptr);
    }

    void ShowMessage(const std::string& text) override { form_.prompts().showMessage(text); }

    bool Base64Checked() override { return form_.CheckBox2->isChecked(); }

    void SignatureSaved(const std::string& /*inputPath*/, const std::string& /*signaturePath*/) override {
        untickNow(form_.CheckBox2);
        untickNow(form_.CheckBox3);
        // Packing the signed file and its signature into a 7z archive (when CheckBox1 is ticked) goes here.
    }

    void ClearSelection() override {
        form_.SignFileName.clear();
        form_.setLabelText(form_.Label2, "");
        form_.Button1->setEnabled(false);
    }

    void OpenFolder(const std::string& folder) override { form_.prompts().openFolder(folder); }

private:
    TForm1& form_;
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
    if (crypto::UntickAttachedAfter(result.outcome))
        untickNow(CheckBox3);
}

} // namespace plombar::app
