#pragma once

// Enveloped messages: encryption for recipient certificates and decryption with a private key of
// the store, with the names, parameters and two-call contracts of the original platform's crypt32
// functions (TRUE/FALSE plus the calling thread's last error, Windows error numbers).
//
// The content is encrypted with GOST 28147-89 in CFB mode (CryptoPro key meshing, parameter set
// TC26 Z) under a random key, which travels to each recipient in a KeyTransRecipientInfo (version 0,
// issuer and serial number) by GOST R 34.10 key transport: the RFC 4490 / TK26 profile that GOST
// peers read. GOST 28147-89 CFB carries no integrity check: a damaged ciphertext decrypts to wrong
// bytes without an error, while a damaged or foreign key transport block is always detected.
//
// Both functions work on the caller's buffers without a further copy of the content: the message
// is written straight into the output buffer, and a message is decrypted straight from the input
// buffer, so that encrypting or decrypting n bytes needs little more than the n bytes in and the
// n bytes out.

#include "crypto/CryptoApi.h"

namespace plombar::crypto {

inline constexpr DWORD CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG = 0x00000004;

// Encrypts pbToBeEncrypted for the recipients: one DER PKCS #7/CMS ContentInfo of type
// enveloped-data with definite lengths, the content as binary data.
//
// pEncryptPara: cbSize 36 (or the structure's size); dwMsgEncodingType including PKCS_7_ASN_ENCODING;
// hCryptProv 0 or ignored; ContentEncryptionAlgorithm.pszObjId names the content cipher by exact
// dotted text: GOST 28147-89 itself ("1.2.643.2.2.21") or, as the original program passes it, the
// recipient's public-key algorithm "1.2.643.2.2.19" (34.10-2001), "1.2.643.7.1.1.1.1" (2012-256) or
// "1.2.643.7.1.1.1.2" (2012-512), which all stand for GOST 28147-89; anything else, RSA and EC
// identifiers included, fails with CRYPT_E_UNKNOWN_ALGO. Cipher parameters, auxiliary information,
// flags (key identifier recipients) and inner content types are not supported (E_INVALIDARG).
//
// Recipients must be certificates whose key can take a key transport (GOST 34.10 keys; RSA works
// too); others (EC) fail with NTE_BAD_ALGID.
//
// With pbEncryptedBlob null, *pcbEncryptedBlob receives the exact length of the message without
// encrypting anything (only the recipients' key transport is computed). A buffer smaller than the
// message gives FALSE, ERROR_MORE_DATA and the length needed. Other codes: E_INVALIDARG,
// CRYPT_E_ASN1_LARGE (content of 2 GiB or more), NTE_PROVIDER_DLL_FAIL (GOST engine missing),
// CRYPT_E_MSG_ERROR. LastCryptoDiagnostic() says why in words.
BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                         PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                         DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob);

// Decrypts an enveloped message (DER or BER) with the private key of a certificate in the given
// stores. A store entry serves when its certificate matches a KeyTransRecipientInfo of the message
// (issuer and serial number, or subject key identifier) and the entry has a key file; entries are
// tried in the order of the recipients, then of the stores, then of the store's certificates, until
// one key opens the content key. An encrypted key asks for its password through the password
// prompt (KeyAccess.h). Besides GOST 28147-89 CFB, the content may be encrypted as other GOST senders
// do (`openssl cms -encrypt -magma-ctr-acpkm` and the like): Magma or Kuznyechik in CTR-ACPKM mode,
// with the key changed every 8 KiB / 256 KiB, and with or without an OMAC that is then checked.
//
// pDecryptPara: cbSize 16 (or the structure's size); dwMsgAndCertEncodingType including
// PKCS_7_ASN_ENCODING; cCertStore store handles in rghCertStore.
//
// With pbDecrypted null, *pcbDecrypted receives the length of the encrypted content, which is the
// exact length of the plaintext for GOST 28147-89 CFB (and an upper bound for padded ciphers of
// other senders); nothing is decrypted and no key is used, so no password is asked. The data call
// sets *pcbDecrypted to the plaintext's length. ppXchgCert, when given, receives a new reference to
// the certificate whose key served (the first candidate for the size call), null on failure.
//
// Codes: CRYPT_E_ASN1_BADTAG (not a CMS message), CRYPT_E_UNEXPECTED_MSG_TYPE (a CMS message of
// another type), CRYPT_E_MSG_ERROR (no encrypted content inside), CRYPT_E_NO_DECRYPT_CERT (no store
// entry with a key matches a recipient), NTE_BAD_DATA (the key does not open the content key, the
// key transport block is damaged, or the content fails its padding or MAC check), the codes of
// CryptAcquireCertificatePrivateKey when a key cannot be unlocked (ERROR_CANCELLED stops the search),
// ERROR_MORE_DATA, E_INVALIDARG, NTE_PROVIDER_DLL_FAIL.
BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                         DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                         PCCERT_CONTEXT* ppXchgCert);

} // namespace plombar::crypto
