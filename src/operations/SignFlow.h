#pragma once

// Signing one file, as the window's "Подписать" and `plombar-cli sign` run it: the certificate is
// chosen in the store "MY", its key unlocked, the content signed in one pass into "<file>.sig"
// (DER) or "<file>.p7s" (Base64 text of the DER in 76-column CR LF lines), the pair packed into a
// 7z archive on request, and the folder opened.

#include "crypto/ContentSigning.h"
#include "operations/Interaction.h"
#include "operations/Messages.h"

#include <cstdint>
#include <exception>
#include <string>

namespace plombar::operations {

inline constexpr const char* kSignCertificateTitle = "Укажите сертификат для подписи";
inline constexpr const char* kNoProviderText = "Не удалось определить криптопровайдер";
inline constexpr const char* kSignedText = "Подписанное сообщение создано";

// The hash for a signer's public-key algorithm, by exact match: "1.2.643.2.2.19" -> "1.2.643.2.2.9",
// "1.2.643.7.1.1.1.1" -> "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.2" -> "1.2.643.7.1.1.2.3", else "".
std::string hashForKeyAlgorithm(const std::string& publicKeyAlgorithm);

struct SignRequest {
    std::string inputPath;
    crypto::SignatureLayout layout = crypto::SignatureLayout::Detached;
    crypto::SignedAttributes attributes = crypto::SignedAttributes::None;
    bool base64 = false; // "<file>.p7s" in Base64 instead of "<file>.sig"
    bool pack = false;   // pack the file and its signature into "<signature>.7z"
};

enum class SignOutcome {
    NoCertificate, // none chosen: kNoCertificateText was shown
    NoKey,         // the key could not be unlocked: kNoProviderText was shown
    Refused,       // the key or its hash cannot sign (an RSA certificate): failureMessage was shown
    Failed,        // signing failed on the way: failureMessage was shown
    Signed,        // the signature is written, packed when asked, the folder opened
    NotPacked,     // the signature is written, but packing failed: `packingError` says why
};

struct SignResult {
    SignOutcome outcome = SignOutcome::NoCertificate;
    std::string signaturePath;       // Signed, NotPacked: the file written
    std::string archivePath;         // Signed with packing: the archive written
    std::uint32_t errorCode = 0;     // NoKey, Refused, Failed: the error's system code
    std::string diagnostic;          // NoKey, Refused, Failed: what went wrong, for logs and plombar-cli
    std::exception_ptr packingError; // NotPacked: the packing's error, to report as an error
};

// The points of a successful signing at which the window reads and resets its boxes, as it always
// has: the format is read once the message has been shown (a box ticked while it is open counts),
// the packing box once the signature is saved. plombar-cli keeps the defaults.
class SignCheckpoints {
public:
    virtual ~SignCheckpoints() = default;
    virtual bool base64(bool requested) { return requested; }
    virtual void signatureSaved() {}
    virtual bool pack(bool requested) { return requested; }
    virtual void packed() {}
    virtual void beforeFolderOpens() {}
};

// One run. Foreseen outcomes are returned, after their message; errors are raised: the GOST engine
// missing, the store unusable, the input that cannot be opened or read or changes while read
// ("Cannot open file ..." after the certificate dialog), the output that cannot be written
// ("Cannot create file ...", after kSignedText), CancelledError. The message kSignedText is shown
// before the signature file appears; an output that fails leaves nothing behind. A cancel while
// signing leaves no signature; a cancel while packing leaves the signature (already announced) and
// no archive.
SignResult signFile(const SignRequest& request, Interaction& interaction, SignCheckpoints& checkpoints);
SignResult signFile(const SignRequest& request, Interaction& interaction);

} // namespace plombar::operations
