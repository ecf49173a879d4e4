// CryptEncryptMessage and CryptDecryptMessage: round trips for every GOST key kind across the key
// meshing and DER length boundaries, the message's layout, the two-call contract, the choice of the
// key in the store, and every way a message or a key can be wrong.

#include "EnvelopeTestUtil.h"
#include "VerifyTestUtil.h"

#include "crypto/CryptoInternal.h"
#include "crypto/EnvelopeLayout.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

class EnvelopeTest : public ::testing::Test {
protected:
    void SetUp() override { store = CertOpenSystemStoreA(0, "MY"); }
    void TearDown() override {
        for (auto& context : held)
            context.reset();
        if (store != nullptr) {
            EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
        }
        const OpenHandleCounts counts = CountOpenHandles();
        EXPECT_EQ(counts.certificateContexts, 0);
        EXPECT_EQ(counts.stores, 0);
    }

    // Adds an identity to the store "MY" and reopens the store so that it shows.
    PCCERT_CONTEXT addToStore(const TestIdentity& identity, TestStore::Key key = TestStore::Key::Plain,
                              const std::string& password = {}) {
        const std::string thumbprint = testStore.add(identity, key, password);
        reopen();
        held.push_back(findInStore(store, thumbprint));
        return held.back().get();
    }
    void reopen() {
        for (auto& context : held)
            context.reset();
        held.clear();
        if (store != nullptr)
            CertCloseStore(store, 0);
        store = CertOpenSystemStoreA(0, "MY");
    }
    // A context for the identity's certificate that is not in any store.
    PCCERT_CONTEXT standalone(const TestIdentity& identity) {
        const std::string der = identity.der();
        held.emplace_back(CertCreateCertificateContext(
            kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
        return held.back().get();
    }

    TestStore testStore;
    HCERTSTORE store = nullptr;
    std::vector<CertContextHandle> held;
};

std::string publicKeyOid(PCCERT_CONTEXT context) {
    return context->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
}

std::string dotted(const ASN1_OBJECT* object) {
    return DottedOid(object);
}

// What an enveloped message says about itself, read through OpenSSL.
struct EnvelopeFacts {
    std::string type;
    long version = -1;
    int recipients = 0;
    int recipientType = -1;
    long recipientVersion = -1;
    std::string keyEncryptionOid;
    bool matchesRecipient = false;
    std::string contentType;
    std::string cipherOid;
    std::size_t contentLength = 0;
};

EnvelopeFacts factsOf(const std::string& der, X509* recipient) {
    EnvelopeFacts facts;
    CmsPtr cms = parseCms(der);
    if (!cms)
        return facts;
    facts.type = dotted(CMS_get0_type(cms.get()));
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms.get());
    facts.recipients = sk_CMS_RecipientInfo_num(infos);
    if (facts.recipients > 0) {
        CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, 0);
        facts.recipientType = CMS_RecipientInfo_type(info);
        X509_ALGOR* keyAlgorithm = nullptr;
        if (CMS_RecipientInfo_ktri_get0_algs(info, nullptr, nullptr, &keyAlgorithm) == 1) {
            const ASN1_OBJECT* object = nullptr;
            X509_ALGOR_get0(&object, nullptr, nullptr, keyAlgorithm);
            facts.keyEncryptionOid = dotted(object);
        }
        ASN1_OCTET_STRING* keyId = nullptr;
        X509_NAME* issuer = nullptr;
        ASN1_INTEGER* serial = nullptr;
        if (CMS_RecipientInfo_ktri_get0_signer_id(info, &keyId, &issuer, &serial) == 1)
            facts.matchesRecipient = recipient != nullptr && keyId == nullptr && issuer != nullptr &&
                                     X509_NAME_cmp(issuer, X509_get_issuer_name(recipient)) == 0 &&
                                     ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(recipient)) == 0;
    }
    const auto version = derAt(der, {0, 1, 0, 0});
    if (version && version->end == version->contentStart + 1)
        facts.version = static_cast<unsigned char>(der[version->contentStart]);
    const auto recipientVersion = derAt(der, {0, 1, 0, 1, 0, 0});
    if (recipientVersion && recipientVersion->end == recipientVersion->contentStart + 1)
        facts.recipientVersion = static_cast<unsigned char>(der[recipientVersion->contentStart]);
    facts.contentType = dotted(CMS_get0_eContentType(cms.get()));
    const auto algorithm = derAt(der, {0, 1, 0, 2, 1, 0});
    if (algorithm) {
        const auto* p = reinterpret_cast<const unsigned char*>(der.data()) + algorithm->start;
        Asn1ObjectPtr object(
            d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(algorithm->end - algorithm->start)));
        facts.cipherOid = dotted(object.get());
    }
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (content != nullptr && *content != nullptr)
        facts.contentLength = static_cast<std::size_t>(ASN1_STRING_length(*content));
    ClearOpenSslErrors();
    return facts;
}

const std::size_t kSizes[] = {0,    1,    7,    8,    9,    127,  128,   255,  256,
                              1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536};

