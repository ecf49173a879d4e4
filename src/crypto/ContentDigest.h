#pragma once

// Hashing a file's content while it is being loaded into memory. Loading 300 MB costs a few tenths
// of a second of copying and page faults before the hash pass can start; done on a second thread,
// the hash runs alongside the load and the signing call then only signs. Later operations that hash
// a loaded file (verification) can use the same pieces.

#include "crypto/CryptoApi.h"
#include "crypto/OpenSsl.h"

#include <cstddef>
#include <string>

namespace plombar::crypto {

// Loads the whole file into `target` exactly as readFileBytes does (same errors, same result) and,
// when `md` is not null, hashes the bytes on a second thread as they arrive. Returns the digest
// state over exactly target's content, or null when `md` is null or hashing failed.
EvpMdCtxPtr LoadFileWithDigest(std::string& target, const std::string& fileName, const EVP_MD* md);

// Lends a digest state of a content buffer to CryptSignMessage on this thread for the object's
// lifetime: a data call signing exactly these bytes with this digest continues from the state
// instead of hashing them again. The buffer must not change while the scope lives.
class ContentDigestScope {
public:
    ContentDigestScope(const BYTE* data, std::size_t size, const EVP_MD_CTX* digest);
    ContentDigestScope(const ContentDigestScope&) = delete;
    ContentDigestScope& operator=(const ContentDigestScope&) = delete;
    ~ContentDigestScope();
};

} // namespace plombar::crypto
