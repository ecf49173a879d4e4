// The verification functions of the crypto layer: the outcomes and codes of
// CryptVerifyDetachedMessageSignature, the text of CertNameToStrA, CertVerifyTimeValidity.

#include "CryptoTestUtil.h"
#include "VerifyTestUtil.h"

#include "crypto/ContentDigest.h"
#include "crypto/VerifyApi.h"
#include "platform/Paths.h"

#include <cstring>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;
using namespace plombar::winerr;

namespace {

struct VerifyCall {
    BOOL ok = FALSE;
    std::uint32_t error = 0;
    std::string signerThumbprint; // of the returned context
    bool signerSet = false;
};

// One call with the parameters the verification page passes; the signer context is released here.
VerifyCall verifyBytes(const std::string& message, const std::vector<std::string>& content, DWORD index = 0,
                       DWORD cbSize = kVerifyMessageParaSize32) {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = cbSize;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    std::vector<const BYTE*> data;
    std::vector<DWORD> lengths;
    for (const auto& element : content) {
        data.push_back(reinterpret_cast<const BYTE*>(element.data()));
        lengths.push_back(static_cast<DWORD>(element.size()));
    }
    PCCERT_CONTEXT signer = reinterpret_cast<PCCERT_CONTEXT>(&para); // must be overwritten
    VerifyCall call;
    call.ok = CryptVerifyDetachedMessageSignature(
        &para, index, reinterpret_cast<const BYTE*>(message.data()), static_cast<DWORD>(message.size()),
        static_cast<DWORD>(content.size()), data.data(), lengths.data(), &signer);
    call.error = GetLastError();
    call.signerSet = signer != nullptr;
    if (call.ok && signer != nullptr) {
        call.signerThumbprint = CertificateThumbprint(signer);
        CertFreeCertificateContext(signer);
    }
    return call;
}

std::string flipBit(std::string bytes, std::size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

// The message with its (first) signer's digest algorithm replaced by `oid`, re-encoded by OpenSSL.
std::string withSignerDigest(const std::string& der, const char* oid) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        return {};
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), nullptr, nullptr,
                             &digest, nullptr);
    if (digest == nullptr || X509_ALGOR_set0(digest, OBJ_txt2obj(oid, 1), V_ASN1_UNDEF, nullptr) != 1)
        return {};
    return EncodeDer(cms.get(),
                     [](const CMS_ContentInfo* c, unsigned char** q) { return i2d_CMS_ContentInfo(c, q); });
}

class VerifyApiTest : public ::testing::Test {
protected:
    void TearDown() override {
        const OpenHandleCounts counts = CountOpenHandles();
        EXPECT_EQ(counts.certificateContexts, 0);
    }
};

} // namespace

// ---- CryptVerifyDetachedMessageSignature -----------------------------------------------------------

class VerifyPerAlgorithm : public VerifyApiTest, public ::testing::WithParamInterface<KeyAlgorithm> {};

