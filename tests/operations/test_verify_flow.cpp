// The verification flow: the report's lines and their order, the signer's certificate before line
// two, how the signature file's encoding is told, the errors and the verdicts on hostile files.

#include "RecordingInteraction.h"
#include "VerifyTestUtil.h"

#include "codec/Base64.h"
#include "crypto/CertificateStore.h"
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

// About 1 in 250 DER signatures has "M" "I" on its first line by chance; it is still binary.
TEST_F(VerifyFlowTest, BinarySignatureWithMiOnItsFirstLineVerifies) {
    // An attached message whose outer length is 0x4D49 starts with 30 82 4D 49: "0", 0x82, "M", "I".
    const std::string probe = cmsSign(signer, std::string(19000, 'a'), attachedMessage());
    const std::string attachedContent = randomBytes(19000 + 0x4D49 - (probe.size() - 4), 4);
    writeFile(data, attachedContent);
    const std::string message = cmsSign(signer, attachedContent, attachedMessage());
    ASSERT_EQ(message.substr(0, 4), std::string("\x30\x82MI", 4));
    EXPECT_TRUE(run(message).verified);
    EXPECT_EQ(interaction.events, verifiedReport(kCertificateInPeriodLine));
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

// A co-signed file: each signer gets its own block after "Подпись N из M"; one broken signature,
// wherever it stands, makes the verdict "not verified".
TEST_F(VerifyFlowTest, EverySignerIsReportedAndABrokenOneFailsTheVerdict) {
    using namespace plombar::crypto;
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | CMS_NOATTR;
    // A second certificate with the same names and the next serial number.
    IdentityFields fields;
    fields.rdns = {{{"C", "RU"}}, {{"O", "Пломбарь"}}, {{"CN", "Тестовый подписант"}}};
    fields.serial = std::string("\x12\x34\x56\x78\x9B", 5);
    fields.issuer = &ca;
    const TestIdentity second = makeIdentity(fields);
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    for (const TestIdentity* who : std::initializer_list<const TestIdentity*>{&signer, &second})
        ASSERT_NE(CMS_add1_signer(cms.get(), who->certificate.get(), who->key.get(),
                                  digestForKey(who->key.get()), flags),
                  nullptr);
    BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ASSERT_EQ(CMS_final(cms.get(), in.get(), nullptr, flags), 1);
    const auto encode = [](CMS_ContentInfo* c) {
        return EncodeDer(
            c, [](const CMS_ContentInfo* m, unsigned char** p) { return i2d_CMS_ContentInfo(m, p); });
    };
    const std::string good = encode(cms.get());
    // The signer the encoded message lists at `index`, its signature value damaged.
    const auto damaged = [&](int index) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(good.data());
        CmsPtr copy(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(good.size())));
        ASN1_OCTET_STRING* value =
            CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(copy.get()), index));
        value->data[value->length / 2] ^= 0x01;
        return encode(copy.get());
    };
    const auto expected = [&](const VerifyResult& result) {
        std::vector<std::string> lines = {"clear", kVerifyHeaderLine};
        for (std::size_t i = 0; i < result.signers.size(); ++i) {
            lines.push_back("Подпись " + std::to_string(i + 1) + " из 2");
            if (!result.signers[i].valid) {
                lines.push_back(kSignatureInvalidLine);
                continue;
            }
            std::vector<std::string> block = verifiedReport(kCertificateInPeriodLine);
            const bool first = result.signers[i].certificate->thumbprint() == signer.thumbprint();
            block[2] = "certificate: " + (first ? signer : second).thumbprint();
            block[4] = std::string(kSerialNumberPrefix) + (first ? "12 3456 789A" : "12 3456 789B");
            lines.insert(lines.end(), block.begin() + 2, block.end());
        }
        return lines;
    };
    const struct {
        const char* what;
        std::string message;
        bool first, second;
    } cases[] = {
        {"both valid", good, true, true},
        {"second broken", damaged(1), true, false},
        {"first broken", damaged(0), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        interaction.events.clear();
        const VerifyResult result = run(c.message);
        ASSERT_EQ(result.signers.size(), 2u);
        EXPECT_EQ(result.signers[0].valid, c.first);
        EXPECT_EQ(result.signers[1].valid, c.second);
        EXPECT_EQ(result.verified, c.first && c.second);
        EXPECT_EQ(interaction.events, expected(result));
    }
}

