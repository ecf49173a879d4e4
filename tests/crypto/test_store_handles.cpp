// The certificate-context functions over the store "MY": handles, reference counts, the fields of
// CERT_INFO and provider handles. They go with those functions; the store, certificates and keys
// themselves are tested in test_store.cpp.

#include "CryptoTestUtil.h"

#include "crypto/CertificateStore.h"
#include "platform/Errors.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

std::string bytesOf(const CRYPT_INTEGER_BLOB& blob) {
    return std::string(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
}

class StoreHandles : public ::testing::Test {
protected:
    void TearDown() override {
        // Every test gives back what it took.
        const OpenHandleCounts counts = CountOpenHandles();
        EXPECT_EQ(counts.certificateContexts, 0);
        EXPECT_EQ(counts.storeHandles, 0);
        EXPECT_EQ(counts.stores, 0);
        EXPECT_EQ(counts.providerHandles, 0);
    }
    TestStore store;
};

} // namespace

TEST_F(StoreHandles, OnlyThePersonalStoreExists) {
    const struct {
        const char* name;
        bool opens;
    } cases[] = {{"MY", true},  {"my", true}, {"My", true},  {"ROOT", false},
                 {"CA", false}, {"", false},  {"MY ", false}};
    for (const auto& c : cases) {
        StoreHandle handle(CertOpenSystemStoreA(0, c.name));
        EXPECT_EQ(static_cast<bool>(handle), c.opens) << "\"" << c.name << "\"";
        if (!c.opens) {
            EXPECT_EQ(GetLastError(), winerr::ERROR_FILE_NOT_FOUND) << c.name;
        }
    }
    EXPECT_EQ(CertOpenSystemStoreA(0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
}

TEST_F(StoreHandles, CloseWithCheckFlagReportsPendingContextsButClosesTheHandle) {
    const std::string thumbprint = store.add(makeIdentity(KeyAlgorithm::Gost2012_256));

    { // Nothing open: a clean close.
        HCERTSTORE handle = CertOpenSystemStoreA(0, "MY");
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG), TRUE);
    }
    { // A context still open: FALSE with CRYPT_E_PENDING_CLOSE; the context stays usable.
        HCERTSTORE handle = CertOpenSystemStoreA(0, "MY");
        PCCERT_CONTEXT context = CertEnumCertificatesInStore(handle, nullptr);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(context->hCertStore, handle);
        EXPECT_EQ(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG), FALSE);
        EXPECT_EQ(GetLastError(), winerr::CRYPT_E_PENDING_CLOSE);
        EXPECT_EQ(CountOpenHandles().storeHandles, 0);
        EXPECT_EQ(CountOpenHandles().stores, 1);
        EXPECT_EQ(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG), FALSE); // already closed
        EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
        EXPECT_EQ(CertEnumCertificatesInStore(handle, nullptr), nullptr);
        EXPECT_EQ(DescribeCertificate(context).thumbprint, thumbprint);
        EXPECT_EQ(std::string(context->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId),
                  "1.2.643.7.1.1.1.1");
        EXPECT_EQ(CertFreeCertificateContext(context), TRUE);
        EXPECT_EQ(CountOpenHandles().stores, 0);
    }
    { // Without the flag the same close succeeds.
        HCERTSTORE handle = CertOpenSystemStoreA(0, "MY");
        PCCERT_CONTEXT context = CertEnumCertificatesInStore(handle, nullptr);
        PCCERT_CONTEXT second = CertDuplicateCertificateContext(context);
        EXPECT_EQ(second, context);
        EXPECT_EQ(CertCloseStore(handle, 0), TRUE);
        EXPECT_EQ(CertFreeCertificateContext(context), TRUE);
        EXPECT_EQ(CountOpenHandles().stores, 1);
        EXPECT_EQ(CertFreeCertificateContext(second), TRUE);
        EXPECT_EQ(CertFreeCertificateContext(second), FALSE);
        EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
        EXPECT_EQ(CertFreeCertificateContext(nullptr), TRUE);
    }
}

