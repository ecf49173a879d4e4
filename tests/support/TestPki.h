#pragma once

// Keys, certificates and stores for the crypto and GUI tests, made in-process (no fixture files),
// and the `openssl ... -engine gost` peer the tests cross-check with.

#include "TestSupport.h"

#include "crypto/CertificateFactory.h"
#include "crypto/OpenSsl.h"
#include "crypto/PasswordSource.h"
#include "crypto/PrivateKey.h"

#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plombar::test {

using crypto::KeyAlgorithm;

// One attribute of a name (type as NameToText writes it: "CN", "O", "ИНН", or a dotted OID).
using NameAttribute = std::pair<std::string, std::string>;
// RDNs in encoded order (most general first); an RDN with several attributes is multi-valued.
using NameRdns = std::vector<std::vector<NameAttribute>>;

struct IdentityFields {
    KeyAlgorithm algorithm = KeyAlgorithm::Gost2012_256;
    std::string subject = "CN=Тестовый подписант, O=Пломбарь, C=RU"; // as ParseSubjectText reads it
    NameRdns rdns;                               // when not empty: the exact name instead of `subject`
    std::string serial;                          // big-endian bytes; empty: 16 random bytes
    std::time_t notBefore = 0;                   // 0: an hour ago
    std::time_t notAfter = 0;                    // 0: a year later
    const struct TestIdentity* issuer = nullptr; // null: self-signed
    bool authority = false;                      // a CA certificate (CA:TRUE, keyCertSign, cRLSign)
    std::vector<std::string> crlUrls;            // CRL distribution points
};

struct TestIdentity {
    crypto::X509Ptr certificate;
    crypto::EvpPkeyPtr key;

    std::string der() const;
    std::string pem() const;
    // PKCS #8 PEM, encrypted (PBES2 AES-256) when a password is given.
    std::string keyPem(const std::string& password = {}) const;
    std::string thumbprint() const;
    std::string publicKeyOid() const;
};

TestIdentity makeIdentity(const IdentityFields& fields = {});
TestIdentity makeIdentity(KeyAlgorithm algorithm, const std::string& subject = "CN=Тестовый подписант");

// A GOST PKI of three levels: a self-signed root, an intermediate CA it issued and a leaf (the
// signer) the intermediate issued; all GOST R 34.10-2012 256-bit keys. With `crlBase` the leaf
// names "<crlBase>/intermediate.crl" and the intermediate "<crlBase>/root.crl" as their CRL
// distribution points.
struct TestChain {
    TestIdentity root;
    TestIdentity intermediate;
    TestIdentity leaf;
};
struct ChainFields {
    std::string crlBase;
    std::time_t intermediateNotAfter = 0; // 0: a year from now
    std::time_t leafNotBefore = 0;        // 0: an hour ago
};
TestChain makeChain(const ChainFields& fields = {});

// A CRL signed by `issuer` (DER), valid from `thisUpdate` (0: an hour ago) to `nextUpdate` (0: a
// week later; -1: no next update), listing the given certificates as revoked at their dates.
struct RevokedCertificate {
    const TestIdentity* certificate;
    std::time_t revokedAt;
};
struct CrlFields {
    std::time_t thisUpdate = 0;
    std::time_t nextUpdate = 0;
    std::vector<RevokedCertificate> revoked;
    // Extensions in OpenSSL's configuration syntax by name ("issuingDistributionPoint" =
    // "critical,onlyCA:TRUE"), or a dotted OID with "critical,DER:05:00" for an unknown one.
    std::vector<std::pair<std::string, std::string>> extensions;
};
std::string makeCrl(const TestIdentity& issuer, const CrlFields& fields = {});

// The three GOST key kinds, for data-driven tests.
inline constexpr KeyAlgorithm kGostAlgorithms[] = {KeyAlgorithm::Gost2001, KeyAlgorithm::Gost2012_256,
                                                   KeyAlgorithm::Gost2012_512};

// The store "MY" under a temporary XDG_DATA_HOME, for the object's lifetime (the previous value is
// restored afterwards).
class TestStore {
public:
    enum class Key { None, Plain, Encrypted };

    TestStore();
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;
    ~TestStore();

    const std::string& home() const { return dir_.path(); } // the XDG_DATA_HOME value
    std::string folder() const;                             // .../plombar/stores/MY (created)
    std::string certificateFile(const std::string& thumbprint) const;
    std::string keyFile(const std::string& thumbprint) const;

    // Writes the identity's entry as the store keeps it (key file mode 0600) and returns the thumbprint.
    std::string add(const TestIdentity& identity, Key key = Key::Plain, const std::string& password = {},
                    const std::string& friendlyName = {});

private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// A password source that answers from a script and records every request.
class ScriptedPasswords : public crypto::PasswordSource {
public:
    // Each answer gives a password, or cancels the question when `cancel` is true.
    struct Answer {
        std::string password;
        bool cancel = false;
    };
    explicit ScriptedPasswords(std::vector<Answer> answers);
    ScriptedPasswords(const ScriptedPasswords&) = delete;
    ScriptedPasswords& operator=(const ScriptedPasswords&) = delete;

    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override;

    const std::vector<crypto::PasswordRequest>& requests() const { return requests_; }
    std::size_t unused() const { return answers_.size(); }

private:
    std::deque<Answer> answers_;
    std::vector<crypto::PasswordRequest> requests_;
};

// Runs `openssl <arguments>` through /bin/sh (stderr merged into the output); returns its exit status.
int runOpenssl(const std::string& arguments, std::string* output = nullptr);

// `openssl cms -verify -binary -noverify -engine gost -inform DER`: a detached signature with its
// content file, or an attached one (contentPath empty) whose content is then written to
// `extracted` when given. True when openssl accepts it; `log` receives its output.
bool opensslVerifies(const std::string& signaturePath, const std::string& contentPath,
                     std::string* extracted = nullptr, std::string* log = nullptr);

// `openssl asn1parse -inform DER` text of a DER file, for structure checks.
std::string opensslAsn1Parse(const std::string& derPath);

} // namespace plombar::test
