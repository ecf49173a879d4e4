#include "operations/VerifyFlow.h"

#include "codec/Base64.h"
#include "crypto/GostRuntime.h"
#include "crypto/SignatureVerification.h"
#include "operations/SignatureEncoding.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/SystemErrors.h"

#include <chrono>
#include <memory>

namespace plombar::operations {

namespace {

// Base64 text as signature files carry it never goes long without a Base64 character. A file that
// does (say a huge sparse file that starts with "MI") is no signature: it is refused once such a run
// has been read, instead of being read to its end for nothing.
class Base64TextGuard final : public ByteSource {
public:
    static constexpr std::uint64_t kLongestGap = 64 * 1024;

    explicit Base64TextGuard(ByteSource& text) : text_(text) {}

    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = text_.read(buffer);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = buffer[i];
            const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '+' || c == '/' || c == '=';
            gap_ = base64 ? 0 : gap_ + 1;
            if (gap_ > kLongestGap)
                throw crypto::CryptoError(crypto::CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                                          "the Base64 text has a gap of more than 64 KiB");
        }
        return n;
    }

private:
    ByteSource& text_;
    std::uint64_t gap_ = 0;
};

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
    Base64TextGuard text(signatureFile);
    std::unique_ptr<Base64Decoder> decoded;
    if (base64)
        decoded = std::make_unique<Base64Decoder>(text);
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
