// Signature and envelope files as people receive them: DER, Base64 with or without blank lines,
// PEM armour after other text, and DER that happens to hold "MI" on its first line.

#include "TestPki.h"

#include "codec/Base64.h"
#include "crypto/ContentEncryption.h"
#include "crypto/ContentSigning.h"
#include "crypto/GostRuntime.h"
#include "crypto/MessageFile.h"
#include "crypto/SignatureVerification.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace plombar::crypto {
namespace {

using namespace plombar::test;

const TestIdentity& signer() {
    // Never freed: engine-backed keys must not outlive OpenSSL's exit clean-up.
    static const TestIdentity* identity = [] {
        GostRuntimeReady();
        return new TestIdentity(makeIdentity(KeyAlgorithm::Gost2012_256));
    }();
    return *identity;
}

std::string sign(const std::string& content, SignatureLayout layout) {
    MemorySource source(content);
    MemorySink out;
    SignOptions options;
    options.layout = layout;
    options.hashOid = "1.2.643.7.1.1.2.2";
    signContent(source, content.size(), {signer().certificate.get(), signer().key.get()}, options, out);
    return out.take();
}

std::string signAttached(const std::string& content) {
    return sign(content, SignatureLayout::Attached);
}

std::string encrypt(const std::string& content) {
    MemorySource source(content);
    MemorySink out;
    encryptContent(source, content.size(), signer().certificate.get(), out);
    return out.take();
}

// The rule that alone used to decide: "MI" on the first line (up to the first LF, CR LF or 0x1A),
// before its first zero byte, means Base64.
bool oldRuleSaysBase64(const std::string& bytes) {
    const std::size_t end = std::min({bytes.find('\n'), bytes.find('\x1a'), bytes.size()});
    std::string line = bytes.substr(0, end);
    if (!line.empty() && line.back() == '\r' && end < bytes.size() && bytes[end] == '\n')
        line.pop_back();
    line = line.substr(0, line.find('\0'));
    return line.find("MI") != std::string::npos;
}

// A message whose DER holds "MI" on its first line: the content's length is varied until one of
// the outer lengths is 0x4D49.
std::string messageWithMarker(const std::function<std::string(const std::string&)>& make) {
    const std::size_t overhead = make("x").size() - 1;
    for (std::size_t size = 0x4D49 - overhead - 40; size < 0x4D49 - overhead + 40; ++size) {
        std::string message = make(std::string(size, 'a'));
        if (oldRuleSaysBase64(message))
            return message;
    }
    ADD_FAILURE() << "no length gave MI on the first line";
    return {};
}

std::string pem(const std::string& label, const std::string& der) {
    std::string text = encodeBase64(der);
    // PEM lines of 64 characters with LF, as openssl writes them.
    std::string lines;
    std::string bare;
    for (char c : text)
        if (c != '\r' && c != '\n')
            bare += c;
    for (std::size_t i = 0; i < bare.size(); i += 64)
        lines += bare.substr(i, 64) + "\n";
    return "-----BEGIN " + label + "-----\n" + lines + "-----END " + label + "-----\n";
}

struct FormatCase {
    const char* name;
    MessageKind kind;
    std::function<std::string(const std::string& der)> file; // the file's bytes from the message's DER
    MessageEncoding encoding;
};

const std::string& signedDer() {
    static const std::string der = signAttached("Контрольный пример\n");
    return der;
}
const std::string& envelopeDer() {
    static const std::string der = encrypt("secret");
    return der;
}

class MessageFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(MessageFormats, DeliverTheMessageItself) {
    const FormatCase& c = GetParam();
    const std::string& der = c.kind == MessageKind::Signed ? signedDer() : envelopeDer();
    const std::string bytes = c.file(der);
    int opened = 0;
    MessageFile file(
        [&] {
            ++opened;
            return std::make_unique<MemorySource>(bytes);
        },
        c.kind);
    EXPECT_EQ(file.encoding(), c.encoding);
    EXPECT_EQ(readAll(file.message(), 1 << 20), der);
    EXPECT_EQ(opened, 1); // read once: only an ambiguous first line takes a second look
}

using Encoding = MessageEncoding;
const auto kSigned = MessageKind::Signed;
const auto kEnveloped = MessageKind::Enveloped;
INSTANTIATE_TEST_SUITE_P(
    Table, MessageFormats,
    ::testing::Values(
        FormatCase{"Der", kSigned, [](const std::string& d) { return d; }, Encoding::Binary},
        FormatCase{"Base64AsSigningWritesIt", kSigned, [](const std::string& d) { return encodeBase64(d); },
                   Encoding::Base64},
        FormatCase{"Base64InOneLine", kSigned,
                   [](const std::string& d) {
                       std::string text = encodeBase64(d);
                       std::erase(text, '\r');
                       std::erase(text, '\n');
                       return text;
                   },
                   Encoding::Base64},
        FormatCase{"Base64AfterBlankLines", kSigned,
                   [](const std::string& d) { return "\r\n\n  \t\n" + encodeBase64(d); }, Encoding::Base64},
        FormatCase{"Base64AfterByteOrderMark", kSigned,
                   [](const std::string& d) { return "\xEF\xBB\xBF" + encodeBase64(d) + "\r\n"; },
                   Encoding::Base64},
        FormatCase{"PemPkcs7", kSigned, [](const std::string& d) { return pem("PKCS7", d); }, Encoding::Pem},
        FormatCase{"PemCmsAfterText", kSigned,
                   [](const std::string& d) {
                       return "Подпись к договору MI-17\r\n\r\n" + pem("CMS", d) + "trailer\n";
                   },
                   Encoding::Pem},
        FormatCase{"PemSignedDataCrLf", kSigned,
                   [](const std::string& d) {
                       std::string text = pem("PKCS #7 SIGNED DATA", d), out;
                       for (char c : text)
                           out += c == '\n' ? std::string("\r\n") : std::string(1, c);
                       return out;
                   },
                   Encoding::Pem},
        FormatCase{"EnvelopeDer", kEnveloped, [](const std::string& d) { return d; }, Encoding::Binary},
        FormatCase{"EnvelopePem", kEnveloped, [](const std::string& d) { return "\n" + pem("CMS", d); },
                   Encoding::Pem},
        FormatCase{"EnvelopePkcs7", kEnveloped, [](const std::string& d) { return pem("PKCS7", d); },
                   Encoding::Pem}),
    [](const auto& row) { return std::string(row.param.name); });

// About 1 in 250 DER signatures holds "MI" on its first line; such a file was read as Base64 and
// reported not valid. It is binary when it decodes as one complete message.
TEST(MessageFile, DerSignatureWithMarkerOnItsFirstLineVerifies) {
    const std::string der = messageWithMarker(signAttached);
    ASSERT_FALSE(der.empty());
    ASSERT_TRUE(oldRuleSaysBase64(der));
    TempDir dir("plombar-mi");
    writeFile(dir.file("document.sig"), der);
    MessageFile file = MessageFile::open(dir.file("document.sig"), MessageKind::Signed);
    EXPECT_EQ(file.encoding(), MessageEncoding::Binary);
    MemorySink content;
    VerifyOptions options;
    options.contentOut = &content;
    const VerificationResult result = verifySignature(file.message(), options);
    EXPECT_TRUE(result.allValid());
    EXPECT_GT(content.bytes().size(), 19000u);
    EXPECT_EQ(content.bytes().find_first_not_of('a'), std::string::npos);

    // Its Base64 text is still Base64, and so is a damaged copy of the DER (the old rule).
    const std::string text = encodeBase64(der);
    EXPECT_EQ(
        MessageFile([&] { return std::make_unique<MemorySource>(text); }, MessageKind::Signed).encoding(),
        MessageEncoding::Base64);
    for (const std::string& damaged : {der.substr(0, der.size() - 1), der + "\n"})
        EXPECT_EQ(MessageFile([&] { return std::make_unique<MemorySource>(damaged); }, MessageKind::Signed)
                      .encoding(),
                  MessageEncoding::Base64);
    // An envelope is not the signed message this file should hold.
    EXPECT_EQ(
        MessageFile([&] { return std::make_unique<MemorySource>(der); }, MessageKind::Enveloped).encoding(),
        MessageEncoding::Base64);
}

TEST(MessageFile, DerEnvelopeWithMarkerOnItsFirstLineDecrypts) {
    const std::string der = messageWithMarker(encrypt);
    ASSERT_FALSE(der.empty());
    MessageFile file([&] { return std::make_unique<MemorySource>(der); }, MessageKind::Enveloped);
    EXPECT_EQ(file.encoding(), MessageEncoding::Binary);
    MemorySink plain;
    const DecryptionCandidate candidate{signer().certificate.get(), [] {
                                            EVP_PKEY_up_ref(signer().key.get());
                                            return EvpPkeyPtr(signer().key.get());
                                        }};
    decryptMessage(file.message(), std::span(&candidate, 1), plain);
    EXPECT_GT(plain.bytes().size(), 19000u);
    EXPECT_EQ(plain.bytes().find_first_not_of('a'), std::string::npos);
}

TEST(MessageFile, PublishedPemVectorDecodes) {
    MessageFile file =
        MessageFile::open(PLOMBAR_VERIFY_VECTORS "/engine_tc26_signed_a121.pem", MessageKind::Signed);
    EXPECT_EQ(file.encoding(), MessageEncoding::Pem);
    MemorySink content;
    VerifyOptions options;
    options.contentOut = &content;
    EXPECT_TRUE(verifySignature(file.message(), options).allValid());
    EXPECT_EQ(content.bytes(), readFile(PLOMBAR_VERIFY_VECTORS "/engine_tc26_plain_signeddata.txt"));
}

// A source of endless Base64-looking text that counts what it gave.
class EndlessText final : public ByteSource {
public:
    std::size_t read(std::span<std::uint8_t> buffer) override {
        for (std::size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = (given_ + i) % 77 == 76 ? '\n' : "MIIAAAAA"[(given_ + i) % 8];
        given_ += buffer.size();
        return buffer.size();
    }
    std::uint64_t given() const { return given_; }

private:
    std::uint64_t given_ = 0;
};

TEST(MessageFile, DecidesFromTheStartAndStreamsTheRest) {
    EndlessText* text = nullptr;
    MessageFile file(
        [&] {
            auto source = std::make_unique<EndlessText>();
            text = source.get();
            return source;
        },
        MessageKind::Signed);
    EXPECT_EQ(file.encoding(), MessageEncoding::Base64);
    EXPECT_LE(text->given(), 64u * 1024);
    std::uint8_t block[4096];
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(file.message().read(block), sizeof block);
    EXPECT_LT(text->given(), 64u * 1024 + 6 * 1000 * sizeof block);
}

TEST(MessageFile, FilesThatHoldNoMessageStayBinaryAndFailAsSuch) {
    for (const std::string& bytes : {std::string(), std::string("\n\n"), std::string("hello"),
                                     std::string("-----BEGIN CERTIFICATE-----\nMIIB\n")}) {
        MessageFile file([&] { return std::make_unique<MemorySource>(bytes); }, MessageKind::Signed);
        EXPECT_EQ(file.encoding(), MessageEncoding::Binary) << bytes;
        EXPECT_THROW(verifySignature(file.message()), CryptoError) << bytes;
    }
}

// Whether a signature file carries its content, as the window asks when one is chosen: in every
// encoding, from the message's start only, so that a hostile file of a terabyte answers at once;
// whatever is no signed-data message is "no".
TEST(MessageFile, TellsAttachedSignatureFilesFromAnyOther) {
    TempDir dir("plombar-attached");
    const std::string detached = sign("Контрольный пример\n", SignatureLayout::Detached);
    const std::uint64_t terabyte = std::uint64_t{1} << 40;
    struct Case {
        const char* name;
        std::string bytes;
        std::uint64_t sparseSize; // 0: the bytes as they are; else the file is cut to this size
        bool attached;
    } cases[] = {
        {"attached DER", signedDer(), 0, true},
        {"attached Base64", encodeBase64(signedDer()), 0, true},
        {"attached PEM after text", "Подпись MI-17\n" + pem("CMS", signedDer()), 0, true},
        {"attached DER with MI on its first line", messageWithMarker(signAttached), 0, true},
        {"attached DER cut after its content", signedDer().substr(0, signedDer().size() - 200), 0, true},
        {"detached DER", detached, 0, false},
        {"detached Base64", encodeBase64(detached), 0, false},
        {"envelope", envelopeDer(), 0, false},
        {"empty", "", 0, false},
        {"text", "не подпись", 0, false},
        {"certificate", signer().pem(), 0, false},
        {"zeros, a terabyte", "", terabyte, false},
        {"endless DER header and MI", std::string("\x30\x84\xFF\xFF\xFF\xFFMI", 8), terabyte, false},
        {"Base64 start, then a terabyte of zeros", "MIIB\r\n", terabyte, false},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("подпись.sig");
        writeFile(path, c.bytes);
        if (c.sparseSize != 0) {
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.sparseSize)), 0);
        }
        EXPECT_EQ(isAttachedSignatureFile(path), c.attached) << c.name;
    }
    EXPECT_FALSE(isAttachedSignatureFile(dir.file("нет.sig")));
    ASSERT_EQ(::mkdir(dir.file("папка.sig").c_str(), 0700), 0);
    EXPECT_FALSE(isAttachedSignatureFile(dir.file("папка.sig")));
    EXPECT_FALSE(isAttachedSignatureFile(""));
}

} // namespace
} // namespace plombar::crypto
