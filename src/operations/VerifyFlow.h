#pragma once

// Checking a detached signature, as the window's "Проверить" and `plombar-cli verify` run it: the
// signature file (DER, or its Base64 text) and the data are read once, each signer of the message is
// checked, and a short report is written; the signer's certificate is shown before the report's
// second line.

#include "crypto/Certificate.h"
#include "crypto/CryptoError.h"
#include "operations/Interaction.h"

#include <optional>
#include <string>
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

// A serial number (its content octets, most significant first) as the report prints it: two bytes
// to a group counted from the least significant end, groups most significant first, one blank
// between them, upper-case hex: 03 02 01 gives "03 0201".
std::string serialNumberText(const std::string& serial);

struct VerifyRequest {
    std::string dataPath;
    std::string signaturePath;
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
};

struct VerifyResult {
    bool verified = false; // the verdict the report gives
    // Every signer in the order of the message; empty when the file is no signature that can be
    // checked (then `reason` says why). The report speaks of the first signer.
    std::vector<SignerFinding> signers;
    std::string reason;
};

// One run. Errors are raised before anything is reported: the GOST engine missing, the signature
// file that cannot be opened (InputOutputError, from the look at its first line), the data or the
// signature file that cannot be opened or read ("Cannot open file ..."), CancelledError. Anything
// that is no valid signature over the data is the verdict "not verified", with its report line.
VerifyResult verifySignatureFile(const VerifyRequest& request, Interaction& interaction,
                                 VerifyReport& report);

} // namespace plombar::operations
