#include "operations/EncryptFlow.h"

#include "crypto/ContentEncryption.h"
#include "crypto/GostRuntime.h"
#include "operations/Messages.h"
#include "operations/RunEnd.h"
#include "platform/AtomicFile.h"
#include "platform/FileReader.h"
#include "platform/Paths.h"

#include <optional>

namespace plombar::operations {

namespace {

std::optional<crypto::Certificate> certificateFromFile(const std::string& path) {
    const std::string bytes = readFileContent(path);
    try {
        return crypto::Certificate::fromBytes(bytes);
    } catch (const crypto::CryptoError& error) {
        if (error.kind() != crypto::CryptoFailure::NotACertificate)
            throw;
        return std::nullopt;
    }
}

std::optional<crypto::Certificate> certificateFromStore(Interaction& interaction) {
    // When it cannot be used its reason is the error: a folder others can write to may hold a planted
    // recipient.
    const crypto::CertificateStore store =
        crypto::CertificateStore::open(crypto::CertificateStore::kPersonal);
    const std::vector<crypto::StoreEntry> entries = store.entries();
    const std::optional<std::size_t> chosen =
        interaction.chooseCertificate(kEncryptCertificateTitle, entries);
    if (!chosen || *chosen >= entries.size())
        return std::nullopt;
    return entries[*chosen].certificate;
}

} // namespace

EncryptResult encryptFile(const EncryptRequest& request, Interaction& interaction) {
    EncryptResult result;
    {
        RunEnd end(interaction);
        // Without the engine nothing GOST can be encrypted; say so instead of a system error.
        if (!crypto::GostRuntimeReady())
            throw Error(crypto::GostRuntimeErrorText());
        FileReader input(request.inputPath);
        const std::optional<crypto::Certificate> recipient =
            request.certificateFromFile ? certificateFromFile(request.certificatePath)
                                        : certificateFromStore(interaction);
        if (!recipient) {
            interaction.showMessage(kNoCertificateText);
            return result;
        }
        const std::string outputPath = request.inputPath + ".enc";
        AtomicFile output(outputPath);
        try {
            interaction.progress().beginStage("Шифрование", input.size());
            crypto::encryptContent(input, input.size(), recipient->x509(), output, interaction.progress());
        } catch (const crypto::CryptoError& error) {
            throw FailedStepError(error);
        }
        output.commit();
        result.outputPath = outputPath;
        interaction.showMessage(kEncryptedText);
    }
    interaction.openFolder(folderOf(request.inputPath));
    result.outcome = EncryptOutcome::Success;
    return result;
}

} // namespace plombar::operations
