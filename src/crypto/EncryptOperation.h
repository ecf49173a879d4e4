#pragma once

// The encryption of one file as the window's "Зашифровать" button and `plombar-cli encrypt` run it:
// the file loaded, the store "MY" opened, the recipient certificate from a DER file or from the
// selection dialog, the two encryption calls, FILE.enc written, the releases and the page reset,
// in this order. The window (or the command-line tool) takes part through EncryptView.

#include "crypto/CryptoApi.h"
#include "crypto/SignOperation.h"

#include <string>

namespace plombar::crypto {

inline constexpr const char* kEncryptCertificateTitle = "Укажите сертификат для шифрования";
inline constexpr const char* kEncryptedText = "Файл зашифрован";

// What the operation asks of the window. Calls come in the order of one run:
//   [SelectCertificate] -> [ShowMessage(no certificate) -> ClearInputSlot]
//   -> ShowMessage(kEncryptedText) -> ResetPage -> OpenFolder -> ClearSlots
// ResetPage comes on every outcome, also when an error is raised, after everything is released.
class EncryptView {
public:
    virtual ~EncryptView() = default;

    // The certificate selection dialog over `store`, without owner window, with `title` and an empty
    // display text. Returns a context that the operation then owns and releases, or null on cancel.
    virtual PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string& title) = 0;

    // A plain message box; returns once the user has closed it.
    virtual void ShowMessage(const std::string& text) = 0;

    // No certificate at hand: clear EncryptFileName (RecipientCertFileName keeps its value).
    virtual void ClearInputSlot() = 0;

    // Button7 disabled, Label4 and Label6 emptied, CheckBox4 unticked, Button11 disabled, in this
    // order, each repainted at once. Runs while an error may be on its way, so it must not raise.
    virtual void ResetPage() noexcept = 0;

    // Open `folder` (the input's folder, with its trailing "/") in the file browser.
    virtual void OpenFolder(const std::string& folder) = 0;

    // After a successful run: clear EncryptFileName and RecipientCertFileName.
    virtual void ClearSlots() = 0;
};

struct EncryptRequest {
    std::string inputPath;            // EncryptFileName
    bool certificateFromFile = false; // "Выбрать сертификат из файла" (CheckBox4) ticked
    std::string certificatePath;      // RecipientCertFileName, read only when certificateFromFile
};

enum class EncryptOutcome {
    NoCertificate, // the dialog was cancelled or the certificate file holds no DER certificate
    Success,
};

struct EncryptResult {
    EncryptOutcome outcome = EncryptOutcome::NoCertificate;
    std::string outputPath; // inputPath + ".enc" once written
};

// One run. Foreseen outcomes are returned. Errors are raised after the releases and the page reset
// that the nesting gives: "Cannot open file ..." (the file or the certificate file, also an empty
// certificate path), the OS error of a failed encryption call ("System Error.  Code: %d." CR LF
// text; LastCryptoDiagnostic() then says why), "Out of memory while expanding memory stream",
// "Cannot create file ...", the OS error of a failed CertFreeCertificateContext or CertCloseStore
// (then the file is written and was announced, but the folder is not opened and the slots keep
// their values), the text of a missing GOST engine, and, when the recipient is to be chosen from
// the store, the reason the store cannot be opened (a store folder others can write to).
EncryptResult EncryptFile(const EncryptRequest& request, EncryptView& view);

} // namespace plombar::crypto
