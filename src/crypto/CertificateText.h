#pragma once

// Certificate names and algorithms as people read them, and the parsing of a subject typed by a
// user. Used by Certificate::describe, the command-line tool and the test PKI.

#include "crypto/OpenSsl.h"

#include <string>
#include <string_view>

namespace plombar::crypto {

// One line for a distinguished name, most specific part first, as certificate dialogs show it:
// "CN=Иванов Иван, O=\"ООО \"\"Ромашка\"\"\", C=RU". Attributes of a multi-valued RDN are joined by
// " + "; a value with , + = " < > # ; line breaks or blanks at either end is put in double quotes
// with inner quotes doubled. Russian registration numbers show as ИНН, ИННЮЛ, ОГРН, ОГРНИП, СНИЛС;
// unknown attributes as their dotted identifier. Control and bidirectional characters come out
// escaped (escapeForDisplay): the text is always one line.
std::string NameToText(const X509_NAME* name);

// The value of the first attribute of a type (NID_commonName, ...) in UTF-8, escaped as NameToText
// escapes it; empty when absent.
std::string NameAttribute(const X509_NAME* name, int nid);

// Parses a subject typed by a user: either a bare text (taken as the common name) or
// "CN=..., O=..., C=RU" in the form NameToText writes (most specific first; "+" joins attributes of
// one RDN; values in double quotes or with backslash escapes). Raises plombar::Error naming the
// part it cannot read.
X509NamePtr ParseSubjectText(std::string_view text);

// "ГОСТ Р 34.10-2012 256 бит", "RSA 2048 бит", ... for a public-key algorithm identifier; `bits`
// is used for RSA and EC keys (0 when unknown). Unknown identifiers give the identifier itself.
std::string PublicKeyAlgorithmName(const std::string& oid, int bits = 0);

// "ГОСТ Р 34.11-2012/34.10-2012 256 бит", "sha256WithRSAEncryption", ... for a signature algorithm.
std::string SignatureAlgorithmName(const std::string& oid);

// Local time "dd.MM.yyyy HH:mm:ss" of an ASN.1 time; empty when it cannot be read.
std::string LocalTimeText(const ASN1_TIME* time);

} // namespace plombar::crypto
