#pragma once

// Owners for the handles of CryptoApi.h, so that every path (a foreseen outcome or a raised error)
// releases them exactly once.

#include "crypto/CryptoApi.h"

#include <utility>
#include <vector>

namespace plombar::crypto {

// A certificate context reference, released with CertFreeCertificateContext.
class CertContextHandle {
public:
    CertContextHandle() = default;
    explicit CertContextHandle(PCCERT_CONTEXT context) noexcept : context_(context) {}
    CertContextHandle(CertContextHandle&& other) noexcept
        : context_(std::exchange(other.context_, nullptr)) {}
    CertContextHandle& operator=(CertContextHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.context_, nullptr));
        return *this;
    }
    CertContextHandle(const CertContextHandle&) = delete;
    CertContextHandle& operator=(const CertContextHandle&) = delete;
    ~CertContextHandle() { reset(); }

    PCCERT_CONTEXT get() const noexcept { return context_; }
    PCCERT_CONTEXT operator->() const noexcept { return context_; }
    explicit operator bool() const noexcept { return context_ != nullptr; }
    PCCERT_CONTEXT release() noexcept { return std::exchange(context_, nullptr); }
    // Releases the held reference; returns CertFreeCertificateContext's result (TRUE when empty).
    BOOL reset(PCCERT_CONTEXT context = nullptr) noexcept {
        const BOOL result = context_ != nullptr ? CertFreeCertificateContext(context_) : TRUE;
        context_ = context;
        return result;
    }

private:
    PCCERT_CONTEXT context_ = nullptr;
};

// A store handle, closed with CertCloseStore(CERT_CLOSE_STORE_CHECK_FLAG).
class StoreHandle {
public:
    StoreHandle() = default;
    explicit StoreHandle(HCERTSTORE store) noexcept : store_(store) {}
    StoreHandle(StoreHandle&& other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
    StoreHandle& operator=(StoreHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.store_, nullptr));
        return *this;
    }
    StoreHandle(const StoreHandle&) = delete;
    StoreHandle& operator=(const StoreHandle&) = delete;
    ~StoreHandle() { reset(); }

    HCERTSTORE get() const noexcept { return store_; }
    explicit operator bool() const noexcept { return store_ != nullptr; }
    HCERTSTORE release() noexcept { return std::exchange(store_, nullptr); }
    // Closes the held handle; returns CertCloseStore's result (TRUE when empty).
    BOOL reset(HCERTSTORE store = nullptr) noexcept {
        const BOOL result = store_ != nullptr ? CertCloseStore(store_, CERT_CLOSE_STORE_CHECK_FLAG) : TRUE;
        store_ = store;
        return result;
    }

private:
    HCERTSTORE store_ = nullptr;
};

// A provider handle from CryptAcquireCertificatePrivateKey, released with CryptReleaseContext(h, 0).
class ProviderHandle {
public:
    ProviderHandle() = default;
    explicit ProviderHandle(HCRYPTPROV provider) noexcept : provider_(provider) {}
    ProviderHandle(ProviderHandle&& other) noexcept : provider_(std::exchange(other.provider_, 0)) {}
    ProviderHandle& operator=(ProviderHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.provider_, 0));
        return *this;
    }
    ProviderHandle(const ProviderHandle&) = delete;
    ProviderHandle& operator=(const ProviderHandle&) = delete;
    ~ProviderHandle() { reset(); }

    HCRYPTPROV get() const noexcept { return provider_; }
    explicit operator bool() const noexcept { return provider_ != 0; }
    BOOL reset(HCRYPTPROV provider = 0) noexcept {
        const BOOL result = provider_ != 0 ? CryptReleaseContext(provider_, 0) : TRUE;
        provider_ = provider;
        return result;
    }

private:
    HCRYPTPROV provider_ = 0;
};

// Every certificate of an open store, each with its own reference (for the selection dialog: show
// DescribeCertificate of each, hand the chosen one's release() to the operation).
inline std::vector<CertContextHandle> EnumerateCertificates(HCERTSTORE store) {
    std::vector<CertContextHandle> certificates;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr)
        certificates.emplace_back(CertDuplicateCertificateContext(context));
    return certificates;
}

} // namespace plombar::crypto