std::string algorithmName(KeyAlgorithm algorithm) {
    return KeyAlgorithmName(algorithm);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Round trips and layout

class EnvelopeRoundTrip : public EnvelopeTest, public ::testing::WithParamInterface<KeyAlgorithm> {};

TEST_P(EnvelopeRoundTrip, EverySizeAcrossMeshingAndLengthBoundaries) {
    const TestIdentity identity = makeIdentity(GetParam(), "CN=Получатель");
    PCCERT_CONTEXT recipient = addToStore(identity);
    ASSERT_NE(recipient, nullptr);
    for (const std::size_t size : kSizes) {
        SCOPED_TRACE("content of " + std::to_string(size) + " bytes");
        const std::string content = randomBytes(size, static_cast<std::uint32_t>(size + 3));
        const EnvelopeCall encrypted = encryptBytes({recipient}, content);
        ASSERT_TRUE(encrypted.ok) << encrypted.diagnostic;
        EXPECT_EQ(encrypted.output.size(), encrypted.sizeCallLength) << "size call and data call disagree";

        const EnvelopeFacts facts = factsOf(encrypted.output, identity.certificate.get());
        EXPECT_EQ(facts.type, "1.2.840.113549.1.7.3");
        EXPECT_EQ(facts.version, 0);
        EXPECT_EQ(facts.recipients, 1);
        EXPECT_EQ(facts.recipientType, CMS_RECIPINFO_TRANS);
        EXPECT_EQ(facts.recipientVersion, 0);
        EXPECT_TRUE(facts.matchesRecipient) << "recipient not identified by issuer and serial number";
        EXPECT_EQ(facts.keyEncryptionOid, publicKeyOid(recipient));
        EXPECT_EQ(facts.contentType, "1.2.840.113549.1.7.1");
        EXPECT_EQ(facts.cipherOid, kGost28147Oid);
        EXPECT_EQ(facts.contentLength, size);

        // DER with definite lengths: OpenSSL encodes the decoded message to the very same bytes.
        CmsPtr cms = parseCms(encrypted.output);
        ASSERT_TRUE(cms);
        EXPECT_EQ(encodeCms(cms.get()), encrypted.output);
        // The content is encrypted, not copied.
        const auto field = derAt(encrypted.output, kEncryptedContentPath);
        ASSERT_TRUE(field);
        EXPECT_EQ(field->end, encrypted.output.size())
            << "the encrypted content must be the message's last field";
        if (size >= 8) {
            EXPECT_NE(encrypted.output.substr(field->contentStart), content);
        }

        const EnvelopeCall decrypted = decryptBytes({store}, encrypted.output);
        ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
        EXPECT_EQ(decrypted.sizeCallLength, size);
        EXPECT_EQ(decrypted.output, content);
        EXPECT_EQ(decrypted.exchangeThumbprint, identity.thumbprint());
    }
}

TEST_P(EnvelopeRoundTrip, TenMebibytes) {
    const TestIdentity identity = makeIdentity(GetParam(), "CN=Получатель");
    PCCERT_CONTEXT recipient = addToStore(identity);
    const std::string content = randomBytes(10u << 20, 77);
    const EnvelopeCall encrypted = encryptBytes({recipient}, content);
    ASSERT_TRUE(encrypted.ok) << encrypted.diagnostic;
    EXPECT_EQ(encrypted.output.size(), encrypted.sizeCallLength);
    EXPECT_EQ(factsOf(encrypted.output, identity.certificate.get()).contentLength, content.size());
    const EnvelopeCall decrypted = decryptBytes({store}, encrypted.output);
    ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
    EXPECT_EQ(decrypted.sizeCallLength, content.size());
    EXPECT_TRUE(decrypted.output == content);
}

// Two encryptions of the same content never give the same ciphertext (fresh key and IV each time),
// but always the same length.
TEST_P(EnvelopeRoundTrip, FreshKeyEveryTimeSameLength) {
    const TestIdentity identity = makeIdentity(GetParam());
    PCCERT_CONTEXT recipient = standalone(identity);
    const std::string content = randomBytes(3000, 5);
    const EnvelopeCall first = encryptBytes({recipient}, content);
    const EnvelopeCall second = encryptBytes({recipient}, content);
    ASSERT_TRUE(first.ok && second.ok);
    EXPECT_EQ(first.output.size(), second.output.size());
    EXPECT_NE(first.output.substr(first.output.size() - 3000),
              second.output.substr(second.output.size() - 3000));
}

INSTANTIATE_TEST_SUITE_P(GostKeys, EnvelopeRoundTrip, ::testing::ValuesIn(kGostAlgorithms),
                         [](const auto& param) {
                             std::string name = algorithmName(param.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return "Gost" + name;
                         });

// The message is cut where its encrypted content lies; the rest decodes as the same message with
// its content detached, byte for byte as OpenSSL encodes that.
TEST_F(EnvelopeTest, LayoutSplitsAtTheEncryptedContent) {
    PCCERT_CONTEXT recipient = standalone(makeIdentity(KeyAlgorithm::Gost2012_512));
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{127}, std::size_t{128},
                                   std::size_t{65535}, std::size_t{65536}, std::size_t{1} << 24}) {
        SCOPED_TRACE(size);
        const EnvelopeCall encrypted = encryptBytes({recipient}, std::string(size, 'x'));
        ASSERT_TRUE(encrypted.ok);
        const std::string& message = encrypted.output;
        detail::EnvelopedLayout layout;
        ASSERT_TRUE(detail::SplitEnvelopedMessage(reinterpret_cast<const std::uint8_t*>(message.data()),
                                                  message.size(), layout));
        EXPECT_EQ(layout.contentLength, size);
        EXPECT_EQ(layout.contentOffset + size, message.size());
        EXPECT_EQ(layout.messageLength, message.size());

        CmsPtr cms = parseCms(message);
        ASSERT_TRUE(cms);
        ASSERT_EQ(CMS_set_detached(cms.get(), 1), 1);
        EXPECT_EQ(layout.detached, encodeCms(cms.get()));
        CmsPtr detached = parseCms(layout.detached);
        ASSERT_TRUE(detached);
        EXPECT_EQ(CMS_get0_content(detached.get())[0], nullptr);
    }
}

