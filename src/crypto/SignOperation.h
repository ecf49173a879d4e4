#pragma once

// The signing of one file as the window's "Подписать" button and `plombar-cli sign` run it: store,
// certificate choice, hash choice, key check, the two signing calls, the output file and the
// window's resets, in this order. The window (or the command-line tool) takes part through SignView.

#include "crypto/CryptoApi.h"

#include <cstdint>
#include <string>

namespace plombar::crypto {

inline constexpr const char* kSignCertificateTitle = "Укажите сертификат для подписи";
inline constexpr const char* kNoCertificateText = "Не выбран сертификат";
inline constexpr const char* kNoProviderText = "Не удалось определить криптопровайдер";
inline constexpr const char* kSignedText = "Подписанное сообщение создано";

// The hash algorithm for a signer's public-key algorithm, by exact (byte-for-byte) match:
// "1.2.643.2.2.19" -> "1.2.643.2.2.9", "1.2.643.7.1.1.1.1" -> "1.2.643.7.1.1.2.2",
// "1.2.643.7.1.1.1.2" -> "1.2.643.7.1.1.2.3", anything else -> "".
std::string ChooseHashAlgorithm(const std::string& publicKeyAlgorithm);

// The text shown when a platform message function fails: the system text for the code, " - ", the
// code in unsigned decimal ("Unknown cryptographic algorithm - 2148077570").
std::string FailureMessage(std::uint32_t code);

enum class SignOutcome {
    NoCertificate,    // the selection was cancelled
    NoKey,            // CryptAcquireCertificatePrivateKey failed
    FirstCallFailed,  // the length call of CryptSignMessage failed
    SecondCallFailed, // the data call failed
    Success,
};

// What the operation asks of the window. Calls come in the order of one run:
//   SelectCertificate -> [ShowMessage(no certificate) -> ClearSelection]
//   -> [ShowMessage(no key / failure)]
//   -> ShowMessage(kSignedText) -> Base64Checked -> (file saved) -> SignatureSaved
//   -> ClearSelection -> OpenFolder
class SignView {
public:
    virtual ~SignView() = default;

    // The certificate selection dialog over `store`, without owner window, with `title` and an empty
    // display text. Returns a context that the operation then owns and releases, or null on cancel.
    virtual PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string& title) = 0;

    // A plain message box; returns once the user has closed it.
    virtual void ShowMessage(const std::string& text) = 0;

    // Whether "BASE64" (CheckBox2) is ticked now; asked once, after the message is made.
    virtual bool Base64Checked() = 0;

    // The signature file has been written. The window unticks CheckBox2 and CheckBox3 here and then
    // runs the packing step when CheckBox1 is ticked; an error it raises ends the run (everything
    // held is released; no folder is opened).
    virtual void SignatureSaved(const std::string& inputPath, const std::string& signaturePath) = 0;

    // Clear SignFileName, empty Label2, disable Button1: after the no-certificate message, and on
    // success after SignatureSaved.
    virtual void ClearSelection() = 0;

    // Open `folder` (the signature path's folder, with its trailing "/") in the file browser; last
    // call of a successful run, after the certificate, the provider handle and the store are released.
    virtual void OpenFolder(const std::string& folder) = 0;
};

struct SignResult {
    SignOutcome outcome = SignOutcome::NoCertificate;
    std::string signaturePath;   // on success: input + ".sig" or input + ".p7s"
    std::uint32_t errorCode = 0; // the last error read right after the failed call
    std::string diagnostic;      // LastCryptoDiagnostic() at that moment (for logs and the CLI)
};

// Whether the window unticks "Прикрепленная" (CheckBox3) itself after an outcome. On success it was
// already unticked in SignatureSaved; after a failed data call it stays as it was.
constexpr bool UntickAttachedAfter(SignOutcome outcome) {
    return outcome == SignOutcome::NoCertificate || outcome == SignOutcome::NoKey ||
           outcome == SignOutcome::FirstCallFailed;
}

// One run. `inputPath` is the value of SignFileName; `detached` is true when "Прикрепленная"
// (CheckBox3) was unticked when the click began. Foreseen outcomes are returned; errors raised
// (the GOST engine missing, the store folder unusable, "Cannot open file ..." while loading,
// "Cannot create file ..." while saving, "Out of memory while expanding memory stream", anything
// SignatureSaved raises) leave after every buffer, context and handle has been released.
SignResult SignFile(const std::string& inputPath, bool detached, SignView& view);

} // namespace plombar::crypto
