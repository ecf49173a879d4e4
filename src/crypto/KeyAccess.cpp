#include "KeyAccess.h"

#include "CertificateText.h"
#include "CryptoInternal.h"
#include "GostRuntime.h"
#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_set>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

constexpr std::uint64_t kMaxKeyFileSize = 1 << 20;
constexpr int kKeyEncryptionIterations = 100000;

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

bool pemBlock(std::string_view bytes, std::string_view label) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----";
    return bytes.find(begin) != std::string_view::npos;
}

bool looksLikePem(std::string_view bytes) {
    return bytes.find("-----BEGIN ") != std::string_view::npos;
}

// The DER bytes of a PEM block with the given label; wiped when the holder goes.
bool readPemBlock(std::string_view bytes, const char* label, CleansedBytes& der) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio)
        return false;
    char* name = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    // PEM_bytes_read_bio skips blocks with other labels and fails when none has this one.
    if (PEM_bytes_read_bio(&data, &length, &name, label, bio.get(), nullptr, nullptr) != 1)
        return false;
    OpenSslTextPtr nameHolder(name);
    der.reset(data, length);
    return true;
}

X509SigPtr decodeEncryptedInfo(std::string_view bytes) {
    if (looksLikePem(bytes)) {
        CleansedBytes der;
        if (!readPemBlock(bytes, PEM_STRING_PKCS8, der))
            return nullptr;
        const unsigned char* p = der.data();
        return X509SigPtr(d2i_X509_SIG(nullptr, &p, der.size()));
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(bytes.size())));
    // A plain PKCS #8 structure does not parse as X509_SIG, so a DER key is told apart here.
    return sig;
}

Pkcs8Ptr decodePlainInfo(std::string_view bytes) {
    if (looksLikePem(bytes)) {
        CleansedBytes der;
        if (!readPemBlock(bytes, PEM_STRING_PKCS8INF, der))
            return nullptr;
        const unsigned char* p = der.data();
        return Pkcs8Ptr(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, der.size()));
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return Pkcs8Ptr(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(bytes.size())));
}

// A password callback that refuses, so that a traditional PEM key with its own encryption fails
// instead of OpenSSL asking on the terminal.
int refusePassword(char*, int, int, void*) {
    return -1;
}

KeyDecodeResult keyFromInfo(const PKCS8_PRIV_KEY_INFO* info, EvpPkeyPtr& key, std::string* reason) {
    key.reset(EVP_PKCS82PKEY(info));
    if (key)
        return KeyDecodeResult::Ok;
    const std::string errors = TakeOpenSslErrors();
    if (reason != nullptr) {
        *reason = errors;
        if (!GostRuntimeReady())
            *reason = GostRuntimeErrorText() + (errors.empty() ? "" : " (" + errors + ")");
    }
    return KeyDecodeResult::Unusable;
}

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

// Reads the key file of a store entry, refusing one that others may read (as ssh does).
BOOL readKeyFile(const std::string& path, SecureString& bytes) {
    // A named pipe in the key file's place would otherwise wait for a writer forever; it is refused
    // as what it is, not a file, and so is a device.
    InputFile file(path);
    if (!file.isOpen()) {
        const int err = file.openErrno();
        if (err == ENOENT)
            return fail(CRYPT_E_NO_KEY_PROPERTY,
                        "Для сертификата нет закрытого ключа (нет файла «" + path + "»)");
        if (file.openError() == kNotAFileError || err == EISDIR)
            return fail(NTE_BAD_KEY, "«" + path + "» не является файлом закрытого ключа");
        return fail(systemCodeFromErrno(err, path.c_str()),
                    "Файл закрытого ключа «" + path + "» не открывается: " + std::strerror(err));
    }
    const struct stat& st = file.status();
    if ((st.st_mode & 077) != 0)
        return fail(NTE_PERM, "Права доступа к файлу закрытого ключа «" + path + "» слишком широкие (" +
                                  octal(st.st_mode) +
                                  "): его могут читать другие пользователи. Ключ не будет использован; "
                                  "оставьте доступ только владельцу: chmod 600 «" +
                                  path + "»");
    switch (readWholeFile(file, bytes, kMaxKeyFileSize)) {
    case ReadFileResult::Ok:
        return TRUE;
    case ReadFileResult::TooLarge:
        return fail(NTE_BAD_KEY, "Файл закрытого ключа «" + path + "» слишком велик");
    case ReadFileResult::Changed:
        return fail(NTE_BAD_KEY, "Файл закрытого ключа «" + path + "» изменил размер, пока его читали");
    case ReadFileResult::Failed:
        break;
    }
    const int err = errno;
    return fail(systemCodeFromErrno(err, path.c_str()),
                "Файл закрытого ключа «" + path + "» не читается: " + std::strerror(err));
}