TEST_P(VerifyPerAlgorithm, SoundSignaturesVerifyAndDamagedOnesGiveTheirCode) {
    const TestIdentity signer = makeIdentity(GetParam(), "CN=Подписант");
    // Line ends and zero bytes must be hashed as they are.
    const std::string content = std::string("a\nb\r\nc\0d\r", 9) + randomBytes(3000, 7);

    struct Case {
        const char* what;
        std::string message;
        std::string content;
        BOOL ok;
        std::uint32_t error;
    };
    const std::string plain = cmsSign(signer, content);
    const std::string attributed = cmsSign(signer, content, withAttributes());
    const std::string attached = cmsSign(signer, content, attachedMessage());
    // OpenSSL itself may match an unknown identifier with the digest the message lists.
    const std::string unknownDigest = withSignerDigest(plain, "1.2.643.99.1");
    const Case cases[] = {
        {"without attributes", plain, content, TRUE, 0},
        {"one bit of the content changed", plain, flipBit(content, 1500), FALSE, NTE_BAD_SIGNATURE},
        {"content one byte shorter", plain, content.substr(0, content.size() - 1), FALSE, NTE_BAD_SIGNATURE},
        {"content one byte longer", plain, content + "x", FALSE, NTE_BAD_SIGNATURE},
        {"signature value damaged", damageSignatureValue(plain), content, FALSE, NTE_BAD_SIGNATURE},
        {"with signed attributes", attributed, content, TRUE, 0},
        {"attributes, content changed", attributed, flipBit(content, 0), FALSE, CRYPT_E_HASH_VALUE},
        {"attributes, their signature damaged", damageSignatureValue(attributed), content, FALSE,
         NTE_BAD_SIGNATURE},
        {"attached message, its own content passed", attached, content, TRUE, 0},
        {"attached message, other content passed", attached, flipBit(content, 2), FALSE, NTE_BAD_SIGNATURE},
        {"the signer's digest algorithm unknown", unknownDigest, content, FALSE, CRYPT_E_UNKNOWN_ALGO},
        {"attributes, the signer's digest algorithm unknown", withSignerDigest(attributed, "1.2.643.99.1"),
         content, FALSE, CRYPT_E_UNKNOWN_ALGO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const VerifyCall call = verifyBytes(c.message, {c.content});
        EXPECT_EQ(call.ok, c.ok);
        EXPECT_EQ(call.error, c.error) << LastCryptoDiagnostic();
        EXPECT_EQ(call.signerSet, c.ok == TRUE);
        if (c.ok) {
            EXPECT_EQ(call.signerThumbprint, signer.thumbprint());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Gost, VerifyPerAlgorithm, ::testing::ValuesIn(kGostAlgorithms));
INSTANTIATE_TEST_SUITE_P(Others, VerifyPerAlgorithm,
                         ::testing::Values(KeyAlgorithm::Rsa2048, KeyAlgorithm::EcP256));

TEST_F(VerifyApiTest, MessagesThatAreNoSoundSignedDataGiveTheirCode) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Подписант");
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Кто-то другой");
    // Same issuer name and serial number as the signer, another key.
    IdentityFields impostorFields;
    impostorFields.subject = "CN=Подписант";
    impostorFields.serial = std::string("\x01\x02\x03\x04", 4);
    IdentityFields signerFields = impostorFields;
    const TestIdentity namedSigner = makeIdentity(signerFields);
    const TestIdentity impostor = makeIdentity(impostorFields);
    const std::string content = "Текст договора";

    const std::string plain = cmsSign(signer, content);
    std::string digested;
    {
        BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        CmsPtr cms(CMS_digest_create(in.get(), EVP_get_digestbynid(NID_id_GostR3411_2012_256), CMS_BINARY));
        ASSERT_TRUE(cms);
        digested = EncodeDer(
            cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    }

    struct Case {
        const char* what;
        std::string message;
        DWORD index;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"empty", "", 0, CRYPT_E_ASN1_BADTAG},
        {"garbage", "garbage, not DER", 0, CRYPT_E_ASN1_BADTAG},
        {"truncated DER", plain.substr(0, plain.size() / 2), 0, CRYPT_E_ASN1_BADTAG},
        {"Base64 text of a message", "MIIB" + plain.substr(4), 0, CRYPT_E_ASN1_BADTAG},
        {"digested-data", digested, 0, CRYPT_E_UNEXPECTED_MSG_TYPE},
        {"second signer of a one-signer message", plain, 1, CRYPT_E_NO_SIGNER},
        {"signer index far out", plain, 0xFFFFFFFF, CRYPT_E_NO_SIGNER},
        {"no certificate in the message", cmsSign(signer, content, withoutSignerCertificate()), 0,
         CRYPT_E_NOT_FOUND},
        {"only an unrelated certificate",
         cmsSign(signer, content, withoutSignerCertificate({other.certificate.get()})), 0, CRYPT_E_NOT_FOUND},
        {"a certificate with the signer's issuer and serial but another key",
         cmsSign(namedSigner, content, withoutSignerCertificate({impostor.certificate.get()})), 0,
         NTE_BAD_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const VerifyCall call = verifyBytes(c.message, {content}, c.index);
        EXPECT_EQ(call.ok, FALSE);
        EXPECT_EQ(call.error, c.error) << LastCryptoDiagnostic();
        EXPECT_FALSE(call.signerSet);
        EXPECT_FALSE(LastCryptoDiagnostic().empty());
    }
}

TEST_F(VerifyApiTest, SignerAmongSeveralCertificatesIsFoundByIssuerAndSerial) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Подписант");
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Кто-то другой");
    const std::string message = cmsSign(signer, "данные", withExtraCertificates({other.certificate.get()}));
    const VerifyCall call = verifyBytes(message, {"данные"});
    EXPECT_EQ(call.ok, TRUE);
    EXPECT_EQ(call.signerThumbprint, signer.thumbprint());
}

TEST_F(VerifyApiTest, ContentElementsAreVerifiedAsTheirConcatenation) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Подписант");
    const std::string content = randomBytes(10000, 3);
    const std::string message = cmsSign(signer, content);
    EXPECT_EQ(
        verifyBytes(message, {content.substr(0, 1), content.substr(1, 4999), "", content.substr(5000)}).ok,
        TRUE);
    EXPECT_EQ(verifyBytes(message, {content.substr(5000), content.substr(0, 5000)}).ok, FALSE);
    const std::string empty = cmsSign(signer, "");
    EXPECT_EQ(verifyBytes(empty, {}).ok, TRUE);
    EXPECT_EQ(verifyBytes(empty, {""}).ok, TRUE);
    EXPECT_EQ(verifyBytes(empty, {"x"}).ok, FALSE);
}

TEST_F(VerifyApiTest, ParametersAreCheckedBeforeAnythingIsRead) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Подписант");
    const std::string content = "данные";
    const std::string message = cmsSign(signer, content);
    const auto* bytes = reinterpret_cast<const BYTE*>(message.data());
    const auto size = static_cast<DWORD>(message.size());
    const BYTE* data[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD lengths[] = {static_cast<DWORD>(content.size())};

    EXPECT_EQ(verifyBytes(message, {content}, 0, kVerifyMessageParaSize32).ok, TRUE);
    EXPECT_EQ(verifyBytes(message, {content}, 0, sizeof(CRYPT_VERIFY_MESSAGE_PARA)).ok, TRUE);
    for (DWORD wrong : {0u, 16u, 19u, 21u, 68u}) {
        SCOPED_TRACE(wrong);
        const VerifyCall call = verifyBytes(message, {content}, 0, wrong);
        EXPECT_EQ(call.ok, FALSE);
        EXPECT_EQ(call.error, E_INVALIDARG);
    }

    PCCERT_CONTEXT out = nullptr;
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(nullptr, 0, bytes, size, 1, data, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = kVerifyMessageParaSize32;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, bytes, size, 1, data, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);

    para.dwMsgAndCertEncodingType = kMessageEncoding;
    para.pfnGetSignerCertificate = [](void*, DWORD, PCERT_INFO, HCERTSTORE) -> PCCERT_CONTEXT {
        return nullptr;
    };
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, bytes, size, 1, data, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    para.pfnGetSignerCertificate = nullptr;

    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, bytes, size, 1, nullptr, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    const BYTE* missing[] = {nullptr};
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, bytes, size, 1, missing, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, nullptr, size, 1, data, lengths, &out), FALSE);
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
    EXPECT_EQ(out, nullptr);

    // The signer is optional; a successful call clears the last error.
    SetLastError(12345);
    EXPECT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, bytes, size, 1, data, lengths, nullptr), TRUE);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(LastCryptoDiagnostic().empty());
}