TEST_F(EnvelopeTest, LayoutRefusesWhatIsNotOneDefiniteEnvelope) {
    PCCERT_CONTEXT recipient = standalone(makeIdentity(KeyAlgorithm::Gost2012_256));
    const EnvelopeCall encrypted = encryptBytes({recipient}, "content");
    ASSERT_TRUE(encrypted.ok);
    const std::string& good = encrypted.output;
    std::string indefinite = good;
    indefinite[1] = '\x80'; // an indefinite outer length (BER)
    std::string otherType = good;
    otherType[otherType.find("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03") + 8] = '\x02'; // signed-data
    CmsPtr parsed = parseCms(good);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(CMS_set_detached(parsed.get(), 1), 1);
    const std::string withoutContent = encodeCms(parsed.get());
    std::string segmented = good;
    const auto content = derAt(good, kEncryptedContentPath);
    ASSERT_TRUE(content);
    segmented[content->start] = '\xA0'; // a constructed content in segments

    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"one byte", "\x30"},
        {"garbage", "not a message at all"},
        {"truncated", good.substr(0, good.size() - 1)},
        {"indefinite length", indefinite},
        {"signed-data type", otherType},
        {"segmented content", segmented},
        {"no content", withoutContent},
    };
    for (const auto& c : cases) {
        detail::EnvelopedLayout layout;
        EXPECT_FALSE(detail::SplitEnvelopedMessage(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                                   c.bytes.size(), layout))
            << c.name;
    }
    // Bytes after the message are not part of it.
    const std::string trailing = good + std::string("\0\0trailer", 9);
    detail::EnvelopedLayout layout;
    ASSERT_TRUE(detail::SplitEnvelopedMessage(reinterpret_cast<const std::uint8_t*>(trailing.data()),
                                              trailing.size(), layout));
    EXPECT_EQ(layout.messageLength, good.size());
}

// ---------------------------------------------------------------------------------------------
// The two calls

TEST_F(EnvelopeTest, SizeCallsReadNoContent) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    PCCERT_CONTEXT recipient = addToStore(identity);
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::size_t size = static_cast<std::size_t>(page) * 4;

    // Encryption: the content lies in memory that cannot be read at all.
    void* guarded = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guarded, MAP_FAILED);
    std::string oid = publicKeyOid(recipient);
    CRYPT_ENCRYPT_MESSAGE_PARA para = encryptPara(oid);
    PCCERT_CONTEXT recipients[] = {recipient};
    DWORD length = 0;
    EXPECT_TRUE(CryptEncryptMessage(&para, 1, recipients, static_cast<const BYTE*>(guarded),
                                    static_cast<DWORD>(size), nullptr, &length));
    ::munmap(guarded, size);
    const EnvelopeCall encrypted = encryptBytes({recipient}, std::string(size, 'a'));
    ASSERT_TRUE(encrypted.ok);
    EXPECT_EQ(length, encrypted.output.size());

    // Decryption: the message's structure is readable, its encrypted content is not.
    const std::size_t prefix = encrypted.output.size() - size;
    const std::size_t prefixPages =
        (prefix + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page);
    const std::size_t mapped = (prefixPages + 4) * static_cast<std::size_t>(page);
    auto* region = static_cast<BYTE*>(
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(static_cast<void*>(region), MAP_FAILED);
    BYTE* message = region + prefixPages * static_cast<std::size_t>(page) - prefix;
    std::memcpy(message, encrypted.output.data(), encrypted.output.size());
    ASSERT_EQ(::mprotect(region + prefixPages * static_cast<std::size_t>(page), size, PROT_NONE), 0);
    HCERTSTORE stores[] = {store};
    CRYPT_DECRYPT_MESSAGE_PARA decryptPara{kDecryptMessageParaSize32, kMessageEncoding, 1, stores};
    DWORD plainLength = 0;
    EXPECT_TRUE(CryptDecryptMessage(&decryptPara, message, static_cast<DWORD>(encrypted.output.size()),
                                    nullptr, &plainLength, nullptr));
    EXPECT_EQ(plainLength, size);
    ::munmap(region, mapped);
}

