#include "operations/SignFlow.h"

#include "codec/Base64.h"
#include "crypto/CertificateStore.h"
#include "crypto/CryptoError.h"
#include "crypto/GostRuntime.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "sevenzip/PackSignedPair.h"

#include <optional>

namespace plombar::operations {

namespace {

std::string diagnosticOf(const crypto::CryptoError& error) {
    return error.openSslReasons().empty() ? error.message()
                                          : error.message() + " (" + error.openSslReasons() + ")";
}

std::string signatureFileOf(const std::string& input, bool base64) {
    return input + (base64 ? ".p7s" : ".sig");
}

// The signature as it is made, in an atomic file that appears only once the message has been shown.
// A file that cannot be created or written does not stop the signing: its error is kept and raised
// after the message, where the user has always seen it.
class Draft final : public ByteSink {
public:
    explicit Draft(const std::string& target) {
        try {
            file_.emplace(target);
        } catch (const Error&) {
            error_ = std::current_exception();
        }
    }

    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override {
        if (error_)
            return;
        try {
            file_->write(data);
        } catch (const Error&) {
            error_ = std::current_exception();
        }
    }

    void raiseKeptError() const {
        if (error_)
            std::rethrow_exception(error_);
    }
    AtomicFile& file() { return *file_; }

private:
    std::optional<AtomicFile> file_;
    std::exception_ptr error_;
};

// Writes the draft's bytes to `target` in the other format: the Base64 text of a DER draft, or the
// DER of a Base64 draft. Only when the format was changed while the message was shown.
void convertDraft(Draft& draft, bool toBase64, const std::string& target) {
    class Written final : public ByteSource {
    public:
        explicit Written(Stream& stream) : stream_(stream) { stream_.seek(0, SeekFrom::Start); }
        std::size_t read(std::span<std::uint8_t> buffer) override { return stream_.read(buffer); }

    private:
        Stream& stream_;
    } written(draft.file().stream());
    AtomicFile file(target);
    if (toBase64) {
        Base64Encoder text(file);
        copyAll(written, text);
        text.finish();
    } else {
        Base64Decoder der(written);
        copyAll(der, file);
    }
    file.commit();
}

SignCheckpoints& defaultCheckpoints() {
    static SignCheckpoints none;
    return none;
}

} // namespace

std::string hashForKeyAlgorithm(const std::string& publicKeyAlgorithm) {
    static constexpr struct {
        const char* key;
        const char* hash;
    } kTable[] = {
        {"1.2.643.2.2.19", "1.2.643.2.2.9"},
        {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"},
        {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3"},
    };
    for (const auto& row : kTable)
        if (publicKeyAlgorithm == row.key)
            return row.hash;
    return {};
}

SignResult signFile(const SignRequest& request, Interaction& interaction) {
    return signFile(request, interaction, defaultCheckpoints());
}

SignResult signFile(const SignRequest& request, Interaction& interaction, SignCheckpoints& checkpoints) {
    SignResult result;
    // Without the engine nothing GOST can be signed; say so instead of failing obscurely later.
    if (!crypto::GostRuntimeReady())
        throw Error(crypto::GostRuntimeErrorText());

    const crypto::CertificateStore store =
        crypto::CertificateStore::open(crypto::CertificateStore::kPersonal);
    const std::vector<crypto::StoreEntry> entries = store.entries();
    const std::optional<std::size_t> chosen = interaction.chooseCertificate(kSignCertificateTitle, entries);
    if (!chosen) {
        interaction.showMessage(kNoCertificateText);
        result.outcome = SignOutcome::NoCertificate;
        return result;
    }
    const crypto::StoreEntry& signer = entries[*chosen];

    // Opened before the key is asked for: a file gone since it was chosen is reported first.
    FileReader content(request.inputPath);

    std::optional<crypto::PrivateKey> key;
    try {
        key.emplace(store.unlockKey(signer, interaction.passwords()));
    } catch (const crypto::CryptoError& error) {
        result.errorCode = error.code();
        result.diagnostic = diagnosticOf(error);
        interaction.showMessage(kNoProviderText);
        result.outcome = SignOutcome::NoKey;
        return result;
    }

    // The file is written in the format of the request; should the window's box change while the
    // message is shown, the draft is rewritten in the other format.
    Draft draft(signatureFileOf(request.inputPath, request.base64));
    crypto::SignOptions options;
    options.layout = request.layout;
    options.hashOid = hashForKeyAlgorithm(signer.certificate.publicKeyAlgorithm());
    options.attributes = request.attributes;
    try {
        const crypto::SigningIdentity identity{signer.certificate.x509(), key->get()};
        interaction.progress().beginStage("Подпись", content.size());
        if (request.base64) {
            Base64Encoder text(draft);
            crypto::signContent(content, content.size(), identity, options, text, interaction.progress());
            text.finish();
        } else {
            crypto::signContent(content, content.size(), identity, options, draft, interaction.progress());
        }
    } catch (const crypto::CryptoError& error) {
        if (error.kind() == crypto::CryptoFailure::EngineMissing)
            throw;
        result.errorCode = error.code();
        result.diagnostic = diagnosticOf(error);
        interaction.showMessage(failureMessage(result.errorCode));
        result.outcome = error.kind() == crypto::CryptoFailure::UnsupportedAlgorithm ? SignOutcome::Refused
                                                                                     : SignOutcome::Failed;
        return result;
    }
    key.reset();

    interaction.showMessage(kSignedText);
    draft.raiseKeptError();
    const bool base64 = checkpoints.base64(request.base64);
    result.signaturePath = signatureFileOf(request.inputPath, base64);
    if (base64 == request.base64)
        draft.file().commit();
    else
        convertDraft(draft, base64, result.signaturePath);
    checkpoints.signatureSaved();

    // Held until the run ends, so the archive library is unloaded after the folder is opened.
    sevenzip::ComPtr<sevenzip::ArchiveWriter> archiveWriter;
    if (checkpoints.pack(request.pack)) {
        try {
            result.archivePath =
                sevenzip::packSignedPair(request.inputPath, result.signaturePath, archiveWriter,
                                         sevenzip::kLibraryFileName, interaction.progress());
        } catch (const CancelledError&) {
            // Cancelled while packing: no archive, but the signature stays. Its message has been shown
            // and it is whole; taking it back now would undo what the user was told had been done.
            throw;
        } catch (const Error&) {
            result.packingError = std::current_exception();
            result.outcome = SignOutcome::NotPacked;
            return result;
        }
        interaction.showMessage(sevenzip::archiveCreatedMessage(result.archivePath));
        checkpoints.packed();
    }
    checkpoints.beforeFolderOpens();
    interaction.openFolder(folderOf(result.signaturePath));
    result.outcome = SignOutcome::Signed;
    return result;
}

} // namespace plombar::operations