TEST_F(VerifyApiTest, ReturnedSignerIsANewContextWithTheCertificatesFields) {
    IdentityFields fields;
    fields.subject = "CN=Подписант, O=Пломбарь, C=RU";
    fields.serial = std::string("\x7F\x01\x02", 3);
    const TestIdentity signer = makeIdentity(fields);
    const std::string message = cmsSign(signer, "x");
    CRYPT_VERIFY_MESSAGE_PARA para{kVerifyMessageParaSize32, kMessageEncoding, 0, nullptr, nullptr};
    const BYTE* data[] = {reinterpret_cast<const BYTE*>("x")};
    DWORD lengths[] = {1};
    PCCERT_CONTEXT context = nullptr;
    ASSERT_EQ(CryptVerifyDetachedMessageSignature(&para, 0, reinterpret_cast<const BYTE*>(message.data()),
                                                  static_cast<DWORD>(message.size()), 1, data, lengths,
                                                  &context),
              TRUE);
    CertContextHandle owned(context);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(CountOpenHandles().certificateContexts, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded),
              signer.der());
    const CRYPT_INTEGER_BLOB& serial = context->pCertInfo->SerialNumber;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(serial.pbData), serial.cbData),
              std::string("\x02\x01\x7F", 3));
    EXPECT_EQ(context->hCertStore, nullptr);
    owned.reset();
    EXPECT_EQ(CountOpenHandles().certificateContexts, 0);
}