TEST_F(EnvelopeTest, TooSmallBuffersAskForMore) {
    PCCERT_CONTEXT recipient = addToStore(makeIdentity(KeyAlgorithm::Gost2001));
    const std::string content = randomBytes(1500, 9);
    const EnvelopeCall encrypted = encryptBytes({recipient}, content);
    ASSERT_TRUE(encrypted.ok);

    std::string oid = publicKeyOid(recipient);
    CRYPT_ENCRYPT_MESSAGE_PARA para = encryptPara(oid);
    PCCERT_CONTEXT recipients[] = {recipient};
    std::string buffer(encrypted.output.size() - 1, '\x55');
    DWORD length = static_cast<DWORD>(buffer.size());
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, recipients, reinterpret_cast<const BYTE*>(content.data()),
                                     static_cast<DWORD>(content.size()),
                                     reinterpret_cast<BYTE*>(buffer.data()), &length));
    EXPECT_EQ(GetLastError(), winerr::ERROR_MORE_DATA);
    EXPECT_EQ(length, encrypted.output.size());
    EXPECT_EQ(buffer, std::string(buffer.size(), '\x55')) << "nothing may be written into a too small buffer";

    HCERTSTORE stores[] = {store};
    CRYPT_DECRYPT_MESSAGE_PARA decryptPara{kDecryptMessageParaSize32, kMessageEncoding, 1, stores};
    std::string plain(content.size() - 1, '\0');
    length = static_cast<DWORD>(plain.size());
    EXPECT_FALSE(CryptDecryptMessage(&decryptPara, reinterpret_cast<const BYTE*>(encrypted.output.data()),
                                     static_cast<DWORD>(encrypted.output.size()),
                                     reinterpret_cast<BYTE*>(plain.data()), &length, nullptr));
    EXPECT_EQ(GetLastError(), winerr::ERROR_MORE_DATA);
    EXPECT_EQ(length, content.size());
}

// ---------------------------------------------------------------------------------------------
// Parameters

TEST_F(EnvelopeTest, ContentCipherIdentifiers) {
    PCCERT_CONTEXT recipient = standalone(makeIdentity(KeyAlgorithm::Gost2012_256));
    const struct {
        const char* oid;
        bool accepted;
    } cases[] = {
        {"1.2.643.2.2.19", true},   {"1.2.643.7.1.1.1.1", true},     {"1.2.643.7.1.1.1.2", true},
        {"1.2.643.2.2.21", true},   {"1.2.840.113549.1.1.1", false}, {"1.2.840.10045.2.1", false},
        {"1.2.643.2.2.19 ", false}, {" 1.2.643.2.2.19", false},      {"1.2.643.7.1.1.5.1.1", false},
        {"gost89", false},          {"1.2.643.2.2.9", false},        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid);
        const EnvelopeCall call = encryptBytes({recipient}, "content", c.oid);
        EXPECT_EQ(call.ok != FALSE, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(factsOf(call.output, nullptr).cipherOid, kGost28147Oid);
        } else {
            EXPECT_EQ(call.error, winerr::CRYPT_E_UNKNOWN_ALGO);
            EXPECT_EQ(call.sizeCallLength, 0u);
        }
    }
    // A null identifier, and the data call on its own.
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = kEncryptMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    PCCERT_CONTEXT recipients[] = {recipient};
    BYTE out[2048];
    DWORD length = sizeof out;
    EXPECT_FALSE(
        CryptEncryptMessage(&para, 1, recipients, reinterpret_cast<const BYTE*>("x"), 1, out, &length));
    EXPECT_EQ(GetLastError(), winerr::CRYPT_E_UNKNOWN_ALGO);
}

// RSA and EC certificates name their own key algorithm, which stands for no content cipher.
TEST_F(EnvelopeTest, RsaAndEcRecipientsAreUnknownAlgorithms) {
    for (const KeyAlgorithm algorithm : {KeyAlgorithm::Rsa2048, KeyAlgorithm::EcP256}) {
        PCCERT_CONTEXT recipient = standalone(makeIdentity(algorithm));
        const EnvelopeCall call = encryptBytes({recipient}, "content");
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.error, winerr::CRYPT_E_UNKNOWN_ALGO) << KeyAlgorithmName(algorithm);
    }
    // Named by the cipher itself, an EC key still cannot take a key transport.
    PCCERT_CONTEXT ec = standalone(makeIdentity(KeyAlgorithm::EcP256));
    const EnvelopeCall call = encryptBytes({ec}, "content", kGost28147Oid);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, winerr::NTE_BAD_ALGID);
}

