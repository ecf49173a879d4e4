// CryptSignMessage: message layout per key type, the two-call pattern, binary content, the hash
// identifier's validation and the parameter checks.

#include "CryptoTestUtil.h"

#include "crypto/ContentDigest.h"
#include "crypto/FileBytes.h"
#include "crypto/GostRuntime.h"
#include "crypto/SignOperation.h"
#include "platform/Errors.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <sys/mman.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

struct GostCase {
    KeyAlgorithm algorithm;
    const char* keyOid;
    const char* hashOid;
    int signatureBytes;
};

constexpr GostCase kGostCases[] = {
    {KeyAlgorithm::Gost2001, "1.2.643.2.2.19", "1.2.643.2.2.9", 64},
    {KeyAlgorithm::Gost2012_256, "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2", 64},
    {KeyAlgorithm::Gost2012_512, "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3", 128},
};

// One identity in the test store, its store handle and its context.
struct Signer {
    TestIdentity identity;
    StoreHandle store;
    CertContextHandle context;
};

std::unique_ptr<Signer> addSigner(TestStore& testStore, KeyAlgorithm algorithm,
                                  TestStore::Key key = TestStore::Key::Plain,
                                  const std::string& password = {}) {
    auto signer = std::make_unique<Signer>();
    signer->identity = makeIdentity(algorithm, "CN=Подписант " + std::string(KeyAlgorithmName(algorithm)));
    testStore.add(signer->identity, key, password);
    signer->store = StoreHandle(CertOpenSystemStoreA(0, "MY"));
    signer->context = findInStore(signer->store.get(), signer->identity.thumbprint());
    EXPECT_TRUE(signer->context);
    return signer;
}

std::string oidOf(const X509_ALGOR* algorithm, int* parameterType = nullptr) {
    const ASN1_OBJECT* object = nullptr;
    int type = 0;
    X509_ALGOR_get0(&object, &type, nullptr, algorithm);
    if (parameterType != nullptr)
        *parameterType = type;
    return DottedOid(object);
}

// The layout checked field by field, and OpenSSL's own verification over `content`.
void expectSignedMessage(const std::string& der, const TestIdentity& signer, const GostCase& c, bool detached,
                         const std::string& content) {
    SCOPED_TRACE(c.keyOid + std::string(detached ? " detached" : " attached"));
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(cms);
    EXPECT_EQ(p, reinterpret_cast<const unsigned char*>(der.data()) + der.size())
        << "bytes after the message";
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_type(cms.get())), NID_pkcs7_signed);
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_eContentType(cms.get())), NID_pkcs7_data);

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(signers), 1);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
    X509_ALGOR* digest = nullptr;
    X509_ALGOR* signature = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, &signature);
    EXPECT_EQ(oidOf(digest), c.hashOid);
    int parameterType = 0;
    EXPECT_EQ(oidOf(signature, &parameterType), c.keyOid);
    EXPECT_EQ(parameterType, V_ASN1_NULL);
    EXPECT_LT(CMS_signed_get_attr_count(si), 1) << "signed attributes present";
    EXPECT_LT(CMS_unsigned_get_attr_count(si), 1) << "unsigned attributes present";
    EXPECT_EQ(ASN1_STRING_length(CMS_SignerInfo_get0_signature(si)), c.signatureBytes);
    EXPECT_EQ(CMS_SignerInfo_cert_cmp(si, signer.certificate.get()), 0)
        << "signer not identified by the certificate";

    X509StackPtr certificates(CMS_get1_certs(cms.get()));
    ASSERT_EQ(sk_X509_num(certificates.get()), 1);
    EXPECT_EQ(X509_cmp(sk_X509_value(certificates.get(), 0), signer.certificate.get()), 0);

    ASN1_OCTET_STRING** embedded = CMS_get0_content(cms.get());
    ASSERT_NE(embedded, nullptr);
    if (detached) {
        EXPECT_EQ(*embedded, nullptr) << "a detached message holds content";
    } else {
        ASSERT_NE(*embedded, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*embedded)),
                              static_cast<std::size_t>(ASN1_STRING_length(*embedded))),
                  content);
    }

    const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
    BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    EXPECT_EQ(CMS_verify(cms.get(), nullptr, nullptr, detached ? data.get() : nullptr, nullptr, flags), 1)
        << TakeOpenSslErrors();
    const std::string changed = content + "x";
    BioPtr other(BIO_new_mem_buf(changed.data(), static_cast<int>(changed.size())));
    if (detached) {
        EXPECT_NE(CMS_verify(cms.get(), nullptr, nullptr, other.get(), nullptr, flags), 1);
    }
    ClearOpenSslErrors();
}

