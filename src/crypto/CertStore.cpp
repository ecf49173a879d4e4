#include "CertStore.h"

#include "CryptoInternal.h"
#include "GostRuntime.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

constexpr std::size_t kMaxCertificateFileSize = 1 << 20;
constexpr std::size_t kMaxNameFileSize = 4096;

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

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

// A certificate file of the store: DER as the store writes it; PEM is tolerated for files put
// there by hand.
X509Ptr parseCertificateFile(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (!certificate) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (bio)
            certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    ClearOpenSslErrors();
    return certificate;
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    return line;
}

void removeFile(const std::string& path, bool& removed) {
    if (::unlink(path.c_str()) == 0) {
        removed = true;
        return;
    }
    if (errno == ENOENT)
        return;
    const std::uint32_t code = systemCodeFromErrno(errno, path.c_str());
    throw Error("Не удалось удалить «" + path + "»: " + systemMessage(code));
}

void writeFile(const std::string& path, const char* data, std::size_t size, bool secret) {
    AtomicFile file(path, secret ? AtomicFile::Access::OwnerOnly : AtomicFile::Access::AsNewFile);
    file.WriteAll(data, size);
    file.Commit();
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

} // namespace

std::string StoreFolderProblem(const std::string& folder) {
    const uid_t user = ::geteuid();
    for (const std::string& path : storeOwnFolders(folder)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            continue; // what does not exist holds nothing, and opening it says so
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

std::string PersonalStoreFolder() {
    return xdgDataHome() + "/plombar/stores/" + kPersonalStoreName;
}

std::uint32_t EnsureStoreFolder(const std::string& folder, std::string* why) {
    const auto failed = [&](std::uint32_t code, const std::string& text) {
        if (why != nullptr)
            *why = text;
        return code;
    };
    const auto cannotCreate = [&](std::uint32_t code) {
        return failed(code, "Не удалось создать папку хранилища «" + folder + "»: " + systemMessage(code));
    };
    if (folder.empty())
        return cannotCreate(ERROR_PATH_NOT_FOUND);
    std::string path;
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = folder.find('/', position + 1);
        path = folder.substr(0, position);
        if (path.empty())
            continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return cannotCreate(ERROR_PATH_NOT_FOUND);
            continue;
        }
        // Only the user may see which certificates and keys are there.
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return cannotCreate(systemCodeFromErrno(errno, path.c_str()));
    }
    if (const std::string problem = StoreFolderProblem(folder); !problem.empty())
        return failed(ERROR_ACCESS_DENIED, problem);
    return 0;
}

StoreEntryFiles StoreEntryFilesFor(const std::string& folder, const std::string& thumbprint) {
    const std::string base = folder + "/" + thumbprint;
    return {base + ".cer", base + ".key", base + ".name"};
}

std::string ThumbprintOf(X509* certificate) {
    const std::string der =
        EncodeDer(certificate, [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), sha1);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : sha1) {
        text += kHex[b >> 4];
        text += kHex[b & 0xF];
    }
    return text;
}

std::string AddStoreEntry(const std::string& folder, X509* certificate, const SecureString* keyPem,
                          const std::string& friendlyName) {
    std::string why;
    if (EnsureStoreFolder(folder, &why) != 0)
        throw Error(why);
    const std::string der =
        EncodeDer(certificate, [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
    if (der.empty())
        throw Error("Сертификат не кодируется в DER: " + TakeOpenSslErrors());
    // Readers pass larger certificate files over; one stored anyway would be there and never seen.
    if (der.size() > kMaxCertificateFileSize)
        throw Error("Сертификат слишком велик для хранилища: " + std::to_string(der.size()) +
                    " байт, а хранилище читает сертификаты не больше " +
                    std::to_string(kMaxCertificateFileSize) + " байт");
    const std::string thumbprint = ThumbprintOf(certificate);
    const StoreEntryFiles files = StoreEntryFilesFor(folder, thumbprint);
    if (keyPem != nullptr)
        writeFile(files.key, keyPem->data(), keyPem->size(), true);
    if (!friendlyName.empty()) {
        const std::string line = firstLine(friendlyName) + "\n";
        writeFile(files.name, line.data(), line.size(), false);
    }
    writeFile(files.certificate, der.data(), der.size(), false);
    return thumbprint;
}

bool RemoveStoreEntry(const std::string& folder, const std::string& thumbprint) {
    if (const std::string problem = StoreFolderProblem(folder); !problem.empty())
        throw Error(problem);
    const StoreEntryFiles files = StoreEntryFilesFor(folder, thumbprint);
    bool removed = false;
    removeFile(files.certificate, removed);
    removeFile(files.key, removed);
    removeFile(files.name, removed);
    return removed;
}

// ---------------------------------------------------------------------------------------------

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY /*hProv*/, LPCSTR szSubsystemProtocol) {
    clearDiagnostic();
    if (szSubsystemProtocol == nullptr) {
        fail(E_INVALIDARG, "no store name");
        return nullptr;
    }
    if (::strcasecmp(szSubsystemProtocol, kPersonalStoreName) != 0) {
        fail(ERROR_FILE_NOT_FOUND,
             std::string("Хранилища «") + szSubsystemProtocol + "» нет: есть только «MY»");
        return nullptr;
    }
    const std::string folder = PersonalStoreFolder();
    std::string why;
    if (const std::uint32_t code = EnsureStoreFolder(folder, &why); code != 0) {
        fail(code, why);
        return nullptr;
    }
    GostRuntimeReady(); // GOST public keys decode only once the engine is the default

    auto store = std::make_unique<StoreData>();
    store->folder = folder;
    std::vector<std::string> names;
    if (DirPtr dir{::opendir(folder.c_str())}) {
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cer") == 0 &&
                !IsTemporarySaveName(name))
                names.push_back(name);
        }
    } else {
        const std::uint32_t code = systemCodeFromErrno(errno, folder.c_str());
        fail(code, "Папка хранилища «" + folder + "» не читается: " + systemMessage(code));
        return nullptr;
    }
    std::sort(names.begin(), names.end());

    std::set<std::string> seen;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        std::string bytes;
        if (!readSmallFile(path, kMaxCertificateFileSize, bytes))
            continue;
        X509Ptr certificate = parseCertificateFile(bytes);
        if (!certificate)
            continue; // a damaged or foreign file never makes the store unusable
        std::unique_ptr<CertContextImpl> ctx = makeContext(std::move(certificate));
        if (!ctx || !seen.insert(ctx->thumbprint).second)
            continue;
        ctx->store = store.get();
        ctx->hCertStore = store.get();
        ctx->entryPath = path.substr(0, path.size() - 4);
        ctx->keyFilePresent = isRegularFile(ctx->entryPath + ".key");
        std::string friendly;
        if (readSmallFile(ctx->entryPath + ".name", kMaxNameFileSize, friendly))
            ctx->friendlyName = firstLine(friendly);
        store->contexts.push_back(std::move(ctx));
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