TEST_F(EnvelopeTest, ParameterChecks) {
    PCCERT_CONTEXT recipient = standalone(makeIdentity(KeyAlgorithm::Gost2012_256));
    std::string oid = publicKeyOid(recipient);
    BYTE parameters[] = {5, 0};
    int auxiliary = 0;
    const struct {
        const char* name;
        std::function<void(CRYPT_ENCRYPT_MESSAGE_PARA&)> change;
        DWORD recipients;
        bool nullContent;
    } cases[] = {
        {"cbSize 0", [](auto& p) { p.cbSize = 0; }, 1, false},
        {"cbSize 35", [](auto& p) { p.cbSize = 35; }, 1, false},
        {"cbSize 40", [](auto& p) { p.cbSize = 40; }, 1, false},
        {"no PKCS #7 encoding", [](auto& p) { p.dwMsgEncodingType = X509_ASN_ENCODING; }, 1, false},
        {"cipher parameters",
         [&](auto& p) {
             p.ContentEncryptionAlgorithm.Parameters = {2, parameters};
         },
         1, false},
        {"auxiliary information", [&](auto& p) { p.pvEncryptionAuxInfo = &auxiliary; }, 1, false},
        {"key identifier recipients", [](auto& p) { p.dwFlags = CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG; }, 1,
         false},
        {"inner content type", [](auto& p) { p.dwInnerContentType = 2; }, 1, false},
        {"no recipient", [](auto&) {}, 0, false},
        {"length without content", [](auto&) {}, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRYPT_ENCRYPT_MESSAGE_PARA para = encryptPara(oid);
        c.change(para);
        PCCERT_CONTEXT recipients[] = {recipient};
        DWORD length = 0;
        EXPECT_FALSE(CryptEncryptMessage(&para, c.recipients, recipients,
                                         c.nullContent ? nullptr : reinterpret_cast<const BYTE*>("abc"), 3,
                                         nullptr, &length));
        EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
    }
    // Both accepted structure sizes.
    for (const DWORD size :
         {kEncryptMessageParaSize32, static_cast<DWORD>(sizeof(CRYPT_ENCRYPT_MESSAGE_PARA))}) {
        CRYPT_ENCRYPT_MESSAGE_PARA para = encryptPara(oid);
        para.cbSize = size;
        PCCERT_CONTEXT recipients[] = {recipient};
        DWORD length = 0;
        EXPECT_TRUE(CryptEncryptMessage(&para, 1, recipients, nullptr, 0, nullptr, &length));
        EXPECT_GT(length, 0u);
    }
    // A pointer that is no live context any more.
    PCCERT_CONTEXT dangling = recipient;
    held.clear();
    const EnvelopeCall call = encryptBytes({dangling}, "abc", oid.c_str());
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, winerr::E_INVALIDARG);
}

TEST_F(EnvelopeTest, DecryptParameterChecks) {
    PCCERT_CONTEXT recipient = addToStore(makeIdentity(KeyAlgorithm::Gost2012_256));
    const EnvelopeCall encrypted = encryptBytes({recipient}, "abc");
    ASSERT_TRUE(encrypted.ok);
    HCERTSTORE stores[] = {store};
    int notAStore = 0;
    HCERTSTORE badStores[] = {&notAStore};
    const struct {
        const char* name;
        CRYPT_DECRYPT_MESSAGE_PARA para;
        DWORD expected;
    } cases[] = {
        {"cbSize 0", {0, kMessageEncoding, 1, stores}, winerr::E_INVALIDARG},
        {"cbSize 20", {20, kMessageEncoding, 1, stores}, winerr::E_INVALIDARG},
        {"no PKCS #7 encoding",
         {kDecryptMessageParaSize32, X509_ASN_ENCODING, 1, stores},
         winerr::E_INVALIDARG},
        {"no store list", {kDecryptMessageParaSize32, kMessageEncoding, 1, nullptr}, winerr::E_INVALIDARG},
        {"not a store", {kDecryptMessageParaSize32, kMessageEncoding, 1, badStores}, winerr::E_INVALIDARG},
        {"no stores",
         {kDecryptMessageParaSize32, kMessageEncoding, 0, nullptr},
         winerr::CRYPT_E_NO_DECRYPT_CERT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRYPT_DECRYPT_MESSAGE_PARA para = c.para;
        DWORD length = 0;
        EXPECT_FALSE(CryptDecryptMessage(&para, reinterpret_cast<const BYTE*>(encrypted.output.data()),
                                         static_cast<DWORD>(encrypted.output.size()), nullptr, &length,
                                         nullptr));
        EXPECT_EQ(GetLastError(), c.expected);
    }
    CRYPT_DECRYPT_MESSAGE_PARA wide{static_cast<DWORD>(sizeof(CRYPT_DECRYPT_MESSAGE_PARA)), kMessageEncoding,
                                    1, stores};
    DWORD length = 0;
    EXPECT_TRUE(CryptDecryptMessage(&wide, reinterpret_cast<const BYTE*>(encrypted.output.data()),
                                    static_cast<DWORD>(encrypted.output.size()), nullptr, &length, nullptr));
    EXPECT_EQ(length, 3u);
}

// ---------------------------------------------------------------------------------------------
// Whose key decrypts

TEST_F(EnvelopeTest, StoreWithSeveralEntriesFindsTheRecipient) {
    const TestIdentity withoutKey = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Без ключа");
    const TestIdentity other = makeIdentity(KeyAlgorithm::Gost2001, "CN=Другой");
    const TestIdentity recipient = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Получатель");
    const TestIdentity rsa = makeIdentity(KeyAlgorithm::Rsa2048, "CN=RSA");
    testStore.add(withoutKey, TestStore::Key::None);
    testStore.add(other);
    testStore.add(rsa);
    PCCERT_CONTEXT target = addToStore(recipient);
    const std::string content = randomBytes(2048, 1);
    const EnvelopeCall encrypted = encryptBytes({target}, content);
    ASSERT_TRUE(encrypted.ok);
    const EnvelopeCall decrypted = decryptBytes({store}, encrypted.output);
    ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
    EXPECT_EQ(decrypted.output, content);
    EXPECT_EQ(decrypted.exchangeThumbprint, recipient.thumbprint());

    // For a recipient whose entry has no key file, nothing in the store serves.
    const EnvelopeCall forKeyless = encryptBytes({standalone(withoutKey)}, content);
    ASSERT_TRUE(forKeyless.ok);
    const EnvelopeCall refused = decryptBytes({store}, forKeyless.output);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, winerr::CRYPT_E_NO_DECRYPT_CERT);
}

