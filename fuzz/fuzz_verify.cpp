// A detached signature file of arbitrary bytes against a fixed signed content: the first line and
// the Base64 test as the operation reads them, CryptVerifyDetachedMessageSignature on the message
// bytes (its contract: TRUE with the signer and last error 0, or FALSE with no signer and a
// documented code), the description of every signer it returns, and the whole verification with
// files, whose answer and report must agree with the function's.

#include "FuzzSupport.h"

#include "TestSupport.h"
#include "codec/Base64.h"
#include "crypto/CryptoHandles.h"
#include "crypto/VerifyApi.h"
#include "crypto/VerifyOperation.h"
#include "platform/AvailableMemory.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;
using plombar::fuzz::checkLastError;

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

// The first line by the rule: up to the first LF, CR LF or 0x1A; a lone CR is left out.
std::string referenceFirstLine(std::string_view bytes) {
    std::string line;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\x1A' || (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            break;
        if (c != '\r')
            line += c;
    }
    return line;
}

struct RecordingView final : VerifyView {
    std::vector<std::string> events;
    void ClearReport() override { events.push_back("clear"); }
    void AddLine(const std::string& line) override { events.push_back(line); }
    void ViewCertificate(PCCERT_CONTEXT signer) override {
        // What the view dialog reads of the signer.
        const CertificateDescription description = DescribeCertificate(signer);
        FUZZ_CHECK(description.thumbprint == CertificateThumbprint(signer),
                   "the dialog shows another thumbprint");
        events.push_back("view");
    }
};

// The report lines of a verified signer, as the operation must write them.
void describeSigner(PCCERT_CONTEXT signer) {
    FUZZ_CHECK(signer->pCertInfo != nullptr && signer->pbCertEncoded != nullptr,
               "signer context without fields");
    const CERT_INFO& info = *signer->pCertInfo;
    const std::string serial = BytesToHex(info.SerialNumber.pbData, info.SerialNumber.cbData);
    FUZZ_CHECK(!serial.empty(), "a certificate without a serial number text");
    const LONG validity = CertVerifyTimeValidity(nullptr, &info);
    FUZZ_CHECK(validity >= -1 && validity <= 1, "validity " + std::to_string(validity));
    NameBlobToString(info.Subject);
    NameBlobToString(info.Issuer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const Files& f = files();
    test::writeFile(f.signature, bytes);

    const std::string firstLine = ReadFirstLine(f.signature);
    FUZZ_CHECK(firstLine == referenceFirstLine(bytes), "first line " + fuzz::hexOf(firstLine));
    const bool base64 = HasBase64Marker(firstLine);
    FUZZ_CHECK(base64 == (firstLine.substr(0, firstLine.find('\0')).find("MI") != std::string::npos),
               "the Base64 test disagrees with the rule");

    // The message as the operation hands it over: the file itself, or its Base64 text decoded.
    std::string message = bytes;
    if (base64) {
        message = decodeBase64(bytes);
    }

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = kVerifyMessageParaSize32;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    const BYTE* contents[] = {reinterpret_cast<const BYTE*>(kSignedContent.data())};
    DWORD lengths[] = {static_cast<DWORD>(kSignedContent.size())};
    static const BYTE kNothing = 0;
    const BYTE* messageBytes = message.empty() ? &kNothing : reinterpret_cast<const BYTE*>(message.data());

    bool verified = false;
    for (DWORD index = 0; index < 2; ++index) {
        PCCERT_CONTEXT signerValue = reinterpret_cast<PCCERT_CONTEXT>(&para); // must be overwritten
        const BOOL ok = CryptVerifyDetachedMessageSignature(&para, index, messageBytes,
                                                            static_cast<DWORD>(message.size()), 1, contents,
                                                            lengths, &signerValue);
        CertContextHandle signer(ok ? signerValue : nullptr);
        if (ok) {
            FUZZ_CHECK(signer && GetLastError() == 0, "TRUE without a signer or with a last error");
            describeSigner(signer.get());
        } else {
            FUZZ_CHECK(signerValue == nullptr, "FALSE with a signer");
            checkLastError("CryptVerifyDetachedMessageSignature",
                           {CRYPT_E_ASN1_BADTAG, CRYPT_E_UNEXPECTED_MSG_TYPE, CRYPT_E_NO_SIGNER,
                            CRYPT_E_NOT_FOUND, CRYPT_E_UNKNOWN_ALGO, NTE_BAD_SIGNATURE, CRYPT_E_HASH_VALUE,
                            CRYPT_E_MSG_ERROR, NTE_NO_MEMORY});
        }
        if (index == 0) {
            verified = ok != FALSE;
            fuzz::note(std::string(base64 ? "Base64, " : "DER, ") +
                       (ok ? "verified" : "not verified: " + fuzz::codeText(GetLastError())));
        }
    }
    fuzz::checkNoHandlesLeft("after CryptVerifyDetachedMessageSignature");

    // The whole operation over the same two files: same answer, report in its fixed shape.
    RecordingView view;
    bool operationVerified = false;
    try {
        operationVerified = VerifyDetachedSignature(f.signature, f.data, view);
    } catch (const Error& error) {
        FUZZ_CHECK(false, "VerifyDetachedSignature raised: " + error.message());
    }
    FUZZ_CHECK(operationVerified == verified, "the operation and the function disagree");
    FUZZ_CHECK(view.events.size() >= 2 && view.events[0] == "clear" && view.events[1] == kVerifyHeaderLine,
               "the report does not start with the header");
    if (verified) {
        FUZZ_CHECK(view.events.size() == 10 && view.events[2] == "view" &&
                       view.events[3] == kSignatureValidLine &&
                       view.events[4].rfind(kSerialNumberPrefix, 0) == 0 &&
                       view.events[6] == kSubjectHeaderLine && view.events[8] == kIssuerHeaderLine,
                   "the report of a verified signature is not in its order");
    } else {
        FUZZ_CHECK(view.events.size() == 3 && view.events[2] == kSignatureInvalidLine,
                   "the report of a failed check is not header + \"X\" line");
    }
    fuzz::checkNoHandlesLeft("after VerifyDetachedSignature");
    return 0;
}
