// The verification flow: the report's lines and their order, the signer's certificate before line
// two, how the signature file's encoding is told, the errors and the verdicts on hostile files.

#include "RecordingInteraction.h"
#include "VerifyTestUtil.h"

#include "codec/Base64.h"
#include "operations/SignatureEncoding.h"
#include "operations/VerifyFlow.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::operations;
using namespace plombar::test;

namespace {

// The report's lines, into the interaction's record so that the certificate's place shows.
class RecordingReport : public VerifyReport {
public:
    explicit RecordingReport(std::vector<std::string>& events) : events_(events) {}
    void clear() override { events_.push_back("clear"); }
    void addLine(const std::string& line) override { events_.push_back(line); }

private:
    std::vector<std::string>& events_;
};

class VerifyFlowTest : public ::testing::Test {
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

    VerifyResult run(const std::string& signatureBytes, const std::string& name = "подпись.sig") {
        const std::string path = dir.file(name);
        writeFile(path, signatureBytes);
        return verifySignatureFile({data, path}, interaction, report);
    }
    std::vector<std::string> verifiedReport(const char* period) const {
        return {"clear",
                kVerifyHeaderLine,
                "certificate: " + signer.thumbprint(),
                kSignatureValidLine,
                std::string(kSerialNumberPrefix) + "12 3456 789A",
                period,
                kSubjectHeaderLine,
                "2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый подписант",
                kIssuerHeaderLine,
                "2.5.4.6=RU, 2.5.4.10=Пломбарь, 2.5.4.3=Тестовый УЦ"};
    }
    const std::vector<std::string> notVerified = {"clear", kVerifyHeaderLine, kSignatureInvalidLine};

    TempDir dir{"plombar-verify-flow"};
    TestIdentity ca, signer;
    std::string data;
    const std::string content = std::string("%PDF-1.7\n\r\n\0\x1A", 14) + randomBytes(20000, 11);
    RecordingInteraction interaction;
    RecordingReport report{interaction.events};
};

} // namespace

TEST(SignatureEncoding, MiOnTheFirstLineBeforeAnyZeroByte) {
    const std::string x64k(65535, 'x');
    const std::pair<std::string, SignatureEncoding> cases[] = {
        {"MIIHxAYJKoZIhvcNAQcCoIIHtTCC\r\nAAAA", SignatureEncoding::Base64},
        {"xxMIxx", SignatureEncoding::Base64},
        {"M\rI", SignatureEncoding::Base64}, // a CR without LF is left out of the line
        {std::string("MI\0", 3), SignatureEncoding::Base64},
        {std::string("0\x82MI", 4), SignatureEncoding::Base64},
        {x64k + "M" + "I", SignatureEncoding::Base64}, // across the reading blocks
        {std::string(3'000'000, 'q') + "MI", SignatureEncoding::Base64},
        {"", SignatureEncoding::Der},
        {"mi Mi M I", SignatureEncoding::Der},
        {"\nMIIB", SignatureEncoding::Der},
        {"M\nI", SignatureEncoding::Der},
        {"M\r\nI", SignatureEncoding::Der},
        {"ab\x1A"
         "MI",
         SignatureEncoding::Der},
        {std::string("M\0I", 3), SignatureEncoding::Der},
        {std::string("ab\0cdMI", 7), SignatureEncoding::Der},
        {"-----BEGIN PKCS7-----\nMIIB", SignatureEncoding::Der},
    };
    TempDir dir("plombar-encoding");
    for (const auto& [file, encoding] : cases) {
        SCOPED_TRACE(file.substr(0, 40));
        writeFile(dir.file("s"), file);
        EXPECT_EQ(signatureEncodingOf(dir.file("s")), encoding);
    }
}

TEST(SerialNumberText, PairsCountedFromTheLeastSignificantEnd) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"\x01", "01"},
        {"\x02\x01", "0201"},
        {"\x03\x02\x01", "03 0201"},
        {std::string("\x00\x80\x01", 3), "00 8001"},
        {"\xF0\xBF\xAE\x0D\x0C\x0B\x0A\x09\x08\x07\x06\x05\x04\x03\x02\x01",
         "F0BF AE0D 0C0B 0A09 0807 0605 0403 0201"},
    };
    for (const auto& [serial, text] : cases)
        EXPECT_EQ(serialNumberText(serial), text);
}

TEST_F(VerifyFlowTest, DerAndBase64SignaturesGiveTheFullReportWithTheCertificateBeforeLineTwo) {
    const std::string der = cmsSign(signer, content);
    for (const std::string& file : {der, encodeBase64(der)}) {
        interaction.events.clear();
        const VerifyResult result = run(file);
        EXPECT_TRUE(result.verified);
        EXPECT_EQ(interaction.events, verifiedReport(kCertificateInPeriodLine));
    }
}

