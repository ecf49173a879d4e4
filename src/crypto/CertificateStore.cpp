#include "CertificateStore.h"

#include "CertificateText.h"
#include "CryptoError.h"
#include "GostRuntime.h"
#include "platform/AtomicFile.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <pwd.h>
#include <set>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar::crypto {

using namespace plombar::winerr;

namespace {

constexpr std::size_t kMaxCertificateFileSize = 1 << 20;
constexpr std::size_t kMaxNameFileSize = 4096;

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

[[noreturn]] void refuseStore(std::uint32_t code, std::string text) {
    throw CryptoError(CryptoFailure::StoreUnusable, code, std::move(text));
}

// The whole content of a regular file of at most `limit` bytes; false when it cannot be read (a
// FIFO, device or folder in the store is passed over without being read or waited for).
bool readSmallFile(const std::string& path, std::size_t limit, std::string& bytes) {
    InputFile file(path);
    return file.isOpen() && readWholeFile(file, bytes, limit) == ReadFileResult::Ok;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

std::string friendlyNameIn(const std::string& path) {
    std::string text;
    return readSmallFile(path, kMaxNameFileSize, text) ? firstLine(text) : std::string();
}

void removeFile(const std::string& path, bool& removed) {
    if (::unlink(path.c_str()) == 0) {
        removed = true;
        return;
    }
    if (errno == ENOENT)
        return;
    const std::uint32_t code = systemCodeFromErrno(errno, path.c_str());
    refuseStore(code, "Не удалось удалить «" + path + "»: " + systemMessage(code));
}

void writeFile(const std::string& path, std::string_view data, bool secret) {
    AtomicFile file(path, secret ? AtomicFile::Access::OwnerOnly : AtomicFile::Access::AsNewFile);
    file.write(data);
    file.commit();
}

// The folder and those above it that belong to the store's layout (…/plombar/stores/<name>): the
// ones the store creates for itself.
std::vector<std::string> storeOwnFolders(const std::string& folder) {
    std::vector<std::string> folders{folder};
    std::string path = folder;
    for (const char* expected : {"stores", "plombar"}) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            break;
        path.resize(slash);
        if (path.substr(path.find_last_of('/') + 1) != expected)
            break;
        folders.push_back(path);
    }
    return folders;
}

std::string octalMode(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

// Why the store in `folder` must not be used, as a message saying what to do; empty when it may.
// A folder that does not exist passes: what does not exist holds nothing, and opening it says so.
std::string storeFolderProblem(const std::string& folder) {
    const uid_t user = ::geteuid();
    for (const std::string& path : storeOwnFolders(folder)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            continue;
        if (st.st_uid != user && st.st_uid != 0)
            return "Папка хранилища «" + path + "» принадлежит другому пользователю (" + userName(st.st_uid) +
                   "): он может подложить в неё свои сертификаты и ключи. Хранилище не будет "
                   "использовано; папка должна принадлежать вам: выполните sudo chown " +
                   userName(user) + " «" + path + "»";
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return "Папка хранилища «" + path + "» доступна для записи другим пользователям (права " +
                   octalMode(st.st_mode) +
                   "): в неё могут подложить чужие сертификаты и ключи. Хранилище не будет использовано; "
                   "оставьте запись только владельцу: выполните chmod 700 «" +
                   path + "»";
    }
    return {};
}

void refuseUnsafeFolder(const std::string& folder) {
    if (const std::string problem = storeFolderProblem(folder); !problem.empty())
        refuseStore(ERROR_ACCESS_DENIED, problem);
}

// Creates the folder and any missing parents with mode 0700 (only the user may see which
// certificates and keys are there), then refuses a folder that is not safe.
void ensureStoreFolder(const std::string& folder) {
    const auto cannotCreate = [&](std::uint32_t code) {
        refuseStore(code, "Не удалось создать папку хранилища «" + folder + "»: " + systemMessage(code));
    };
    if (folder.empty())
        cannotCreate(ERROR_PATH_NOT_FOUND);
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = folder.find('/', position + 1);
        const std::string path = folder.substr(0, position);
        if (path.empty())
            continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                cannotCreate(ERROR_PATH_NOT_FOUND);
            continue;
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            cannotCreate(systemCodeFromErrno(errno, path.c_str()));
    }
    refuseUnsafeFolder(folder);
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

Pkcs12Ptr parsePkcs12(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    Pkcs12Ptr pkcs12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    ClearOpenSslErrors();
    return pkcs12;
}

bool macVerifies(PKCS12* pkcs12, const char* password, int length) {
    const bool verified = PKCS12_verify_mac(pkcs12, password, length) == 1;
    ClearOpenSslErrors();
    return verified;
}

// A password for an import; nullopt from the source is a cancel.
SecureString askPassword(PasswordSource& passwords, const PasswordRequest& request, const std::string& what) {
    std::optional<SecureString> password = passwords.password(request);
    if (!password)
        throw CryptoError(CryptoFailure::Cancelled, ERROR_CANCELLED, "ввод пароля " + what + " отменён");
    return std::move(*password);
}

int attemptsOf(const PasswordSource& passwords) {
    return std::clamp(passwords.attempts(), 1, kPasswordAttempts);
}

[[noreturn]] void refuseKeyMismatch(const std::string& text) {
    ClearOpenSslErrors();
    throw CryptoError(CryptoFailure::KeyMismatch, NTE_BAD_KEY, text);
}

} // namespace

CertificateDescription StoreEntry::describe() const {
    CertificateDescription d = certificate.describe();
    d.hasPrivateKey = hasKey;
    d.friendlyName = escapeForDisplay(friendlyName);
    return d;
}

std::optional<std::string> CertificateStore::canonicalName(std::string_view name) {
    for (const char* known : {kPersonal, kRoot, kIntermediate})
        if (name.size() == std::strlen(known) && ::strncasecmp(name.data(), known, name.size()) == 0)
            return std::string(known);
    return std::nullopt;
}

std::string CertificateStore::folderOf(std::string_view name) {
    return xdgDataHome() + "/plombar/stores/" + std::string(name);
}

CertificateStore CertificateStore::open(std::string_view name) {
    const std::optional<std::string> known = canonicalName(name);
    if (!known)
        refuseStore(ERROR_FILE_NOT_FOUND,
                    "Хранилища «" + std::string(name) + "» нет: есть «MY», «Root» и «CA»");
    CertificateStore store(*known, folderOf(*known));
    ensureStoreFolder(store.folder_);
    return store;
}

void CertificateStore::refuseKeys() const {
    refuseStore(ERROR_NOT_SUPPORTED,
                "Хранилище «" + name_ + "» хранит только сертификаты, без закрытых ключей");
}

std::vector<StoreEntry> CertificateStore::scan(bool everyFile) const {
    GostRuntimeReady(); // GOST public keys decode only once the engine is the default
    std::vector<std::string> names;
    DirPtr dir{::opendir(folder_.c_str())};
    if (!dir) {
        const std::uint32_t code = systemCodeFromErrno(errno, folder_.c_str());
        refuseStore(code, "Папка хранилища «" + folder_ + "» не читается: " + systemMessage(code));
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cer") == 0 && !isTemporarySaveName(name))
            names.push_back(name);
    }
    dir.reset();
    std::sort(names.begin(), names.end());

    std::vector<StoreEntry> entries;
    std::set<std::string> seen;
    for (const std::string& name : names) {
        const std::string path = folder_ + "/" + name.substr(0, name.size() - 4);
        std::string bytes;
        if (!readSmallFile(path + ".cer", kMaxCertificateFileSize, bytes))
            continue;
        std::optional<Certificate> certificate;
        try {
            certificate = Certificate::fromBytes(bytes);
        } catch (const Error&) {
            continue; // a damaged or foreign file never makes the store unusable
        }
        if (!seen.insert(certificate->thumbprint()).second && !everyFile)
            continue;
        entries.push_back({*certificate, friendlyNameIn(path + ".name"), isRegularFile(path + ".key"), path});
    }
    return entries;
}

std::vector<StoreEntry> CertificateStore::entries() const {
    return scan(false);
}

std::vector<StoreEntry> CertificateStore::findByThumbprint(std::string_view prefix) const {
    const std::string wanted = lowerCase(prefix);
    if (wanted.size() < 4 || wanted.size() > 40 ||
        wanted.find_first_not_of("0123456789abcdef") != std::string::npos)
        return {};
    std::vector<StoreEntry> found;
    for (StoreEntry& entry : entries())
        if (entry.certificate.thumbprint().compare(0, wanted.size(), wanted) == 0)
            found.push_back(std::move(entry));
    return found;
}

std::vector<StoreEntry> CertificateStore::findBySubject(std::string_view text) const {
    std::vector<StoreEntry> exact;
    std::vector<StoreEntry> partial;
    for (StoreEntry& entry : entries()) {
        if (entry.certificate.commonName() == text)
            exact.push_back(std::move(entry));
        else if (entry.certificate.subjectText().find(text) != std::string::npos)
            partial.push_back(std::move(entry));
    }
    return exact.empty() ? partial : exact;
}

StoreEntry CertificateStore::add(const Certificate& certificate, const SecureString* keyPem,
                                 const std::string& friendlyName) {
    if (keyPem != nullptr && !holdsKeys())
        refuseKeys();
    ensureStoreFolder(folder_);
    const std::string& der = certificate.der();
    // Readers pass larger certificate files over; one stored anyway would be there and never seen.
    if (der.size() > kMaxCertificateFileSize)
        refuseStore(ERROR_FILE_TOO_LARGE,
                    "Сертификат слишком велик для хранилища: " + std::to_string(der.size()) +
                        " байт, а хранилище читает сертификаты не больше " +
                        std::to_string(kMaxCertificateFileSize) + " байт");
    StoreEntry entry{certificate, firstLine(friendlyName), false, folder_ + "/" + certificate.thumbprint()};
    if (keyPem != nullptr)
        writeFile(entry.keyFile(), keyPem->view(), true);
    if (!entry.friendlyName.empty())
        writeFile(entry.nameFile(), entry.friendlyName + "\n", false);
    else
        entry.friendlyName = friendlyNameIn(entry.nameFile());
    writeFile(entry.certificateFile(), der, false);
    entry.hasKey = isRegularFile(entry.keyFile());
    return entry;
}

ImportedEntry CertificateStore::store(const Certificate& certificate, const EvpPkeyPtr& key,
                                      const SecureString& keyPassword, const std::string& friendlyName,
                                      const ImportOptions& options) {
    const SecureString noPassword;
    const SecureString& password = options.keyUnencrypted ? noPassword : keyPassword;
    SecureString keyPem;
    if (key)
        keyPem = encodePrivateKeyPem(key.get(), &password);
    return {add(certificate, key ? &keyPem : nullptr, options.friendlyName.value_or(friendlyName)),
            static_cast<bool>(key), key && !password.empty()};
}

ImportedEntry CertificateStore::importPkcs12(std::string_view bytes, const std::string& fileName,
                                             PasswordSource& passwords, const ImportOptions& options) {
    const Pkcs12Ptr pkcs12 = parsePkcs12(bytes);
    if (!pkcs12)
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_BADTAG,
                          "«" + fileName + "» не является файлом PKCS #12");
    if (!holdsKeys())
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_BADTAG,
                          "«" + fileName + "» — файл PKCS #12, а в хранилище «" + name_ +
                              "» импортируются только сертификаты (DER, Base64 или PEM)");
    PasswordRequest request;
    request.purpose = PasswordRequest::Purpose::Pkcs12File;
    request.keyFile = fileName;
    const std::string what = "файла PKCS #12 «" + fileName + "»";
    SecureString password;
    const bool mac = PKCS12_mac_present(pkcs12.get()) == 1;
    if (!mac) {
        password = askPassword(passwords, request, what);
    } else if (!macVerifies(pkcs12.get(), nullptr, 0) && !macVerifies(pkcs12.get(), "", 0)) {
        // A file without a password (or with the empty one) is opened without asking.
        for (;; ++request.attempt) {
            if (request.attempt > attemptsOf(passwords))
                throw CryptoError(CryptoFailure::WrongPassword, ERROR_INVALID_PASSWORD,
                                  "неверный пароль " + what);
            password = askPassword(passwords, request, what);
            if (macVerifies(pkcs12.get(), password.c_str(), static_cast<int>(password.size())))
                break;
            request.previousWasWrong = true;
        }
    }
    ClearOpenSslErrors();
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* authorities = nullptr;
    const int parsed = PKCS12_parse(pkcs12.get(), password.c_str(), &rawKey, &rawCertificate, &authorities);
    EvpPkeyPtr key(rawKey);
    X509Ptr certificate(rawCertificate);
    X509StackPtr authorityHolder(authorities);
    if (parsed != 1) {
        const std::string reason = TakeOpenSslErrors();
        if (!mac)
            throw CryptoError(CryptoFailure::WrongPassword, ERROR_INVALID_PASSWORD,
                              "файл PKCS #12 «" + fileName + "» не открывается: неверный пароль? (" + reason +
                                  ")");
        if (!GostRuntimeReady())
            throw CryptoError(CryptoFailure::EngineMissing, NTE_PROVIDER_DLL_FAIL,
                              "файл PKCS #12 «" + fileName + "» не разбирается: " + reason);
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_ASN1_CORRUPT,
                          "файл PKCS #12 «" + fileName + "» не разбирается: " + reason);
    }
    if (!certificate)
        throw CryptoError(CryptoFailure::NotACertificate, CRYPT_E_NOT_FOUND,
                          "в файле PKCS #12 «" + fileName + "» нет сертификата");
    if (key && X509_check_private_key(certificate.get(), key.get()) != 1)
        refuseKeyMismatch("закрытый ключ в «" + fileName + "» не соответствует сертификату");
    std::string alias;
    int aliasLength = 0;
    if (const unsigned char* text = X509_alias_get0(certificate.get(), &aliasLength))
        alias.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(aliasLength));
    return store(Certificate::adopt(std::move(certificate)), key, password, alias, options);
}