// Without a data file the content the signature carries is checked, and written out on request
// only when the verdict is valid; a detached signature then needs its data.
TEST_F(VerifyFlowTest, AttachedSignaturesAreCheckedAndExtractedWithoutADataFile) {
    const std::string attached = cmsSign(signer, content, attachedMessage());
    const std::string extracted = dir.file("извлечённый.pdf");
    const struct {
        const char* what;
        std::string signature;
        bool verified;
    } cases[] = {
        {"attached", attached, true},
        {"attached, Base64", encodeBase64(attached), true},
        {"attached, damaged", damageSignatureValue(attached), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(extracted.c_str());
        const std::string path = dir.file("подпись.p7s");
        writeFile(path, c.signature);
        const VerifyResult result = verifySignatureFile({"", path, extracted}, interaction, report);
        EXPECT_TRUE(result.attached);
        EXPECT_EQ(result.verified, c.verified);
        EXPECT_EQ(result.extracted, c.verified);
        if (c.verified)
            EXPECT_EQ(readFile(extracted), content);
        else
            EXPECT_FALSE(fileExists(extracted));
    }

    const std::string detached = dir.file("отсоединённая.sig");
    writeFile(detached, cmsSign(signer, content));
    interaction.events.clear();
    try {
        verifySignatureFile({"", detached, extracted}, interaction, report);
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.message(), kDataFileNeededText);
    }
    EXPECT_TRUE(interaction.events.empty());
    EXPECT_FALSE(fileExists(dir.file("извлечённый.pdf")));
}

// A signature that leaves its signer's certificate out verifies with the certificate from the
// user's store "MY".
TEST_F(VerifyFlowTest, SignerCertificateFromTheStore) {
    TestStore store;
    store.add(signer, TestStore::Key::None);
    EXPECT_TRUE(run(cmsSign(signer, content, withoutSignerCertificate())).verified);
    EXPECT_EQ(interaction.events, verifiedReport(kCertificateInPeriodLine));
}

// With the trust check, the chain, revocation and signing time lines follow each valid signer's
// lines; the roots come from the store "Root". An untrusted chain does not change the verdict.
TEST_F(VerifyFlowTest, TrustLinesFollowTheSignerLines) {
    TestStore store;
    const TestChain chain = makeChain();
    CmsSignOptions options = withAttributes();
    options.extraCertificates = {chain.intermediate.certificate.get()};
    const std::string path = dir.file("подпись.sig");
    writeFile(path, cmsSign(chain.leaf, content, options));
    VerifyRequest request{data, path};
    request.checkTrust = true;
    request.offline = true;
    const auto lastThree = [&] {
        std::vector<std::string> lines(interaction.events.end() - 3, interaction.events.end());
        lines[2] = lines[2].substr(0, lines[2].find(':') + 1);
        return lines;
    };

    EXPECT_TRUE(verifySignatureFile(request, interaction, report).verified);
    EXPECT_EQ(lastThree(), (std::vector<std::string>{
                               "X Цепочка сертификатов не построена: не найден сертификат издателя "
                               "«Тестовый корневой УЦ»",
                               "? Статус отзыва не проверен: в сертификате «Тестовый подписант» нет точки "
                               "распространения списка отзыва",
                               "Время подписи:"}));

    crypto::CertificateStore::open(crypto::CertificateStore::kRoot)
        .add(crypto::Certificate::fromDer(chain.root.der()), nullptr, {});
    interaction.events.clear();
    EXPECT_TRUE(verifySignatureFile(request, interaction, report).verified);
    EXPECT_EQ(lastThree()[0], crypto::kChainBuiltLine);
}