TEST_F(VerifyFlowTest, ExpiredCertificateIsStillAValidSignature) {
    IdentityFields fields;
    fields.rdns = {{{"C", "RU"}}, {{"O", "Пломбарь"}}, {{"CN", "Тестовый подписант"}}};
    fields.serial = std::string("\x12\x34\x56\x78\x9A", 5);
    fields.issuer = &ca;
    fields.notBefore = std::time(nullptr) - 3 * 86400;
    fields.notAfter = std::time(nullptr) - 86400;
    signer = makeIdentity(fields);
    EXPECT_TRUE(run(cmsSign(signer, content)).verified);
    EXPECT_EQ(interaction.events, verifiedReport(kCertificateOutOfPeriodLine));
}

// Whatever is no valid signature over the data gets the short report, never an error.
TEST_F(VerifyFlowTest, WhatIsNoValidSignatureIsNotVerified) {
    const std::string der = cmsSign(signer, content);
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Чужой");
    const std::pair<const char*, std::string> cases[] = {
        {"empty file", ""},
        {"text", "это не подпись"},
        {"cut short", der.substr(0, der.size() / 2)},
        {"damaged signature value", damageSignatureValue(der)},
        {"other data", cmsSign(signer, content + "x")},
        {"signer's certificate missing",
         cmsSign(signer, content, withoutSignerCertificate({other.certificate.get()}))},
        {"Base64 of junk", "MIIjunk!!"},
        {"a certificate", signer.der()},
    };
    for (const auto& [what, file] : cases) {
        SCOPED_TRACE(what);
        interaction.events.clear();
        const VerifyResult result = run(file);
        EXPECT_FALSE(result.verified);
        EXPECT_EQ(interaction.events, notVerified);
    }
}

// A signature file of a terabyte (sparse) is refused after its first bytes, never read to its end.
TEST_F(VerifyFlowTest, HugeFilesThatStartLikeSignaturesAreNotRead) {
    const std::pair<const char*, std::string> starts[] = {
        {"Base64", "MIIB\r\n"},
        {"DER of a lying length", std::string("\x30\x84\xff\xff\xff\xff\x06\x09", 8)},
        {"zeros", ""},
    };
    for (const auto& [what, start] : starts) {
        SCOPED_TRACE(what);
        const std::string path = dir.file("огромная.sig");
        writeFile(path, start);
        ASSERT_EQ(::truncate(path.c_str(), off_t{1} << 40), 0);
        interaction.events.clear();
        EXPECT_FALSE(verifySignatureFile({data, path}, interaction, report).verified);
        EXPECT_EQ(interaction.events, notVerified);
    }
}

TEST_F(VerifyFlowTest, BinarySignatureWithMiOnItsFirstLineIsTakenForBase64) {
    // An attached message whose outer length is 0x4D49 starts with 30 82 4D 49: "0", 0x82, "M", "I".
    const std::string probe = cmsSign(signer, std::string(19000, 'a'), attachedMessage());
    const std::string attachedContent = randomBytes(19000 + 0x4D49 - (probe.size() - 4), 4);
    writeFile(data, attachedContent);
    const std::string message = cmsSign(signer, attachedContent, attachedMessage());
    ASSERT_EQ(message.substr(0, 4), std::string("\x30\x82MI", 4));
    EXPECT_FALSE(run(message).verified);
    EXPECT_EQ(interaction.events, notVerified);
}

TEST_F(VerifyFlowTest, ErrorsStopTheRunBeforeTheReport) {
    const std::string signature = dir.file("подпись.sig");
    writeFile(signature, cmsSign(signer, content));
    const std::string missing = dir.file("нет такого.pdf");
    struct Case {
        const char* what;
        std::string signature;
        std::string data;
        std::string message;
    };
    const Case cases[] = {
        {"signature missing", dir.file("нет.sig"), data, "File not found"},
        {"both missing: the signature is looked at first", dir.file("нет.sig"), missing, "File not found"},
        {"signature is a folder", dir.path(), data, "File access denied"},
        {"no signature named", "", data, "Invalid filename"},
        {"data missing", signature, missing, "Cannot open file \"" + missing + "\". " + systemMessage(2)},
        {"data is a folder", signature, dir.path(),
         "Cannot open file \"" + dir.path() + "\". " + systemMessage(5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        interaction.events.clear();
        try {
            verifySignatureFile({c.data, c.signature}, interaction, report);
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.message(), c.message);
        }
        EXPECT_TRUE(interaction.events.empty());
    }
}

// Each signer is found; the report speaks of the first, as it always has.
TEST_F(VerifyFlowTest, SeveralSignersAreAllChecked) {
    const TestIdentity second = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Второй");
    using namespace plombar::crypto;
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | CMS_NOATTR;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    for (const TestIdentity* who : std::initializer_list<const TestIdentity*>{&signer, &second})
        ASSERT_NE(CMS_add1_signer(cms.get(), who->certificate.get(), who->key.get(),
                                  digestForKey(who->key.get()), flags),
                  nullptr);
    BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ASSERT_EQ(CMS_final(cms.get(), in.get(), nullptr, flags), 1);
    const std::string message = EncodeDer(
        cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    const VerifyResult result = run(message);
    ASSERT_EQ(result.signers.size(), 2u);
    EXPECT_TRUE(result.signers[0].valid && result.signers[1].valid);
    EXPECT_TRUE(result.verified);
}