TEST_F(StoreHandles, EnumerationReleasesThePreviousContext) {
    store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=a"));
    store.add(makeIdentity(KeyAlgorithm::Gost2012_256, "CN=b"));
    StoreHandle handle(CertOpenSystemStoreA(0, "MY"));
    PCCERT_CONTEXT first = CertEnumCertificatesInStore(handle.get(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CountOpenHandles().certificateContexts, 1);
    PCCERT_CONTEXT second = CertEnumCertificatesInStore(handle.get(), first);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(CountOpenHandles().certificateContexts, 1);
    EXPECT_EQ(CertEnumCertificatesInStore(handle.get(), second), nullptr);
    EXPECT_EQ(GetLastError(), winerr::CRYPT_E_NOT_FOUND);
    EXPECT_EQ(CountOpenHandles().certificateContexts, 0);

    std::vector<CertContextHandle> all = EnumerateCertificates(handle.get());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].get(), first);
    EXPECT_EQ(all[1].get(), second);
    EXPECT_EQ(CountOpenHandles().certificateContexts, 2);
    all.clear();
    EXPECT_EQ(CountOpenHandles().certificateContexts, 0);
}

TEST_F(StoreHandles, CreateCertificateContextAcceptsDerOnly) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string der = identity.der();
    const struct {
        const char* name;
        std::string bytes;
        DWORD encoding;
        std::uint32_t error; // 0: accepted
    } cases[] = {
        {"DER", der, kMessageEncoding, 0},
        {"DER, X509 encoding only", der, X509_ASN_ENCODING, 0},
        {"DER with bytes after it", der + "trailing", kMessageEncoding, 0},
        {"PEM text", identity.pem(), kMessageEncoding, winerr::CRYPT_E_ASN1_BADTAG},
        {"Base64 body", identity.pem().substr(28), kMessageEncoding, winerr::CRYPT_E_ASN1_BADTAG},
        {"garbage", randomBytes(500, 7).replace(0, 1, "\x04"), kMessageEncoding, winerr::CRYPT_E_ASN1_BADTAG},
        {"sequence of garbage", "\x30\x82\x01\x00" + randomBytes(256, 3), kMessageEncoding,
         winerr::CRYPT_E_ASN1_CORRUPT},
        {"truncated", der.substr(0, der.size() - 10), kMessageEncoding, winerr::CRYPT_E_ASN1_CORRUPT},
        {"one byte", "\x30", kMessageEncoding, winerr::CRYPT_E_ASN1_EOD},
        {"empty", "", kMessageEncoding, winerr::CRYPT_E_ASN1_EOD},
        {"PKCS #7 encoding only", der, PKCS_7_ASN_ENCODING, winerr::E_INVALIDARG},
    };
    for (const auto& c : cases) {
        PCCERT_CONTEXT context = CertCreateCertificateContext(
            c.encoding, reinterpret_cast<const BYTE*>(c.bytes.data()), static_cast<DWORD>(c.bytes.size()));
        if (c.error == 0) {
            ASSERT_NE(context, nullptr) << c.name;
            EXPECT_EQ(
                std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded),
                der)
                << c.name;
            EXPECT_EQ(context->dwCertEncodingType, X509_ASN_ENCODING);
            EXPECT_EQ(context->hCertStore, nullptr);
            EXPECT_EQ(CertFreeCertificateContext(context), TRUE);
        } else {
            EXPECT_EQ(context, nullptr) << c.name;
            EXPECT_EQ(GetLastError(), c.error) << c.name;
        }
    }
}

