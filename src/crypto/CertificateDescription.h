#pragma once

#include <string>
#include <utility>
#include <vector>

namespace plombar::crypto {

// What the certificate selection and view dialogs show of one certificate, as display texts (UTF-8).
// Filled by the crypto layer from a certificate; the dialogs never parse certificates.
struct CertificateDescription {
    // General
    std::string issuedTo;     // the subject's common name (or the whole subject when it has none)
    std::string issuedBy;     // the issuer's common name (or the whole issuer)
    std::string validFrom;    // local time, "dd.MM.yyyy HH:mm:ss"
    std::string validTo;      // local time, "dd.MM.yyyy HH:mm:ss"
    std::string keyAlgorithm; // e.g. "ГОСТ Р 34.10-2012 256 бит"
    bool hasPrivateKey = false;
    std::string friendlyName; // from the store entry, may be empty
    std::string organization; // the subject's organisation (O), may be empty
    bool expired = false;     // validTo has passed
    bool notYetValid = false; // validFrom is still to come

    // Details
    std::string version;            // "V3"
    std::string serialNumber;       // hex, most significant byte first
    std::string signatureAlgorithm; // name and dotted OID
    std::string issuer;             // full distinguished name
    std::string subject;            // full distinguished name
    std::string publicKeyAlgorithm; // name and dotted OID
    std::string publicKeyParameters;
    std::string thumbprint;                                      // SHA-1, lower-case hex
    std::vector<std::pair<std::string, std::string>> extensions; // name (or OID), value text
    std::vector<std::string> extensionOids; // the dotted OID of each entry of extensions, same order
};

} // namespace plombar::crypto
