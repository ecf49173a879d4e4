#include "PrivateKey.h"

#include "CryptoError.h"
#include "GostRuntime.h"
#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/SystemErrors.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace plombar::crypto {

using namespace plombar::winerr;

namespace {

constexpr std::uint64_t kMaxKeyFileSize = 1 << 20;
constexpr int kKeyEncryptionIterations = 100000;

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

[[noreturn]] void refuse(CryptoFailure kind, std::uint32_t code, std::string text) {
    throw CryptoError(kind, code, std::move(text));
}

// The key file of a store entry, refused when others may read it (as ssh does).
SecureString readKeyFile(const std::string& path) {
    // A named pipe in the key file's place would otherwise wait for a writer forever; it is refused
    // as what it is, not a file, and so is a device.
    InputFile file(path);
    if (!file.isOpen()) {
        const int err = file.openErrno();
        if (err == ENOENT)
            refuse(CryptoFailure::NoKey, CRYPT_E_NO_KEY_PROPERTY,
                   "Для сертификата нет закрытого ключа (нет файла «" + path + "»)");
        if (file.openError() == kNotAFileError || err == EISDIR)
            refuse(CryptoFailure::BadKey, NTE_BAD_KEY, "«" + path + "» не является файлом закрытого ключа");
        refuse(CryptoFailure::BadKey, systemCodeFromErrno(err, path.c_str()),
               "Файл закрытого ключа «" + path + "» не открывается: " + std::strerror(err));
    }
    const struct stat& st = file.status();
    if ((st.st_mode & 077) != 0)
        refuse(CryptoFailure::KeyNotPrivate, NTE_PERM,
               "Права доступа к файлу закрытого ключа «" + path + "» слишком широкие (" + octal(st.st_mode) +
                   "): его могут читать другие пользователи. Ключ не будет использован; "
                   "оставьте доступ только владельцу: chmod 600 «" +
                   path + "»");
    SecureString bytes;
    switch (readWholeFile(file, bytes, kMaxKeyFileSize)) {
    case ReadFileResult::Ok:
        return bytes;
    case ReadFileResult::TooLarge:
        refuse(CryptoFailure::BadKey, NTE_BAD_KEY, "Файл закрытого ключа «" + path + "» слишком велик");
    case ReadFileResult::Changed:
        refuse(CryptoFailure::BadKey, NTE_BAD_KEY,
               "Файл закрытого ключа «" + path + "» изменил размер, пока его читали");
    case ReadFileResult::Failed:
        break;
    }
    const int err = errno;
    refuse(CryptoFailure::BadKey, systemCodeFromErrno(err, path.c_str()),
           "Файл закрытого ключа «" + path + "» не читается: " + std::strerror(err));
}

// A key that decodes but cannot be used: only a missing engine is the engine's fault; a key of an
// algorithm nobody knows is a bad key.
[[noreturn]] void refuseUnreadableKey(const std::string& path, KeyDecodeResult result,
                                      const std::string& reason) {
    const bool engine = result == KeyDecodeResult::Unusable && !GostRuntimeReady();
    refuse(engine ? CryptoFailure::EngineMissing : CryptoFailure::BadKey,
           engine ? NTE_PROVIDER_DLL_FAIL : NTE_BAD_KEY,
           "Закрытый ключ «" + path + "» не читается" + (reason.empty() ? "" : ": " + reason));
}

} // namespace

PrivateKey PrivateKey::unlock(const std::string& keyFile, const Certificate& certificate,
                              PasswordSource& passwords) {
    const SecureString bytes = readKeyFile(keyFile);
    if (!GostRuntimeReady())
        refuse(CryptoFailure::EngineMissing, NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());
    EvpPkeyPtr key;
    std::string reason;
    const KeyFileKind kind = classifyKeyFile(bytes.view());
    if (kind == KeyFileKind::NotAKey)
        refuse(CryptoFailure::BadKey, NTE_BAD_KEY, "Файл «" + keyFile + "» не содержит закрытого ключа");
    if (kind == KeyFileKind::Plain) {
        const KeyDecodeResult result = decodePrivateKey(bytes.view(), nullptr, key, &reason);
        if (result != KeyDecodeResult::Ok)
            refuseUnreadableKey(keyFile, result, reason);
    } else {
        PasswordRequest request;
        request.subject = certificate.subjectText();
        request.thumbprint = certificate.thumbprint();
        request.keyFile = keyFile;
        const int attempts = std::clamp(passwords.attempts(), 1, kPasswordAttempts);
        for (;; ++request.attempt) {
            if (request.attempt > attempts)
                refuse(CryptoFailure::WrongPassword, ERROR_INVALID_PASSWORD,
                       "Неверный пароль закрытого ключа");
            const std::optional<SecureString> password = passwords.password(request);
            if (!password)
                refuse(CryptoFailure::Cancelled, ERROR_CANCELLED, "Ввод пароля закрытого ключа отменён");
            const KeyDecodeResult result = decodePrivateKey(bytes.view(), &*password, key, &reason);
            if (result == KeyDecodeResult::Ok)
                break;
            if (result != KeyDecodeResult::WrongPassword)
                refuseUnreadableKey(keyFile, result, reason);
            request.previousWasWrong = true;
        }
    }
    if (X509_check_private_key(certificate.x509(), key.get()) != 1) {
        ClearOpenSslErrors();
        refuse(CryptoFailure::KeyMismatch, NTE_BAD_KEY,
               "Закрытый ключ «" + keyFile + "» не соответствует сертификату");
    }
    // The decoders tried before the one that read the key leave their failures queued; they must not
    // become the reasons of a later, unrelated failure.
    ClearOpenSslErrors();
    return PrivateKey(std::move(key), certificate);
}

KeyFileKind classifyKeyFile(std::string_view bytes) {
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

KeyDecodeResult decodePrivateKey(std::string_view bytes, const SecureString* password, EvpPkeyPtr& key,
                                 std::string* reason) {
    key.reset();
    GostRuntimeReady();
    const KeyFileKind kind = classifyKeyFile(bytes);
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

SecureString encodePrivateKeyPem(EVP_PKEY* key, const SecureString* password) {
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

} // namespace plombar::crypto