class SignMessageTest : public ::testing::Test {
protected:
    void TearDown() override {
        const OpenHandleCounts counts = CountOpenHandles();
        EXPECT_EQ(counts.certificateContexts, 0);
        EXPECT_EQ(counts.stores, 0);
        EXPECT_EQ(counts.providerHandles, 0);
    }
    TestStore store;
};

} // namespace

TEST_F(SignMessageTest, EveryGostKeyTypeSignsWithItsHashDetachedAndAttached) {
    // LF, CR LF, NUL and high bytes: any text canonicalisation would change the digest.
    const std::string content =
        std::string("line one\nline two\r\n\0\0binary\xff\xfe\r\r\n", 32) + randomBytes(3000);
    for (const GostCase& c : kGostCases) {
        auto signer = addSigner(store, c.algorithm);
        EXPECT_EQ(ChooseHashAlgorithm(c.keyOid), c.hashOid);
        for (bool detached : {true, false}) {
            const SignCall call = signBytes(signer->context.get(), content, detached, c.hashOid);
            ASSERT_EQ(call.ok, TRUE) << c.keyOid << ": " << LastCryptoDiagnostic();
            EXPECT_EQ(call.message.size(), call.sizeCallLength);
            expectSignedMessage(call.message, signer->identity, c, detached, content);
        }
    }
}

TEST_F(SignMessageTest, SizeCallEqualsDataCallAcrossDerLengthBoundaries) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    const std::size_t sizes[] = {0, 1, 127, 128, 255, 256, 65535, 65536, (1u << 24) - 1, 1u << 24};
    const std::string big = randomBytes(1u << 24, 11);
    DWORD detachedLength = 0;
    for (std::size_t size : sizes) {
        const std::string content = big.substr(0, size);
        for (bool detached : {true, false}) {
            const SignCall call = signBytes(signer->context.get(), content, detached, "1.2.643.7.1.1.2.2");
            ASSERT_EQ(call.ok, TRUE) << size;
            EXPECT_EQ(call.message.size(), call.sizeCallLength)
                << size << (detached ? " detached" : " attached");
            if (detached) {
                // One length per certificate, whatever the content.
                if (detachedLength == 0)
                    detachedLength = call.sizeCallLength;
                EXPECT_EQ(call.sizeCallLength, detachedLength) << size;
            } else {
                EXPECT_GE(call.sizeCallLength, detachedLength + size + 4) << size;
                EXPECT_LE(call.sizeCallLength, detachedLength + size + 28) << size;
            }
        }
    }
}

TEST_F(SignMessageTest, SizeCallNeverReadsTheContent) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_512);
    // Content that cannot be read at all: touching it would crash the test.
    const std::size_t size = 1u << 20;
    void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    std::string hash = "1.2.643.7.1.1.2.3";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer->context.get();
    para.HashAlgorithm.pszObjId = hash.data();
    const BYTE* data[] = {static_cast<const BYTE*>(region)};
    DWORD lengths[] = {static_cast<DWORD>(size)};
    for (BOOL detached : {TRUE, FALSE}) {
        DWORD length = 0;
        EXPECT_EQ(CryptSignMessage(&para, detached, 1, data, lengths, nullptr, &length), TRUE);
        EXPECT_GT(length, detached ? 100u : size);
    }
    ::munmap(region, size);
}

TEST_F(SignMessageTest, ContentOf2GiBOrMoreIsRefusedBeforeItIsRead) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    // Address space only: touching any of it would crash the test.
    const std::size_t size = std::size_t{5} << 30;
    void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    const auto* base = static_cast<const BYTE*>(region);
    std::string hash = "1.2.643.7.1.1.2.2";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer->context.get();
    para.HashAlgorithm.pszObjId = hash.data();
    const struct {
        const char* name;
        std::vector<DWORD> lengths;
    } cases[] = {
        {"one element of 4 GiB - 1", {0xFFFFFFFFu}},
        {"one element just under 2 GiB", {0x7FF00001u}},
        {"a file past 4 GiB in two elements", {0xFFFFFFFFu, 6}},
    };
    for (const auto& c : cases) {
        std::vector<const BYTE*> data;
        std::size_t offset = 0;
        for (DWORD length : c.lengths) {
            data.push_back(base + offset);
            offset += length;
        }
        std::vector<DWORD> lengths = c.lengths;
        DWORD length = 0;
        EXPECT_EQ(CryptSignMessage(&para, FALSE, static_cast<DWORD>(data.size()), data.data(), lengths.data(),
                                   nullptr, &length),
                  FALSE)
            << c.name;
        EXPECT_EQ(GetLastError(), winerr::CRYPT_E_ASN1_LARGE) << c.name;
    }
    ::munmap(region, size);
}

