// The store folder "MY" filled with arbitrary files, then used as the signing page uses it: open,
// enumerate, describe every certificate for the selection dialog, and reach its private key through
// a scripted password prompt. Damaged or foreign files must be skipped, never make the store
// unusable; every failure must carry a documented code; a key once unlocked is reused without a
// second question while its provider handle lives; nothing stays open afterwards.
//
// Input: one byte choosing the prompt's script, then records
//   flags (1 byte) | name length (1 byte) | name | content length (2 bytes, little-endian) | content
// The name keeps [A-Za-z0-9._-] (anything else becomes "_"); flags bit 0 gives mode 0644 instead of
// 0600, bit 1 makes a folder, bit 2 a named pipe instead of a file.

#include "FuzzSupport.h"

#include "crypto/CryptoHandles.h"
#include "crypto/KeyAccess.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;
using plombar::fuzz::checkLastError;

namespace {

constexpr std::size_t kMaxRecords = 12;

enum class Script { Right, WrongThenRight, Cancel, AlwaysWrong };

struct PromptLog {
    Script script = Script::Right;
    int questions = 0;
};

PromptLog& promptLog() {
    static PromptLog log;
    return log;
}

void prepare() {
    static const bool prepared = [] {
        fuzz::storeFolder();
        SetPasswordPrompt([](const PasswordRequest& request, SecureString& password) {
            PromptLog& log = promptLog();
            ++log.questions;
            FUZZ_CHECK(request.attempt >= 1 && request.attempt <= kPasswordAttempts,
                       "attempt " + std::to_string(request.attempt));
            FUZZ_CHECK(request.previousWasWrong == (request.attempt > 1), "the retry flag is wrong");
            const bool right =
                log.script == Script::Right || (log.script == Script::WrongThenRight && request.attempt == 2);
            if (log.script == Script::Cancel)
                return PasswordAnswer::Cancelled;
            password.assign(right ? std::string(fuzz::kKeyPassword) : std::string("не тот пароль"));
            return PasswordAnswer::Provided;
        });
        return true;
    }();
    (void)prepared;
}

std::string safeName(const std::string& raw) {
    std::string name;
    for (char c : raw) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '_' || c == '-';
        name += keep ? c : '_';
    }
    if (name.empty() || name == "." || name == "..")
        name += "_";
    return name;
}

void writeRecord(const std::string& path, std::uint8_t flags, const std::string& content) {
    if ((flags & 2) != 0) {
        ::mkdir(path.c_str(), 0700);
        return;
    }
    if ((flags & 4) != 0) {
        ::mkfifo(path.c_str(), 0600);
        return;
    }
    ::unlink(path.c_str());
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd)
        return; // a folder or pipe of that name came first
    const ssize_t written = ::write(fd.get(), content.data(), content.size());
    (void)written;
    ::fchmod(fd.get(), (flags & 1) != 0 ? 0644 : 0600);
}

void useCertificate(PCCERT_CONTEXT certificate, const std::string& folder) {
    const CertificateDescription description = DescribeCertificate(certificate);
    FUZZ_CHECK(description.thumbprint == CertificateThumbprint(certificate),
               "the dialog shows another thumbprint");
    FUZZ_CHECK(description.friendlyName.find_first_of("\r\n") == std::string::npos,
               "a friendly name of more than one line");
    const std::string entry = CertificateStoreEntryPath(certificate);
    FUZZ_CHECK(entry.rfind(folder + "/", 0) == 0 && entry.size() > folder.size() + 1,
               "an entry outside the store folder: " + entry);
    FUZZ_CHECK(certificate->hCertStore != nullptr, "a store certificate without its store");

    const int asked = promptLog().questions;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE provider = 0;
    DWORD keySpec = 0;
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, 0, nullptr, &provider, &keySpec, &callerFrees)) {
        FUZZ_CHECK(provider == 0, "a failed acquisition returned a handle");
        checkLastError(
            "CryptAcquireCertificatePrivateKey",
            {CRYPT_E_NO_KEY_PROPERTY, NTE_PERM, ERROR_CANCELLED, ERROR_INVALID_PASSWORD, NTE_BAD_KEY});
        fuzz::note(entry + ": no key, " + fuzz::codeText(GetLastError()));
        return;
    }
    ProviderHandle held(provider);
    fuzz::note(entry + ": key after " + std::to_string(promptLog().questions - asked) + " question(s)");
    FUZZ_CHECK(provider != 0 && keySpec == AT_KEYEXCHANGE && callerFrees == TRUE && GetLastError() == 0,
               "a successful acquisition without its outputs");
    // While the first handle lives the unlocked key is reused: no second question.
    const int afterFirst = promptLog().questions;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE second = 0;
    FUZZ_CHECK(CryptAcquireCertificatePrivateKey(certificate, 0, nullptr, &second, nullptr, nullptr),
               "a key that opened once does not open again");
    ProviderHandle secondHeld(second);
    FUZZ_CHECK(promptLog().questions == afterFirst, "the password was asked again for an unlocked key");
    FUZZ_CHECK(afterFirst - asked <= kPasswordAttempts, "more questions than attempts");
    FUZZ_CHECK(secondHeld.reset() == TRUE && held.reset() == TRUE, "a provider handle does not release");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    prepare();
    const std::string& folder = fuzz::storeFolder();
    fuzz::clearFolder(folder);

    fuzz::InputReader input(data, size);
    promptLog().script = static_cast<Script>(input.byte() % 4);
    for (std::size_t i = 0; i < kMaxRecords && !input.atEnd(); ++i) {
        const std::uint8_t flags = input.byte();
        const std::string name = safeName(input.bytes(input.byte()));
        const std::string content = input.bytes(input.u16());
        writeRecord(folder + "/" + name, flags, content);
    }

    {
        StoreHandle store(CertOpenSystemStoreA(0, "MY"));
        FUZZ_CHECK(store, "files in the folder made the store unusable: " + LastCryptoDiagnostic());
        std::vector<CertContextHandle> certificates = EnumerateCertificates(store.get());
        FUZZ_CHECK(GetLastError() == CRYPT_E_NOT_FOUND, "the enumeration did not end with CRYPT_E_NOT_FOUND");
        for (const CertContextHandle& certificate : certificates)
            useCertificate(certificate.get(), folder);
        certificates.clear();
        FUZZ_CHECK(store.reset() == TRUE, "contexts of the store are still open at its close");
    }
    fuzz::checkNoHandlesLeft("after using the store");
    return 0;
}
