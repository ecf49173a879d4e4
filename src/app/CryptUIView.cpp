#include "CryptUI.h"

#include "Prompts.h"
#include "crypto/CryptoHandles.h"
#include "platform/SystemErrors.h"

#include <cstddef>

namespace plombar::app {

namespace {

// The structure must at least reach the certificate member; the original's fuller sizes pass too.
constexpr DWORD kMinimumViewStructSize =
    static_cast<DWORD>(offsetof(CRYPTUI_VIEWCERTIFICATE_STRUCTA, pCertContext) + sizeof(PCCERT_CONTEXT));

} // namespace

BOOL CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA pCertViewInfo, BOOL* pfPropertiesChanged) {
    if (pfPropertiesChanged != nullptr)
        *pfPropertiesChanged = crypto::FALSE;
    if (pCertViewInfo == nullptr || pCertViewInfo->dwSize < kMinimumViewStructSize ||
        pCertViewInfo->pCertContext == nullptr) {
        SetLastError(winerr::E_INVALIDARG);
        return crypto::FALSE;
    }
    // Our own reference keeps the certificate alive while the dialog shows it.
    crypto::CertContextHandle certificate(
        crypto::CertDuplicateCertificateContext(pCertViewInfo->pCertContext));
    if (!certificate) {
        SetLastError(winerr::E_INVALIDARG);
        return crypto::FALSE;
    }
    Prompts* prompts = CryptUIPrompts();
    if (prompts == nullptr) {
        SetLastError(winerr::ERROR_CANCELLED);
        return crypto::FALSE;
    }
    // A C-shaped function: whatever goes wrong in the dialog becomes FALSE, never an exception.
    try {
        prompts->viewCertificate(crypto::DescribeCertificate(certificate.get()));
    } catch (...) {
        SetLastError(winerr::E_FAIL);
        return crypto::FALSE;
    }
    SetLastError(0);
    return crypto::TRUE;
}

} // namespace plombar::app
