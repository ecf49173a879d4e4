#pragma once

// The decryption of one file as the window's "DECRYPT" button and `plombar-cli decrypt` run it: the
// store "MY" opened, the file loaded, the two decryption calls with a key that the store reaches,
// the content written under the input's name without its last four characters, the releases and
// the page's resets, in this order. The window (or the command-line tool) takes part through
// DecryptView.

#include "crypto/CryptoApi.h"
#include "crypto/SignOperation.h"

#include <cstdint>
#include <string>

namespace plombar::crypto {

inline constexpr const char* kDecryptedText = "Расшифрован";

// What the operation asks of the window. Calls come in the order of one run:
//   [ShowMessage(failure) | ShowMessage(kDecryptedText)] -> ResetPage -> [OpenFolder]
// ResetPage comes on every outcome once the input buffer exists, also when an error is raised.
class DecryptView {
public:
    virtual ~DecryptView() = default;

    // A plain message box; returns once the user has closed it.
    virtual void ShowMessage(const std::string& text) = 0;

    // Clear DecryptFileName, empty Label5 and repaint it at once, disable Button9. Runs while an
    // error may be on its way, so it must not raise.
    virtual void ResetPage() noexcept = 0;

    // Open `folder` (the input's folder, with its trailing "/"); after a successful run only.
    virtual void OpenFolder(const std::string& folder) = 0;
};

enum class DecryptOutcome {
    SizeCallFailed, // the message is no enveloped message, or no key of the store opens it, ...
    DataCallFailed,
    Success,
};

struct DecryptResult {
    DecryptOutcome outcome = DecryptOutcome::SizeCallFailed;
    std::string outputPath;      // withoutLastFourCharacters(inputPath) once written
    std::uint32_t errorCode = 0; // the last error read right after the failed call
    std::string diagnostic;      // LastCryptoDiagnostic() at that moment (for logs and the CLI)
};

// One run over `inputPath` (the value of DecryptFileName). A failed decryption call is a foreseen
// outcome: FailureMessage(code) is shown and returned. Errors raised ("Cannot open file ...",
// "Cannot create file ...", "Out of memory while expanding memory stream", the text of a missing
// GOST engine, the reason the store cannot be opened, such as a store folder others can write to)
// leave after the releases and resets.
DecryptResult DecryptFile(const std::string& inputPath, DecryptView& view);

} // namespace plombar::crypto
