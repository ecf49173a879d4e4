#include "codec/Base64.h"

#include "platform/Errors.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <typeinfo>

// PLOMBAR_BASE64_NO_SIMD builds the portable code alone (the test suite checks it that way too).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(PLOMBAR_BASE64_NO_SIMD)
#include <immintrin.h>
#define PLOMBAR_BASE64_AVX2 1
#endif

namespace plombar {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPadChar = '=';

// Encoder: 510 input bytes (170 groups of three) per read give 680 characters; a block's text holds
// at most 9 line breaks, because the line counter carries over from the previous block.
constexpr std::int64_t kEncodeBlockBytes = 510;
constexpr std::size_t kEncodeBlockTextMax = 680 + 2 * 9;
constexpr int kLineChars = 76;

// Decoder: one cycle decodes up to 76 accepted characters (19 quanta) into at most 57 bytes.
constexpr int kCycleChars = 76;
constexpr int kCycleQuanta = kCycleChars / 4;
constexpr int kCycleBytesMax = kCycleQuanta * 3;

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

// The fast paths read a memory stream's buffer in place. Only the exact class qualifies: a subclass
// may override Read or Write, and then every call has to reach it as the callers expect.
TMemoryStream* exactMemoryStream(TStream& stream) {
    return typeid(stream) == typeid(TMemoryStream) ? static_cast<TMemoryStream*>(&stream) : nullptr;
}

// A short write would silently cut the text or the data; it is reported like TStream::WriteBuffer
// does. A write of 0 bytes still reaches the stream.
void writeOut(TStream& output, const void* buffer, std::int64_t count) {
    if (output.Write(buffer, count) != count)
        throw StreamError("Stream write error");
}

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

// A memory stream answers every read with a full block until its last one, so the blocks can be taken
// from its buffer directly; the position moves as the reads would have moved it.
void encodeFromMemory(TMemoryStream& input, TStream& output) {
    char text[kEncodeBlockTextMax];
    std::int64_t position = input.Position();
    const std::int64_t size = input.Size();
    int lineChars = 0;
    if (position >= 0) {
        while (position < size) {
            const std::int64_t count = std::min(kEncodeBlockBytes, size - position);
            const std::size_t length =
                encodeBlock(input.Memory() + position, static_cast<std::size_t>(count), text, lineChars);
            position += count;
            input.TMemoryStream::Seek(position, SeekOrigin::soBeginning);
            writeOut(output, text, static_cast<std::int64_t>(length));
        }
    }
    writeOut(output, text, 0);
}

void encodeFromStream(TStream& input, TStream& output) {
    std::uint8_t block[kEncodeBlockBytes];
    char text[kEncodeBlockTextMax];
    int lineChars = 0;
    for (;;) {
        const std::int64_t count =
            std::clamp<std::int64_t>(input.Read(block, kEncodeBlockBytes), 0, kEncodeBlockBytes);
        const std::size_t length = encodeBlock(block, static_cast<std::size_t>(count), text, lineChars);
        writeOut(output, text, static_cast<std::int64_t>(length));
        if (count == 0)
            break;
    }
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

// Decodes the `count` accepted characters kept by one cycle and returns the number of bytes.
//
// A trailing group of one to three characters (the text's count of accepted characters is not a
// multiple of four) is decoded as if the missing places held "=": two characters give one byte,
// three give two (one when the third is "="), the way unpadded Base64 reads. A single character
// holds only six bits, less than a byte, and yields nothing.
std::size_t decodeCycle(const std::uint8_t* chars, int count, std::uint8_t* out) {
    if (count == kCycleChars && decodeDataLine(chars, out))
        return kCycleBytesMax;
    std::size_t n = 0;
    int i = 0;
    for (; i + 4 <= count; i += 4)
        n += decodeQuantum(chars + i, out + n);
    const int rest = count - i;
    if (rest >= 2) {
        const std::uint8_t last[4] = {chars[i], chars[i + 1], rest == 3 ? chars[i + 2] : kPadChar, kPadChar};
        n += decodeQuantum(last, out + n);
    }
    return n;
}

// The stream-call form: the skip step reads byte by byte and gives the first accepted byte back by
// moving the position one back; the fill step reads exactly the places still free, so it never reads
// past the cycle's 76th accepted character.
void decodeFromStream(TStream& input, TStream& output) {
    std::uint8_t chars[kCycleChars];
    std::uint8_t out[kCycleBytesMax + 1] = {};
    for (;;) {
        for (;;) {
            std::uint8_t byte = 0;
            if (input.Read(&byte, 1) != 1)
                break;
            if (isAccepted(byte)) {
                input.SetPosition(input.GetPosition() - 1);
                break;
            }
        }
        int kept = 0;
        for (;;) {
            const int wanted = kCycleChars - kept;
            const int got =
                static_cast<int>(std::clamp<std::int64_t>(input.Read(chars + kept, wanted), 0, wanted));
            const bool atEnd = got < wanted;
            int write = kept;
            for (int i = kept; i < kept + got; ++i)
                if (isAccepted(chars[i]))
                    chars[write++] = chars[i];
            const bool deleted = write < kept + got;
            kept = write;
            if (!deleted || atEnd)
                break;
        }
        writeOut(output, out, static_cast<std::int64_t>(decodeCycle(chars, kept, out)));
        if (kept == 0)
            break;
    }
}

// The same cycles over a memory stream's buffer. Reads from memory are never short before the end, so
// each cycle takes the next 76 accepted characters (fewer only at the end) and the input position
// after a cycle lies just behind its last accepted character, as the stream calls would leave it.
void decodeFromMemory(TMemoryStream& input, TStream& output) {
    std::uint8_t chars[kCycleChars];
    std::uint8_t out[kCycleBytesMax + 1] = {};
    std::int64_t position = input.Position();
    if (position < 0) { // every read of such a stream returns 0: one empty cycle
        writeOut(output, out, 0);
        return;
    }
    const std::uint8_t* data = input.Memory();
    const std::int64_t size = input.Size();
    for (;;) {
        while (position < size && !isAccepted(data[position]))
            ++position;
        int kept = 0;
        std::size_t count = 0;
        if (size - position >= kCycleChars && decodeDataLine(data + position, out)) {
            kept = kCycleChars;
            count = kCycleBytesMax;
            position += kCycleChars;
        } else {
            while (kept < kCycleChars && position < size) {
                const std::uint8_t c = data[position++];
                if (isAccepted(c))
                    chars[kept++] = c;
            }
            count = decodeCycle(chars, kept, out);
        }
        try {
            writeOut(output, out, static_cast<std::int64_t>(count));
        } catch (...) {
            input.TMemoryStream::Seek(position, SeekOrigin::soBeginning);
            throw;
        }
        if (kept == 0)
            break;
    }
    input.TMemoryStream::Seek(position, SeekOrigin::soBeginning);
}

} // namespace

void Base64EncodeStream(TStream& input, TStream& output) {
    if (TMemoryStream* memory = exactMemoryStream(input); memory != nullptr && &input != &output)
        encodeFromMemory(*memory, output);
    else
        encodeFromStream(input, output);
}

void Base64DecodeStream(TStream& input, TStream& output) {
    if (TMemoryStream* memory = exactMemoryStream(input); memory != nullptr && &input != &output)
        decodeFromMemory(*memory, output);
    else
        decodeFromStream(input, output);
}

} // namespace plombar
