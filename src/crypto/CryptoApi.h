#pragma once

// The certificate and message functions the operations call, with the names, parameters and
// contracts of Windows CryptoAPI's crypt32/advapi32 functions: TRUE/FALSE (or a handle/null)
// plus the calling thread's last error (plombar::GetLastError) with Windows error numbers.
// Behind them: OpenSSL 3 with the GOST engine and the per-user store folder "MY".
//
// Structure sizes (cbSize): 32-bit Windows callers pass the 32-bit sizes (68, 20, 36, 16). The structures
// here have 64-bit pointers, so their sizeof differs; every function accepts either the 32-bit value
// (kEncryptMessageParaSize32, ...) or sizeof(the structure) and refuses anything else with E_INVALIDARG.

#include "crypto/CertificateDescription.h"
#include "crypto/LastError.h"

#include <cstdint>
#include <string>

namespace plombar::crypto {

using BOOL = int;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using LPSTR = char*;
using LPCSTR = const char*;
using ULONG_PTR = std::uintptr_t;
using HCRYPTPROV = ULONG_PTR;
using HCRYPTPROV_LEGACY = ULONG_PTR;
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = ULONG_PTR;
using HCERTSTORE = void*;

// Other headers (GLib, 7-Zip's) may define these as macros already.
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif

inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
inline constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING; // 65537

inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x00000001;
inline constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x00000002;

inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

inline constexpr DWORD CERT_V1 = 0;
inline constexpr DWORD CERT_V2 = 1;
inline constexpr DWORD CERT_V3 = 2;

inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;

struct CRYPT_INTEGER_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_DATA_BLOB = CRYPT_INTEGER_BLOB;
using CRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB;
using CERT_NAME_BLOB = CRYPT_INTEGER_BLOB;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId; // dotted object identifier text
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

// 100-nanosecond intervals since 1601-01-01 UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value; // DER of the extension's value
};
using PCERT_EXTENSION = CERT_EXTENSION*;

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber; // content octets of the DER INTEGER, least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer; // DER of the issuer Name, as encoded in the certificate
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject; // DER of the subject Name
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

// One certificate: its DER bytes and decoded fields. Contexts are reference-counted and read-only;
// whoever obtains one releases it with CertFreeCertificateContext.
struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore; // the store it came from, null for a context made from bytes
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// True when cbSize is one of the two accepted values for a structure of that type.
template <typename Para> constexpr bool IsAcceptedParaSize(DWORD cbSize, DWORD size32) {
    return cbSize == size32 || cbSize == sizeof(Para);
}

// ---------------------------------------------------------------------------------------------
// Stores and certificate contexts

// Opens the user's personal store. Only "MY" exists (any letter case); hProv is ignored. The store is
// the folder $XDG_DATA_HOME/plombar/stores/MY (created 0700 when missing); the certificates found
// there when the store is opened are its content. Null with the last error on failure.
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);

// The store's certificates one after the other: pass null for the first; pPrevCertContext is always
// released. Null with CRYPT_E_NOT_FOUND after the last one.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);

// Closes the handle. With CERT_CLOSE_STORE_CHECK_FLAG the result is FALSE with CRYPT_E_PENDING_CLOSE
// while contexts taken from the store are still open; the handle is closed all the same, and the
// store's memory goes with its last context. Other flags are treated as 0.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

// A context for one DER-encoded X.509 certificate (bytes after the certificate are ignored). PEM text,
// garbage or a truncated certificate give null with a CRYPT_E_ASN1_* code.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);

// Another reference to the same context (the same pointer is returned).
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);

// Releases one reference. TRUE for null; FALSE with E_INVALIDARG for a pointer that is no live context.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// ---------------------------------------------------------------------------------------------
// Private keys

// Makes the private key of a store certificate usable and returns a provider handle for it
// (release with CryptReleaseContext). An encrypted key asks for its password through the password
// prompt (KeyAccess.h). FALSE with a code when: the context has no store entry or the entry no key
// file (CRYPT_E_NO_KEY_PROPERTY); the key file may be read by others (NTE_PERM); the prompt was
// cancelled (ERROR_CANCELLED); the password stayed wrong (ERROR_INVALID_PASSWORD); the key does not
// belong to the certificate or cannot be read (NTE_BAD_KEY); the GOST engine is missing
// (NTE_PROVIDER_DLL_FAIL). LastCryptoDiagnostic() then says why in words. Flags are ignored.
// While the handle lives, the certificate's signing calls use the same unlocked key without asking again.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey,
                                       DWORD* pdwKeySpec, BOOL* pfCallerFreeProvOrNCryptKey);

// Releases a provider handle; the key is wiped once no handle and no running call uses it.
// FALSE with E_INVALIDARG for an unknown handle or non-zero flags.
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

// ---------------------------------------------------------------------------------------------
// Messages

// ---------------------------------------------------------------------------------------------
// Beyond Windows CryptoAPI

// Why the calling thread's last failing call of this layer failed, in words, including OpenSSL's
// reason when there is one; empty after a success. Never holds secrets.
std::string LastCryptoDiagnostic();

// What the certificate dialogs show of a context (texts in UTF-8, times in local time).
CertificateDescription DescribeCertificate(PCCERT_CONTEXT pCertContext);

// SHA-1 thumbprint in lower-case hex, the store entry's name.
std::string CertificateThumbprint(PCCERT_CONTEXT pCertContext);

// The certificate's subject as one line ("CN=Иванов Иван, O=ООО Ромашка, C=RU").
std::string CertificateSubjectText(PCCERT_CONTEXT pCertContext);

// The store folder's path of the context's entry without extension, empty for a context not from a store.
std::string CertificateStoreEntryPath(PCCERT_CONTEXT pCertContext);

// Number of certificate contexts, store handles and provider handles still open in this process
// (diagnostics and leak checks in tests).
struct OpenHandleCounts {
    int certificateContexts = 0;
    int storeHandles = 0;
    int stores = 0; // store objects still alive (closed handles with pending contexts included)
    int providerHandles = 0;
};
OpenHandleCounts CountOpenHandles();

// ---------------------------------------------------------------------------------------------
// Names

// String types and options of CertNameToStrA.
inline constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
inline constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
inline constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
inline constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
inline constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
inline constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
inline constexpr DWORD CERT_NAME_STR_FORWARD_FLAG = 0x01000000;

// The text of a DER-encoded X.500 name (UTF-8 here, where Windows CryptoAPI writes its ANSI code
// page). Two calls: with psz null or csz 0 the result is the length needed, terminating zero
// included; then the text is written into psz (at most csz bytes with the zero, never cutting a
// UTF-8 character) and the result is the count written, zero included.
//
// Rendering, as Windows CryptoAPI does it by default:
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

} // namespace plombar::crypto
