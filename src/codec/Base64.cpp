#include "codec/Base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// PLOMBAR_BASE64_NO_SIMD builds the portable code alone (the test suite checks it that way too).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(PLOMBAR_BASE64_NO_SIMD)
#include <immintrin.h>
#define PLOMBAR_BASE64_AVX2 1
#endif

namespace plombar {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPadChar = '=';

constexpr int kLineChars = 76;

// Encoder: the data is encoded in chunks of up to 36,864 bytes (49,152 characters and at most 647
// line breaks) into a text buffer that goes to the sink when the next chunk would not fit.
constexpr std::size_t kEncodeChunkBytes = 3 * 12288;
constexpr std::size_t kEncodeChunkTextMax = kEncodeChunkBytes / 3 * 4 + (kEncodeChunkBytes / 57 + 1) * 2;
constexpr std::size_t kEncodeBufferChars = 2 * kEncodeChunkTextMax;

// Decoder: a full line of 76 characters (19 quanta) gives 57 bytes; the text is read in blocks.
constexpr std::size_t kCycleChars = 76;
constexpr int kCycleQuanta = kCycleChars / 4;
constexpr std::size_t kCycleBytesMax = kCycleQuanta * 3;
constexpr std::size_t kDecodeBufferBytes = std::size_t{1} << 16;

// The decoder's table value of every byte: the 6-bit value for an alphabet character, 64 for the pad
// (so that a misplaced "=" still goes through the formulas), and a mark for foreign bytes, which the
// filter drops before any lookup that matters.
constexpr std::uint8_t kPadValue = 64;
constexpr std::uint8_t kForeign = 0xFF;

constexpr std::array<std::uint8_t, 256> makeValues() {
    std::array<std::uint8_t, 256> values{};
    values.fill(kForeign);
    for (std::size_t i = 0; i < 64; ++i)
        values[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    values[kPadChar] = kPadValue;
    return values;
}
constexpr std::array<std::uint8_t, 256> kValues = makeValues();

inline bool isAccepted(std::uint8_t c) {
    return kValues[c] <= kPadValue;
}

// The values pre-shifted to their place in a quantum's 24 bits; anything but an alphabet character
// sets the top bit, so that one test after a whole line tells whether the quick decode holds.
constexpr std::uint32_t kNotData = 0x80000000u;

constexpr std::array<std::uint32_t, 256> makeShifted(int shift) {
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c)
        table[c] = kValues[c] < 64 ? std::uint32_t{kValues[c]} << shift : kNotData;
    return table;
}
constexpr std::array<std::uint32_t, 256> kShift18 = makeShifted(18);
constexpr std::array<std::uint32_t, 256> kShift12 = makeShifted(12);
constexpr std::array<std::uint32_t, 256> kShift6 = makeShifted(6);
constexpr std::array<std::uint32_t, 256> kShift0 = makeShifted(0);

// Two characters for every 12-bit value: a group of three bytes becomes two lookups.
using CharPair = std::array<char, 2>;
constexpr std::array<CharPair, 4096> makePairs() {
    std::array<CharPair, 4096> pairs{};
    for (std::size_t v = 0; v < 4096; ++v)
        pairs[v] = CharPair{kAlphabet[v >> 6], kAlphabet[v & 63]};
    return pairs;
}
constexpr std::array<CharPair, 4096> kPairs = makePairs();

// ---------------------------------------------------------------------------------------------
// Encoding

std::uint64_t loadBigEndian64(const std::uint8_t* src) {
    std::uint64_t v = 0;
    std::memcpy(&v, src, sizeof v);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

#ifdef PLOMBAR_BASE64_AVX2
// Eight groups (24 bytes to 32 characters) per step: each lane spreads its 12 bytes over four 32-bit
// words, multiplies the four 6-bit fields into the bytes, and maps them to the alphabet with one
// table lookup per range. The load takes 32 bytes, 8 past the groups, so the caller leaves at
// least three groups behind.
__attribute__((target("avx2"))) void encodeGroupsAvx2(const std::uint8_t*& src, std::size_t& groups,
                                                      char*& dst) {
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i order = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                           1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i shifts =
        _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, //
                         'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    for (; groups >= 11; groups -= 8, src += 24, dst += 32) {
        __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        in = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(in, spread), order);
        const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00)),
                                                _mm256_set1_epi32(0x04000040));
        const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0)),
                                               _mm256_set1_epi32(0x01000010));
        const __m256i values = _mm256_or_si256(high, low);
        // 0..25 -> 13 ('A'), 26..51 -> 0 ('a' - 26), 52..61 -> 1..10, 62 -> 11, 63 -> 12
        __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
        range = _mm256_or_si256(
            range, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), values), _mm256_set1_epi8(13)));
        const __m256i text = _mm256_add_epi8(_mm256_shuffle_epi8(shifts, range), values);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), text);
    }
}

// Initialised before main; the explicit init makes the feature query safe that early.
const bool kHaveAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

