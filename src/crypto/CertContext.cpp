#include "CryptoInternal.h"

#include "Certificate.h"
#include "GostRuntime.h"
#include "platform/AvailableMemory.h"
#include "platform/DisplayText.h"
#include "platform/SystemErrors.h"

#include <openssl/err.h>
#include <openssl/sha.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

namespace plombar::crypto {

using namespace plombar::winerr;

namespace detail {

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const CERT_CONTEXT*, CertContextImpl*> liveContexts;
    std::unordered_set<const StoreData*> openStores;
    std::unordered_set<const StoreData*> allStores;
    int providers = 0;
};

Registry& registry() {
    // Never destroyed, so that a context released by a static destructor finds it intact.
    static auto* r = new Registry;
    return *r;
}

thread_local std::string tDiagnostic;

// The content octets of a DER TLV (tag and length stripped); empty when malformed.
std::string derContent(const std::string& der) {
    if (der.size() < 2)
        return {};
    std::size_t offset = 1;
    std::size_t length = static_cast<unsigned char>(der[offset++]);
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || offset + count > der.size())
            return {};
        length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = (length << 8) | static_cast<unsigned char>(der[offset++]);
    }
    if (offset + length != der.size())
        return {};
    return der.substr(offset);
}

FILETIME fileTimeOf(const ASN1_TIME* time) {
    FILETIME result{};
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return result;
    const std::int64_t seconds = static_cast<std::int64_t>(::timegm(&tm));
    // 1601-01-01 to 1970-01-01 is 11644473600 seconds.
    const auto ticks = static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL);
    result.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

BYTE* bytesOf(std::string& s) {
    return s.empty() ? nullptr : reinterpret_cast<BYTE*>(s.data());
}
DWORD sizeOf(const std::string& s) {
    return static_cast<DWORD>(s.size());
}

std::string hexLower(const unsigned char* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[data[i] >> 4];
        text += kHex[data[i] & 0xF];
    }
    return text;
}

std::string algorithmParameters(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(&object, &type, &value, algorithm);
    if (type == V_ASN1_UNDEF)
        return {};
    ASN1_TYPE* any = ASN1_TYPE_new();
    if (any == nullptr)
        return {};
    std::string der;
    // ASN1_TYPE_set1 copies the value, so the algorithm stays untouched.
    if (ASN1_TYPE_set1(any, type, value) == 1)
        der = EncodeDer(any, [](const ASN1_TYPE* a, unsigned char** p) { return i2d_ASN1_TYPE(a, p); });
    ASN1_TYPE_free(any);
    return der;
}

} // namespace

std::mutex& handleMutex() {
    return registry().mutex;
}

CertContextImpl* liveContext(PCCERT_CONTEXT context) {
    if (context == nullptr)
        return nullptr;
    // Only pointers we registered are converted, so a foreign pointer is never dereferenced.
    const auto& live = registry().liveContexts;
    const auto found = live.find(context);
    return found != live.end() ? found->second : nullptr;
}

void addReference(CertContextImpl& context) {
    if (context.refs++ == 0) {
        registry().liveContexts.emplace(static_cast<const CERT_CONTEXT*>(&context), &context);
        if (context.store != nullptr)
            ++context.store->contextsInUse;
    }
}

void dropReference(CertContextImpl& context) {
    if (--context.refs > 0)
        return;
    registry().liveContexts.erase(static_cast<const CERT_CONTEXT*>(&context));
    StoreData* store = context.store;
    if (store == nullptr) {
        delete &context;
        return;
    }
    if (--store->contextsInUse == 0 && !store->handleOpen) {
        registry().allStores.erase(store);
        delete store;
    }
}

bool isOpenStore(HCERTSTORE store) {
    return store != nullptr && registry().openStores.count(static_cast<const StoreData*>(store)) != 0;
}

void registerStore(StoreData* store) {
    registry().openStores.insert(store);
    registry().allStores.insert(store);
}

void closeStoreHandle(StoreData* store) {
    store->handleOpen = false;
    registry().openStores.erase(store);
    if (store->contextsInUse == 0) {
        registry().allStores.erase(store);
        delete store;
    }
}

void countProvider(int delta) {
    registry().providers += delta;
}

void setDiagnostic(std::string text) {
    tDiagnostic = std::move(text);
}
void clearDiagnostic() {
    tDiagnostic.clear();
}

BOOL fail(DWORD code, std::string diagnostic) {
    tDiagnostic = std::move(diagnostic);
    SetLastError(code);
    return FALSE;
}

BOOL failWithOpenSsl(DWORD code, const std::string& what) {
    // An allocation that failed inside OpenSSL is reported as such, not as damaged input.
    for (const unsigned long error : {ERR_peek_error(), ERR_peek_last_error()})
        if (error != 0 && ERR_GET_REASON(error) == ERR_R_MALLOC_FAILURE)
            code = winerr::E_OUTOFMEMORY;
    std::string text = what;
    const std::string reasons = TakeOpenSslErrors();
    if (!reasons.empty())
        text += (text.empty() ? "" : ": ") + reasons;
    return fail(code, std::move(text));
}