TEST_F(SignMessageTest, ShortBufferGivesMoreDataAndTheNeededLength) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    std::string hash = "1.2.643.7.1.1.2.2";
    const std::string content = "content";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer->context.get();
    para.HashAlgorithm.pszObjId = hash.data();
    const BYTE* data[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD lengths[] = {static_cast<DWORD>(content.size())};
    DWORD needed = 0;
    ASSERT_EQ(CryptSignMessage(&para, FALSE, 1, data, lengths, nullptr, &needed), TRUE);

    std::string buffer(needed + 10, '\x55');
    DWORD length = needed - 1;
    EXPECT_EQ(
        CryptSignMessage(&para, FALSE, 1, data, lengths, reinterpret_cast<BYTE*>(buffer.data()), &length),
        FALSE);
    EXPECT_EQ(GetLastError(), winerr::ERROR_MORE_DATA);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buffer, std::string(needed + 10, '\x55')) << "a refused call wrote into the buffer";

    length = 0;
    EXPECT_EQ(
        CryptSignMessage(&para, FALSE, 1, data, lengths, reinterpret_cast<BYTE*>(buffer.data()), &length),
        FALSE);
    EXPECT_EQ(GetLastError(), winerr::ERROR_MORE_DATA);
    EXPECT_EQ(length, needed);

    length = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(
        CryptSignMessage(&para, FALSE, 1, data, lengths, reinterpret_cast<BYTE*>(buffer.data()), &length),
        TRUE);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buffer.substr(needed), std::string(10, '\x55'));
}

TEST_F(SignMessageTest, HashIdentifierIsValidatedExactly) {
    auto gost256 = addSigner(store, KeyAlgorithm::Gost2012_256);
    auto gost512 = addSigner(store, KeyAlgorithm::Gost2012_512);
    auto gost2001 = addSigner(store, KeyAlgorithm::Gost2001);
    const struct {
        const Signer* signer;
        const char* hash;
        std::uint32_t error;
    } cases[] = {
        {gost256.get(), "", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "1.2.643.7.1.1.2.2 ", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), " 1.2.643.7.1.1.2.2", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "1.2.643.7.1.1.2.2.", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "1.2.643.07.1.1.2.2", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "md_gost12_256", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "streebog256", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "1.2.643.7.1.1.2.99", winerr::CRYPT_E_UNKNOWN_ALGO},
        {gost256.get(), "1.2.643.7.1.1.1.1", winerr::CRYPT_E_UNKNOWN_ALGO}, // a key algorithm, not a hash
        {gost256.get(), "1.2.643.7.1.1.2.3", winerr::NTE_BAD_ALGID},
        {gost256.get(), "1.2.643.2.2.9", winerr::NTE_BAD_ALGID},
        {gost256.get(), "2.16.840.1.101.3.4.2.1", winerr::NTE_BAD_ALGID},
        {gost512.get(), "1.2.643.7.1.1.2.2", winerr::NTE_BAD_ALGID},
        {gost2001.get(), "1.2.643.7.1.1.2.2", winerr::NTE_BAD_ALGID},
        {gost2001.get(), "1.2.643.2.2.9", 0},
    };
    for (const auto& c : cases) {
        const SignCall call = signBytes(c.signer->context.get(), "data", true, c.hash);
        EXPECT_EQ(call.ok, c.error == 0 ? TRUE : FALSE) << "\"" << c.hash << "\"";
        if (c.error != 0) {
            EXPECT_EQ(call.error, c.error) << "\"" << c.hash << "\"";
            EXPECT_EQ(call.sizeCallLength, 0u) << "the size call must fail already";
        }
    }
    // A missing identifier is refused the same way.
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = gost256->context.get();
    DWORD length = 0;
    EXPECT_EQ(CryptSignMessage(&para, TRUE, 0, nullptr, nullptr, nullptr, &length), FALSE);
    EXPECT_EQ(GetLastError(), winerr::CRYPT_E_UNKNOWN_ALGO);
}

