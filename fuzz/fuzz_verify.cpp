// A detached signature file of arbitrary bytes against a fixed signed content: the encoding as the
// verification tells it, verifySignature on the message bytes (every signer either valid with its
// certificate, or not with a documented code; anything that cannot be checked a CryptoError of a
// documented kind), the report texts of every valid signer, and the whole verification flow with
// files, whose verdict and report must agree with the function's.

#include "FuzzSupport.h"

#include "TestPki.h"
#include "TestSupport.h"
#include "crypto/Certificate.h"
#include "crypto/MessageFile.h"
#include "crypto/SignatureVerification.h"
#include "operations/VerifyFlow.h"
#include "platform/ByteStreams.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace plombar;
using namespace plombar::operations;
using namespace plombar::winerr;

namespace {

// The content the seed signatures sign (fuzz/make-corpus.sh writes the same bytes).
constexpr std::string_view kSignedContent = "Plombar fuzz: signed content\n";

struct Files {
    test::TempDir dir{"plombar-fuzz-verify"};
    std::string data = dir.file("content.txt");
    std::string signature = dir.file("content.txt.sig");
    Files() { test::writeFile(data, std::string(kSignedContent)); }
};

Files& files() {
    static Files f;
    return f;
}

// The report and the certificate views of one run of the flow.
struct Recording final : VerifyReport, Interaction {
    std::vector<std::string> events;
    test::ScriptedPasswords noPasswords{{}};

    void clear() override { events.push_back("clear"); }
    void addLine(const std::string& line) override { events.push_back(line); }
    std::optional<std::size_t> chooseCertificate(const std::string&,
                                                 const std::vector<crypto::StoreEntry>&) override {
        return std::nullopt;
    }
    void showMessage(const std::string&) override {}
    void showCertificate(const crypto::Certificate& certificate) noexcept override {
        // What the view dialog reads of the signer.
        FUZZ_CHECK(certificate.describe().thumbprint == certificate.thumbprint(),
                   "the dialog shows another thumbprint");
        events.push_back("view");
    }
    void openFolder(const std::string&) override {}
    crypto::PasswordSource& passwords() override { return noPasswords; }
};

// The report texts of a verified signer: one line each.
void describeSigner(const crypto::Certificate& signer) {
    FUZZ_CHECK(!serialNumberText(signer.serialNumber()).empty(),
               "a certificate without a serial number text");
    for (const std::string& name : {signer.subjectName(), signer.issuerName()})
        FUZZ_CHECK(name.find_first_of(std::string("\n\r\0", 3)) == std::string::npos,
                   "a name text that is not one line");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const Files& f = files();
    test::writeFile(f.signature, bytes);

    // The message as the flow reads it: the file itself, or its Base64 or PEM text decoded (the
    // fuzz_message target checks how the file is taken).
    std::string message;
    bool base64 = false;
    try {
        crypto::MessageFile file = crypto::MessageFile::open(f.signature, crypto::MessageKind::Signed);
        base64 = file.encoding() != crypto::MessageEncoding::Binary;
        message = readAll(file.message(), std::size_t{64} << 20);
    } catch (const Error& error) {
        fuzz::note("no message: " + error.message());
        return 0;
    }
    bool verified = false;
    std::size_t signerCount = 0;
    try {
        MemorySource signature(message);
        MemorySource content(kSignedContent);
        crypto::VerifyOptions options;
        options.data = &content;
        crypto::VerificationResult result = crypto::verifySignature(signature, options);
        FUZZ_CHECK(!result.signers.empty(), "a result without signers");
        for (crypto::SignerVerdict& signer : result.signers) {
            if (signer.valid) {
                FUZZ_CHECK(signer.certificate != nullptr, "a valid signer without a certificate");
                describeSigner(crypto::Certificate::adopt(std::move(signer.certificate)));
            } else {
                FUZZ_CHECK(signer.code == NTE_BAD_SIGNATURE || signer.code == CRYPT_E_HASH_VALUE ||
                               signer.code == CRYPT_E_NOT_FOUND || signer.code == CRYPT_E_UNKNOWN_ALGO,
                           "a signer refused with " + fuzz::codeText(signer.code));
            }
        }
        verified = result.signers.front().valid;
        signerCount = result.signers.size();
        fuzz::note(std::string(base64 ? "Base64, " : "DER, ") + (verified ? "verified" : "not verified"));
    } catch (const crypto::CryptoError& error) {
        using crypto::CryptoFailure;
        FUZZ_CHECK(error.kind() == CryptoFailure::BadMessage ||
                       error.kind() == CryptoFailure::UnexpectedMessageType ||
                       error.kind() == CryptoFailure::UnsupportedAlgorithm ||
                       error.kind() == CryptoFailure::NoSigner,
                   std::string("verifySignature raised ") + crypto::failureName(error.kind()));
        fuzz::note(std::string(base64 ? "Base64, " : "DER, ") +
                   "no signature: " + crypto::failureName(error.kind()));
    }

    // The whole flow over the same two files: same verdict, report in its fixed shape. (A Base64
    // text with a gap of more than 64 KiB is refused by the flow alone.)
    Recording run;
    bool flowVerified = false;
    try {
        flowVerified = verifySignatureFile({f.data, f.signature}, run, run).verified;
    } catch (const Error& error) {
        FUZZ_CHECK(false, "the verification flow raised: " + error.message());
    }
    if (!base64 || bytes.size() <= 64 * 1024)
        FUZZ_CHECK(flowVerified == verified, "the flow and the function disagree");
    FUZZ_CHECK(run.events.size() >= 2 && run.events[0] == "clear" && run.events[1] == kVerifyHeaderLine,
               "the report does not start with the header");
    if (flowVerified && signerCount == 1) {
        // Lines 2-8, then the trust lines (chain, revocation, signing time).
        FUZZ_CHECK(run.events.size() >= 10 && run.events[2] == "view" &&
                       run.events[3] == kSignatureValidLine &&
                       run.events[4].rfind(kSerialNumberPrefix, 0) == 0 &&
                       run.events[6] == kSubjectHeaderLine && run.events[8] == kIssuerHeaderLine,
                   "the report of a verified signature is not in its order");
    } else if (!flowVerified && signerCount <= 1) {
        FUZZ_CHECK(run.events.size() == 3 && run.events[2] == kSignatureInvalidLine,
                   "the report of a failed check is not header + \"X\" line");
    }
    return 0;
}