std::unique_ptr<CertContextImpl> makeContext(X509Ptr certificate) {
    auto ctx = std::make_unique<CertContextImpl>();
    X509* x = certificate.get();
    ctx->der = EncodeDer(x, [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
    ctx->issuerDer = EncodeDer(X509_get_issuer_name(x),
                               [](const X509_NAME* n, unsigned char** p) { return i2d_X509_NAME(n, p); });
    ctx->subjectDer = EncodeDer(X509_get_subject_name(x),
                                [](const X509_NAME* n, unsigned char** p) { return i2d_X509_NAME(n, p); });
    const std::string serialDer =
        EncodeDer(X509_get0_serialNumber(x),
                  [](const ASN1_INTEGER* i, unsigned char** p) { return i2d_ASN1_INTEGER(i, p); });
    // The platform keeps a serial number least significant byte first, sign byte included.
    ctx->serialLittleEndian = derContent(serialDer);
    std::reverse(ctx->serialLittleEndian.begin(), ctx->serialLittleEndian.end());
    if (ctx->der.empty() || ctx->issuerDer.empty() || ctx->subjectDer.empty() ||
        ctx->serialLittleEndian.empty()) {
        failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the certificate cannot be encoded");
        return nullptr;
    }

    const X509_ALGOR* signatureAlgorithm = nullptr;
    X509_get0_signature(nullptr, &signatureAlgorithm, x);
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, signatureAlgorithm);
    ctx->signatureOid = DottedOid(object);
    ctx->signatureParams = algorithmParameters(signatureAlgorithm);

    X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(x);
    ASN1_OBJECT* keyObject = nullptr;
    const unsigned char* keyBytes = nullptr;
    int keyLength = 0;
    X509_ALGOR* keyAlgorithm = nullptr;
    if (publicKey != nullptr &&
        X509_PUBKEY_get0_param(&keyObject, &keyBytes, &keyLength, &keyAlgorithm, publicKey) == 1) {
        ctx->publicKeyOid = DottedOid(keyObject);
        ctx->publicKeyParams = algorithmParameters(keyAlgorithm);
        if (keyBytes != nullptr && keyLength > 0)
            ctx->publicKey.assign(reinterpret_cast<const char*>(keyBytes),
                                  static_cast<std::size_t>(keyLength));
    }

    const int extensionCount = X509_get_ext_count(x);
    for (int i = 0; i < extensionCount; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x, i);
        ctx->extensionOids.push_back(DottedOid(X509_EXTENSION_get_object(extension)));
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(extension);
        ctx->extensionValues.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                          static_cast<std::size_t>(ASN1_STRING_length(value)));
    }
    for (int i = 0; i < extensionCount; ++i) {
        CERT_EXTENSION extension{};
        extension.pszObjId = ctx->extensionOids[static_cast<std::size_t>(i)].data();
        extension.fCritical = X509_EXTENSION_get_critical(X509_get_ext(x, i)) ? TRUE : FALSE;
        extension.Value.cbData = sizeOf(ctx->extensionValues[static_cast<std::size_t>(i)]);
        extension.Value.pbData = bytesOf(ctx->extensionValues[static_cast<std::size_t>(i)]);
        ctx->extensions.push_back(extension);
    }

    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(ctx->der.data()), ctx->der.size(), sha1);
    ctx->thumbprint = hexLower(sha1, sizeof sha1);

    CERT_INFO& info = ctx->info;
    info.dwVersion = static_cast<DWORD>(std::clamp<long>(X509_get_version(x), 0, 2));
    info.SerialNumber = {sizeOf(ctx->serialLittleEndian), bytesOf(ctx->serialLittleEndian)};
    info.SignatureAlgorithm.pszObjId = ctx->signatureOid.data();
    info.SignatureAlgorithm.Parameters = {sizeOf(ctx->signatureParams), bytesOf(ctx->signatureParams)};
    info.Issuer = {sizeOf(ctx->issuerDer), bytesOf(ctx->issuerDer)};
    info.NotBefore = fileTimeOf(X509_get0_notBefore(x));
    info.NotAfter = fileTimeOf(X509_get0_notAfter(x));
    info.Subject = {sizeOf(ctx->subjectDer), bytesOf(ctx->subjectDer)};
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = ctx->publicKeyOid.data();
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {sizeOf(ctx->publicKeyParams),
                                                      bytesOf(ctx->publicKeyParams)};
    info.SubjectPublicKeyInfo.PublicKey = {sizeOf(ctx->publicKey), bytesOf(ctx->publicKey), 0};
    info.cExtension = static_cast<DWORD>(ctx->extensions.size());
    info.rgExtension = ctx->extensions.empty() ? nullptr : ctx->extensions.data();

    ctx->dwCertEncodingType = X509_ASN_ENCODING;
    ctx->pbCertEncoded = bytesOf(ctx->der);
    ctx->cbCertEncoded = sizeOf(ctx->der);
    ctx->pCertInfo = &ctx->info;
    ctx->hCertStore = nullptr;
    ctx->x509 = std::move(certificate);
    return ctx;
}