ImportedEntry CertificateStore::importCertificate(std::string_view bytes, const std::string& fileName,
                                                  const SecureString* keyBytes,
                                                  const std::string& keyFileName, PasswordSource& passwords,
                                                  const ImportOptions& options) {
    std::optional<Certificate> certificate;
    try {
        certificate = Certificate::fromBytes(bytes);
    } catch (const CryptoError& error) {
        throw CryptoError(CryptoFailure::NotACertificate, error.code(),
                          "«" + fileName + "» не является сертификатом (DER или PEM) или файлом PKCS #12");
    }
    EvpPkeyPtr key;
    SecureString keyPassword;
    if (keyBytes != nullptr) {
        std::string reason;
        KeyDecodeResult result = decodePrivateKey(keyBytes->view(), nullptr, key, &reason);
        if (result == KeyDecodeResult::PasswordNeeded) {
            PasswordRequest request;
            request.purpose = PasswordRequest::Purpose::KeyFile;
            request.keyFile = keyFileName;
            for (;; ++request.attempt) {
                if (request.attempt > attemptsOf(passwords))
                    break;
                keyPassword = askPassword(passwords, request, "закрытого ключа «" + keyFileName + "»");
                result = decodePrivateKey(keyBytes->view(), &keyPassword, key, &reason);
                if (result != KeyDecodeResult::WrongPassword)
                    break;
                request.previousWasWrong = true;
            }
        }
        switch (result) {
        case KeyDecodeResult::Ok:
            break;
        case KeyDecodeResult::WrongPassword:
            throw CryptoError(CryptoFailure::WrongPassword, ERROR_INVALID_PASSWORD,
                              "неверный пароль закрытого ключа «" + keyFileName + "»");
        case KeyDecodeResult::Unusable:
            if (!GostRuntimeReady())
                throw CryptoError(CryptoFailure::EngineMissing, NTE_PROVIDER_DLL_FAIL,
                                  "закрытый ключ «" + keyFileName + "» не используется: " + reason);
            throw CryptoError(CryptoFailure::BadKey, NTE_BAD_KEY,
                              "закрытый ключ «" + keyFileName + "» не используется: " + reason);
        default:
            throw CryptoError(CryptoFailure::BadKey, NTE_BAD_KEY,
                              "«" + keyFileName + "» не является закрытым ключом (PKCS #8)");
        }
        if (X509_check_private_key(certificate->x509(), key.get()) != 1)
            refuseKeyMismatch("закрытый ключ «" + keyFileName + "» не соответствует сертификату «" +
                              fileName + "»");
    }
    return store(*certificate, key, keyPassword, {}, options);
}

