#pragma once

// Signing a content of any size in one pass and in memory that does not grow with it. The message
// is what Plombar has always written: CMS signed-data in DER with definite lengths, one signer
// identified by issuer and serial number, the signer's certificate included, no signed attributes
// (the signature covers the content digest only), the content detached or attached.

#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/Progress.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace plombar::crypto {

// Who signs: a certificate and its private key, both borrowed for the call.
struct SigningIdentity {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
};

enum class SignatureLayout { Detached, Attached };

enum class SignedAttributes {
    None,     // the signature covers the content digest only
    CadesBes, // content type, message digest, signing time and signing certificate v2 (CAdES-BES)
};

struct SignOptions {
    SignatureLayout layout = SignatureLayout::Detached;
    // The hash in canonical dotted form ("1.2.643.7.1.1.2.2"). GOST keys sign with exactly one:
    // 34.11-94 for 2001 keys, Streebog-256 / -512 for 2012 keys.
    std::string hashOid;
    SignedAttributes attributes = SignedAttributes::None;
    std::time_t signingTime = 0; // the signing time attribute's value with CadesBes; 0: now
};

// Signs the `contentSize` bytes that `content` delivers and writes the message to `output`; the
// content is read once, and an attached message streams it through into `output` between headers
// whose lengths are computed beforehand. `progress` hears the number of content bytes read so far.
//
// Raises CryptoError:
//   EngineMissing (NTE_PROVIDER_DLL_FAIL) without the GOST engine;
//   UnsupportedAlgorithm (CRYPT_E_UNKNOWN_ALGO) for a hash identifier that is empty, not in canonical
//     dotted form or unknown;
//   UnsupportedAlgorithm (NTE_BAD_ALGID) for a hash the key does not sign with;
//   InputChanged (ERROR_INVALID_DATA) when `content` delivers fewer or more bytes than `contentSize`;
//   Failed for OpenSSL failures that no input explains.
// and passes on CancelledError from `progress` and the errors of `content` and `output`. After any
// of them the output holds a part of a message and must be thrown away.
void signContent(ByteSource& content, std::uint64_t contentSize, const SigningIdentity& signer,
                 const SignOptions& options, ByteSink& output, Progress& progress = ignoredProgress());

// The digest for a hash identifier in canonical dotted form, or null: names ("md_gost12_256"),
// blanks, leading zeros and unknown identifiers are refused, so that no default digest is ever
// picked silently.
const EVP_MD* digestForHashOid(std::string_view oid);

} // namespace plombar::crypto
