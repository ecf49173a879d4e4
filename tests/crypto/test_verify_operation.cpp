// The verification operation: the first-line read and the Base64 test, the serial and name texts,
// the report's lines and their order, the errors and what they leave untouched.

#include "CryptoTestUtil.h"
#include "VerifyTestUtil.h"

#include "codec/Base64.h"
#include "crypto/VerifyApi.h"
#include "crypto/VerifyOperation.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

// A window that writes down what it was asked, with the number of certificate contexts open while
// the certificate is shown.
class RecordingView : public VerifyView {
public:
    std::vector<std::string> events;
    int contextsWhileViewing = -1;

    void ClearReport() override { events.push_back("clear"); }
    void AddLine(const std::string& line) override { events.push_back(line); }
    void ViewCertificate(PCCERT_CONTEXT signer) override {
        events.push_back("view: " + CertificateThumbprint(signer));
        contextsWhileViewing = CountOpenHandles().certificateContexts;
    }
};

std::string base64Of(const std::string& bytes) {
    return encodeBase64(bytes);
}

// A file of `size` bytes whose content is `head` followed by a hole.
void writeSparse(const std::string& path, const std::string& head, off_t size) {
    writeFile(path, head);
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

} // namespace

// ---- first line ----------------------------------------------------------------------------------

TEST(ReadFirstLine, EndsAtLfCrLfOrEofMarkAndDropsLoneCr) {
    const std::string x64k(65535, 'x');
    struct Case {
        const char* what;
        std::string file;
        std::string line;
    };
    const Case cases[] = {
        {"LF", "abc\ndef", "abc"},
        {"CR LF", "abc\r\ndef", "abc"},
        {"lone CR inside", "ab\rc\nd", "abc"},
        {"lone CR at the end", "ab\r", "ab"},
        {"CR CR LF", "ab\r\r\nx", "ab"},
        {"CR before 0x1A",
         "ab\r\x1A"
         "cd",
         "ab"},
        {"0x1A before LF", "ab\x1A\ncd", "ab"},
        {"0x1A at the start",
         "\x1A"
         "abc",
         ""},
        {"no line end", "no line end at all", "no line end at all"},
        {"empty file", "", ""},
        {"LF only", "\n", ""},
        {"CR LF only", "\r\n", ""},
        {"CR only", "\r", ""},
        {"zero bytes kept", std::string("a\0b\nc", 5), std::string("a\0b", 3)},
        {"MI on the second line", "\nMIIB", ""},
        {"CR at a block's end, LF after it", x64k + "\r\nrest", x64k},
        {"CR at a block's end, no LF after it", x64k + "\ry\nrest", x64k + "y"},
        {"LF at a block's start", std::string(65536, 'z') + "\nrest", std::string(65536, 'z')},
        {"long line", std::string(300000, 'M') + "\r\n", std::string(300000, 'M')},
        {"three megabytes without a line end", std::string(3'000'000, 'q'), std::string(3'000'000, 'q')},
    };
    TempDir dir("plombar-firstline");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("line.txt");
        writeFile(path, c.file);
        const std::string line = ReadFirstLine(path);
        EXPECT_EQ(line.size(), c.line.size());
        EXPECT_TRUE(line == c.line);
    }
}

TEST(ReadFirstLine, OpenFailuresRaiseInOutErrorsWithTheSystemCode) {
    TempDir dir("plombar-firstline");
    writeFile(dir.file("closed.sig"), "MIIB\n");
    ASSERT_EQ(::chmod(dir.file("closed.sig").c_str(), 0), 0);
    makeWorldAccessible(dir.path());

    struct Case {
        const char* what;
        std::string path;
        std::uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {"missing file", dir.file("missing.sig"), 2, "File not found"},
        {"missing folder", dir.file("missing/a.sig"), 3, "Invalid filename"},
        {"a folder", dir.path(), 5, "File access denied"},
        {"empty path", "", 3, "Invalid filename"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ReadFirstLine(c.path);
            ADD_FAILURE() << "no error";
        } catch (const InputOutputError& error) {
            EXPECT_EQ(error.code(), c.code);
            EXPECT_EQ(error.message(), c.text);
        }
    }
    // Root reads anything; the rights only count for an ordinary user.
    const std::string closed = dir.file("closed.sig");
    EXPECT_EQ(runUnprivileged([&] {
                  try {
                      ReadFirstLine(closed);
                  } catch (const InputOutputError& error) {
                      return error.code() == 5 && error.message() == "File access denied" ? 0 : 2;
                  }
                  return 1;
              }),
              0);
}

