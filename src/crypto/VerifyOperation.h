#pragma once

// The check of a detached signature as the window's "Проверить" button and `plombar-cli verify`
// run it: the signature file's first line decides between DER and Base64, both files are read
// whole, the signature is checked, the signer's certificate is shown and a short report is written.
// The window (or the command-line tool) takes part through VerifyView.

#include "crypto/CryptoApi.h"

#include <string>

namespace plombar::crypto {

// The report's lines, in the order they appear.
inline constexpr const char* kVerifyHeaderLine = "Проверка отсоединенной подписи.....";
inline constexpr const char* kSignatureValidLine = "V - Подпись математически верна...";
inline constexpr const char* kSerialNumberPrefix = "Серийный номер сертификата:";
inline constexpr const char* kCertificateInPeriodLine = "V Сертификат действующий по дате..";
inline constexpr const char* kCertificateOutOfPeriodLine = "X Сертификат не действующий по дате";
inline constexpr const char* kSubjectHeaderLine = "КОНТЕКСТ ПОЛЬЗОВАТЕЛЯ";
inline constexpr const char* kIssuerHeaderLine = "КОНТЕКСТ ЦЕНТРА СЕРТИФИКАЦИИ";
inline constexpr const char* kSignatureInvalidLine = "X - Подпись математически не верна";

// What the operation asks of the window. One run calls, in this order:
//   ClearReport -> AddLine(header) -> [ViewCertificate -> AddLine x 7 | AddLine(invalid)]
// Nothing is called when the run stops on an error before both files are read.
class VerifyView {
public:
    virtual ~VerifyView() = default;

    // Empties the report area.
    virtual void ClearReport() = 0;

    // Appends one line to the report.
    virtual void AddLine(const std::string& line) = 0;

    // Shows the signer's certificate in the modal certificate view dialog and returns once the user
    // has closed it. The context stays the operation's. A dialog that fails is not reported: the
    // view swallows its own failures.
    virtual void ViewCertificate(PCCERT_CONTEXT signer) = 0;
};

// The first line of a file read as text: its bytes from the start up to, not including, the first
// LF, the first CR that an LF follows, or the first byte 0x1A, whichever comes first; the whole
// file when none occurs, with no limit on the length. A CR that no LF follows is left out of the
// line. An empty file gives an empty line. A file that cannot be opened or read raises InputOutputError
// with the system code (2 "File not found", 3 "Invalid filename" also for an empty path, 5 "File
// access denied" also for a folder, "I/O error %d" for others).
std::string ReadFirstLine(const std::string& path);

// True when "MI" (the Base64 text of a DER SEQUENCE with a long length) stands anywhere in the part
// of `line` before its first zero byte. Case-sensitive.
bool HasBase64Marker(const std::string& line);

// HasBase64Marker(ReadFirstLine(path)) with the same errors, but reading only as far as the answer
// needs and holding none of the line: a first line of gigabytes costs no memory.
bool FirstLineHasBase64Marker(const std::string& path);

// A serial number kept least significant byte first, shown most significant byte first in groups
// of two bytes counted from the least significant end, one blank between groups: for bytes
// 01 02 03 "03 0201". Empty for no bytes or a count of 0.
std::string BytesToHex(const BYTE* bytes, DWORD count);

// The text of an encoded X.500 name as CertNameToStrA writes it with CERT_OID_NAME_STR
// ("2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Иванов"): two calls, length then text. Control and
// bidirectional characters come out escaped (escapeForDisplay), so the text is always one line.
std::string NameBlobToString(const CERT_NAME_BLOB& name);

// One run. Reads the signature file's first line, then the data file whole, then the signature
// file whole (decoded from Base64 when the first line holds "MI"), writes the report through
// `view` and returns true when the signature verified. A signature that does not verify for any
// reason (damaged, not a signed message, data changed, signer's certificate missing, Base64 not
// recognised) is the foreseen outcome false with its report line.
// Errors raised, each before anything reaches the view: the GOST engine missing (its plain
// text), InputOutputError for the first line, "Cannot open file "%s". %s" for the data file and then for
// the signature file, "Out of memory while expanding memory stream" (also when there is no room
// for the copy that decoding the message makes; should the verification call itself still run out
// of memory, that comes after the report's first line, and no verdict is given).
bool VerifyDetachedSignature(const std::string& signaturePath, const std::string& dataPath, VerifyView& view);

} // namespace plombar::crypto
