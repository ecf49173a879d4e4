#pragma once

// The original platform's functions that check a detached signature and describe its signer, with
// their names, parameters and contracts: TRUE/FALSE (or a count) plus the calling thread's last
// error (plombar::GetLastError) with Windows error numbers. Behind them: OpenSSL 3 with the GOST engine.

#include "crypto/CryptoApi.h"

#include <cstdint>

namespace plombar::crypto {

using LONG = std::int32_t;

// String types and options of CertNameToStrA.
inline constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
inline constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
inline constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
inline constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
inline constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
inline constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
inline constexpr DWORD CERT_NAME_STR_FORWARD_FLAG = 0x01000000;

// Checks the signature of signer dwSignerIndex of a detached PKCS #7/CMS signed-data message
// (DER, or BER with indefinite lengths) over the concatenation of the content elements, taken as
// binary. The signer's certificate is taken from the certificates the message carries (matched by
// issuer and serial number, or by subject key identifier); nothing else is checked: no chain, no
// trust, no validity period, no revocation. A message with signed attributes verifies when the
// signature over the attributes holds and their message digest equals the content's; without
// signed attributes the signature covers the content digest. An attached message is checked
// against the content passed here, not against the content inside it.
//
// On success: TRUE, last error 0, and when ppSignerCert is given a new context for the signer's
// certificate there, which the caller releases with CertFreeCertificateContext.
// On failure: FALSE, *ppSignerCert null, and one of these codes:
//   E_INVALIDARG                 no parameters, cbSize neither 20 nor the structure's size, an encoding
//                                without PKCS_7_ASN_ENCODING, a signer-certificate callback (not
//                                supported: the certificate always comes from the message), a list missing
//   CRYPT_E_ASN1_BADTAG          no bytes, garbage, truncated or otherwise unreadable DER
//   CRYPT_E_UNEXPECTED_MSG_TYPE  a message of another type (enveloped-data, digested-data, ...)
//   CRYPT_E_NO_SIGNER            dwSignerIndex is not below the number of signers
//   CRYPT_E_NOT_FOUND            the signer's certificate is not in the message
//   CRYPT_E_UNKNOWN_ALGO         the message's digest algorithm is unknown
//   NTE_BAD_SIGNATURE            the signature does not match (content changed, signature damaged,
//                                a certificate with the signer's name but another key)
//   CRYPT_E_HASH_VALUE           signed attributes whose message digest is not the content's
//   NTE_PROVIDER_DLL_FAIL        the GOST engine is not usable
// hCryptProv is ignored. LastCryptoDiagnostic() says why in words.
BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                         const BYTE* pbDetachedSignBlob, DWORD cbDetachedSignBlob,
                                         DWORD cToBeSigned, const BYTE* rgpbToBeSigned[],
                                         DWORD rgcbToBeSigned[], PCCERT_CONTEXT* ppSignerCert);

// The text of a DER-encoded X.500 name (UTF-8 here, where the original platform writes its ANSI code
// page). Two calls: with psz null or csz 0 the result is the length needed, terminating zero
// included; then the text is written into psz (at most csz bytes with the zero, never cutting a
// UTF-8 character) and the result is the count written, zero included.
//
// Rendering, as the original platform does it by default:
//   - RDNs in the order they are encoded (most general first, "C=RU" before "CN=..."); with
//     CERT_NAME_STR_REVERSE_FLAG the other way round.
//   - RDNs separated by ", " ("; " with CERT_NAME_STR_SEMICOLON_FLAG, CR LF with
//     CERT_NAME_STR_CRLF_FLAG); the attributes of a multi-valued RDN joined by " + " (one blank with
//     CERT_NAME_STR_NO_PLUS_FLAG).
//   - CERT_OID_NAME_STR: each attribute as its dotted identifier, "=", value ("2.5.4.3=Иванов");
//     CERT_X500_NAME_STR: the usual keys (CN, O, OU, L, S, C, E, T, G, I, SN, STREET,
//     SERIALNUMBER, DC, ...), other identifiers as "OID.1.2.643.3.131.1.1"; CERT_SIMPLE_NAME_STR:
//     values only.
//   - Values as text: every string type (UTF8String, PrintableString, BMPString, ...) decoded to
//     UTF-8, never as escapes; a TeletexString is read as UTF-8 when it is valid UTF-8, else as
//     8-bit characters. An OCTET STRING shows as "#" and its bytes in hexadecimal, any other type as
//     "#" and its DER encoding in hexadecimal.
//   - A value is put in double quotes, with every double quote inside doubled, when it is empty,
//     begins or ends with white space, or holds one of  , + = " < > # ;  or a line feed; never with
//     CERT_NAME_STR_NO_QUOTING_FLAG. A run of blanks inside alone does not quote a value.
// A name that cannot be decoded, an encoding without X509_ASN_ENCODING or an unknown string type
// give the empty text (result 1) with CRYPT_E_ASN1_BADTAG / E_INVALIDARG as last error.
DWORD CertNameToStrA(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz);

// Where a time lies against the certificate's validity period: -1 before NotBefore, 1 after
// NotAfter, 0 within (both ends included). pTimeToVerify null means the current system time.
// A null pCertInfo gives 1 with E_INVALIDARG (never "valid").
LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo);

// The current system time as the platform counts it (100-nanosecond intervals since 1601-01-01 UTC).
FILETIME CurrentFileTime();

// FILETIME <-> Unix time (seconds since 1970-01-01 UTC).
FILETIME FileTimeFromUnix(std::int64_t seconds);
std::int64_t UnixFromFileTime(const FILETIME& time);

} // namespace plombar::crypto