TEST(HasBase64Marker, LooksForMiBeforeTheFirstZeroByte) {
    struct Case {
        std::string line;
        bool marker;
    };
    const Case cases[] = {
        {"MIIHxAYJKoZIhvcNAQcCoIIHtTCC", true},
        {"xxMIxx", true},
        {"MI", true},
        {std::string("MI\0", 3), true},
        {std::string("0\x82MI", 4), true},
        {"", false},
        {"M", false},
        {"mi", false},
        {"Mi", false},
        {"M I", false},
        {"-----BEGIN PKCS7-----", false},
        {std::string("M\0I", 3), false},
        {std::string("\0MI", 3), false},
        {std::string("ab\0cdMI", 7), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HasBase64Marker(c.line), c.marker) << c.line.size() << " bytes";
}

// ---- texts of the report -------------------------------------------------------------------------

TEST(BytesToHex, MostSignificantFirstInPairsFromTheLeastSignificantEnd) {
    const BYTE bytes[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0xAE, 0xBF, 0xF0};
    struct Case {
        DWORD count;
        const char* text;
    };
    const Case cases[] = {
        {0, ""},
        {1, "01"},
        {2, "0201"},
        {3, "03 0201"},
        {4, "0403 0201"},
        {5, "05 0403 0201"},
        {6, "0605 0403 0201"},
        {16, "F0BF AE0D 0C0B 0A09 0807 0605 0403 0201"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BytesToHex(bytes, c.count), c.text) << c.count;
    EXPECT_EQ(BytesToHex(nullptr, 5), "");
}

TEST(NameBlobToString, DottedIdentifiersInEncodedOrder) {
    struct Case {
        std::vector<std::vector<DerAttribute>> rdns;
        const char* text;
    };
    const Case cases[] = {
        {{{{"2.5.4.6", 0x13, "RU"}}, {{"2.5.4.10", 0x0C, "АО \"Пломба\""}}, {{"2.5.4.3", 0x0C, "Иванов"}}},
         "2.5.4.6=RU, 2.5.4.10=\"АО \"\"Пломба\"\"\", 2.5.4.3=Иванов"},
        {{{{"2.5.4.4", 0x0C, "Иванов"}, {"2.5.4.42", 0x0C, "Иван, сын Ивана"}}},
         "2.5.4.4=Иванов + 2.5.4.42=\"Иван, сын Ивана\""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        std::string der = derName(c.rdns);
        const CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), reinterpret_cast<BYTE*>(der.data())};
        EXPECT_EQ(NameBlobToString(blob), c.text);
    }
    std::string garbage = "garbage";
    EXPECT_EQ(NameBlobToString(CERT_NAME_BLOB{7, reinterpret_cast<BYTE*>(garbage.data())}), "");
}

// ---- the operation -------------------------------------------------------------------------------

class VerifyOperationTest : public ::testing::Test {
protected:
    void SetUp() override {
        IdentityFields caFields;
        caFields.subject = "CN=Тестовый УЦ, O=Пломбарь, C=RU";
        ca = makeIdentity(caFields);
        IdentityFields fields;
        fields.rdns = {{{"C", "RU"}}, {{"O", "Пломбарь"}}, {{"CN", "Тестовый подписант"}}};
        fields.serial = std::string("\x12\x34\x56\x78\x9A", 5);
        fields.issuer = &ca;
        signer = makeIdentity(fields);
        data = dir.file("договор №5.pdf");
        writeFile(data, content);
    }
    void TearDown() override { EXPECT_EQ(CountOpenHandles().certificateContexts, 0); }

    std::vector<std::string> verifiedReport(const TestIdentity& who, const char* serial, const char* period) {
        return {"clear",
                kVerifyHeaderLine,
                "view: " + who.thumbprint(),
                kSignatureValidLine,
                std::string(kSerialNumberPrefix) + serial,
                period,
                kSubjectHeaderLine,
                "2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый подписант",
                kIssuerHeaderLine,
                "2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый УЦ"};
    }
    const std::vector<std::string> notVerified = {"clear", kVerifyHeaderLine, kSignatureInvalidLine};

    bool run(const std::string& signatureBytes, RecordingView& view,
             const std::string& name = "подпись.sig") {
        const std::string path = dir.file(name);
        writeFile(path, signatureBytes);
        return VerifyDetachedSignature(path, data, view);
    }

    TempDir dir{"plombar-verify"};
    TestIdentity ca, signer;
    std::string data;
    const std::string content = std::string("%PDF-1.7\n\r\n\0\x1A", 14) + randomBytes(20000, 11);
};

TEST_F(VerifyOperationTest, DerAndBase64SignaturesGiveTheFullReportWithTheViewBeforeLineTwo) {
    const std::string der = cmsSign(signer, content);
    struct Case {
        const char* what;
        std::string file;
    };
    const Case cases[] = {
        {"DER", der},
        {"Base64 as signing writes it", base64Of(der)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingView view;
        EXPECT_TRUE(run(c.file, view));
        EXPECT_EQ(view.events, verifiedReport(signer, "12 3456 789A", kCertificateInPeriodLine));
        EXPECT_EQ(view.contextsWhileViewing, 1);
    }
}

TEST_F(VerifyOperationTest, BinarySignatureWithMiOnItsFirstLineIsTakenForBase64) {
    // An attached message whose outer length is 0x4D49 starts with 30 82 4D 49: "0", 0x82, "M", "I".
    const std::string probe = cmsSign(signer, std::string(19000, 'a'), attachedMessage());
    const std::size_t contentSize = 19000 + 0x4D49 - (probe.size() - 4);
    const std::string attachedContent = randomBytes(contentSize, 4);
    writeFile(data, attachedContent);
    const std::string message = cmsSign(signer, attachedContent, attachedMessage());
    ASSERT_EQ(message.substr(0, 4), std::string("\x30\x82MI", 4));

    // As binary it is a sound signature over the data...
    CRYPT_VERIFY_MESSAGE_PARA para{kVerifyMessageParaSize32, kMessageEncoding, 0, nullptr, nullptr};
    const BYTE* contents[] = {reinterpret_cast<const BYTE*>(attachedContent.data())};
    DWORD lengths[] = {static_cast<DWORD>(attachedContent.size())};
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, reinterpret_cast<const BYTE*>(message.data()),
                                                  static_cast<DWORD>(message.size()), 1, contents, lengths,
                                                  nullptr),
              TRUE);
    // ...but "MI" on its first line sends it through the Base64 decoder.
    RecordingView view;
    EXPECT_FALSE(run(message, view));
    EXPECT_EQ(view.events, notVerified);
}