// ---- CertNameToStrA ------------------------------------------------------------------------------

namespace {

constexpr unsigned char kUtf8 = 0x0C;
constexpr unsigned char kPrintable = 0x13;
constexpr unsigned char kT61 = 0x14;
constexpr unsigned char kIa5 = 0x16;
constexpr unsigned char kNumeric = 0x12;
constexpr unsigned char kBmp = 0x1E;
constexpr unsigned char kUniversal = 0x1C;

const char* const kC = "2.5.4.6";
const char* const kO = "2.5.4.10";
const char* const kCN = "2.5.4.3";

// UTF-16BE / UTF-32BE of a UTF-8 text (BMP characters only are used here).
std::string bigEndianOf(const std::string& utf8, int width) {
    std::string out;
    for (char32_t c : utf8ToUtf16(utf8)) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
            out += static_cast<char>((c >> shift) & 0xFF);
    }
    return out;
}

std::string nameText(const std::string& der, DWORD type = CERT_OID_NAME_STR) {
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()),
                        const_cast<BYTE*>(reinterpret_cast<const BYTE*>(der.data()))};
    const DWORD needed = CertNameToStrA(kMessageEncoding, &blob, type, nullptr, 0);
    std::string text(needed, '\x7F');
    const DWORD written = CertNameToStrA(kMessageEncoding, &blob, type, text.data(), needed);
    EXPECT_EQ(written, needed);
    EXPECT_EQ(text.back(), '\0');
    EXPECT_EQ(std::strlen(text.c_str()) + 1, needed) << "a zero byte inside the text";
    text.pop_back();
    return text;
}

} // namespace