TEST_F(EnvelopeTest, EveryRecipientOfAMessageCanDecrypt) {
    const TestIdentity first = makeIdentity(KeyAlgorithm::Gost2001, "CN=Первый");
    const TestIdentity second = makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Второй");
    const std::string content = randomBytes(5000, 2);
    const EnvelopeCall encrypted =
        encryptBytes({standalone(first), standalone(second)}, content, kGost28147Oid);
    ASSERT_TRUE(encrypted.ok) << encrypted.diagnostic;
    EXPECT_EQ(factsOf(encrypted.output, first.certificate.get()).recipients, 2);
    for (const TestIdentity* identity : {&first, &second}) {
        TestStore alone;
        alone.add(*identity);
        HCERTSTORE own = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall decrypted = decryptBytes({own}, encrypted.output);
        CertCloseStore(own, 0);
        ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
        EXPECT_EQ(decrypted.output, content);
        EXPECT_EQ(decrypted.exchangeThumbprint, identity->thumbprint());
    }
}

// RSA keys take a key transport too, so a message for an RSA certificate with the GOST cipher
// named explicitly round-trips.
TEST_F(EnvelopeTest, RsaRecipientWithTheCipherNamed) {
    PCCERT_CONTEXT recipient = addToStore(makeIdentity(KeyAlgorithm::Rsa2048));
    const EnvelopeCall encrypted = encryptBytes({recipient}, "RSA content", kGost28147Oid);
    ASSERT_TRUE(encrypted.ok) << encrypted.diagnostic;
    const EnvelopeCall decrypted = decryptBytes({store}, encrypted.output);
    ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
    EXPECT_EQ(decrypted.output, "RSA content");
}

TEST_F(EnvelopeTest, RecipientMissingOrWithoutKey) {
    const TestIdentity stranger = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Чужой");
    const TestIdentity keyless = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Без ключа");
    addToStore(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Свой"));
    addToStore(keyless, TestStore::Key::None);
    for (const TestIdentity* identity : {&stranger, &keyless}) {
        const EnvelopeCall encrypted = encryptBytes({standalone(*identity)}, "secret");
        ASSERT_TRUE(encrypted.ok);
        const EnvelopeCall decrypted = decryptBytes({store}, encrypted.output);
        EXPECT_FALSE(decrypted.ok);
        EXPECT_EQ(decrypted.error, winerr::CRYPT_E_NO_DECRYPT_CERT);
        EXPECT_EQ(decrypted.sizeCallLength, 0u) << "the size call itself must fail";
        EXPECT_EQ(systemMessage(decrypted.error),
                  "Cannot find the certificate and private key to use for decryption");
    }
}

// A certificate with the recipient's issuer and serial number but another key must fail with an
// error, never return bytes decrypted with a wrong key.
TEST_F(EnvelopeTest, ImpostorKeyFails) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        IdentityFields fields;
        fields.algorithm = algorithm;
        fields.subject = "CN=Получатель";
        fields.serial = "\x01\x23\x45\x67";
        const TestIdentity genuine = makeIdentity(fields);
        const TestIdentity impostor = makeIdentity(fields);
        const std::string content = randomBytes(4000, 3);
        const EnvelopeCall encrypted = encryptBytes({standalone(genuine)}, content);
        ASSERT_TRUE(encrypted.ok);

        TestStore own;
        own.add(impostor);
        HCERTSTORE impostorStore = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall refused = decryptBytes({impostorStore}, encrypted.output);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, winerr::NTE_BAD_DATA);
        EXPECT_TRUE(refused.output.empty());

        // With the genuine entry beside the impostor, the search goes on to it.
        own.add(genuine);
        CertCloseStore(impostorStore, 0);
        HCERTSTORE both = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall decrypted = decryptBytes({both}, encrypted.output);
        CertCloseStore(both, 0);
        ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
        EXPECT_EQ(decrypted.output, content);
        EXPECT_EQ(decrypted.exchangeThumbprint, genuine.thumbprint());
    }
}

