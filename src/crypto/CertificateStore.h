#pragma once

// A certificate store: one folder of the user's, $XDG_DATA_HOME/plombar/stores/<name> (created
// 0700), with one entry per certificate named by its SHA-1 thumbprint in lower-case hex:
//   <thumbprint>.cer   the certificate, DER
//   <thumbprint>.key   its private key, PKCS #8 PEM (encrypted or not), mode 0600, optional
//   <thumbprint>.name  a friendly name (UTF-8, one line), optional
// "MY" holds the user's own certificates with their keys; "Root" the roots the user trusts and "CA"
// intermediate certificates, the same way. Readers skip files they cannot parse and the
// temporaries of atomic saves; writers replace files atomically, the certificate last, so a reader
// never sees an entry without its key. A store value holds no handle and no cache: every call
// looks at the folder as it is then.

#include "crypto/Certificate.h"
#include "crypto/CertificateDescription.h"
#include "crypto/CertificateFactory.h"
#include "crypto/PasswordSource.h"
#include "crypto/PrivateKey.h"
#include "crypto/SecureString.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plombar::crypto {

// One certificate of a store.
struct StoreEntry {
    Certificate certificate;
    std::string friendlyName; // the first line of the name file as written there (not escaped)
    bool hasKey = false;      // a key file is there (whether it unlocks is found out then)
    std::string path;         // the entry's files without their extension ("<folder>/<thumbprint>")

    std::string certificateFile() const { return path + ".cer"; }
    std::string keyFile() const { return path + ".key"; }
    std::string nameFile() const { return path + ".name"; }

    // What the dialogs show: the certificate's texts, whether a key is there, the friendly name
    // (escaped).
    CertificateDescription describe() const;
};

struct ImportOptions {
    std::optional<std::string> friendlyName; // instead of the name the file brings (a PKCS #12 alias)
    bool keyUnencrypted = false;             // keep the key without a password (the file is 0600)
};

struct ImportedEntry {
    StoreEntry entry;
    bool keyImported = false;  // the import brought a key (without one, a key already there stays)
    bool keyEncrypted = false; // the imported key is kept protected by a password
};

// A self-signed GOST certificate with its key, so that a new user can try every page at once.
struct TestCertificateRequest {
    KeyAlgorithm algorithm = KeyAlgorithm::Gost2012_256;
    std::string subject = "CN=Тестовый пользователь Пломбаря"; // as ParseSubjectText reads it
    long days = 365;
    std::string friendlyName = "Тестовый сертификат Пломбаря";
    SecureString keyPassword; // empty: the key is kept unencrypted
};

enum class CertificateEncoding { Der, Pem };

class CertificateStore {
public:
    static constexpr const char* kPersonal = "MY";
    static constexpr const char* kRoot = "Root";
    static constexpr const char* kIntermediate = "CA";

    // "MY", "Root" or "CA" for one of these names in any letter case; nullopt for any other.
    static std::optional<std::string> canonicalName(std::string_view name);
    // $XDG_DATA_HOME/plombar/stores/<name> (XDG_DATA_HOME defaults to ~/.local/share).
    static std::string folderOf(std::string_view name);

    // The store of that name (any letter case), its folder and any missing parents created with
    // mode 0700. Raises CryptoError (StoreUnusable): ERROR_FILE_NOT_FOUND for another name, the
    // system code when the folder cannot be made, ERROR_ACCESS_DENIED when the folder or the
    // layout's folders above it (…/plombar/stores) belong to someone else or can be written by
    // others (whoever can write there can plant a certificate to encrypt for, or a key to sign
    // with); its text says what to do.
    static CertificateStore open(std::string_view name = kPersonal);

    const std::string& name() const noexcept { return name_; }
    const std::string& folder() const noexcept { return folder_; }
    // Whether the store keeps private keys: "MY" does; "Root" and "CA" hold certificates alone.
    bool holdsKeys() const noexcept { return name_ == kPersonal; }

