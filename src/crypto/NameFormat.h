#pragma once

// Distinguished names as one line of text in the form the verification report prints them
// ("2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Иванов"), and its variants.

#include "crypto/OpenSsl.h"

#include <string>
#include <string_view>

namespace plombar::crypto {

enum class NameKeys {
    ValuesOnly, // "RU, Пломбарь, Иванов"
    DottedOids, // "2.5.4.6=RU, ..."
    X500,       // "C=RU, ...": the usual keys (CN, O, OU, L, S, C, E, T, G, I, SN, STREET,
                // SERIALNUMBER, DC, ...), other identifiers as "OID.1.2.643.3.131.1.1"
};

struct NameFormat {
    NameKeys keys = NameKeys::DottedOids;
    bool reverse = false;                        // most specific part first
    std::string_view rdnSeparator = ", ";        // between RDNs
    std::string_view attributeSeparator = " + "; // between the attributes of a multi-valued RDN
    bool quoting = true;
};

// The text of a name, RDNs in the order they are encoded (most general first) unless `reverse`.
// Values as text: every string type decoded to UTF-8, never as escapes; a TeletexString is read as
// UTF-8 when it is valid UTF-8, else as 8-bit characters. An OCTET STRING shows as "#" and its bytes
// in hexadecimal, any other type (and a text holding a zero byte) as "#" and its DER encoding in
// hexadecimal. With `quoting`, a value is put in double quotes, with every double quote inside
// doubled, when it is empty, begins or ends with white space, or holds one of  , + = " < > # ;  or
// a line feed; a run of blanks inside alone does not quote a value. The text is not escaped for
// display: whoever shows it escapes it (Certificate::subjectName does).
std::string formatName(const X509_NAME* name, const NameFormat& format = {});

} // namespace plombar::crypto