// The key transport block carries its own MAC: a change in the wrapped key, its MAC, the sender's
// ephemeral key, the UKM or the parameter set is found. The engine does not read every byte of the
// block (the ephemeral key's digest parameter, the BIT STRING's unused-bits count), but no change
// anywhere may ever give wrong bytes as a success.
TEST_F(EnvelopeTest, DamagedEncryptedKeyFails) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        TestStore own;
        const TestIdentity identity = makeIdentity(algorithm);
        own.add(identity);
        HCERTSTORE ownStore = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall encrypted = encryptBytes({standalone(identity)}, "the content");
        ASSERT_TRUE(encrypted.ok);
        const auto key = derAt(encrypted.output, kEncryptedKeyPath);
        ASSERT_TRUE(key);
        ASSERT_EQ(key->tag, V_ASN1_OCTET_STRING);

        // GostR3410-KeyTransport: { { encryptedKey, macKey }, [0] { paramSet, [0] ephemeralKey, ukm } }
        const std::string block = encrypted.output.substr(key->contentStart, key->end - key->contentStart);
        std::vector<std::pair<std::size_t, std::size_t>> vital; // [from, to) in the message
        for (const std::vector<std::size_t>& path :
             std::vector<std::vector<std::size_t>>{{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 2}}) {
            const auto field = derAt(block, path);
            ASSERT_TRUE(field);
            vital.emplace_back(key->contentStart + field->contentStart, key->contentStart + field->end);
        }
        const auto publicKey = derAt(block, {0, 1, 1, 1});
        ASSERT_TRUE(publicKey);
        ASSERT_EQ(publicKey->tag, V_ASN1_BIT_STRING);
        vital.emplace_back(key->contentStart + publicKey->contentStart + 1,
                           key->contentStart + publicKey->end);
        EXPECT_EQ(vital[0].second - vital[0].first, 32u) << "wrapped key";
        EXPECT_EQ(vital[1].second - vital[1].first, 4u) << "MAC";
        EXPECT_EQ(vital[3].second - vital[3].first, 8u) << "UKM";

        for (std::size_t at = key->contentStart; at < key->end; ++at) {
            std::string damaged = encrypted.output;
            damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
            const EnvelopeCall decrypted = decryptBytes({ownStore}, damaged);
            EXPECT_TRUE(!decrypted.ok || decrypted.output == "the content") << "garbage from byte " << at;
            const bool isVital = std::any_of(vital.begin(), vital.end(), [at](const auto& range) {
                return at >= range.first && at < range.second;
            });
            if (isVital) {
                EXPECT_FALSE(decrypted.ok)
                    << "a damaged key transport block was accepted (byte " << at << ")";
                EXPECT_EQ(decrypted.error, winerr::NTE_BAD_DATA);
            }
        }
        CertCloseStore(ownStore, 0);
    }
}

// GOST 28147-89 CFB has no integrity check: a damaged ciphertext decrypts without an error to
// bytes that differ from the damaged position on, within the CFB block and the next one.
TEST_F(EnvelopeTest, DamagedCiphertextDecryptsToWrongBytes) {
    PCCERT_CONTEXT recipient = addToStore(makeIdentity(KeyAlgorithm::Gost2012_256));
    const std::string content = randomBytes(64, 4);
    const EnvelopeCall encrypted = encryptBytes({recipient}, content);
    ASSERT_TRUE(encrypted.ok);
    const auto field = derAt(encrypted.output, kEncryptedContentPath);
    ASSERT_TRUE(field);
    std::string damaged = encrypted.output;
    damaged[field->contentStart + 20] ^= 0x40;
    const EnvelopeCall decrypted = decryptBytes({store}, damaged);
    ASSERT_TRUE(decrypted.ok);
    ASSERT_EQ(decrypted.output.size(), content.size());
    EXPECT_EQ(decrypted.output.substr(0, 20), content.substr(0, 20));
    EXPECT_EQ(decrypted.output[20], static_cast<char>(content[20] ^ 0x40));
    EXPECT_NE(decrypted.output.substr(24, 8), content.substr(24, 8));
    EXPECT_EQ(decrypted.output.substr(32), content.substr(32));
}

TEST_F(EnvelopeTest, NotAnEnvelopedMessage) {
    PCCERT_CONTEXT signer = addToStore(makeIdentity(KeyAlgorithm::Gost2012_256));
    const std::string signature =
        cmsSign(makeIdentity(KeyAlgorithm::Gost2012_256), "content", attachedMessage());
    const EnvelopeCall encrypted = encryptBytes({signer}, "content");
    ASSERT_TRUE(encrypted.ok);
    const struct {
        const char* name;
        std::string message;
        DWORD expected;
    } cases[] = {
        {"signed message", signature, winerr::CRYPT_E_UNEXPECTED_MSG_TYPE},
        {"empty", "", winerr::CRYPT_E_ASN1_BADTAG},
        {"text", "Hello, world", winerr::CRYPT_E_ASN1_BADTAG},
        {"truncated", encrypted.output.substr(0, encrypted.output.size() / 2), winerr::CRYPT_E_ASN1_BADTAG},
        {"a certificate", makeIdentity(KeyAlgorithm::Gost2001).der(), winerr::CRYPT_E_ASN1_BADTAG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EnvelopeCall call = decryptBytes({store}, c.message);
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.error, c.expected);
    }
}

