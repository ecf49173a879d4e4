// Base64Decoder on arbitrary text must decode as the rule says (accepted characters in quanta of
// four, foreign bytes dropped anywhere, a pad shortening only its own quantum, a trailing group of
// two or three characters read as if padded), whatever pieces the text comes in and whatever the
// size of the buffers it is read into. Whatever comes out, and the input itself, must encode to the
// fixed layout (76-character lines, CR LF after each full line) however it is written to the
// encoder, and decode back unchanged.

#include "FuzzSupport.h"

#include "codec/Base64.h"
#include "platform/ByteStreams.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

using namespace plombar;
using plombar::fuzz::hexOf;

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Gives its bytes at most `chunk` at a time, as a pipe does.
class ChunkedSource final : public ByteSource {
public:
    ChunkedSource(std::string_view bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        return bytes_.read(buffer.first(std::min(buffer.size(), chunk_)));
    }

private:
    MemorySource bytes_;
    std::size_t chunk_;
};

int valueOf(char c) {
    if (c == '=')
        return 64;
    const std::size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The decoding rule written out the slow way, on the whole text at once.
std::string referenceDecode(std::string_view text) {
    std::string chars;
    for (char c : text)
        if (valueOf(c) >= 0)
            chars += c;
    std::string out;
    const auto quantum = [&out](char a, char b, char c, char d) {
        const unsigned va = static_cast<unsigned>(valueOf(a)), vb = static_cast<unsigned>(valueOf(b));
        const unsigned vc = static_cast<unsigned>(valueOf(c)), vd = static_cast<unsigned>(valueOf(d));
        out += static_cast<char>(((va << 2) | (vb >> 4)) & 255);
        if (c != '=')
            out += static_cast<char>(((vb << 4) | (vc >> 2)) & 255);
        if (d != '=')
            out += static_cast<char>(((vc << 6) | vd) & 255);
    };
    std::size_t i = 0;
    for (; i + 4 <= chars.size(); i += 4)
        quantum(chars[i], chars[i + 1], chars[i + 2], chars[i + 3]);
    const std::size_t rest = chars.size() - i;
    if (rest >= 2)
        quantum(chars[i], chars[i + 1], rest == 3 ? chars[i + 2] : '=', '=');
    return out;
}

std::string referenceEncode(std::string_view data) {
    std::string text;
    int line = 0;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::size_t m = std::min<std::size_t>(3, data.size() - i);
        const unsigned b0 = static_cast<unsigned char>(data[i]);
        const unsigned b1 = m > 1 ? static_cast<unsigned char>(data[i + 1]) : 0;
        const unsigned b2 = m > 2 ? static_cast<unsigned char>(data[i + 2]) : 0;
        text += kAlphabet[b0 >> 2];
        text += kAlphabet[((b0 << 4) | (b1 >> 4)) & 63];
        text += m >= 2 ? kAlphabet[((b1 << 2) | (b2 >> 6)) & 63] : '=';
        text += m == 3 ? kAlphabet[b2 & 63] : '=';
        line += 4;
        if (line == 76) {
            text += "\r\n";
            line = 0;
        }
    }
    return text;
}

// Decodes `text` read `chunk` bytes at a time into buffers of `buffer` bytes.
std::string decodeThrough(std::string_view text, std::size_t chunk, std::size_t buffer) {
    ChunkedSource source(text, chunk);
    Base64Decoder decoder(source);
    std::string out;
    std::string block(buffer, '\0');
    while (const std::size_t n =
               decoder.read(std::span(reinterpret_cast<std::uint8_t*>(block.data()), buffer))) {
        FUZZ_CHECK(n <= buffer, "the decoder wrote past the buffer it was given");
        out.append(block, 0, n);
    }
    return out;
}

// Encodes `data` written in pieces of `piece` bytes.
std::string encodeThrough(std::string_view data, std::size_t piece) {
    MemorySink text;
    Base64Encoder encoder(text);
    for (std::size_t at = 0; at < data.size(); at += piece)
        encoder.write(data.substr(at, piece));
    encoder.finish();
    return text.take();
}

void checkRoundTrip(std::string_view data, std::size_t piece) {
    const std::string expected = referenceEncode(data);
    const std::string text = encodeThrough(data, data.size() + 1);
    FUZZ_CHECK(text == expected, "encoding of " + hexOf(data) + " is " + text);
    FUZZ_CHECK(encodeThrough(data, piece) == expected,
               "encoding in pieces of " + std::to_string(piece) + " of " + hexOf(data));
    // The layout: lines of exactly 76 characters, CR LF after each full one, none after a short one.
    const std::size_t chars = (data.size() + 2) / 3 * 4;
    FUZZ_CHECK(text.size() == chars + chars / 76 * 2, "encoded length " + std::to_string(text.size()));
    FUZZ_CHECK(decodeThrough(text, piece, 1 << 16) == data, "round trip lost bytes of " + hexOf(data));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string expected = referenceDecode(text);

    // However the text arrives and however small the reader's buffer, the data is the same.
    const std::size_t chunk = size > 0 ? 1 + data[0] % 100 : 1;
    const std::size_t buffer = size > 1 ? 1 + data[1] % 64 : 1;
    const std::pair<std::size_t, std::size_t> ways[] = {
        {size + 1, 1 << 16}, {chunk, 1 << 16}, {1 << 16, buffer}, {chunk, buffer}};
    for (const auto& [c, b] : ways) {
        const std::string decoded = decodeThrough(text, c, b);
        FUZZ_CHECK(decoded == expected, "reading " + std::to_string(c) + " into " + std::to_string(b) +
                                            " gives " + hexOf(decoded) + ", the rule " + hexOf(expected));
    }

    checkRoundTrip(expected, chunk);
    checkRoundTrip(text.substr(0, std::min<std::size_t>(text.size(), 2048)), buffer);
    return 0;
}
