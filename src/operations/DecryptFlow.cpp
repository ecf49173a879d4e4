#include "operations/DecryptFlow.h"

#include "crypto/ContentEncryption.h"
#include "crypto/GostRuntime.h"
#include "crypto/MessageFile.h"
#include "operations/Messages.h"
#include "operations/RunEnd.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <optional>
#include <vector>

namespace plombar::operations {

DecryptResult decryptFile(const std::string& inputPath, Interaction& interaction) {
    DecryptResult result;
    {
        RunEnd end(interaction);
        if (!crypto::GostRuntimeReady())
            throw Error(crypto::GostRuntimeErrorText());
        // Without the store no key is found; its own reason (a folder others can write to, one that
        // cannot be read) says more than "no key" would.
        const crypto::CertificateStore store =
            crypto::CertificateStore::open(crypto::CertificateStore::kPersonal);
        crypto::MessageFile input = crypto::MessageFile::open(inputPath, crypto::MessageKind::Enveloped);
        const std::vector<crypto::StoreEntry> entries = store.entries();
        // The senders of key agreement messages are looked for among the user's certificates; a
        // store of them that cannot be used adds none.
        std::vector<crypto::Certificate> known;
        for (const crypto::StoreEntry& entry : entries)
            known.push_back(entry.certificate);
        for (const char* name : {crypto::CertificateStore::kIntermediate, crypto::CertificateStore::kRoot}) {
            try {
                for (const crypto::StoreEntry& entry : crypto::CertificateStore::open(name).entries())
                    known.push_back(entry.certificate);
            } catch (const crypto::CryptoError&) {
            }
        }
        std::vector<X509*> originators;
        for (const crypto::Certificate& certificate : known)
            originators.push_back(certificate.x509());
        std::vector<crypto::DecryptionCandidate> candidates;
        for (const crypto::StoreEntry& entry : entries) {
            if (!entry.hasKey)
                continue;
            candidates.push_back({entry.certificate.x509(), [&store, &entry, &interaction] {
                                      const crypto::PrivateKey key =
                                          store.unlockKey(entry, interaction.passwords());
                                      EVP_PKEY_up_ref(key.get());
                                      return crypto::EvpPkeyPtr(key.get());
                                  }});
        }
        const std::string outputPath = withoutLastFourCharacters(inputPath);
        AtomicFileOnFirstWrite output(outputPath);
        try {
            // The decrypted size is known only at the end: 0 shows a busy bar.
            interaction.progress().beginStage("Расшифровка", 0);
            crypto::decryptMessage(input.message(), candidates, originators, output, interaction.progress());
        } catch (const crypto::CryptoError& error) {
            result.errorCode = error.code();
            result.diagnostic = error.message();
            interaction.showMessage(failureMessage(result.errorCode));
            return result;
        }
        output.commit();
        result.outputPath = outputPath;
        interaction.showMessage(kDecryptedText);
    }
    interaction.openFolder(folderOf(inputPath));
    result.outcome = DecryptOutcome::Success;
    return result;
}

} // namespace plombar::operations
