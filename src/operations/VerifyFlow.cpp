#include "operations/VerifyFlow.h"

#include "codec/Base64.h"
#include "crypto/GostRuntime.h"
#include "crypto/SignatureVerification.h"
#include "operations/SignatureEncoding.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"

#include <chrono>
#include <memory>

namespace plombar::operations {

namespace {

SignerFinding findingOf(crypto::SignerVerdict& verdict) {
    SignerFinding finding;
    finding.valid = verdict.valid;
    finding.failure = verdict.failure;
    finding.reason = verdict.reason;
    if (verdict.certificate)
        finding.certificate = crypto::Certificate::adopt(std::move(verdict.certificate));
    return finding;
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

    const bool base64 = signatureEncodingOf(request.signaturePath) == SignatureEncoding::Base64;
    // Both opened before anything is read, the data first, so their errors come in that order.
    FileReader data(request.dataPath);
    FileReader signatureFile(request.signaturePath);
    std::unique_ptr<Base64Decoder> decoded;
    if (base64)
        decoded = std::make_unique<Base64Decoder>(signatureFile);
    ByteSource& signature = decoded ? static_cast<ByteSource&>(*decoded) : signatureFile;

    VerifyResult result;
    try {
        crypto::VerifyOptions options;
        options.data = &data;
        crypto::VerificationResult checked =
            crypto::verifySignature(signature, options, interaction.progress());
        for (crypto::SignerVerdict& verdict : checked.signers)
            result.signers.push_back(findingOf(verdict));
    } catch (const crypto::CryptoError& error) {
        if (error.kind() == crypto::CryptoFailure::EngineMissing)
            throw;
        result.reason = error.message();
    }

    report.clear();
    report.addLine(kVerifyHeaderLine);
    const SignerFinding* first = result.signers.empty() ? nullptr : &result.signers.front();
    if (first == nullptr || !first->valid || !first->certificate) {
        report.addLine(kSignatureInvalidLine);
        return result;
    }
    result.verified = true;
    const crypto::Certificate& signer = *first->certificate;
    interaction.showCertificate(signer);
    report.addLine(kSignatureValidLine);
    report.addLine(kSerialNumberPrefix + serialNumberText(signer.serialNumber()));
    const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    report.addLine(signer.isTimeValid(now) ? kCertificateInPeriodLine : kCertificateOutOfPeriodLine);
    report.addLine(kSubjectHeaderLine);
    report.addLine(signer.subjectName());
    report.addLine(kIssuerHeaderLine);
    report.addLine(signer.issuerName());
    return result;
}

} // namespace plombar::operations
