// Base64DecodeStream on arbitrary text. The memory-buffer path and the stream-call path must both
// decode as the rule says (accepted characters in quanta of four, foreign bytes dropped anywhere, a
// pad shortening only its own quantum, a trailing group of two or three characters read as if
// padded), start at the input's position and write at the output's; reads that come back short
// must never lose or invent bytes. Whatever comes out, and the input itself, must encode to the
// fixed layout (76-character lines, CR LF after each full line) and decode back unchanged.

#include "FuzzSupport.h"

#include "codec/Base64.h"
#include "platform/Streams.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

using namespace plombar;
using plombar::fuzz::hexOf;

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Any class but TMemoryStream itself takes the codec's stream-call path.
class CallStream final : public TMemoryStream {};

// Reads come back at most `chunk` bytes long, as from a pipe.
class ShortReadStream final : public TMemoryStream {
public:
    explicit ShortReadStream(std::int64_t chunk) : chunk_(chunk) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        return TMemoryStream::Read(buffer, std::min(count, chunk_));
    }

private:
    std::int64_t chunk_;
};

void fill(TMemoryStream& stream, std::string_view bytes, std::int64_t position) {
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(position);
}

std::string contentOf(const TMemoryStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.Memory()),
                       static_cast<std::size_t>(stream.Size()));
}

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

std::size_t acceptedCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return valueOf(c) >= 0; }));
}

// Decodes `text` standing behind `prefix` in `input` (empty; its class picks the codec's path) into
// an output that already holds "kept" with its position at the end of it.
std::string decodeThrough(TMemoryStream& input, std::string_view prefix, std::string_view text) {
    std::string whole(prefix);
    whole += text;
    fill(input, whole, static_cast<std::int64_t>(prefix.size()));
    TMemoryStream output;
    fill(output, "kept", 4);
    Base64DecodeStream(input, output);
    const std::string out = contentOf(output);
    FUZZ_CHECK(out.compare(0, 4, "kept") == 0, "the output's earlier content was overwritten");
    FUZZ_CHECK(output.Position() == output.Size(), "the output position is not at the end of the data");
    FUZZ_CHECK(input.Position() == input.Size(), "the input was not read to its end");
    return out.substr(4);
}

template <typename Stream> std::string encodeThrough(std::string_view data) {
    Stream input;
    fill(input, data, 0);
    TMemoryStream output;
    Base64EncodeStream(input, output);
    FUZZ_CHECK(output.Position() == output.Size(), "the output position is not at the end of the text");
    FUZZ_CHECK(input.Position() == input.Size(), "the input was not read to its end");
    return contentOf(output);
}

void checkRoundTrip(std::string_view data) {
    const std::string expected = referenceEncode(data);
    const std::string text = encodeThrough<TMemoryStream>(data);
    FUZZ_CHECK(text == expected, "memory-path encoding of " + hexOf(data) + " is " + text);
    FUZZ_CHECK(encodeThrough<CallStream>(data) == expected, "stream-path encoding of " + hexOf(data));
    // The layout: lines of exactly 76 characters, CR LF after each full one, none after a short one.
    const std::size_t chars = (data.size() + 2) / 3 * 4;
    FUZZ_CHECK(text.size() == chars + chars / 76 * 2, "encoded length " + std::to_string(text.size()));
    TMemoryStream input;
    FUZZ_CHECK(decodeThrough(input, "", text) == data, "round trip lost bytes of " + hexOf(data));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string expected = referenceDecode(text);

    // A prefix the decoder must not read: Base64 text that would decode to bytes of its own.
    TMemoryStream memoryInput;
    const std::string memoryPath = decodeThrough(memoryInput, "QUJD", text);
    FUZZ_CHECK(memoryPath == expected,
               "memory path gives " + hexOf(memoryPath) + ", the rule " + hexOf(expected));
    CallStream streamInput;
    const std::string streamPath = decodeThrough(streamInput, "QUJD", text);
    FUZZ_CHECK(streamPath == expected,
               "stream path gives " + hexOf(streamPath) + ", the rule " + hexOf(expected));

    // Short reads end a cycle early, which moves the quanta, so only the bound is fixed: no cycle
    // yields more than three bytes per four characters.
    ShortReadStream shortInput(size > 0 ? 1 + data[0] % 100 : 1);
    const std::string shortReads = decodeThrough(shortInput, "", text);
    FUZZ_CHECK(shortReads.size() <= acceptedCount(text) * 3 / 4,
               "short reads gave " + std::to_string(shortReads.size()) + " bytes");

    checkRoundTrip(expected);
    checkRoundTrip(text.substr(0, std::min<std::size_t>(text.size(), 2048)));
    return 0;
}