    // The entries in the order of their file names, each certificate once. A file that cannot be
    // read or parsed (a FIFO, a folder, a file over 1 MiB, junk) is passed over, never fatal.
    // Raises CryptoError (StoreUnusable) when the folder cannot be listed.
    std::vector<StoreEntry> entries() const;
    // The entries whose thumbprint starts with `prefix` (4 to 40 hex digits, any letter case;
    // anything else matches nothing).
    std::vector<StoreEntry> findByThumbprint(std::string_view prefix) const;
    // The entries whose common name is `text` exactly; when there is none, those whose subject
    // line (Certificate::subjectText) contains it.
    std::vector<StoreEntry> findBySubject(std::string_view text) const;

    // Adds a certificate or replaces its entry. `keyPem`, when given, becomes the key file (0600);
    // without it an existing key file stays. A non-empty `friendlyName` (its first line) becomes the
    // name file. Raises CryptoError (StoreUnusable) when the folder is not safe or cannot be made,
    // the certificate is larger than the store reads (1 MiB), or a key is given to a store that
    // holds none; FileCreateError when a file cannot be written.
    StoreEntry add(const Certificate& certificate, const SecureString* keyPem,
                   const std::string& friendlyName);

    // Imports a PKCS #12 file (GOST or other protection) with its key. `fileName` names the file
    // in the messages. The password is asked through `passwords` (purpose Pkcs12File) unless the
    // file opens without one; the key is kept encrypted with the same password (PBES2, AES-256)
    // unless `options` say otherwise. Raises CryptoError: WrongPassword (ERROR_INVALID_PASSWORD),
    // Cancelled, NotACertificate (not a PKCS #12 file, or one without a certificate),
    // EngineMissing, KeyMismatch; and what add() raises.
    ImportedEntry importPkcs12(std::string_view bytes, const std::string& fileName, PasswordSource& passwords,
                               const ImportOptions& options = {});
    // Imports a certificate (Certificate::fromBytes) with, when `keyBytes` is given, its key file
    // (PKCS #8 PEM or DER, encrypted or not, or a traditional PEM key; purpose KeyFile). Raises
    // CryptoError: NotACertificate, BadKey (no key in the key file, or one of no known algorithm),
    // WrongPassword, Cancelled, EngineMissing, KeyMismatch; OutOfMemoryError for a certificate too
    // large to decode; and what add() raises.
    ImportedEntry importCertificate(std::string_view bytes, const std::string& fileName,
                                    const SecureString* keyBytes, const std::string& keyFileName,
                                    PasswordSource& passwords, const ImportOptions& options = {});
    // A PKCS #12 file when the bytes are one and no key file is given, else a certificate. A store
    // that holds no keys refuses a key file (StoreUnusable) and a PKCS #12 file (NotACertificate)
    // before anything is asked.
    ImportedEntry importFile(std::string_view bytes, const std::string& fileName,
                             const SecureString* keyBytes, const std::string& keyFileName,
                             PasswordSource& passwords, const ImportOptions& options = {});

    // Writes the certificate (never its key) to `path` atomically, DER or PEM. Raises
    // FileCreateError when it cannot be written.
    void exportCertificate(const Certificate& certificate, CertificateEncoding encoding,
                           const std::string& path) const;

    // Removes every entry of the certificate with this thumbprint (also one put there by hand under
    // another name) with its key and name files. False when there was no file to remove. Raises
    // CryptoError (StoreUnusable) when the folder is not safe or a file cannot be removed.
    bool remove(std::string_view thumbprint);

    // Makes a key and a self-signed certificate for it and adds both. Raises plombar::Error for a
    // subject it cannot read (ParseSubjectText) or a key it cannot make (the GOST engine missing),
    // and what add() raises.
    ImportedEntry makeTestCertificate(const TestCertificateRequest& request);

    // The entry's private key, unlocked through `passwords` (PrivateKey::unlock).
    PrivateKey unlockKey(const StoreEntry& entry, PasswordSource& passwords) const;

private:
    CertificateStore(std::string name, std::string folder)
        : name_(std::move(name)), folder_(std::move(folder)) {}

    std::vector<StoreEntry> scan(bool everyFile) const;
    [[noreturn]] void refuseKeys() const;
    ImportedEntry store(const Certificate& certificate, const EvpPkeyPtr& key,
                        const SecureString& keyPassword, const std::string& friendlyName,
                        const ImportOptions& options);

    std::string name_;
    std::string folder_;
};

} // namespace plombar::crypto
