#include "CertificatePrompts.h"

#include "Prompts.h"

#include <vector>

namespace plombar::app {

CertificateRef chooseCertificateFromStore(Prompts& prompts, StoreRef store, const std::string& title) {
    // Each certificate held by its own reference: the dialog outlives the store's enumeration.
    std::vector<crypto::CertContextHandle> certificates = crypto::EnumerateCertificates(store);
    std::vector<crypto::CertificateDescription> rows;
    rows.reserve(certificates.size());
    for (const auto& certificate : certificates)
        rows.push_back(crypto::DescribeCertificate(certificate.get()));

    const auto chosen = prompts.selectCertificate(title, "", rows);
    if (!chosen || *chosen >= certificates.size())
        return nullptr;
    return certificates[*chosen].release();
}

void showCertificate(Prompts& prompts, CertificateRef certificate) noexcept {
    try {
        prompts.viewCertificate(crypto::DescribeCertificate(certificate));
    } catch (...) {
        // Not reported: the dialog is a courtesy, the caller's work goes on.
    }
}

} // namespace plombar::app
