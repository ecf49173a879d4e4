#include "codec/Base64.h"

#include "platform/Errors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace plombar;
using plombar::test::randomBytes;

namespace {

// Gives its bytes at most `chunk` at a time, as a pipe or a decoder in front of it may.
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

// The text of `data`, written to the encoder in pieces of `piece` bytes (all at once for 0).
std::string encodeInPieces(const std::string& data, std::size_t piece) {
    MemorySink text;
    Base64Encoder encoder(text);
    const std::string_view rest(data);
    for (std::size_t at = 0; at < data.size(); at += piece == 0 ? data.size() : piece)
        encoder.write(rest.substr(at, piece == 0 ? data.size() : piece));
    encoder.finish();
    return text.take();
}

// The data of `text`, read from a source that gives `chunk` bytes at a time into buffers of `buffer`
// bytes.
std::string decodeInPieces(const std::string& text, std::size_t chunk, std::size_t buffer) {
    ChunkedSource source(text, chunk);
    Base64Decoder decoder(source);
    std::string data;
    std::vector<std::uint8_t> block(buffer);
    while (const std::size_t n = decoder.read(block))
        data.append(reinterpret_cast<const char*>(block.data()), n);
    EXPECT_EQ(decoder.read(block), 0u) << "the end stays the end";
    return data;
}

// How the data may be cut: whole, and in pieces that fall everywhere inside groups and lines.
constexpr std::size_t kPieces[] = {0, 1, 2, 5, 57, 58, 4096};
constexpr std::pair<std::size_t, std::size_t> kReads[] = {{1 << 20, 1 << 16}, {1, 1},    {3, 2},
                                                          {77, 58},           {7, 1000}, {1000, 7}};

std::string encode(const std::string& data) {
    const std::string text = encodeInPieces(data, 0);
    for (const std::size_t piece : kPieces)
        EXPECT_EQ(encodeInPieces(data, piece), text) << "written in pieces of " << piece;
    return text;
}

std::string decode(const std::string& text) {
    const std::string data = decodeInPieces(text, 1 << 20, 1 << 16);
    for (const auto& [chunk, buffer] : kReads)
        EXPECT_EQ(decodeInPieces(text, chunk, buffer), data) << "read " << chunk << " into " << buffer;
    return data;
}

// Plain Base64 written bit by bit, without line breaks, as the independent reference.
std::string referenceBase64(const std::string& data) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    std::uint32_t bits = 0;
    int held = 0;
    for (unsigned char c : data) {
        bits = (bits << 8) | c;
        for (held += 8; held >= 6; held -= 6)
            text += alphabet[(bits >> (held - 6)) & 63];
    }
    if (held > 0)
        text += alphabet[(bits << (6 - held)) & 63];
    text.append((4 - text.size() % 4) % 4, '=');
    return text;
}

// Inserts `lineBreak` after every `width` characters; `trailing` keeps a break after a full last line.
std::string wrap(const std::string& text, std::size_t width, const std::string& lineBreak,
                 bool trailing = true) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += width) {
        out += text.substr(i, width);
        if (i + width < text.size() || (trailing && i + width == text.size()))
            out += lineBreak;
    }
    return out;
}

std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

} // namespace

TEST(Base64, Rfc4648Section10Vectors) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [data, text] : vectors) {
        EXPECT_EQ(encode(data), text) << data;
        EXPECT_EQ(decode(text), data) << text;
    }
}