TEST_F(SignMessageTest, RsaAndEcCertificatesGetNoHashFromTheTable) {
    for (KeyAlgorithm algorithm : {KeyAlgorithm::Rsa2048, KeyAlgorithm::EcP256}) {
        auto signer = addSigner(store, algorithm);
        const std::string hash =
            ChooseHashAlgorithm(signer->context->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
        EXPECT_EQ(hash, "");
        const SignCall call = signBytes(signer->context.get(), "data", true, hash);
        EXPECT_EQ(call.ok, FALSE);
        EXPECT_EQ(call.error, winerr::CRYPT_E_UNKNOWN_ALGO);
        EXPECT_EQ(call.error, 2148077570u);
        // The function itself is general: with a hash their keys can use, they sign. ECDSA values
        // vary in length, so the size call gives an upper bound.
        const SignCall sha = signBytes(signer->context.get(), "data", true, "2.16.840.1.101.3.4.2.1");
        EXPECT_EQ(sha.ok, TRUE) << LastCryptoDiagnostic();
        EXPECT_LE(sha.message.size(), sha.sizeCallLength);
        EXPECT_GE(sha.message.size() + 8, sha.sizeCallLength);
    }
}

TEST_F(SignMessageTest, ParametersAreChecked) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    std::string hash = "1.2.643.7.1.1.2.2";
    const std::string content = "x";
    const BYTE* data[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD lengths[] = {1};
    const auto base = [&] {
        CRYPT_SIGN_MESSAGE_PARA para{};
        para.cbSize = kSignMessageParaSize32;
        para.dwMsgEncodingType = kMessageEncoding;
        para.pSigningCert = signer->context.get();
        para.HashAlgorithm.pszObjId = hash.data();
        return para;
    };
    CRYPT_ATTRIBUTE attribute{};
    const struct {
        const char* name;
        std::function<void(CRYPT_SIGN_MESSAGE_PARA&)> change;
        BOOL ok;
    } cases[] = {
        {"32-bit size", [](auto&) {}, TRUE},
        {"structure size", [](auto& p) { p.cbSize = sizeof(CRYPT_SIGN_MESSAGE_PARA); }, TRUE},
        {"PKCS #7 encoding only", [](auto& p) { p.dwMsgEncodingType = PKCS_7_ASN_ENCODING; }, TRUE},
        {"size 0", [](auto& p) { p.cbSize = 0; }, FALSE},
        {"size of the verify record", [](auto& p) { p.cbSize = kVerifyMessageParaSize32; }, FALSE},
        {"X509 encoding only", [](auto& p) { p.dwMsgEncodingType = X509_ASN_ENCODING; }, FALSE},
        {"no signer", [](auto& p) { p.pSigningCert = nullptr; }, FALSE},
        {"signed attributes",
         [&](auto& p) {
             p.cAuthAttr = 1;
             p.rgAuthAttr = &attribute;
         },
         FALSE},
        {"certificate count without list", [](auto& p) { p.cMsgCert = 1; }, FALSE},
        {"signer not a context",
         [](auto& p) {
             static CERT_CONTEXT fake{};
             p.pSigningCert = &fake;
         },
         FALSE},
    };
    for (const auto& c : cases) {
        CRYPT_SIGN_MESSAGE_PARA para = base();
        c.change(para);
        DWORD length = 0;
        EXPECT_EQ(CryptSignMessage(&para, TRUE, 1, data, lengths, nullptr, &length), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG) << c.name;
        }
    }
    CRYPT_SIGN_MESSAGE_PARA para = base();
    EXPECT_EQ(CryptSignMessage(&para, TRUE, 1, data, lengths, nullptr, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
    DWORD length = 0;
    EXPECT_EQ(CryptSignMessage(nullptr, TRUE, 1, data, lengths, nullptr, &length), FALSE);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
}

TEST_F(SignMessageTest, SeveralContentElementsAreSignedAsOne) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    std::string hash = "1.2.643.7.1.1.2.2";
    const std::string a = "first part\n";
    const std::string b = "second part";
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer->context.get();
    para.HashAlgorithm.pszObjId = hash.data();
    PCCERT_CONTEXT certificates[] = {signer->context.get(), signer->context.get()};
    para.cMsgCert = 2; // the same certificate twice is carried once
    para.rgpMsgCert = certificates;
    const BYTE* data[] = {reinterpret_cast<const BYTE*>(a.data()), reinterpret_cast<const BYTE*>(b.data())};
    DWORD lengths[] = {static_cast<DWORD>(a.size()), static_cast<DWORD>(b.size())};
    DWORD length = 0;
    ASSERT_EQ(CryptSignMessage(&para, FALSE, 2, data, lengths, nullptr, &length), TRUE);
    std::string message(length, '\0');
    ASSERT_EQ(
        CryptSignMessage(&para, FALSE, 2, data, lengths, reinterpret_cast<BYTE*>(message.data()), &length),
        TRUE);
    message.resize(length);
    expectSignedMessage(message, signer->identity, kGostCases[1], false, a + b);
}

TEST_F(SignMessageTest, AnAcquiredKeyIsNotAskedForAgain) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256, TestStore::Key::Encrypted, "секрет");
    {
        ScriptedPasswords passwords({{"секрет"}});
        HCRYPTPROV raw = 0;
        ASSERT_EQ(
            CryptAcquireCertificatePrivateKey(signer->context.get(), 0, nullptr, &raw, nullptr, nullptr),
            TRUE);
        ProviderHandle provider(raw);
        EXPECT_EQ(signBytes(signer->context.get(), "a", true, "1.2.643.7.1.1.2.2").ok, TRUE);
        EXPECT_EQ(signBytes(signer->context.get(), "b", false, "1.2.643.7.1.1.2.2").ok, TRUE);
        EXPECT_EQ(passwords.requests().size(), 1u);
    }
    { // Without a provider handle every call unlocks the key itself; a cancel fails the call.
        ScriptedPasswords passwords({{"", true}});
        const SignCall call = signBytes(signer->context.get(), "a", true, "1.2.643.7.1.1.2.2");
        EXPECT_EQ(call.ok, FALSE);
        EXPECT_EQ(call.error, winerr::ERROR_CANCELLED);
        EXPECT_EQ(passwords.requests().size(), 1u);
    }
}