ImportedEntry CertificateStore::importFile(std::string_view bytes, const std::string& fileName,
                                           const SecureString* keyBytes, const std::string& keyFileName,
                                           PasswordSource& passwords, const ImportOptions& options) {
    if (keyBytes != nullptr && !holdsKeys())
        refuseKeys();
    if (keyBytes == nullptr && parsePkcs12(bytes))
        return importPkcs12(bytes, fileName, passwords, options);
    return importCertificate(bytes, fileName, keyBytes, keyFileName, passwords, options);
}

void CertificateStore::exportCertificate(const Certificate& certificate, CertificateEncoding encoding,
                                         const std::string& path) const {
    const std::string bytes = encoding == CertificateEncoding::Pem ? certificate.pem() : certificate.der();
    saveFileAtomically(path, bytes);
}

bool CertificateStore::remove(std::string_view thumbprint) {
    refuseUnsafeFolder(folder_);
    const std::string wanted = lowerCase(thumbprint);
    std::vector<std::string> paths{folder_ + "/" + wanted};
    for (const StoreEntry& entry : scan(true))
        if (entry.certificate.thumbprint() == wanted && entry.path != paths.front())
            paths.push_back(entry.path);
    bool removed = false;
    for (const std::string& path : paths)
        for (const char* extension : {".cer", ".key", ".name"})
            removeFile(path + extension, removed);
    return removed;
}

ImportedEntry CertificateStore::makeTestCertificate(const TestCertificateRequest& request) {
    const X509NamePtr subject = ParseSubjectText(request.subject);
    const EvpPkeyPtr key = GenerateKey(request.algorithm);
    CertificateFields fields;
    fields.subject = subject.get();
    fields.notBefore = std::time(nullptr) - 3600;
    fields.notAfter = fields.notBefore + request.days * 24 * 3600 + 3600;
    Certificate certificate = Certificate::adopt(MakeCertificate(fields, key.get()));
    return store(certificate, key, request.keyPassword, request.friendlyName, {});
}

PrivateKey CertificateStore::unlockKey(const StoreEntry& entry, PasswordSource& passwords) const {
    return PrivateKey::unlock(entry.keyFile(), entry.certificate, passwords);
}

} // namespace plombar::crypto
