#pragma once

// The store folder behind CertOpenSystemStoreA(0, "MY"): one entry per certificate, named by its
// SHA-1 thumbprint in lower-case hex:
//   <thumbprint>.cer   the certificate, DER
//   <thumbprint>.key   its private key, PKCS #8 PEM (encrypted or not), mode 0600, optional
//   <thumbprint>.name  a friendly name (UTF-8, one line), optional
// Readers skip files they cannot parse and the temporaries of atomic saves; writers replace files
// atomically, the certificate last, so a reader never sees an entry without its key.

#include "crypto/OpenSsl.h"
#include "crypto/SecureString.h"

#include <string>

namespace plombar::crypto {

inline constexpr const char* kPersonalStoreName = "MY";

// $XDG_DATA_HOME/plombar/stores/MY (XDG_DATA_HOME defaults to ~/.local/share).
std::string PersonalStoreFolder();

// Creates the folder and any missing parents with mode 0700, then checks it with
// StoreFolderProblem. Returns 0, or the Windows-numbered code of the failure (ERROR_ACCESS_DENIED
// for a folder others could write to) with its message in `why` when given.
std::uint32_t EnsureStoreFolder(const std::string& folder, std::string* why = nullptr);

// Why the store in `folder` must not be used, as a message saying what to do; empty when it may.
// The folder and the folders of the store's layout above it (…/plombar/stores/MY) must belong to
// the user (or root) and be writable by no one else: whoever can write there can plant a
// certificate to encrypt for, or a key to sign with. A folder that does not exist passes.
std::string StoreFolderProblem(const std::string& folder);

// The files of one entry.
struct StoreEntryFiles {
    std::string certificate;
    std::string key;
    std::string name;
};
StoreEntryFiles StoreEntryFilesFor(const std::string& folder, const std::string& thumbprint);

// The lower-case hex SHA-1 thumbprint of a certificate.
std::string ThumbprintOf(X509* certificate);

// Adds a certificate to the store or replaces its entry, and returns the thumbprint. `keyPem`, when
// given, becomes the key file (mode 0600); without it an existing key file stays. A non-empty
// `friendlyName` becomes the name file. Raises plombar::Error ("Cannot create file ...") when a
// file cannot be written, or with EnsureStoreFolder's message when the folder cannot be made or
// is not safe.
std::string AddStoreEntry(const std::string& folder, X509* certificate, const SecureString* keyPem,
                          const std::string& friendlyName);

// Removes an entry's files. False when no file of that entry existed; raises plombar::Error when
// a file cannot be removed or the folder is not safe (StoreFolderProblem).
bool RemoveStoreEntry(const std::string& folder, const std::string& thumbprint);

} // namespace plombar::crypto
