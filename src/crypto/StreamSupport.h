#pragma once

// Inside the crypto layer: what the streaming operations share (blocks, exact-size reads, progress,
// the engine check, writes into OpenSSL's BIO chains in int-sized pieces).

#include "crypto/CryptoError.h"
#include "crypto/OpenSsl.h"
#include "platform/ByteStreams.h"
#include "platform/Progress.h"
#include "platform/SystemErrors.h"

#include <cstdint>
#include <span>
#include <vector>

namespace plombar::crypto::detail {

// Content passes in blocks of this size: large enough that per-block costs vanish, small enough
// that memory does not depend on the content.
inline constexpr std::size_t kStreamBlock = std::size_t{1} << 20;

// Raises CryptoError (EngineMissing) when the GOST engine is not usable.
void requireGostEngine();

// Reads `source` to its end in blocks, hands each to `take` and reports the running total to
// `progress`; returns the total.
template <typename Take> std::uint64_t streamAll(ByteSource& source, Progress& progress, Take&& take) {
    std::vector<std::uint8_t> block(kStreamBlock);
    std::uint64_t done = 0;
    while (const std::size_t n = source.read(block)) {
        take(std::span<const std::uint8_t>(block.data(), n));
        done += n;
        progress.advance(done);
    }
    return done;
}

// The same for a source that must deliver exactly `size` bytes: fewer or more raise CryptoError
// (InputChanged), since the lengths written before the content promised that many.
template <typename Take>
void streamExactly(ByteSource& source, std::uint64_t size, Progress& progress, Take&& take) {
    std::vector<std::uint8_t> block(kStreamBlock);
    std::uint64_t done = 0;
    while (done < size) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        const std::size_t n = source.read(std::span(block.data(), want));
        if (n == 0)
            throw CryptoError(CryptoFailure::InputChanged, winerr::ERROR_INVALID_DATA,
                              "the content ended after " + std::to_string(done) + " of " +
                                  std::to_string(size) + " bytes");
        take(std::span<const std::uint8_t>(block.data(), n));
        done += n;
        progress.advance(done);
    }
    std::uint8_t extra = 0;
    if (source.read(std::span(&extra, 1)) != 0)
        throw CryptoError(CryptoFailure::InputChanged, winerr::ERROR_INVALID_DATA,
                          "the content is longer than the " + std::to_string(size) + " bytes announced");
}

// Writes all of `data` into a BIO chain (BIO_write counts in int).
void writeToBio(BIO* bio, std::span<const std::uint8_t> data);

// The DER of a CMS message.
std::string encodeCms(const CMS_ContentInfo* cms);

// Decodes a CMS message that the caller rebuilt from a message's fields; raises CryptoError
// (BadMessage) when OpenSSL refuses it.
CmsPtr decodeCms(const std::string& der);

} // namespace plombar::crypto::detail