void encodeGroups(const std::uint8_t* src, std::size_t groups, char* dst) {
#ifdef PLOMBAR_BASE64_AVX2
    if (kHaveAvx2)
        encodeGroupsAvx2(src, groups, dst);
#endif
    // Two groups per 8-byte load; the load reaches two bytes past them, so it stops while a third
    // group still follows.
    for (; groups >= 3; groups -= 2, src += 6, dst += 8) {
        const std::uint64_t v = loadBigEndian64(src);
        std::memcpy(dst, kPairs[(v >> 52) & 0xFFF].data(), 2);
        std::memcpy(dst + 2, kPairs[(v >> 40) & 0xFFF].data(), 2);
        std::memcpy(dst + 4, kPairs[(v >> 28) & 0xFFF].data(), 2);
        std::memcpy(dst + 6, kPairs[(v >> 16) & 0xFFF].data(), 2);
    }
    for (; groups != 0; --groups, src += 3, dst += 4) {
        const std::uint32_t v = std::uint32_t{src[0]} << 16 | std::uint32_t{src[1]} << 8 | src[2];
        std::memcpy(dst, kPairs[v >> 12].data(), 2);
        std::memcpy(dst + 2, kPairs[v & 0xFFF].data(), 2);
    }
}

// Encodes `count` bytes as one block and returns the length of its text. `lineChars` is the length
// of the current output line and carries over to the next block.
std::size_t encodeBlock(const std::uint8_t* src, std::size_t count, char* dst, int& lineChars) {
    char* out = dst;
    std::size_t groups = count / 3;
    while (groups != 0) {
        const std::size_t take =
            std::min<std::size_t>(groups, static_cast<std::size_t>(kLineChars - lineChars) / 4);
        encodeGroups(src, take, out);
        src += take * 3;
        out += take * 4;
        groups -= take;
        lineChars += static_cast<int>(take * 4);
        if (lineChars == kLineChars) {
            *out++ = '\r';
            *out++ = '\n';
            lineChars = 0;
        }
    }
    const std::size_t rest = count % 3;
    if (rest != 0) {
        const std::uint8_t b0 = src[0];
        const std::uint8_t b1 = rest == 2 ? src[1] : 0;
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[((b0 << 4) | (b1 >> 4)) & 63];
        *out++ = rest == 2 ? kAlphabet[(b1 << 2) & 63] : '=';
        *out++ = '=';
        lineChars += 4;
        if (lineChars == kLineChars) {
            *out++ = '\r';
            *out++ = '\n';
            lineChars = 0;
        }
    }
    return static_cast<std::size_t>(out - dst);
}

// ---------------------------------------------------------------------------------------------
// Decoding

// One quantum of accepted characters. It yields the first byte always, the second when the third
// character is not "=", the third when the fourth is not "=". A "=" in the first or second place
// enters the formulas with its table value 64.
//
// A quantum with "=" third and an alphabet character fourth yields two bytes, as that counting rule
// says: the first by the first formula and then the third formula's byte, ((64 << 6) | D) & 255,
// which is the fourth character's own value D. Both come from the characters received.
std::size_t decodeQuantum(const std::uint8_t* chars, std::uint8_t* out) {
    const unsigned a = kValues[chars[0]];
    const unsigned b = kValues[chars[1]];
    const unsigned c = kValues[chars[2]];
    const unsigned d = kValues[chars[3]];
    std::size_t n = 0;
    out[n++] = static_cast<std::uint8_t>(((a << 2) | (b >> 4)) & 255);
    if (chars[2] != kPadChar)
        out[n++] = static_cast<std::uint8_t>(((b << 4) | (c >> 2)) & 255);
    if (chars[3] != kPadChar)
        out[n++] = static_cast<std::uint8_t>(((c << 6) | d) & 255);
    return n;
}

void storeBigEndian32(std::uint8_t* out, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap32(v);
    std::memcpy(out, &v, sizeof v);
}

// 19 quanta of alphabet characters only (the usual full line) into 57 bytes; each quantum is stored
// as four bytes, so `out` needs one byte of room behind them. Returns false, with `out` spoilt, when
// any character is a pad or foreign.
bool decodeDataLine(const std::uint8_t* chars, std::uint8_t* out) {
    std::uint32_t marks = 0;
    for (int q = 0; q < kCycleQuanta; ++q, chars += 4, out += 3) {
        const std::uint32_t v =
            kShift18[chars[0]] | kShift12[chars[1]] | kShift6[chars[2]] | kShift0[chars[3]];
        marks |= v;
        storeBigEndian32(out, v << 8);
    }
    return (marks & kNotData) == 0;
}