TEST(CertNameToStr, RendersEncodedOrderWithDottedIdentifiersAndUtf8Values) {
    struct Case {
        const char* what;
        std::vector<std::vector<DerAttribute>> rdns;
        const char* text;
    };
    const Case cases[] = {
        {"ordinary name, most general first",
         {{{kC, kPrintable, "RU"}}, {{kO, kUtf8, "ООО Ромашка"}}, {{kCN, kUtf8, "Иванов Иван Иванович"}}},
         "2.5.4.6=RU, 2.5.4.10=ООО Ромашка, 2.5.4.3=Иванов Иван Иванович"},
        {"multi-valued RDN in its encoded order",
         {{{kC, kPrintable, "RU"}},
          {{"2.5.4.4", kUtf8, "Иванов"}, {"2.5.4.42", kUtf8, "Иван"}, {kCN, kUtf8, "И. И."}}},
         "2.5.4.6=RU, 2.5.4.4=Иванов + 2.5.4.42=Иван + 2.5.4.3=И. И."},
        {"Russian registration numbers as identifiers",
         {{{"1.2.643.3.131.1.1", kNumeric, "007712345678"}},
          {{"1.2.643.100.1", kNumeric, "1027700132195"}},
          {{"1.2.643.100.3", kNumeric, "12345678901"}}},
         "1.2.643.3.131.1.1=007712345678, 1.2.643.100.1=1027700132195, 1.2.643.100.3=12345678901"},
        {"e-mail as IA5String",
         {{{"1.2.840.113549.1.9.1", kIa5, "ivanov@example.ru"}}},
         "1.2.840.113549.1.9.1=ivanov@example.ru"},
        {"BMPString", {{{kCN, kBmp, bigEndianOf("Пётр Ёлкин", 2)}}}, "2.5.4.3=Пётр Ёлкин"},
        {"UniversalString", {{{kCN, kUniversal, bigEndianOf("Юлия", 4)}}}, "2.5.4.3=Юлия"},
        {"TeletexString holding UTF-8", {{{kCN, kT61, "Сидоров"}}}, "2.5.4.3=Сидоров"},
        {"TeletexString of 8-bit characters", {{{kCN, kT61, "Caf\xE9"}}}, "2.5.4.3=Café"},
        {"a value that is no text", {{{"1.2.3.4", 0x30, derTlv(0x02, "\x05")}}}, "1.2.3.4=#3003020105"},
        {"a text with a zero byte", {{{kCN, kUtf8, std::string("a\0b", 3)}}}, "2.5.4.3=#0C03610062"},
        {"empty name", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(nameText(derName(c.rdns)), c.text);
    }
}

TEST(CertNameToStr, QuotesValuesThatNeedIt) {
    struct Case {
        std::string value;
        std::string shown;
    };
    const Case cases[] = {
        {"Простой текст", "Простой текст"},
        {"два  пробела", "два  пробела"},
        {"ООО \"Ромашка\"", "\"ООО \"\"Ромашка\"\"\""},
        {"\"", "\"\"\"\""},
        {"a,b", "\"a,b\""},
        {"a+b", "\"a+b\""},
        {"a=b", "\"a=b\""},
        {"a<b", "\"a<b\""},
        {"a>b", "\"a>b\""},
        {"#1", "\"#1\""},
        {"a;b", "\"a;b\""},
        {"a\nb", "\"a\nb\""},
        {" ведущий", "\" ведущий\""},
        {"хвост ", "\"хвост \""},
        {"", "\"\""},
        {"a\\b", "a\\b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(nameText(derName({{{kCN, kUtf8, c.value}}})), "2.5.4.3=" + c.shown);
    }
}

TEST(CertNameToStr, StringTypesAndOptions) {
    const std::string der = derName({{{kC, kPrintable, "RU"}},
                                     {{kO, kUtf8, "ООО \"Ромашка\""}},
                                     {{"2.5.4.4", kUtf8, "Иванов"}, {"2.5.4.42", kUtf8, "Иван"}},
                                     {{"1.2.643.100.1", kNumeric, "1027700132195"}}});
    struct Case {
        DWORD type;
        const char* text;
    };
    const Case cases[] = {
        {CERT_OID_NAME_STR, "2.5.4.6=RU, 2.5.4.10=\"ООО \"\"Ромашка\"\"\", 2.5.4.4=Иванов + 2.5.4.42=Иван, "
                            "1.2.643.100.1=1027700132195"},
        {CERT_X500_NAME_STR,
         "C=RU, O=\"ООО \"\"Ромашка\"\"\", SN=Иванов + G=Иван, OID.1.2.643.100.1=1027700132195"},
        {CERT_SIMPLE_NAME_STR, "RU, \"ООО \"\"Ромашка\"\"\", Иванов + Иван, 1027700132195"},
        {CERT_OID_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
         "1.2.643.100.1=1027700132195, 2.5.4.4=Иванов + 2.5.4.42=Иван, 2.5.4.10=\"ООО \"\"Ромашка\"\"\", "
         "2.5.4.6=RU"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG,
         "C=RU; O=\"ООО \"\"Ромашка\"\"\"; SN=Иванов G=Иван; OID.1.2.643.100.1=1027700132195"},
        {CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG,
         "C=RU\r\nO=ООО \"Ромашка\"\r\nSN=Иванов + G=Иван\r\nOID.1.2.643.100.1=1027700132195"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(nameText(der, c.type), c.text);
    }
}

TEST(CertNameToStr, TwoCallContract) {
    const std::string der = derName({{{kC, kPrintable, "RU"}}, {{kCN, kUtf8, "Ёж"}}});
    const std::string full = "2.5.4.6=RU, 2.5.4.3=Ёж"; // "Ё" and "ж" take two bytes each
    CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()),
                        const_cast<BYTE*>(reinterpret_cast<const BYTE*>(der.data()))};

    EXPECT_EQ(CertNameToStrA(kMessageEncoding, &blob, CERT_OID_NAME_STR, nullptr, 0), full.size() + 1);
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_OID_NAME_STR, nullptr, 12345), full.size() + 1);
    char untouched = 'q';
    EXPECT_EQ(CertNameToStrA(kMessageEncoding, &blob, CERT_OID_NAME_STR, &untouched, 0), full.size() + 1);
    EXPECT_EQ(untouched, 'q');

    // A short buffer gets what fits, never half a character, always with its zero.
    struct Case {
        DWORD size;
        std::string text;
    };
    const Case cases[] = {
        {1, ""},
        {2, "2"},
        {20, "2.5.4.6=RU, 2.5.4.3"},
        {21, "2.5.4.6=RU, 2.5.4.3="},
        {22, "2.5.4.6=RU, 2.5.4.3="},
        {23, "2.5.4.6=RU, 2.5.4.3=Ё"},
        {24, "2.5.4.6=RU, 2.5.4.3=Ё"},
        {25, full},
        {100, full},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string buffer(c.size + 4, '#');
        const DWORD written =
            CertNameToStrA(kMessageEncoding, &blob, CERT_OID_NAME_STR, buffer.data(), c.size);
        EXPECT_EQ(written, c.text.size() + 1);
        EXPECT_EQ(buffer.substr(0, written), c.text + std::string(1, '\0'));
        EXPECT_EQ(buffer.substr(c.size), "####");
    }
}

