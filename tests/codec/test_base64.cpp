#include "codec/Base64.h"

#include "platform/Errors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace plombar;
using plombar::test::FailingStream;
using plombar::test::randomBytes;

namespace {

// A stream over a string that is no TMemoryStream, so the codec reaches it through calls only. It
// logs reads ("r<asked>:<got>"), writes ("w<count>") and position settings ("p<position>"), can
// hand out at most `maxRead` bytes per read, and can throw on its `throwAtWrite`-th write.
class CallStream : public TStream {
public:
    explicit CallStream(std::string content = {},
                        std::int64_t maxRead = std::numeric_limits<std::int64_t>::max())
        : data(std::move(content)), maxRead_(maxRead) {}

    std::int64_t Read(void* buffer, std::int64_t count) override {
        const std::int64_t n =
            std::clamp<std::int64_t>(std::min({count, maxRead_, size() - position}), 0, count);
        if (n > 0)
            std::memcpy(buffer, data.data() + position, static_cast<std::size_t>(n));
        position += n;
        calls.push_back("r" + std::to_string(count) + ":" + std::to_string(n));
        return n;
    }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        calls.push_back("w" + std::to_string(count));
        if (++writes == throwAtWrite)
            throw OutOfMemoryError();
        if (position + count > size())
            data.resize(static_cast<std::size_t>(position + count));
        data.replace(static_cast<std::size_t>(position), static_cast<std::size_t>(count),
                     static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        position += count;
        return count;
    }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        if (origin == SeekOrigin::soBeginning) {
            position = offset;
            calls.push_back("p" + std::to_string(offset));
        } else {
            position = (origin == SeekOrigin::soEnd ? size() : position) + offset;
        }
        return position;
    }
    void SetSize(std::int64_t newSize) override { data.resize(static_cast<std::size_t>(newSize)); }

    std::int64_t size() const { return static_cast<std::int64_t>(data.size()); }

    std::string data;
    std::int64_t position = 0;
    std::vector<std::string> calls;
    int writes = 0;
    int throwAtWrite = 0;

private:
    std::int64_t maxRead_;
};

std::string contentOf(const TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<std::size_t>(m.Size()));
}

void fill(TMemoryStream& m, const std::string& bytes, std::int64_t position = 0) {
    m.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    m.SetPosition(position);
}

using Operation = void (*)(TStream&, TStream&);

// The operation with a memory stream as input (the fast path) and output.
std::string viaMemory(Operation op, const std::string& input) {
    TMemoryStream in;
    TMemoryStream out;
    fill(in, input);
    op(in, out);
    EXPECT_EQ(in.GetPosition(), in.GetSize());
    EXPECT_EQ(out.GetPosition(), out.GetSize());
    return contentOf(out);
}

// The same through stream calls only.
std::string viaCalls(Operation op, const std::string& input) {
    CallStream in(input);
    CallStream out;
    op(in, out);
    EXPECT_EQ(in.position, in.size());
    return out.data;
}

std::string encode(const std::string& data) {
    const std::string text = viaMemory(Base64EncodeStream, data);
    EXPECT_EQ(viaCalls(Base64EncodeStream, data), text);
    return text;
}