TEST_F(VerifyOperationTest, ErrorsStopTheRunBeforeTheReport) {
    const std::string signature = dir.file("подпись.sig");
    writeFile(signature, cmsSign(signer, content));
    const std::string missing = dir.file("нет такого.pdf");
    // A signature file far larger than memory: its first line reads, the whole file cannot be loaded.
    const std::string huge = dir.file("огромная.sig");
    writeSparse(huge, "MIIB\r\n", off_t{1} << 40);

    struct Case {
        const char* what;
        std::string signature;
        std::string data;
        std::string message;
    };
    const Case cases[] = {
        {"signature missing", dir.file("нет.sig"), data, "File not found"},
        {"both missing: the first line is read first", dir.file("нет.sig"), missing, "File not found"},
        {"signature is a folder", dir.path(), data, "File access denied"},
        {"data missing", signature, missing, "Cannot open file \"" + missing + "\". " + systemMessage(2)},
        {"data is a folder", signature, dir.path(),
         "Cannot open file \"" + dir.path() + "\". " + systemMessage(5)},
        {"data missing, signature too big: the data is loaded first", huge, missing,
         "Cannot open file \"" + missing + "\". " + systemMessage(2)},
        {"signature too big", huge, data, "Out of memory while expanding memory stream"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingView view;
        try {
            VerifyDetachedSignature(c.signature, c.data, view);
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.message(), c.message);
        }
        EXPECT_TRUE(view.events.empty());
    }
}
