#include "operations/VerifyFlow.h"

#include "crypto/CertificateStore.h"
#include "crypto/GostRuntime.h"
#include "crypto/MessageFile.h"
#include "crypto/SignatureVerification.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/InputFile.h"
#include "platform/SystemErrors.h"

#include <chrono>
#include <memory>

namespace plombar::operations {

namespace {

// The signature file is looked at before the data is opened, so that its errors come first, with
// the system's code as they always have (a folder and an empty name included).
void requireReadable(const std::string& path) {
    if (path.empty())
        throw InputOutputError(winerr::ERROR_PATH_NOT_FOUND);
    const InputFile file(path);
    if (!file.isOpen())
        throw InputOutputError(file.openError());
}

// The user's certificates, where a signer's certificate that the message leaves out is looked for.
// A store that cannot be used adds nothing: the signer is then "not verified", as without it.
std::vector<crypto::Certificate> storeCertificates() {
    std::vector<crypto::Certificate> certificates;
    for (const char* name : {crypto::CertificateStore::kPersonal, crypto::CertificateStore::kIntermediate,
                             crypto::CertificateStore::kRoot}) {
        try {
            for (const crypto::StoreEntry& entry : crypto::CertificateStore::open(name).entries())
                certificates.push_back(entry.certificate);
        } catch (const crypto::CryptoError&) {
        }
    }
    return certificates;
}

SignerFinding findingOf(crypto::SignerVerdict& verdict) {
    SignerFinding finding;
    finding.valid = verdict.valid;
    finding.failure = verdict.failure;
    finding.reason = verdict.reason;
    finding.signingTime = verdict.signingTime;
    if (verdict.certificate)
        finding.certificate = crypto::Certificate::adopt(std::move(verdict.certificate));
    return finding;
}

void reportSigner(const SignerFinding& finding, Interaction& interaction, VerifyReport& report) {
    if (!finding.valid || !finding.certificate) {
        report.addLine(kSignatureInvalidLine);
        return;
    }
    const crypto::Certificate& signer = *finding.certificate;
    interaction.showCertificate(signer);
    report.addLine(kSignatureValidLine);
    report.addLine(kSerialNumberPrefix + serialNumberText(signer.serialNumber()));
    const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    report.addLine(signer.isTimeValid(now) ? kCertificateInPeriodLine : kCertificateOutOfPeriodLine);
    report.addLine(kSubjectHeaderLine);
    report.addLine(signer.subjectName());
    report.addLine(kIssuerHeaderLine);
    report.addLine(signer.issuerName());
    if (finding.trust)
        for (const std::string& line : crypto::trustLines(*finding.trust, finding.signingTime))
            report.addLine(line);
}

} // namespace

std::string serialNumberText(const std::string& serial) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    const std::size_t count = serial.size();
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(serial[i]);
        // Byte i has (count - 1 - i) bytes below it; a group ends below every second of those.
        const std::size_t below = count - 1 - i;
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
        if (below % 2 == 0 && below > 0)
            text += ' ';
    }
    return text;
}

VerifyResult verifySignatureFile(const VerifyRequest& request, Interaction& interaction,
                                 VerifyReport& report) {
    // Without the engine no GOST signature can be checked; saying "not verified" would be wrong.
    if (!crypto::GostRuntimeReady())
        throw Error(crypto::GostRuntimeErrorText());

    requireReadable(request.signaturePath);
    // Both opened before anything is read, the data first, so their errors come in that order.
    std::optional<FileReader> data;
    if (!request.dataPath.empty())
        data.emplace(request.dataPath);
    crypto::MessageFile signature =
        crypto::MessageFile::open(request.signaturePath, crypto::MessageKind::Signed);
    std::optional<crypto::TrustAnchors> anchors;
    if (request.checkTrust)
        anchors = crypto::TrustAnchors::fromStores();
    const std::vector<crypto::Certificate> stored = storeCertificates();

    VerifyResult result;
    std::optional<AtomicFileOnFirstWrite> content;
    std::vector<crypto::Certificate> messageCertificates;
    try {
        crypto::VerifyOptions options;
        options.data = data ? &*data : nullptr;
        for (const crypto::Certificate& certificate : stored)
            options.extraCertificates.push_back(certificate.x509());
        if (!data && !request.extractPath.empty())
            options.contentOut = &content.emplace(request.extractPath);
        interaction.progress().beginStage("Проверка", data ? data->size() : 0);
        crypto::VerificationResult checked =
            crypto::verifySignature(signature.message(), options, interaction.progress());
        result.attached = checked.attached;
        for (crypto::SignerVerdict& verdict : checked.signers)
            result.signers.push_back(findingOf(verdict));
        for (crypto::X509Ptr& certificate : checked.certificates)
            messageCertificates.push_back(crypto::Certificate::adopt(std::move(certificate)));
    } catch (const crypto::CryptoError& error) {
        if (error.kind() == crypto::CryptoFailure::EngineMissing)
            throw;
        if (error.kind() == crypto::CryptoFailure::ContentMissing)
            throw Error(kDataFileNeededText);
        result.reason = error.message();
    }

    result.verified = !result.signers.empty();
    if (anchors)
        interaction.progress().beginStage(kTrustStageTitle, 0);
    for (SignerFinding& finding : result.signers) {
        result.verified = result.verified && finding.valid && finding.certificate;
        if (anchors && finding.valid && finding.certificate) {
            crypto::TrustOptions trust;
            trust.revocation.offline = request.offline;
            // Every download of a revocation list keeps the progress going and can be cancelled.
            trust.revocation.fetch.progress = &interaction.progress();
            finding.trust = crypto::checkTrust(*finding.certificate, messageCertificates, *anchors, trust);
        }
    }
    if (content && result.verified) {
        content->commit();
        result.extracted = true;
    }

    report.clear();
    report.addLine(kVerifyHeaderLine);
    if (result.signers.empty())
        report.addLine(kSignatureInvalidLine);
    for (std::size_t i = 0; i < result.signers.size(); ++i) {
        if (result.signers.size() > 1)
            report.addLine(crypto::signerHeadingLine(i + 1, result.signers.size()));
        reportSigner(result.signers[i], interaction, report);
    }
    return result;
}

} // namespace plombar::operations
