#pragma once

// Encrypting one file as the window's "Зашифровать" and `plombar-cli encrypt` do it: the recipient
// chosen from the store "MY" or read from a certificate file, the file streamed through the cipher
// into FILE.enc, "Файл зашифрован", the run's end, the folder.

#include "operations/Interaction.h"

#include <string>

namespace plombar::operations {

inline constexpr const char* kEncryptCertificateTitle = "Укажите сертификат для шифрования";
inline constexpr const char* kEncryptedText = "Файл зашифрован";

struct EncryptRequest {
    std::string inputPath;
    bool certificateFromFile = false; // the recipient's certificate comes from certificatePath
    std::string certificatePath;      // read only when certificateFromFile
};

enum class EncryptOutcome {
    NoCertificate, // none chosen, or the certificate file holds no certificate: "Не выбран сертификат"
    Success,
};

struct EncryptResult {
    EncryptOutcome outcome = EncryptOutcome::NoCertificate;
    std::string outputPath; // inputPath + ".enc" once written
};

// One run. What the user sees, in order:
//   [chooseCertificate] -> [showMessage(no certificate)] | showMessage(kEncryptedText)
//   -> runEnded -> [openFolder(the input's folder, with its trailing "/")]
// A certificate file may be DER, Base64 or PEM. Raises, after runEnded and with nothing written:
// the text of a missing GOST engine; FileOpenError/FileReadError/FileChangedError of the input or
// the certificate file ("Cannot open file """ for an empty certificate path); OutOfMemoryError for a
// certificate file too large to load; the store's own error when the recipient is to be chosen
// from a store that cannot be used (a folder others can write to); FailedStepError when the
// encryption fails (a recipient whose key is no GOST key: "Unknown cryptographic algorithm");
// FileCreateError when FILE.enc cannot be written; CancelledError.
EncryptResult encryptFile(const EncryptRequest& request, Interaction& interaction);

} // namespace plombar::operations
