#pragma once

// Inside the crypto layer: the content cipher of an enveloped message, as OpenSSL's CMS code keys it.

#include "crypto/OpenSsl.h"

namespace plombar::crypto::detail {

// Gives a keyed Magma or Kuznyechik CTR-ACPKM content cipher the section length of enveloped data:
// the content key changes after every 8 KiB (Magma) or 256 KiB (Kuznyechik). The GOST engine takes
// these lengths from the cipher's parameters, but OpenSSL keys a decryption after reading them, and
// the engine's key set-up puts back its defaults for bare use (1 KiB, 4 KiB): the plaintext, and the
// MAC check of the -omac variants, would go wrong from the end of the first short section on.
//
// Call it once the cipher is keyed and before any content passes through it. True when the length
// is set, and for every other cipher (nothing to do); false when the cipher refuses the length, in
// which case the content must not be decrypted with it.
bool UseCmsSectionLength(EVP_CIPHER_CTX* cipher);

} // namespace plombar::crypto::detail