TEST_F(SignMessageTest, ContextWithoutKeyCannotSign) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string der = identity.der();
    CertContextHandle context(CertCreateCertificateContext(
        kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    const SignCall call = signBytes(context.get(), "a", true, "1.2.643.7.1.1.2.2");
    EXPECT_EQ(call.ok, FALSE);
    EXPECT_EQ(call.error, winerr::CRYPT_E_NO_KEY_PROPERTY);
}

// ---------------------------------------------------------------------------------------------
// Hashing while loading

namespace {

EvpMdCtxPtr digestOf(const std::string& bytes, const EVP_MD* md) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_DigestInit_ex(ctx.get(), md, nullptr);
    EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
    return ctx;
}

std::string finalDigest(const EVP_MD_CTX* state) {
    EvpMdCtxPtr copy(EVP_MD_CTX_new());
    EVP_MD_CTX_copy_ex(copy.get(), state);
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(copy.get(), value, &length);
    return std::string(reinterpret_cast<char*>(value), length);
}

} // namespace

TEST(LoadFileWithDigest, LoadsTheWholeFileAndHashesWhatItLoaded) {
    ASSERT_TRUE(GostRuntimeReady()) << GostRuntimeErrorText();
    TempDir dir;
    const EVP_MD* md = EVP_get_digestbyname("md_gost12_256");
    ASSERT_NE(md, nullptr);
    const std::size_t chunk = std::size_t{8} << 20; // the reader's block: boundaries around it matter
    const std::string all = randomBytes(2 * chunk + 12345, 3);
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1, 2 * chunk + 12345}) {
        const std::string bytes = all.substr(0, size);
        writeFile(dir.file("in"), bytes);
        std::string loaded;
        const EvpMdCtxPtr digest = LoadFileWithDigest(loaded, dir.file("in"), md);
        ASSERT_EQ(loaded.size(), size);
        EXPECT_TRUE(loaded == bytes) << size;
        ASSERT_TRUE(digest) << size;
        EXPECT_EQ(finalDigest(digest.get()), finalDigest(digestOf(bytes, md).get())) << size;
    }
    std::string loaded;
    EXPECT_FALSE(LoadFileWithDigest(loaded, dir.file("in"), nullptr)); // no hash asked: a plain load
    EXPECT_EQ(loaded.size(), 2 * chunk + 12345);
    try {
        LoadFileWithDigest(loaded, dir.file("missing"), md);
        ADD_FAILURE() << "no error";
    } catch (const FileOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"" + dir.file("missing") +
                                   "\". The system cannot find the file specified");
    }
}