TEST_F(StoreHandles, CertInfoHoldsTheFieldsAsThePlatformDoes) {
    IdentityFields fields;
    fields.algorithm = KeyAlgorithm::Gost2012_512;
    fields.subject = "CN=Иванов Иван, O=ООО Ромашка, C=RU";
    // 16 bytes with the top bit set: DER adds a sign byte, which the platform keeps.
    fields.serial = std::string("\x81\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10", 16);
    fields.notBefore = 1577934245; // 2020-01-02 03:04:05 UTC
    fields.notAfter = 4102444800;  // 2100-01-01 00:00:00 UTC
    const TestIdentity identity = makeIdentity(fields);
    const std::string der = identity.der();
    CertContextHandle context(CertCreateCertificateContext(
        kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(context);
    const CERT_INFO& info = *context->pCertInfo;
    EXPECT_EQ(info.dwVersion, CERT_V3);
    EXPECT_EQ(bytesOf(info.SerialNumber),
              std::string("\x10\x0f\x0e\x0d\x0c\x0b\x0a\x09\x08\x07\x06\x05\x04\x03\x02\x81\x00", 17));
    const std::string subjectDer =
        EncodeDer(X509_get_subject_name(identity.certificate.get()),
                  [](const X509_NAME* n, unsigned char** p) { return i2d_X509_NAME(n, p); });
    EXPECT_EQ(bytesOf(info.Subject), subjectDer);
    EXPECT_EQ(bytesOf(info.Issuer), subjectDer); // self-signed
    const auto ticks = [](const FILETIME& t) {
        return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    };
    EXPECT_EQ(ticks(info.NotBefore), (1577934245ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(ticks(info.NotAfter), (4102444800ull + 11644473600ull) * 10000000ull);
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.643.7.1.1.1.2");
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.643.7.1.1.3.3");
    EXPECT_GT(info.SubjectPublicKeyInfo.PublicKey.cbData, 128u);
    EXPECT_GT(info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData, 0u);
    ASSERT_EQ(info.cExtension, 3u);
    EXPECT_STREQ(info.rgExtension[0].pszObjId, "2.5.29.19");
    EXPECT_EQ(info.rgExtension[0].fCritical, TRUE);
    EXPECT_EQ(bytesOf(info.rgExtension[0].Value), std::string("\x30\x00", 2));
}

namespace {

struct AcquireResult {
    BOOL ok = FALSE;
    std::uint32_t error = 0;
    std::string diagnostic;
};

AcquireResult acquire(const std::string& thumbprint) {
    StoreHandle handle(CertOpenSystemStoreA(0, "MY"));
    CertContextHandle context = findInStore(handle.get(), thumbprint);
    EXPECT_TRUE(context);
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    AcquireResult result;
    result.ok =
        CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, &provider, &keySpec, &callerFree);
    result.error = GetLastError();
    result.diagnostic = LastCryptoDiagnostic();
    if (result.ok) {
        EXPECT_NE(provider, 0u);
        EXPECT_EQ(keySpec, AT_KEYEXCHANGE);
        EXPECT_EQ(callerFree, TRUE);
        EXPECT_EQ(CryptReleaseContext(provider, 0), TRUE);
    } else {
        EXPECT_EQ(provider, 0u);
    }
    return result;
}

} // namespace

TEST_F(StoreHandles, EncryptedKeyWithoutAPromptFails) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    store.add(identity, TestStore::Key::Encrypted, "secret");
    const PasswordPrompt previous = SetPasswordPrompt(nullptr);
    const AcquireResult result = acquire(identity.thumbprint());
    SetPasswordPrompt(previous);
    EXPECT_EQ(result.ok, FALSE);
    EXPECT_EQ(result.error, winerr::ERROR_CANCELLED);
}

TEST_F(StoreHandles, ContextMadeFromBytesHasNoKey) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    store.add(identity);
    const std::string der = identity.der();
    CertContextHandle context(CertCreateCertificateContext(
        kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    HCRYPTPROV provider = 0;
    EXPECT_EQ(CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, &provider, nullptr, nullptr),
              FALSE);
    EXPECT_EQ(GetLastError(), winerr::CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_EQ(CryptAcquireCertificatePrivateKey(nullptr, 0, nullptr, &provider, nullptr, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
}

TEST_F(StoreHandles, ProviderHandlesAreReleasedOnce) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    store.add(identity);
    StoreHandle handle(CertOpenSystemStoreA(0, "MY"));
    CertContextHandle context = findInStore(handle.get(), identity.thumbprint());
    HCRYPTPROV provider = 0;
    ASSERT_EQ(CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, &provider, nullptr, nullptr),
              TRUE);
    EXPECT_EQ(CountOpenHandles().providerHandles, 1);
    EXPECT_EQ(CryptReleaseContext(provider, 1), FALSE);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
    EXPECT_EQ(CryptReleaseContext(provider, 0), TRUE);
    EXPECT_EQ(CryptReleaseContext(provider, 0), FALSE);
    EXPECT_EQ(GetLastError(), winerr::E_INVALIDARG);
    EXPECT_EQ(CryptReleaseContext(0x1234, 0), FALSE);
}
