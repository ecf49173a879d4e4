#include "CertificateStore.h"
#include "CryptoError.h"
#include "CryptoInternal.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <strings.h>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY /*hProv*/, LPCSTR szSubsystemProtocol) {
    clearDiagnostic();
    if (szSubsystemProtocol == nullptr) {
        fail(E_INVALIDARG, "no store name");
        return nullptr;
    }
    if (::strcasecmp(szSubsystemProtocol, CertificateStore::kPersonal) != 0) {
        fail(ERROR_FILE_NOT_FOUND,
             std::string("Хранилища «") + szSubsystemProtocol + "» нет: есть только «MY»");
        return nullptr;
    }
    auto store = std::make_unique<StoreData>();
    try {
        const CertificateStore personal = CertificateStore::open(CertificateStore::kPersonal);
        store->folder = personal.folder();
        for (const StoreEntry& entry : personal.entries()) {
            X509_up_ref(entry.certificate.x509());
            std::unique_ptr<CertContextImpl> ctx = makeContext(X509Ptr(entry.certificate.x509()));
            if (!ctx)
                continue;
            ctx->store = store.get();
            ctx->hCertStore = store.get();
            ctx->entryPath = entry.path;
            ctx->keyFilePresent = entry.hasKey;
            ctx->friendlyName = entry.friendlyName;
            store->contexts.push_back(std::move(ctx));
        }
    } catch (const CryptoError& error) {
        fail(error.code(), error.message());
        return nullptr;
    }
    clearDiagnostic();
    SetLastError(0);
    std::lock_guard lock(handleMutex());
    StoreData* raw = store.release();
    registerStore(raw);
    return raw;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    std::lock_guard lock(handleMutex());
    CertContextImpl* previous = nullptr;
    if (pPrevCertContext != nullptr) {
        previous = liveContext(pPrevCertContext);
        if (previous == nullptr) {
            fail(E_INVALIDARG, "the previous context is not a live certificate context");
            return nullptr;
        }
    }
    if (!isOpenStore(hCertStore)) {
        if (previous != nullptr)
            dropReference(*previous);
        fail(E_INVALIDARG, "not an open store handle");
        return nullptr;
    }
    auto* store = static_cast<StoreData*>(hCertStore);
    std::size_t next = 0;
    if (previous != nullptr) {
        const auto found = std::find_if(store->contexts.begin(), store->contexts.end(),
                                        [&](const auto& c) { return c.get() == previous; });
        if (found == store->contexts.end()) {
            dropReference(*previous);
            fail(E_INVALIDARG, "the previous context is not from this store");
            return nullptr;
        }
        next = static_cast<std::size_t>(found - store->contexts.begin()) + 1;
    }
    CertContextImpl* result = next < store->contexts.size() ? store->contexts[next].get() : nullptr;
    if (result != nullptr)
        addReference(*result);
    if (previous != nullptr)
        dropReference(*previous);
    if (result == nullptr)
        fail(CRYPT_E_NOT_FOUND);
    return result;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (hCertStore == nullptr)
        return TRUE;
    std::lock_guard lock(handleMutex());
    if (!isOpenStore(hCertStore))
        return fail(E_INVALIDARG, "not an open store handle");
    auto* store = static_cast<StoreData*>(hCertStore);
    const bool pending = store->contextsInUse > 0;
    closeStoreHandle(store);
    if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0)
        return fail(CRYPT_E_PENDING_CLOSE, "certificate contexts of the store are still open");
    return TRUE;
}

} // namespace plombar::crypto
