#pragma once

// Shared helpers of the crypto tests: contexts out of a test store.

#include "TestPki.h"

#include "crypto/CryptoApi.h"
#include "crypto/CryptoHandles.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <string>

namespace plombar::test {

// The context of the store entry with this thumbprint (a new reference), or an empty handle.
inline crypto::CertContextHandle findInStore(crypto::HCERTSTORE store, const std::string& thumbprint) {
    crypto::PCCERT_CONTEXT context = nullptr;
    while ((context = crypto::CertEnumCertificatesInStore(store, context)) != nullptr)
        if (crypto::CertificateThumbprint(context) == thumbprint)
            return crypto::CertContextHandle(context);
    return {};
}

} // namespace plombar::test