TEST(CertNameToStr, UnusableInputGivesTheEmptyTextAndACode) {
    const std::string der = derName({{{kCN, kUtf8, "Имя"}}});
    CERT_NAME_BLOB good{static_cast<DWORD>(der.size()),
                        const_cast<BYTE*>(reinterpret_cast<const BYTE*>(der.data()))};
    const std::string garbage = "not a name";
    CERT_NAME_BLOB bad{static_cast<DWORD>(garbage.size()),
                       const_cast<BYTE*>(reinterpret_cast<const BYTE*>(garbage.data()))};
    CERT_NAME_BLOB truncated{good.cbData - 1, good.pbData};
    CERT_NAME_BLOB empty{0, nullptr};

    struct Case {
        const char* what;
        DWORD encoding;
        const CERT_NAME_BLOB* name;
        DWORD type;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"garbage", kMessageEncoding, &bad, CERT_OID_NAME_STR, CRYPT_E_ASN1_BADTAG},
        {"truncated", kMessageEncoding, &truncated, CERT_OID_NAME_STR, CRYPT_E_ASN1_BADTAG},
        {"no bytes", kMessageEncoding, &empty, CERT_OID_NAME_STR, CRYPT_E_ASN1_BADTAG},
        {"no name", kMessageEncoding, nullptr, CERT_OID_NAME_STR, CRYPT_E_ASN1_BADTAG},
        {"no X.509 encoding", PKCS_7_ASN_ENCODING, &good, CERT_OID_NAME_STR, E_INVALIDARG},
        {"unknown string type", kMessageEncoding, &good, 7, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CertNameToStrA(c.encoding, c.name, c.type, nullptr, 0), 1u);
        char buffer[8] = "xxxxxxx";
        EXPECT_EQ(CertNameToStrA(c.encoding, c.name, c.type, buffer, sizeof buffer), 1u);
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(GetLastError(), c.error);
    }
}

// ---- CertVerifyTimeValidity -----------------------------------------------------------------------

