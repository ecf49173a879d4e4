#pragma once

// Checking a signature, as the window's "Проверить" and `plombar-cli verify` run it: the signature
// file (DER, Base64 or PEM, crypto::MessageFile) and the data, or the content an attached signature
// carries, are read once, every signer of the message is checked, and a short report is written;
// each valid signer's certificate is shown before its lines.

#include "crypto/Certificate.h"
#include "crypto/CryptoError.h"
#include "crypto/TrustReport.h"
#include "operations/Interaction.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plombar::operations {

// The report's lines, in the order they appear.
inline constexpr const char* kVerifyHeaderLine = "Проверка отсоединенной подписи.....";
inline constexpr const char* kSignatureValidLine = "V - Подпись математически верна...";
inline constexpr const char* kSerialNumberPrefix = "Серийный номер сертификата:";
inline constexpr const char* kCertificateInPeriodLine = "V Сертификат действующий по дате..";
inline constexpr const char* kCertificateOutOfPeriodLine = "X Сертификат не действующий по дате";
inline constexpr const char* kSubjectHeaderLine = "КОНТЕКСТ ПОЛЬЗОВАТЕЛЯ";
inline constexpr const char* kIssuerHeaderLine = "КОНТЕКСТ ЦЕНТРА СЕРТИФИКАЦИИ";
inline constexpr const char* kSignatureInvalidLine = "X - Подпись математически не верна";
// The progress stage of the trust lines (chains, revocation lists fetched over HTTP).
inline constexpr const char* kTrustStageTitle = "Проверка доверия";
// The error for a detached signature checked without its data.
inline constexpr const char* kDataFileNeededText =
    "Подпись отсоединённая: для её проверки нужен подписанный файл";

// A serial number (its content octets, most significant first) as the report prints it: two bytes
// to a group counted from the least significant end, groups most significant first, one blank
// between them, upper-case hex: 03 02 01 gives "03 0201".
std::string serialNumberText(const std::string& serial);

struct VerifyRequest {
    VerifyRequest() = default;
    VerifyRequest(std::string data, std::string signature, std::string extract = {})
        : dataPath(std::move(data)), signaturePath(std::move(signature)), extractPath(std::move(extract)) {}

    std::string dataPath; // empty: the signature is attached and its own content is checked
    std::string signaturePath;
    // Attached, no data path: where the signed content is written (atomically, and only when every
    // signer is valid); empty: nowhere.
    std::string extractPath;
    // Adds the chain, revocation and signing time lines after each valid signer's lines (the
    // stores "Root" and "CA", CRLs over HTTP; may take seconds).
    bool checkTrust = false;
    bool offline = false; // with checkTrust: CRLs from the cache only
};

// Where the report goes, line by line, as it is made: the window's report area, plombar-cli's
// standard output.
class VerifyReport {
public:
    virtual ~VerifyReport() = default;
    virtual void clear() {}
    virtual void addLine(const std::string& line) = 0;
};

// What was found about one signer of the message.
struct SignerFinding {
    bool valid = false;
    std::optional<crypto::Certificate> certificate;                      // when found (in the message)
    crypto::CryptoFailure failure = crypto::CryptoFailure::BadSignature; // when not valid
    std::string reason;                                                  // when not valid
    std::optional<std::int64_t> signingTime;   // the signing-time attribute, seconds since 1970 UTC
    std::optional<crypto::TrustVerdict> trust; // with checkTrust, for a valid signer
};

struct VerifyResult {
    bool verified = false;  // the verdict the report gives: every signer valid
    bool attached = false;  // the signature carries its content
    bool extracted = false; // the content was written to extractPath
    // Every signer in the order of the message; empty when the file is no signature that can be
    // checked (then `reason` says why).
    std::vector<SignerFinding> signers;
    std::string reason;
};

// One run. The report: the header line, then for each signer (after "Подпись N из M" when there
// are several) "X - Подпись математически не верна", or the valid line, serial, period, subject and
// issuer (and, with checkTrust, the trust lines). A signer's certificate missing in the message is
// looked for in the stores "MY", "CA" and "Root".
// Errors are raised before anything is reported: the GOST engine missing, the signature file that
// cannot be opened (InputOutputError with the system code, looked at first), the data or the
// signature file that cannot be read ("Cannot open file ..."), a detached signature without data
// (kDataFileNeededText), the extracted content that cannot be written, the stores "Root" or "CA"
// unusable (with checkTrust), CancelledError (also while revocation lists are fetched: then nothing
// is extracted). Anything that is no valid signature over the data is
// the verdict "not verified", with its report line.
VerifyResult verifySignatureFile(const VerifyRequest& request, Interaction& interaction,
                                 VerifyReport& report);

} // namespace plombar::operations