std::string decode(const std::string& text) {
    const std::string data = viaMemory(Base64DecodeStream, text);
    EXPECT_EQ(viaCalls(Base64DecodeStream, text), data);
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

TEST(Base64, EncoderReadsBlocksAndWritesOneTextPerBlock) {
    // 1200 bytes: blocks of 510, 510 and 180; the line counter carries over (72, then 68 characters
    // stand on the open line), so the blocks' texts hold 8, 9 and 4 breaks.
    const std::string data = randomBytes(1200, 7);
    CallStream out;
    TMemoryStream in;
    fill(in, data);
    Base64EncodeStream(in, out);
    EXPECT_EQ(out.calls, (std::vector<std::string>{"w696", "w698", "w248", "w0"}));

    CallStream callIn(data);
    CallStream out2;
    Base64EncodeStream(callIn, out2);
    EXPECT_EQ(callIn.calls, (std::vector<std::string>{"r510:510", "r510:510", "r510:180", "r510:0"}));
    EXPECT_EQ(out2.calls, out.calls);
    EXPECT_EQ(out2.data, out.data);

    CallStream empty;
    CallStream emptyOut;
    Base64EncodeStream(empty, emptyOut);
    EXPECT_EQ(emptyOut.calls, (std::vector<std::string>{"w0"}));
    EXPECT_EQ(emptyOut.data, "");
}

TEST(Base64, EncoderPadsEveryShortRead) {
    // A stream that returns a count not divisible by three before its end gets a padded group there;
    // the decoder reads such a text back whole, since a pad shortens only its own quantum.
    CallStream in("abcde", 2);
    TMemoryStream out;
    Base64EncodeStream(in, out);
    EXPECT_EQ(contentOf(out), "YWI=Y2Q=ZQ==");
    EXPECT_EQ(decode(contentOf(out)), "abcde");
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

TEST(Base64, DecoderCallProtocol) {
    struct Case {
        std::string text;
        std::vector<std::string> inputCalls;
        std::vector<std::string> outputCalls;
    };
    const std::string line64(64, 'A');
    const Case cases[] = {
        // The skip reads byte by byte and gives the first accepted byte back; a short fill read is
        // the end, so the CR LF read with it is dropped without a second read.
        {"\r\nZm9v\r\n", {"r1:1", "r1:1", "r1:1", "p2", "r76:6", "r1:0", "r76:0"}, {"w3", "w0"}},
        // A line break inside the 76 frees one place, which one more read fills.
        {line64 + "\n" + line64 + "\n",
         {"r1:1", "p0", "r76:76", "r1:1", "r1:1", "p77", "r76:53", "r1:0", "r76:0"},
         {"w57", "w39", "w0"}},
        {"", {"r1:0", "r76:0"}, {"w0"}},
    };
    for (const Case& c : cases) {
        CallStream in(c.text);
        CallStream out;
        Base64DecodeStream(in, out);
        EXPECT_EQ(in.calls, c.inputCalls) << c.text;
        EXPECT_EQ(out.calls, c.outputCalls) << c.text;

        TMemoryStream memoryIn;
        CallStream out2;
        fill(memoryIn, c.text);
        Base64DecodeStream(memoryIn, out2);
        EXPECT_EQ(out2.calls, c.outputCalls) << "memory input: " << c.text;
    }
}

TEST(Base64, MemoryInputMatchesStreamCalls) {
    std::mt19937 engine(2024);
    const std::string junk = bytesOf({0, 0x80, 0xFF, '-', ' ', '\r', '\n', '*'});
    for (int round = 0; round < 40; ++round) {
        const std::string data = randomBytes(engine() % 3000, engine());
        std::string text = encode(data);
        for (int n = static_cast<int>(engine() % 200); n > 0; --n) // junk and stray pads anywhere
            text.insert(engine() % (text.size() + 1), 1 + engine() % 4,
                        engine() % 5 == 0 ? '=' : junk[engine() % junk.size()]);
        const std::int64_t start = engine() % 5;

        TMemoryStream memoryIn;
        fill(memoryIn, text, start);
        CallStream memoryOut;
        Base64DecodeStream(memoryIn, memoryOut);

        CallStream callIn(text);
        callIn.position = start;
        CallStream callOut;
        Base64DecodeStream(callIn, callOut);

        EXPECT_EQ(memoryOut.calls, callOut.calls) << round;
        EXPECT_EQ(memoryOut.data, callOut.data) << round;
        EXPECT_EQ(memoryIn.GetPosition(), callIn.position) << round;
    }
}

TEST(Base64, StreamsAreUsedFromTheirPositions) {
    for (Operation op : {Base64EncodeStream, Base64DecodeStream}) {
        const std::string input = op == Base64EncodeStream ? std::string("f") : std::string("Zg==");
        const std::string result = op == Base64EncodeStream ? std::string("Zg==") : std::string("f");

        // Input from its position, not rewound; output over the bytes at its position, not truncated.
        TMemoryStream in;
        fill(in, "QUJD" + input, 4);
        TMemoryStream out;
        fill(out, "0123456789", 2);
        op(in, out);
        EXPECT_EQ(contentOf(out), "01" + result + std::string("0123456789").substr(2 + result.size()));
        EXPECT_EQ(out.GetPosition(), 2 + static_cast<std::int64_t>(result.size()));
        EXPECT_EQ(in.GetPosition(), 4 + static_cast<std::int64_t>(input.size()));

        // An input positioned at or beyond its end gives nothing and stays where it is.
        for (std::int64_t position : {4 + static_cast<std::int64_t>(input.size()), std::int64_t{100}}) {
            in.SetPosition(position);
            TMemoryStream empty;
            op(in, empty);
            EXPECT_EQ(empty.Size(), 0);
            EXPECT_EQ(in.GetPosition(), position);
        }
    }
}

TEST(Base64, SubclassedMemoryStreamGetsItsCalls) {
    // A TMemoryStream subclass may override Read; the codec must go through it.
    struct HalfReads : TMemoryStream {
        std::int64_t Read(void* buffer, std::int64_t count) override {
            return TMemoryStream::Read(buffer, std::min<std::int64_t>(count, 2));
        }
    };
    HalfReads in;
    fill(in, "abcde");
    TMemoryStream out;
    Base64EncodeStream(in, out);
    EXPECT_EQ(contentOf(out), "YWI=Y2Q=ZQ==");
}

TEST(Base64, WriteFailuresPassThroughAndKeepWhatWasWritten) {
    const std::string data = randomBytes(2000, 5);
    const std::string text = wrap(referenceBase64(data), 76, "\r\n");
    struct Case {
        Operation op;
        std::string input;
        std::string output;
    };
    for (const Case& c : {Case{Base64EncodeStream, data, text}, Case{Base64DecodeStream, text, data}}) {
        // A short write (a full disk) is an error, never a silently cut output.
        for (bool memoryInput : {true, false}) {
            FailingStream out(1000);
            TMemoryStream memoryIn;
            fill(memoryIn, c.input);
            CallStream callIn(c.input);
            TStream& in = memoryInput ? static_cast<TStream&>(memoryIn) : callIn;
            try {
                c.op(in, out);
                ADD_FAILURE() << "no error";
            } catch (const StreamError& e) {
                EXPECT_EQ(e.message(), "Stream write error");
            }
            EXPECT_EQ(contentOf(out), c.output.substr(0, 1000));
            // The input stands behind the block whose write failed.
            EXPECT_EQ(in.GetPosition(), c.op == Base64EncodeStream ? 1020 : 1402) << memoryInput;
        }
        // An error raised by the output stream passes through unchanged.
        CallStream out;
        out.throwAtWrite = 3;
        TMemoryStream in;
        fill(in, c.input);
        EXPECT_THROW(c.op(in, out), OutOfMemoryError);
        EXPECT_EQ(out.calls.size(), 3u);
        EXPECT_EQ(out.data, c.output.substr(0, out.data.size()));
        EXPECT_EQ(out.data.size(), c.op == Base64EncodeStream ? 696u + 698u : 114u);
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
        const std::string text = viaMemory(Base64EncodeStream, data);
        ASSERT_EQ(text, wrap(referenceBase64(data), 76, "\r\n")) << n;
        ASSERT_EQ(viaMemory(Base64DecodeStream, text), data) << n;
        if (n <= 5000) {
            ASSERT_EQ(viaCalls(Base64DecodeStream, text), data) << n;
        }
    }
}