struct KeySource {
    std::string keyPath;
    std::string subject;
    std::string thumbprint;
    X509Ptr certificate; // its own reference: the context may be released while the prompt runs
};

// Loads and, if needed, decrypts the key through the prompt. Null with the last error set.
std::shared_ptr<UnlockedKey> loadKey(const KeySource& source) {
    SecureString bytes;
    if (!readKeyFile(source.keyPath, bytes))
        return nullptr;
    if (!GostRuntimeReady()) {
        fail(NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());
        return nullptr;
    }
    auto unlocked = std::make_shared<UnlockedKey>();
    std::string reason;
    const KeyFileKind kind = ClassifyKeyFile(bytes.view());
    if (kind == KeyFileKind::NotAKey) {
        fail(NTE_BAD_KEY, "Файл «" + source.keyPath + "» не содержит закрытого ключа");
        return nullptr;
    }
    if (kind == KeyFileKind::Plain) {
        const KeyDecodeResult result = DecodePrivateKey(bytes.view(), nullptr, unlocked->key, &reason);
        if (result != KeyDecodeResult::Ok) {
            fail(result == KeyDecodeResult::Unusable && !GostRuntimeReady() ? NTE_PROVIDER_DLL_FAIL
                                                                            : NTE_BAD_KEY,
                 "Закрытый ключ «" + source.keyPath + "» не читается" +
                     (reason.empty() ? "" : ": " + reason));
            return nullptr;
        }
    } else {
        const PasswordPrompt prompt = currentPrompt();
        if (!prompt) {
            fail(ERROR_CANCELLED, "Закрытый ключ защищён паролем, а спросить пароль некому");
            return nullptr;
        }
        bool wrong = false;
        for (int attempt = 1;; ++attempt) {
            if (attempt > kPasswordAttempts) {
                fail(ERROR_INVALID_PASSWORD, "Неверный пароль закрытого ключа");
                return nullptr;
            }
            PasswordRequest request{source.subject, source.thumbprint, source.keyPath, attempt, wrong};
            SecureString password;
            if (prompt(request, password) != PasswordAnswer::Provided) {
                fail(ERROR_CANCELLED, "Ввод пароля закрытого ключа отменён");
                return nullptr;
            }
            const KeyDecodeResult result = DecodePrivateKey(bytes.view(), &password, unlocked->key, &reason);
            if (result == KeyDecodeResult::Ok)
                break;
            if (result != KeyDecodeResult::WrongPassword) {
                // As for a plain key: only a missing engine is the engine's fault; a key of an
                // algorithm nobody knows is a bad key.
                fail(result == KeyDecodeResult::Unusable && !GostRuntimeReady() ? NTE_PROVIDER_DLL_FAIL
                                                                                : NTE_BAD_KEY,
                     "Закрытый ключ «" + source.keyPath + "» не читается" +
                         (reason.empty() ? "" : ": " + reason));
                return nullptr;
            }
            wrong = true;
        }
    }
    if (X509_check_private_key(source.certificate.get(), unlocked->key.get()) != 1) {
        ClearOpenSslErrors();
        fail(NTE_BAD_KEY, "Закрытый ключ «" + source.keyPath + "» не соответствует сертификату");
        return nullptr;
    }
    return unlocked;
}

} // namespace

PasswordPrompt SetPasswordPrompt(PasswordPrompt prompt) {
    std::lock_guard lock(gPromptMutex);
    PasswordPrompt previous = std::move(promptSlot());
    promptSlot() = std::move(prompt);
    return previous;
}

