#include "CertificatePrompts.h"
#include "Prompts.h"
#include "Unit1.h"
#include "crypto/EncryptOperation.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace plombar::app {

namespace {

// The encryption page as the encryption operation sees it.
class EncryptionPage : public crypto::EncryptView {
public:
    explicit EncryptionPage(TForm1& form) : form_(form) {}

    CertificateRef SelectCertificate(StoreRef store, const std::string& title) override {
        return chooseCertificateFromStore(form_.prompts(), store, title);
    }

    void ShowMessage(const std::string& text) override { form_.prompts().showMessage(text); }

    void ClearInputSlot() override { form_.EncryptFileName.clear(); }

    // The first change needs no repaint of its own; every later one is drawn at once.
    void ResetPage() noexcept override {
        form_.Button7->setEnabled(false);
        form_.setLabelText(form_.Label4, "");
        form_.setLabelText(form_.Label6, "");
        form_.CheckBox4->setChecked(false);
        form_.CheckBox4->repaint();
        form_.Button11->setEnabled(false);
        form_.Button11->repaint();
    }

    void OpenFolder(const std::string& folder) override { form_.prompts().openFolder(folder); }

    void ClearSlots() override {
        form_.EncryptFileName.clear();
        form_.RecipientCertFileName.clear();
    }

private:
    TForm1& form_;
};

} // namespace

// "Зашифровать": encrypts the file in EncryptFileName for a certificate from the store "MY" or, with
// "Выбрать сертификат из файла" ticked, from the DER file in RecipientCertFileName, into FILE.enc.
// The page is reset on every outcome; an error leaves both slots as they were.
void TForm1::Button7Click() {
    EncryptionPage page(*this);
    crypto::EncryptFile({EncryptFileName, CheckBox4->isChecked(), RecipientCertFileName}, page);
}

} // namespace plombar::app