PCCERT_CONTEXT adoptCertificate(X509Ptr certificate) {
    std::unique_ptr<CertContextImpl> ctx = makeContext(std::move(certificate));
    if (!ctx)
        return nullptr;
    std::lock_guard lock(handleMutex());
    CertContextImpl* raw = ctx.release();
    addReference(*raw);
    return raw;
}

X509* contextCertificate(PCCERT_CONTEXT context) {
    std::lock_guard lock(handleMutex());
    CertContextImpl* impl = liveContext(context);
    return impl != nullptr ? impl->x509.get() : nullptr;
}

} // namespace detail

using namespace detail;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
    clearDiagnostic();
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
        fail(E_INVALIDARG, "the certificate encoding must include X509_ASN_ENCODING");
        return nullptr;
    }
    if (pbCertEncoded == nullptr || cbCertEncoded == 0) {
        fail(CRYPT_E_ASN1_EOD, "no certificate bytes");
        return nullptr;
    }
    // A certificate is a SEQUENCE; PEM text ("-----BEGIN") or Base64 never starts with 0x30.
    if (pbCertEncoded[0] != 0x30) {
        fail(CRYPT_E_ASN1_BADTAG, "not a DER-encoded certificate");
        return nullptr;
    }
    // Decoded, a certificate is held about four times over (OpenSSL's structure with its cached
    // encoding, the context's copy and its extension values): without room for that, fail as on
    // running out of memory rather than leave a huge one to the OOM killer.
    if (!memoryAvailableFor(std::uint64_t{4} * cbCertEncoded)) {
        fail(E_OUTOFMEMORY,
             "no memory to decode a certificate of " + std::to_string(cbCertEncoded) + " bytes");
        return nullptr;
    }
    GostRuntimeReady(); // GOST public keys are only decoded once the engine is the default
    const unsigned char* p = pbCertEncoded;
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(cbCertEncoded)));
    if (!certificate) {
        failWithOpenSsl(cbCertEncoded < 4 ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_CORRUPT,
                        "not a DER-encoded certificate");
        return nullptr;
    }
    return adoptCertificate(std::move(certificate));
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    std::lock_guard lock(handleMutex());
    CertContextImpl* impl = liveContext(pCertContext);
    if (impl == nullptr) {
        if (pCertContext != nullptr)
            fail(E_INVALIDARG, "not a certificate context");
        return nullptr;
    }
    addReference(*impl);
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr)
        return TRUE;
    std::lock_guard lock(handleMutex());
    CertContextImpl* impl = liveContext(pCertContext);
    if (impl == nullptr)
        return fail(E_INVALIDARG, "not a certificate context");
    dropReference(*impl);
    return TRUE;
}

std::string LastCryptoDiagnostic() {
    return tDiagnostic;
}

std::string CertificateThumbprint(PCCERT_CONTEXT pCertContext) {
    std::lock_guard lock(handleMutex());
    CertContextImpl* impl = liveContext(pCertContext);
    return impl != nullptr ? impl->thumbprint : std::string();
}

std::string CertificateStoreEntryPath(PCCERT_CONTEXT pCertContext) {
    std::lock_guard lock(handleMutex());
    CertContextImpl* impl = liveContext(pCertContext);
    return impl != nullptr ? impl->entryPath : std::string();
}

CertificateDescription DescribeCertificate(PCCERT_CONTEXT pCertContext) {
    X509* certificate = nullptr;
    bool keyFilePresent = false;
    std::string friendlyName;
    {
        std::lock_guard lock(handleMutex());
        CertContextImpl* impl = liveContext(pCertContext);
        if (impl == nullptr)
            return {};
        certificate = impl->x509.get();
        keyFilePresent = impl->keyFilePresent;
        friendlyName = impl->friendlyName;
    }
    // The caller holds a reference, so the certificate stays while we read it.
    CertificateDescription d = Certificate::share(certificate).describe();
    d.hasPrivateKey = keyFilePresent;
    d.friendlyName = escapeForDisplay(friendlyName);
    return d;
}

std::string CertificateSubjectText(PCCERT_CONTEXT pCertContext) {
    X509* x = contextCertificate(pCertContext);
    return x != nullptr ? Certificate::share(x).subjectText() : std::string();
}

OpenHandleCounts CountOpenHandles() {
    std::lock_guard lock(handleMutex());
    OpenHandleCounts counts;
    counts.certificateContexts = static_cast<int>(registry().liveContexts.size());
    counts.storeHandles = static_cast<int>(registry().openStores.size());
    counts.stores = static_cast<int>(registry().allStores.size());
    counts.providerHandles = registry().providers;
    return counts;
}

} // namespace plombar::crypto