TEST(CertVerifyTimeValidity, BeforeWithinAndAfterThePeriod) {
    CERT_INFO info{};
    info.NotBefore = FileTimeFromUnix(1'600'000'000);
    info.NotAfter = FileTimeFromUnix(1'700'000'000);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const auto at = [](std::uint64_t t) {
        return FILETIME{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
    };
    struct Case {
        const char* what;
        FILETIME time;
        LONG result;
    };
    const Case cases[] = {
        {"year 1601", FILETIME{0, 0}, -1},
        {"a tick before", at(ticks(info.NotBefore) - 1), -1},
        {"the first tick", info.NotBefore, 0},
        {"inside", FileTimeFromUnix(1'650'000'000), 0},
        {"the last tick", info.NotAfter, 0},
        {"a tick after", at(ticks(info.NotAfter) + 1), 1},
        {"far after", FILETIME{0xFFFFFFFF, 0xFFFFFFFF}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CertVerifyTimeValidity(&c.time, &info), c.result);
    }
}

TEST(CertVerifyTimeValidity, NoTimeMeansNowForRealCertificates) {
    const std::time_t now = std::time(nullptr);
    struct Case {
        const char* what;
        std::time_t notBefore;
        std::time_t notAfter;
        LONG result;
    };
    const Case cases[] = {
        {"valid", now - 3600, now + 3600, 0},
        {"expired", now - 7200, now - 3600, 1},
        {"not yet valid", now + 3600, now + 7200, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IdentityFields fields;
        fields.notBefore = c.notBefore;
        fields.notAfter = c.notAfter;
        const TestIdentity identity = makeIdentity(fields);
        const std::string der = identity.der();
        CertContextHandle context(CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
        ASSERT_TRUE(context);
        EXPECT_EQ(CertVerifyTimeValidity(nullptr, context->pCertInfo), c.result);
        EXPECT_EQ(UnixFromFileTime(context->pCertInfo->NotBefore), c.notBefore);
        EXPECT_EQ(UnixFromFileTime(context->pCertInfo->NotAfter), c.notAfter);
    }
    SetLastError(0);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, nullptr), 1);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(CertVerifyTimeValidity, CurrentFileTimeCountsFrom1601) {
    const std::int64_t before = std::time(nullptr);
    const std::int64_t now = UnixFromFileTime(CurrentFileTime());
    EXPECT_GE(now, before);
    EXPECT_LE(now, before + 5);
    EXPECT_EQ(UnixFromFileTime(FileTimeFromUnix(0)), 0);
    // 1970-01-01 is 116444736000000000 ticks after 1601-01-01.
    const FILETIME epoch = FileTimeFromUnix(0);
    EXPECT_EQ((static_cast<std::uint64_t>(epoch.dwHighDateTime) << 32) | epoch.dwLowDateTime,
              116444736000000000ULL);
}

// ---- a digest computed while the content loaded ------------------------------------------------------

namespace {

EvpMdCtxPtr digestState(const EVP_MD* md, const std::string& bytes) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()), 1);
    return ctx;
}

} // namespace

TEST_F(VerifyApiTest, LentDigestIsTakenOverOnlyForTheSameBytesAndDigest) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Подписант");
    const TestIdentity signer512 = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Второй подписант");
    const std::string content = randomBytes(4000, 12);
    const std::string copy = content;
    const std::string message = cmsSign(signer, content);
    std::string twoSigners;
    {
        const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | CMS_NOATTR;
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        ASSERT_TRUE(CMS_add1_signer(cms.get(), signer.certificate.get(), signer.key.get(),
                                    digestForKey(signer.key.get()), flags));
        ASSERT_TRUE(CMS_add1_signer(cms.get(), signer512.certificate.get(), signer512.key.get(),
                                    digestForKey(signer512.key.get()), flags));
        BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        ASSERT_EQ(CMS_final(cms.get(), in.get(), nullptr, flags), 1);
        twoSigners = EncodeDer(
            cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    }
    const EVP_MD* streebog256 = digestForKey(signer.key.get());
    const EVP_MD* streebog512 = digestForKey(signer512.key.get());

    struct Case {
        const char* what;
        const std::string* message;
        const std::string* lentFor; // the buffer the state is lent for
        EvpMdCtxPtr state;
        BOOL ok; // a state of other bytes fails the check when, and only when, it is taken over
    };
    Case cases[] = {
        {"the right state for the content", &message, &content, digestState(streebog256, content), TRUE},
        {"a wrong state for the content is taken over", &message, &content, digestState(streebog256, "x"),
         FALSE},
        {"a wrong state for other bytes is ignored", &message, &copy, digestState(streebog256, "x"), TRUE},
        {"a wrong state of another digest is ignored", &message, &content, digestState(streebog512, "x"),
         TRUE},
        {"a message with two digests ignores it", &twoSigners, &content, digestState(streebog256, "x"), TRUE},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            ContentDigestScope scope(reinterpret_cast<const BYTE*>(c.lentFor->data()), c.lentFor->size(),
                                     c.state.get());
            CRYPT_VERIFY_MESSAGE_PARA para{kVerifyMessageParaSize32, kMessageEncoding, 0, nullptr, nullptr};
            const BYTE* data[] = {reinterpret_cast<const BYTE*>(content.data())};
            DWORD lengths[] = {static_cast<DWORD>(content.size())};
            EXPECT_EQ(CryptVerifyDetachedMessageSignature(
                          &para, 0, reinterpret_cast<const BYTE*>(c.message->data()),
                          static_cast<DWORD>(c.message->size()), 1, data, lengths, nullptr),
                      c.ok);
        }
        // Lent state or not, it goes with its scope.
        EXPECT_EQ(verifyBytes(*c.message, {content}).ok, TRUE);
    }
}
