#include "CryptUI.h"

#include "Prompts.h"
#include "crypto/CryptoHandles.h"
#include "platform/SystemErrors.h"

#include <utility>
#include <vector>

namespace plombar::app {

namespace {

// The store's certificates in the store's order, each held by its own reference: the enumeration
// drops the previous context on every step, and the dialog outlives the enumeration.
// Null store or a failed enumeration: false with the last error of the failing call.
bool collectCertificates(HCERTSTORE store, std::vector<crypto::CertContextHandle>& certificates) {
    crypto::CertContextHandle current;
    for (;;) {
        PCCERT_CONTEXT next = crypto::CertEnumCertificatesInStore(store, current.release());
        current.reset(next);
        if (!current)
            return GetLastError() == winerr::CRYPT_E_NOT_FOUND;
        crypto::CertContextHandle kept(crypto::CertDuplicateCertificateContext(current.get()));
        certificates.push_back(std::move(kept));
    }
}

} // namespace

PCCERT_CONTEXT CryptUIDlgSelectCertificateFromStore(HCERTSTORE hCertStore, HWND, const char* pszTitle,
                                                    const char* pszDisplayString, DWORD, DWORD, void*) {
    Prompts* prompts = CryptUIPrompts();
    if (prompts == nullptr) {
        SetLastError(winerr::ERROR_CANCELLED);
        return nullptr;
    }
    std::vector<crypto::CertContextHandle> certificates;
    if (!collectCertificates(hCertStore, certificates))
        return nullptr;

    std::vector<crypto::CertificateDescription> rows;
    rows.reserve(certificates.size());
    for (const auto& certificate : certificates)
        rows.push_back(crypto::DescribeCertificate(certificate.get()));

    // An empty store still shows the (empty) dialog, so that the user sees why nothing can be chosen.
    const auto chosen = prompts->selectCertificate(pszTitle != nullptr ? pszTitle : "",
                                                   pszDisplayString != nullptr ? pszDisplayString : "", rows);
    if (!chosen || *chosen >= certificates.size()) {
        SetLastError(certificates.empty() ? winerr::CRYPT_E_NOT_FOUND : winerr::ERROR_CANCELLED);
        return nullptr;
    }
    return certificates[*chosen].release();
}

} // namespace plombar::app
