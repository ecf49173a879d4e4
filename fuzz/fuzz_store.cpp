// The store folder "MY" filled with arbitrary files, then used as the signing page uses it: list
// the entries, describe every certificate for the selection dialog, find it again by its
// thumbprint, and unlock its private key through a scripted password source. Damaged or foreign
// files must be skipped, never make the store unusable; each certificate is listed once; every
// failure must carry a documented code; the password is asked at most kPasswordAttempts times and
// an unlocked key belongs to its certificate.
//
// Input: one byte choosing the password script, then records
//   flags (1 byte) | name length (1 byte) | name | content length (2 bytes, little-endian) | content
// The name keeps [A-Za-z0-9._-] (anything else becomes "_"); flags bit 0 gives mode 0644 instead of
// 0600, bit 1 makes a folder, bit 2 a named pipe instead of a file.

#include "FuzzSupport.h"

#include "crypto/CertificateStore.h"
#include "crypto/CryptoError.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;

namespace {

constexpr std::size_t kMaxRecords = 12;

enum class Script { Right, WrongThenRight, Cancel, AlwaysWrong };

class ScriptedPasswords : public PasswordSource {
public:
    Script script = Script::Right;
    int questions = 0;

    std::optional<SecureString> password(const PasswordRequest& request) override {
        ++questions;
        FUZZ_CHECK(request.attempt >= 1 && request.attempt <= kPasswordAttempts,
                   "attempt " + std::to_string(request.attempt));
        FUZZ_CHECK(request.previousWasWrong == (request.attempt > 1), "the retry flag is wrong");
        if (script == Script::Cancel)
            return std::nullopt;
        const bool right =
            script == Script::Right || (script == Script::WrongThenRight && request.attempt == 2);
        return SecureString(right ? std::string(fuzz::kKeyPassword) : std::string("не тот пароль"));
    }
};

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

void useEntry(const CertificateStore& store, const StoreEntry& entry, ScriptedPasswords& passwords) {
    const std::string& folder = store.folder();
    const std::string& thumbprint = entry.certificate.thumbprint();
    const CertificateDescription description = entry.describe();
    FUZZ_CHECK(description.thumbprint == thumbprint, "the dialog shows another thumbprint");
    FUZZ_CHECK(description.hasPrivateKey == entry.hasKey, "the dialog shows another key state");
    FUZZ_CHECK(description.friendlyName.find_first_of("\r\n") == std::string::npos,
               "a friendly name of more than one line");
    FUZZ_CHECK(entry.path.rfind(folder + "/", 0) == 0 && entry.path.size() > folder.size() + 1,
               "an entry outside the store folder: " + entry.path);
    const std::vector<StoreEntry> found = store.findByThumbprint(thumbprint);
    FUZZ_CHECK(found.size() == 1 && found[0].path == entry.path, "the entry is not found by its thumbprint");

    const int asked = passwords.questions;
    try {
        const PrivateKey key = store.unlockKey(entry, passwords);
        FUZZ_CHECK(key.get() != nullptr && key.certificate() == entry.certificate,
                   "an unlocked key without its certificate");
        fuzz::note(entry.path + ": key after " + std::to_string(passwords.questions - asked) +
                   " question(s)");
    } catch (const CryptoError& error) {
        fuzz::checkCode(
            "unlocking the key", error.code(),
            {CRYPT_E_NO_KEY_PROPERTY, NTE_PERM, ERROR_CANCELLED, ERROR_INVALID_PASSWORD, NTE_BAD_KEY},
            error.message());
        fuzz::note(entry.path + ": no key, " + fuzz::codeText(error.code()));
    }
    FUZZ_CHECK(passwords.questions - asked <= kPasswordAttempts, "more questions than attempts");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& folder = fuzz::storeFolder();
    fuzz::clearFolder(folder);

    fuzz::InputReader input(data, size);
    ScriptedPasswords passwords;
    passwords.script = static_cast<Script>(input.byte() % 4);
    for (std::size_t i = 0; i < kMaxRecords && !input.atEnd(); ++i) {
        const std::uint8_t flags = input.byte();
        const std::string name = safeName(input.bytes(input.byte()));
        const std::string content = input.bytes(input.u16());
        writeRecord(folder + "/" + name, flags, content);
    }

    std::optional<CertificateStore> store;
    std::vector<StoreEntry> entries;
    try {
        store = CertificateStore::open(CertificateStore::kPersonal);
        entries = store->entries();
    } catch (const CryptoError& error) {
        FUZZ_CHECK(false, "files in the folder made the store unusable: " + error.message());
    }
    std::set<std::string> seen;
    for (const StoreEntry& entry : entries) {
        FUZZ_CHECK(seen.insert(entry.certificate.thumbprint()).second,
                   "a certificate listed twice: " + entry.certificate.thumbprint());
        useEntry(*store, entry, passwords);
    }
    return 0;
}