KeyFileKind ClassifyKeyFile(std::string_view bytes) {
    if (looksLikePem(bytes)) {
        if (pemBlock(bytes, PEM_STRING_PKCS8))
            return KeyFileKind::Encrypted;
        if (pemBlock(bytes, PEM_STRING_PKCS8INF) || pemBlock(bytes, "RSA PRIVATE KEY") ||
            pemBlock(bytes, "EC PRIVATE KEY"))
            return KeyFileKind::Plain;
        return KeyFileKind::NotAKey;
    }
    if (decodeEncryptedInfo(bytes)) {
        ClearOpenSslErrors();
        return KeyFileKind::Encrypted;
    }
    const bool plain = decodePlainInfo(bytes) != nullptr;
    ClearOpenSslErrors();
    return plain ? KeyFileKind::Plain : KeyFileKind::NotAKey;
}

KeyDecodeResult DecodePrivateKey(std::string_view bytes, const SecureString* password, EvpPkeyPtr& key,
                                 std::string* reason) {
    key.reset();
    GostRuntimeReady();
    const KeyFileKind kind = ClassifyKeyFile(bytes);
    if (kind == KeyFileKind::NotAKey)
        return KeyDecodeResult::NotAKey;
    if (kind == KeyFileKind::Encrypted) {
        if (password == nullptr)
            return KeyDecodeResult::PasswordNeeded;
        X509SigPtr sig = decodeEncryptedInfo(bytes);
        if (!sig) {
            if (reason != nullptr)
                *reason = TakeOpenSslErrors();
            return KeyDecodeResult::NotAKey;
        }
        Pkcs8Ptr info(PKCS8_decrypt(sig.get(), password->c_str(), static_cast<int>(password->size())));
        if (!info) {
            // A wrong password and damaged ciphertext look the same from here.
            const std::string errors = TakeOpenSslErrors();
            if (reason != nullptr)
                *reason = errors;
            return KeyDecodeResult::WrongPassword;
        }
        return keyFromInfo(info.get(), key, reason);
    }
    if (Pkcs8Ptr info = decodePlainInfo(bytes))
        return keyFromInfo(info.get(), key, reason);
    ClearOpenSslErrors();
    // A traditional PEM key ("RSA PRIVATE KEY", "EC PRIVATE KEY").
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    key.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassword, nullptr) : nullptr);
    if (key)
        return KeyDecodeResult::Ok;
    if (reason != nullptr)
        *reason = TakeOpenSslErrors();
    ClearOpenSslErrors();
    return KeyDecodeResult::NotAKey;
}

SecureString EncodePrivateKeyPem(EVP_PKEY* key, const SecureString* password) {
    Pkcs8Ptr info(EVP_PKEY2PKCS8(key));
    if (!info)
        throw Error("Закрытый ключ не кодируется в PKCS #8: " + TakeOpenSslErrors());
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        throw Error("Недостаточно памяти");
    bool written = false;
    if (password == nullptr || password->empty()) {
        written = PEM_write_bio_PKCS8_PRIV_KEY_INFO(bio.get(), info.get()) == 1;
    } else {
        unsigned char salt[16];
        if (RAND_bytes(salt, sizeof salt) != 1)
            throw Error("Нет случайных чисел для шифрования ключа: " + TakeOpenSslErrors());
        X509SigPtr sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), password->c_str(),
                                     static_cast<int>(password->size()), salt, sizeof salt,
                                     kKeyEncryptionIterations, info.get()));
        written = sig && PEM_write_bio_PKCS8(bio.get(), sig.get()) == 1;
    }
    if (!written)
        throw Error("Закрытый ключ не кодируется в PKCS #8: " + TakeOpenSslErrors());
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    SecureString pem;
    if (length > 0)
        pem.append(data, static_cast<std::size_t>(length));
    return pem; // the memory BIO wipes its buffer when freed
}

namespace detail {

std::shared_ptr<UnlockedKey> unlockPrivateKey(PCCERT_CONTEXT context) {
    KeySource source;
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
        source.thumbprint = impl->thumbprint;
        X509_up_ref(impl->x509.get());
        source.certificate.reset(impl->x509.get());
    }
    source.subject = NameToText(X509_get_subject_name(source.certificate.get()));
    std::shared_ptr<UnlockedKey> key = loadKey(source);
    if (!key)
        return nullptr;
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