TEST(Base64, EncoderLineLayout) {
    struct Case {
        std::size_t bytes;
        std::size_t textBytes;
        bool endsWithBreak;
    };
    const Case cases[] = {{0, 0, false},     {1, 4, false},       {56, 78, true},    {57, 78, true},
                          {58, 82, false},   {114, 156, true},    {510, 696, false}, {511, 702, true},
                          {514, 706, false}, {1020, 1394, false}, {1140, 1560, true}};
    for (const Case& c : cases) {
        const std::string data = randomBytes(c.bytes, static_cast<std::uint32_t>(c.bytes));
        const std::string text = encode(data);
        EXPECT_EQ(text.size(), c.textBytes) << c.bytes;
        EXPECT_EQ(text, wrap(referenceBase64(data), 76, "\r\n")) << c.bytes;
        EXPECT_EQ(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n", c.endsWithBreak) << c.bytes;
    }
    const std::string text58 = encode(std::string(58, 'x'));
    EXPECT_EQ(text58.substr(76), "\r\neA==") << "76 characters, CR LF, then 4 characters and no break";
}

TEST(Base64, DecoderIgnoresLayoutAndForeignBytes) {
    const std::string data = randomBytes(1000, 3);
    const std::string plain = referenceBase64(data);
    const std::string junk = bytesOf({0, 0x80, 0xFF, '-', ' ', '\t', '\r', '\n', '*', '.'});
    std::string sprinkled;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        sprinkled += plain[i];
        if (i % 7 == 3)
            sprinkled += junk.substr(i % junk.size(), 1 + i % 3);
    }
    const std::string texts[] = {
        plain,
        wrap(plain, 76, "\r\n"),
        wrap(plain, 76, "\n"),
        wrap(plain, 64, "\n"),
        wrap(plain, 64, "\r\n", false),
        wrap(plain, 1, " "),
        "\r\n\r\n  \n" + wrap(plain, 76, "\r\n\r\n") + "\r\n\n   ",
        junk + wrap(plain, 76, "\r\n") + junk,
        sprinkled,
        std::string(200, '\0') + plain + std::string(200, '\xFF'),
    };
    for (std::size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(decode(texts[i]), data) << "text " << i;
}

TEST(Base64, DecoderQuantaAndRemainders) {
    const std::pair<std::string, std::string> cases[] = {
        // Armour lines are not recognised: "BEGINPKCS7" and "ENDPKCS7" are decoded as data.
        {"-----BEGIN PKCS7-----\r\nZm9vYmFy\r\n-----END PKCS7-----\r\n",
         bytesOf({0x04, 0x41, 0x88, 0x34, 0xF2, 0x82, 0x4B, 0xB6, 0x66, 0xF6, 0xF6, 0x26, 0x17, 0x21, 0x0D,
                  0x0C, 0xF2, 0x82, 0x4B})},
        // A pad in the middle shortens its own quantum only.
        {"QQ==Zm9v", "Afoo"},
        {"Zm8=\r\nZm9v", "fofoo"},
        // "=" first or second enters the formulas with the value 64.
        {"=QUJ", bytesOf({0x01, 0x05, 0x09})},
        {"Q=UJ", bytesOf({0x44, 0x05, 0x09})},
        {"==AA", bytesOf({0x04, 0x00, 0x00})},
        {"====", bytesOf({0x04})},
        // "=" third with a character fourth: the first byte, then the fourth character's value.
        {"QQ=B", bytesOf({0x41, 0x01})},
        {"QQ=BZm9v", bytesOf({0x41, 0x01, 'f', 'o', 'o'})},
        // Trailing characters are read as if padded; a lone one holds no whole byte.
        {"Zm9vYg", "foob"},
        {"Zm9vYmE", "fooba"},
        {"Zm9vY", "foo"},
        {"Zm9vYm=", "foob"},
        {"Q", ""},
        {"\r\n- \x80", ""},
        {"", ""},
    };
    for (const auto& [text, data] : cases)
        EXPECT_EQ(decode(text), data) << text;

    // The remainder of a later cycle is decoded from its own characters, not from the 76 before it.
    EXPECT_EQ(decode(std::string(76, '/') + "\r\nQQ"), std::string(57, '\xFF') + "A");
    EXPECT_EQ(decode(std::string(76, '/') + "Q"), std::string(57, '\xFF'));
}

TEST(Base64, ConcatenatedTextsDecodeToConcatenatedData) {
    const std::size_t sizes[][2] = {{1, 1}, {2, 57}, {58, 4}, {0, 5}, {510, 511}, {100, 0}, {3, 3}};
    for (const auto& [a, b] : sizes) {
        const std::string first = randomBytes(a, 11);
        const std::string second = randomBytes(b, 12);
        EXPECT_EQ(decode(encode(first) + encode(second)), first + second) << a << "+" << b;
    }
}

TEST(Base64, RoundTrip) {
    std::mt19937 engine(99);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 300; ++n)
        sizes.push_back(n);
    for (int i = 0; i < 60; ++i)
        sizes.push_back(engine() % 5001);
    sizes.insert(sizes.end(), {1u << 20, (3u << 20) + 1, (3u << 20) + 2});
    for (std::size_t n : sizes) {
        const std::string data = randomBytes(n, static_cast<std::uint32_t>(n) + 1);
        const std::string text = encodeInPieces(data, n <= 5000 ? 1 + n % 7 : 65536);
        ASSERT_EQ(text, wrap(referenceBase64(data), 76, "\r\n")) << n;
        ASSERT_EQ(decodeInPieces(text, 1 << 16, 1 << 16), data) << n;
        if (n <= 5000) {
            ASSERT_EQ(decodeInPieces(text, 1 + n % 97, 1 + n % 61), data) << n;
        }
    }
}

// A sink that fails (a full disk) is an error, never a silently cut text; what it took is the
// start of the text. A source that fails passes its error through the decoder.
TEST(Base64, ErrorsOfTheStreamsPassThrough) {
    const std::string data = randomBytes(2000, 5);
    const std::string text = wrap(referenceBase64(data), 76, "\r\n");
    test::FailingSink full(1000);
    Base64Encoder encoder(full);
    try {
        encoder.write(data);
        encoder.finish();
        ADD_FAILURE() << "no error";
    } catch (const FileCreateError& e) {
        EXPECT_EQ(e.code(), 112u);
    }
    EXPECT_EQ(full.bytes(), text.substr(0, 1000));

    struct FailingText final : ByteSource {
        std::size_t read(std::span<std::uint8_t>) override { throw FileReadError("/text", 30); }
    } failing;
    Base64Decoder decoder(failing);
    std::uint8_t block[100];
    EXPECT_THROW(decoder.read(block), FileReadError);
}