// A file cut short while it is loaded and hashed is refused; whatever the moment of the cut, what
// loads whole is the file and its digest is of those bytes (the hashing thread never reads a buffer
// that the failed load has given back).
TEST(LoadFileWithDigest, AFileCutWhileItLoadsIsRefused) {
    ASSERT_TRUE(GostRuntimeReady()) << GostRuntimeErrorText();
    TempDir dir;
    const EVP_MD* md = EVP_get_digestbyname("md_gost12_256");
    const std::string path = dir.file("cut.bin");
    const std::string content = randomBytes(std::size_t{12} << 20, 5);
    const std::size_t cut = std::size_t{1} << 20;
    writeFile(path, content);
    std::string loaded;
    const auto start = std::chrono::steady_clock::now();
    loaded = readFileBytes(path);
    const auto readTime = std::chrono::steady_clock::now() - start;
    // Cuts spread over the time the reading takes, while the hashing thread still works.
    int refused = 0;
    for (int round = 0; round < 8; ++round) {
        writeFile(path, content);
        std::thread cutter([&] {
            std::this_thread::sleep_for(readTime * round / 8);
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        });
        try {
            const EvpMdCtxPtr digest = LoadFileWithDigest(loaded, path, md);
            cutter.join();
            ASSERT_TRUE(loaded == content || loaded == content.substr(0, cut)) << loaded.size();
            ASSERT_TRUE(digest);
            EXPECT_EQ(finalDigest(digest.get()), finalDigest(digestOf(loaded, md).get()));
        } catch (const FileChangedError& e) {
            cutter.join();
            EXPECT_EQ(e.message(), "The size of \"" + path + "\" changed while it was read");
            ++refused;
        }
    }
    EXPECT_GT(refused, 0) << "no cut came while a file loaded";
}

TEST_F(SignMessageTest, LentDigestIsUsedOnlyForTheSameBytesAndHash) {
    auto signer = addSigner(store, KeyAlgorithm::Gost2012_256);
    const std::string content = randomBytes(100000, 4);
    const std::string other = randomBytes(100000, 5);
    const EVP_MD* md256 = EVP_get_digestbyname("md_gost12_256");
    const EVP_MD* md512 = EVP_get_digestbyname("md_gost12_512");
    const auto* data = reinterpret_cast<const BYTE*>(content.data());
    const auto sign = [&] {
        const SignCall call = signBytes(signer->context.get(), content, true, "1.2.643.7.1.1.2.2");
        EXPECT_EQ(call.ok, TRUE);
        // signBytes passes content.data(), the address the scopes below name.
        const auto* p = reinterpret_cast<const unsigned char*>(call.message.data());
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(call.message.size())));
        BioPtr bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        const bool ok = CMS_verify(cms.get(), nullptr, nullptr, bio.get(), nullptr,
                                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
        ClearOpenSslErrors();
        return ok;
    };
    { // The right state for these bytes: used, and the signature is sound.
        const EvpMdCtxPtr digest = digestOf(content, md256);
        ContentDigestScope scope(data, content.size(), digest.get());
        EXPECT_TRUE(sign());
    }
    { // A state of other bytes lent for this address is taken over: proof that it is used at all.
        const EvpMdCtxPtr digest = digestOf(other, md256);
        ContentDigestScope scope(data, content.size(), digest.get());
        EXPECT_FALSE(sign());
    }
    { // Another length, another address or another hash: ignored.
        const EvpMdCtxPtr digest = digestOf(other, md256);
        const EvpMdCtxPtr digest512 = digestOf(other, md512);
        {
            ContentDigestScope scope(data, content.size() - 1, digest.get());
            EXPECT_TRUE(sign());
        }
        {
            ContentDigestScope scope(data + 1, content.size(), digest.get());
            EXPECT_TRUE(sign());
        }
        {
            ContentDigestScope scope(data, content.size(), digest512.get());
            EXPECT_TRUE(sign());
        }
    }
    EXPECT_TRUE(sign()); // and nothing stays lent after the scope
}
