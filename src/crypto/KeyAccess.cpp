#include "KeyAccess.h"

#include "CryptoError.h"
#include "CryptoInternal.h"
#include "PrivateKey.h"
#include "platform/SystemErrors.h"

#include <optional>
#include <unordered_set>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

std::mutex gPromptMutex;
PasswordPrompt& promptSlot() {
    static auto* prompt = new PasswordPrompt;
    return *prompt;
}

PasswordPrompt currentPrompt() {
    std::lock_guard lock(gPromptMutex);
    return promptSlot();
}

// The provider handles handed out and not yet released.
struct KeyProvider {
    std::shared_ptr<UnlockedKey> key;
};
std::unordered_set<const KeyProvider*>& providers() {
    static auto* set = new std::unordered_set<const KeyProvider*>;
    return *set;
}

// The process-wide prompt as a password source, for one unlocking.
class PromptPasswords : public PasswordSource {
public:
    explicit PromptPasswords(PasswordPrompt prompt) : prompt_(std::move(prompt)) {}
    std::optional<SecureString> password(const PasswordRequest& request) override {
        if (!prompt_)
            throw CryptoError(CryptoFailure::Cancelled, ERROR_CANCELLED,
                              "Закрытый ключ защищён паролем, а спросить пароль некому");
        SecureString password;
        if (prompt_(request, password) != PasswordAnswer::Provided)
            return std::nullopt;
        return password;
    }

private:
    PasswordPrompt prompt_;
};

} // namespace

PasswordPrompt SetPasswordPrompt(PasswordPrompt prompt) {
    std::lock_guard lock(gPromptMutex);
    PasswordPrompt previous = std::move(promptSlot());
    promptSlot() = std::move(prompt);
    return previous;
}

namespace detail {

std::shared_ptr<UnlockedKey> unlockPrivateKey(PCCERT_CONTEXT context) {
    struct {
        std::string keyPath;
        X509Ptr certificate; // its own reference: the context may be released while the prompt runs
    } source;
    {
        std::lock_guard lock(handleMutex());
        CertContextImpl* impl = liveContext(context);
        if (impl == nullptr) {
            fail(E_INVALIDARG, "not a certificate context");
            return nullptr;
        }
        if (auto cached = impl->unlockedKey.lock())
            return cached;
        if (impl->entryPath.empty()) {
            fail(CRYPT_E_NO_KEY_PROPERTY,
                 "Сертификат взят не из хранилища: закрытый ключ к нему не привязан");
            return nullptr;
        }
        source.keyPath = impl->entryPath + ".key";
        X509_up_ref(impl->x509.get());
        source.certificate.reset(impl->x509.get());
    }
    std::shared_ptr<UnlockedKey> key;
    try {
        PromptPasswords passwords(currentPrompt());
        key = std::make_shared<UnlockedKey>(UnlockedKey{PrivateKey::unlock(
            source.keyPath, Certificate::adopt(std::move(source.certificate)), passwords)});
    } catch (const CryptoError& error) {
        fail(error.code(), error.message());
        return nullptr;
    }
    std::lock_guard lock(handleMutex());
    if (CertContextImpl* impl = liveContext(context)) {
        if (auto cached = impl->unlockedKey.lock())
            return cached; // another thread unlocked it meanwhile
        impl->unlockedKey = key;
    }
    return key;
}

} // namespace detail

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD /*dwFlags*/, void* /*pvParameters*/,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey,
                                       DWORD* pdwKeySpec, BOOL* pfCallerFreeProvOrNCryptKey) {
    clearDiagnostic();
    if (pCert == nullptr || phCryptProvOrNCryptKey == nullptr)
        return fail(E_INVALIDARG, "no certificate or no place for the provider handle");
    *phCryptProvOrNCryptKey = 0;
    std::shared_ptr<UnlockedKey> key = unlockPrivateKey(pCert);
    if (!key)
        return FALSE;
    auto provider = std::make_unique<KeyProvider>();
    provider->key = std::move(key);
    {
        std::lock_guard lock(handleMutex());
        providers().insert(provider.get());
        countProvider(1);
    }
    *phCryptProvOrNCryptKey = reinterpret_cast<HCRYPTPROV>(provider.release());
    if (pdwKeySpec != nullptr)
        *pdwKeySpec = AT_KEYEXCHANGE;
    if (pfCallerFreeProvOrNCryptKey != nullptr)
        *pfCallerFreeProvOrNCryptKey = TRUE;
    SetLastError(0);
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (dwFlags != 0)
        return fail(E_INVALIDARG, "CryptReleaseContext takes no flags");
    std::unique_ptr<KeyProvider> provider;
    {
        std::lock_guard lock(handleMutex());
        auto* candidate = reinterpret_cast<const KeyProvider*>(hProv);
        if (providers().erase(candidate) == 0)
            return fail(E_INVALIDARG, "not a provider handle");
        countProvider(-1);
        provider.reset(const_cast<KeyProvider*>(candidate));
    }
    return TRUE; // the key goes (and is wiped) with the last shared owner
}

} // namespace plombar::crypto
