#pragma once

// Decrypting one file as the window's "DECRYPT" and `plombar-cli decrypt` do it: the message (DER,
// Base64 or PEM, crypto::MessageFile) streamed through the cipher with the key of a certificate in the store
// "MY" that it names as a recipient, the content written under the input's name without its last four
// characters, "Расшифрован", the run's end, the folder.

#include "operations/Interaction.h"

#include <cstdint>
#include <string>

namespace plombar::operations {

inline constexpr const char* kDecryptedText = "Расшифрован";

enum class DecryptOutcome {
    Failed, // the message does not decrypt with a key of the store: failureMessage(errorCode) shown
    Success,
};

struct DecryptResult {
    DecryptOutcome outcome = DecryptOutcome::Failed;
    std::string outputPath;      // withoutLastFourCharacters(inputPath) once written
    std::uint32_t errorCode = 0; // Failed: the Windows-numbered code the message shows
    std::string diagnostic;      // Failed: why, in the crypto layer's words (for logs and the CLI)
};

// One run over `inputPath`. What the user sees, in order:
//   [password questions] -> showMessage(failure) | showMessage(kDecryptedText)
//   -> runEnded -> [openFolder(the input's folder, with its trailing "/")]
// A message that is no enveloped message, is for nobody in the store, does not open with the key
// or is damaged, and a key that cannot be unlocked (a cancelled password included) are a foreseen
// Failed. Raises, after runEnded and with nothing written: the text of a missing GOST engine; the
// store's own error when it cannot be used; FileOpenError/FileReadError/FileChangedError of the
// input; FileCreateError when the output cannot be written (only once the content decrypts);
// CancelledError; and whatever the password source raises.
DecryptResult decryptFile(const std::string& inputPath, Interaction& interaction);

} // namespace plombar::operations