// A trailing group of one to three characters (the text's count of accepted characters is not a
// multiple of four) is decoded as if the missing places held "=": two characters give one byte,
// three give two (one when the third is "="), the way unpadded Base64 reads. A single character
// holds only six bits, less than a byte, and yields nothing.
std::size_t decodeTail(const std::uint8_t* chars, int count, std::uint8_t* out) {
    if (count < 2)
        return 0;
    const std::uint8_t last[4] = {chars[0], chars[1], count == 3 ? chars[2] : kPadChar, kPadChar};
    return decodeQuantum(last, out);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Base64Encoder

Base64Encoder::Base64Encoder(ByteSink& text) : text_(text), buffer_(kEncodeBufferChars) {}

void Base64Encoder::flushText() {
    if (buffered_ > 0)
        text_.write(std::span(reinterpret_cast<const std::uint8_t*>(buffer_.data()), buffered_));
    buffered_ = 0;
}

void Base64Encoder::write(std::span<const std::uint8_t> data) {
    // A group begun by an earlier write is completed first, so that the text does not depend on
    // how the data was cut.
    if (pendingCount_ > 0) {
        while (pendingCount_ < pending_.size() && !data.empty()) {
            pending_[pendingCount_++] = data.front();
            data = data.subspan(1);
        }
        if (pendingCount_ < pending_.size())
            return;
        if (buffer_.size() - buffered_ < kEncodeChunkTextMax)
            flushText();
        buffered_ += encodeBlock(pending_.data(), pending_.size(), buffer_.data() + buffered_, lineChars_);
        pendingCount_ = 0;
    }
    while (data.size() >= 3) {
        const std::size_t count = std::min(data.size() / 3 * 3, kEncodeChunkBytes);
        if (buffer_.size() - buffered_ < kEncodeChunkTextMax)
            flushText();
        buffered_ += encodeBlock(data.data(), count, buffer_.data() + buffered_, lineChars_);
        data = data.subspan(count);
    }
    for (const std::uint8_t byte : data)
        pending_[pendingCount_++] = byte;
}

void Base64Encoder::finish() {
    if (pendingCount_ > 0) {
        if (buffer_.size() - buffered_ < kEncodeChunkTextMax)
            flushText();
        buffered_ += encodeBlock(pending_.data(), pendingCount_, buffer_.data() + buffered_, lineChars_);
        pendingCount_ = 0;
    }
    flushText();
}

// ---------------------------------------------------------------------------------------------
// Base64Decoder

Base64Decoder::Base64Decoder(ByteSource& text) : text_(text), input_(kDecodeBufferBytes) {}

// Moves what is left of the text to the front and reads more behind it; false once the text ended.
bool Base64Decoder::refill() {
    if (inputAt_ > 0) {
        std::memmove(input_.data(), input_.data() + inputAt_, inputEnd_ - inputAt_);
        inputEnd_ -= inputAt_;
        inputAt_ = 0;
    }
    const std::size_t n = text_.read(std::span(input_.data() + inputEnd_, input_.size() - inputEnd_));
    inputEnd_ += n;
    textEnded_ = n == 0;
    return n > 0;
}

std::size_t Base64Decoder::read(std::span<std::uint8_t> buffer) {
    std::uint8_t* const out = buffer.data();
    const std::size_t size = buffer.size();
    std::size_t produced = 0;
    for (;;) {
        if (decodedAt_ < decodedEnd_) {
            const std::size_t n = std::min(size - produced, decodedEnd_ - decodedAt_);
            std::memcpy(out + produced, decoded_.data() + decodedAt_, n);
            decodedAt_ += n;
            produced += n;
        }
        if (produced == size || finished_)
            return produced;
        // Whole lines are decoded in place, so the buffer keeps at least one line and its break.
        if (!textEnded_ && inputEnd_ - inputAt_ < kLineChars + 2)
            refill();
        const std::uint8_t* const text = input_.data();
        if (inputAt_ == inputEnd_) {
            decodedAt_ = 0;
            decodedEnd_ = decodeTail(group_.data(), grouped_, decoded_.data());
            grouped_ = 0;
            finished_ = true;
            continue;
        }
        if (grouped_ == 0) {
            // The usual layout: lines of 76 alphabet characters between foreign bytes (CR LF). Each
            // line's 19 groups are stored four bytes apart, so the output needs a byte to spare.
            for (;;) {
                while (inputAt_ < inputEnd_ && !isAccepted(text[inputAt_]))
                    ++inputAt_;
                if (inputEnd_ - inputAt_ < kCycleChars || size - produced < kCycleBytesMax + 1 ||
                    !decodeDataLine(text + inputAt_, out + produced))
                    break;
                inputAt_ += kCycleChars;
                produced += kCycleBytesMax;
            }
        }
        // Anything else one character at a time, up to the end of a group.
        while (inputAt_ < inputEnd_) {
            const std::uint8_t c = text[inputAt_++];
            if (!isAccepted(c))
                continue;
            group_[static_cast<std::size_t>(grouped_++)] = c;
            if (grouped_ == 4) {
                std::uint8_t bytes[3];
                const std::size_t n = decodeQuantum(group_.data(), bytes);
                grouped_ = 0;
                const std::size_t now = std::min(n, size - produced);
                std::memcpy(out + produced, bytes, now);
                produced += now;
                std::memcpy(decoded_.data(), bytes + now, n - now);
                decodedAt_ = 0;
                decodedEnd_ = n - now;
                break;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------

std::string encodeBase64(std::string_view data) {
    MemorySink text;
    Base64Encoder encoder(text);
    encoder.write(data);
    encoder.finish();
    return text.take();
}

std::string decodeBase64(std::string_view text) {
    MemorySource source(text);
    Base64Decoder decoder(source);
    return readAll(decoder, text.size());
}

} // namespace plombar