TEST_F(EnvelopeTest, DetachedEnvelopeHasNothingToDecrypt) {
    PCCERT_CONTEXT recipient = addToStore(makeIdentity(KeyAlgorithm::Gost2012_256));
    const EnvelopeCall encrypted = encryptBytes({recipient}, "content");
    ASSERT_TRUE(encrypted.ok);
    CmsPtr cms = parseCms(encrypted.output);
    ASSERT_EQ(CMS_set_detached(cms.get(), 1), 1);
    const EnvelopeCall call = decryptBytes({store}, encodeCms(cms.get()));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, winerr::CRYPT_E_MSG_ERROR);
}

// An encrypted key is unlocked by the data call only: the size call uses no key and asks nothing.
TEST_F(EnvelopeTest, EncryptedKeyAsksOnceInTheDataCall) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Владелец ключа");
    PCCERT_CONTEXT recipient = addToStore(identity, TestStore::Key::Encrypted, "пароль");
    const EnvelopeCall encrypted = encryptBytes({recipient}, "content");
    ASSERT_TRUE(encrypted.ok);

    ScriptedPasswords passwords({{"неверный"}, {"пароль"}});
    HCERTSTORE stores[] = {store};
    CRYPT_DECRYPT_MESSAGE_PARA para{kDecryptMessageParaSize32, kMessageEncoding, 1, stores};
    DWORD length = 0;
    ASSERT_TRUE(CryptDecryptMessage(&para, reinterpret_cast<const BYTE*>(encrypted.output.data()),
                                    static_cast<DWORD>(encrypted.output.size()), nullptr, &length, nullptr));
    EXPECT_TRUE(passwords.requests().empty());
    std::string plain(length, '\0');
    ASSERT_TRUE(CryptDecryptMessage(&para, reinterpret_cast<const BYTE*>(encrypted.output.data()),
                                    static_cast<DWORD>(encrypted.output.size()),
                                    reinterpret_cast<BYTE*>(plain.data()), &length, nullptr));
    EXPECT_EQ(plain, "content");
    ASSERT_EQ(passwords.requests().size(), 2u);
    EXPECT_EQ(passwords.requests()[0].thumbprint, identity.thumbprint());
    EXPECT_TRUE(passwords.requests()[1].previousWasWrong);
}

TEST_F(EnvelopeTest, CancelledOrWrongPasswordFails) {
    PCCERT_CONTEXT recipient =
        addToStore(makeIdentity(KeyAlgorithm::Gost2012_512), TestStore::Key::Encrypted, "x");
    const EnvelopeCall encrypted = encryptBytes({recipient}, "content");
    ASSERT_TRUE(encrypted.ok);
    {
        ScriptedPasswords passwords({{"", true}});
        const EnvelopeCall call = decryptBytes({store}, encrypted.output);
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.error, winerr::ERROR_CANCELLED);
    }
    {
        ScriptedPasswords passwords({{"a"}, {"b"}, {"c"}});
        const EnvelopeCall call = decryptBytes({store}, encrypted.output);
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.error, winerr::ERROR_INVALID_PASSWORD);
        EXPECT_EQ(passwords.unused(), 0u);
    }
}

// Whatever byte of a message's structure is changed, and wherever it is cut, decryption ends in an
// answer: the GOST engine asserts on some malformed fields, which must never reach it.
TEST_F(EnvelopeTest, NoDamageToTheStructureStopsTheProcess) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        TestStore own;
        const TestIdentity identity = makeIdentity(algorithm);
        own.add(identity);
        HCERTSTORE ownStore = CertOpenSystemStoreA(0, "MY");
        const std::string content = "the content";
        const EnvelopeCall encrypted = encryptBytes({standalone(identity)}, content);
        ASSERT_TRUE(encrypted.ok);
        const std::size_t structure = encrypted.output.size() - content.size();
        int accepted = 0;
        for (std::size_t at = 0; at < structure; ++at) {
            for (const unsigned char mask : {0x01, 0x80}) {
                std::string damaged = encrypted.output;
                damaged[at] = static_cast<char>(damaged[at] ^ mask);
                accepted += decryptBytes({ownStore}, damaged).ok ? 1 : 0;
            }
        }
        for (std::size_t length = 0; length < encrypted.output.size(); ++length)
            EXPECT_FALSE(decryptBytes({ownStore}, encrypted.output.substr(0, length)).ok) << length;
        // Some fields are not protected (the content type, IV and parameter set, parameters the
        // engine does not read), but most changes must be refused.
        EXPECT_LT(accepted, static_cast<int>(structure / 2)) << "of " << 2 * structure << " changes";
        CertCloseStore(ownStore, 0);
    }
}
