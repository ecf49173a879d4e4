#pragma once

// Inside the crypto layer: what stands behind a certificate context, a store handle and a provider
// handle. Later parts of the layer (verification, encryption) build on these; nothing outside
// src/crypto includes this header.

#include "crypto/CryptoApi.h"
#include "crypto/OpenSsl.h"
#include "crypto/PrivateKey.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plombar::crypto::detail {

// A private key in usable form. Shared by the provider handle and by signing calls that run
// while the handle lives; the key goes (and is wiped) with the last owner.
struct UnlockedKey {
    PrivateKey key;
};

struct StoreData;

// The object behind a PCCERT_CONTEXT. The public part is its base, so a PCCERT_CONTEXT that this
// layer handed out converts back with static_cast (after liveContext() has vouched for it).
struct CertContextImpl : CERT_CONTEXT {
    int refs = 0;               // guarded by handleMutex()
    StoreData* store = nullptr; // owner, or null for a context made from bytes
    X509Ptr x509;
    std::string der;
    CERT_INFO info{};
    std::string serialLittleEndian, issuerDer, subjectDer, signatureOid, signatureParams;
    std::string publicKeyOid, publicKeyParams, publicKey;
    std::vector<std::string> extensionOids, extensionValues;
    std::vector<CERT_EXTENSION> extensions;
    std::string thumbprint;   // SHA-1, lower-case hex
    std::string entryPath;    // store entry without extension ("<folder>/<thumbprint>"), empty if none
    std::string friendlyName; // from the entry's .name file
    bool keyFilePresent = false;
    std::weak_ptr<UnlockedKey> unlockedKey; // guarded by handleMutex()
};

// One opened store: the certificates found in its folder when it was opened.
struct StoreData {
    bool handleOpen = true;
    int contextsInUse = 0; // contexts of this store with refs > 0
    std::string folder;
    std::vector<std::unique_ptr<CertContextImpl>> contexts;
};

// Guards reference counts, the registries of live objects and the key caches.
std::mutex& handleMutex();

// With handleMutex() held: the context behind a pointer this layer handed out and that is still
// referenced, else null.
CertContextImpl* liveContext(PCCERT_CONTEXT context);
// With handleMutex() held: one more reference (registers the context and its store's use).
void addReference(CertContextImpl& context);
// With handleMutex() held: one reference less; deletes what nobody uses any more.
void dropReference(CertContextImpl& context);
// With handleMutex() held: a store registry for handles and still-living store objects.
bool isOpenStore(HCERTSTORE store);
void registerStore(StoreData* store);
void closeStoreHandle(StoreData* store); // deletes it when no context is in use

// A context for a parsed certificate, all fields filled; null (last error and diagnostic set) when a
// field cannot be encoded. The result is not registered (refs 0).
std::unique_ptr<CertContextImpl> makeContext(X509Ptr certificate);

// A new standalone context with one reference, owned by the caller (CertFreeCertificateContext).
PCCERT_CONTEXT adoptCertificate(X509Ptr certificate);

// The OpenSSL certificate behind a live context (no reference taken), or null.
X509* contextCertificate(PCCERT_CONTEXT context);

// The context's private key, unlocked through the password prompt if needed, or null with the last
// error and the diagnostic set (codes as CryptAcquireCertificatePrivateKey).
std::shared_ptr<UnlockedKey> unlockPrivateKey(PCCERT_CONTEXT context);

// Failure helpers: set the last error and the thread's diagnostic text.
void setDiagnostic(std::string text);
void clearDiagnostic();
BOOL fail(DWORD code, std::string diagnostic = {});
// Same, with OpenSSL's queued reasons appended to the diagnostic (the queue is emptied).
BOOL failWithOpenSsl(DWORD code, const std::string& what);

// Counters for CountOpenHandles (with handleMutex() held).
void countProvider(int delta);

} // namespace plombar::crypto::detail
