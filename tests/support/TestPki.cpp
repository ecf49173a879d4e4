#include "TestPki.h"

#include "crypto/CertificateStore.h"
#include "crypto/CertificateText.h"
#include "crypto/CryptoError.h"
#include "crypto/SecureString.h"

#include <cstdlib>
#include <stdexcept>
#include <sys/stat.h>

namespace plombar::test {

using namespace plombar::crypto;

std::string TestIdentity::der() const {
    return EncodeDer(certificate.get(), [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
}

std::string TestIdentity::pem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate.get());
    return BioText(bio.get());
}

std::string TestIdentity::keyPem(const std::string& password) const {
    const SecureString secret(password);
    const SecureString pem = encodePrivateKeyPem(key.get(), password.empty() ? nullptr : &secret);
    return std::string(pem.view());
}

std::string TestIdentity::thumbprint() const {
    return Certificate::share(certificate.get()).thumbprint();
}

std::string TestIdentity::publicKeyOid() const {
    ASN1_OBJECT* object = nullptr;
    X509_PUBKEY_get0_param(&object, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(certificate.get()));
    return DottedOid(object);
}

TestIdentity makeIdentity(const IdentityFields& fields) {
    TestIdentity identity;
    identity.key = GenerateKey(fields.algorithm);
    X509NamePtr name;
    if (fields.rdns.empty()) {
        name = ParseSubjectText(fields.subject);
    } else {
        name.reset(X509_NAME_new());
        for (const auto& rdn : fields.rdns) {
            bool first = true;
            for (const auto& [type, value] : rdn) {
                const char* field = type == "ИНН"    ? "1.2.643.3.131.1.1"
                                    : type == "ОГРН" ? "1.2.643.100.1"
                                                     : type.c_str();
                if (X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                               reinterpret_cast<const unsigned char*>(value.data()),
                                               static_cast<int>(value.size()), -1, first ? 0 : -1) != 1)
                    throw std::runtime_error("cannot add name attribute " + type + ": " +
                                             TakeOpenSslErrors());
                first = false;
            }
        }
    }
    CertificateFields certificateFields;
    certificateFields.subject = name.get();
    certificateFields.serial = fields.serial;
    certificateFields.notBefore = fields.notBefore;
    certificateFields.notAfter = fields.notAfter;
    certificateFields.authority = fields.authority;
    certificateFields.crlDistributionPoints = fields.crlUrls;
    if (fields.issuer != nullptr) {
        certificateFields.issuer = fields.issuer->certificate.get();
        certificateFields.issuerKey = fields.issuer->key.get();
    }
    identity.certificate = MakeCertificate(certificateFields, identity.key.get());
    return identity;
}

TestIdentity makeIdentity(KeyAlgorithm algorithm, const std::string& subject) {
    IdentityFields fields;
    fields.algorithm = algorithm;
    fields.subject = subject;
    return makeIdentity(fields);
}

TestChain makeChain(const ChainFields& fields) {
    TestChain chain;
    IdentityFields root;
    root.subject = "CN=Тестовый корневой УЦ, O=Пломбарь, C=RU";
    root.authority = true;
    root.notAfter = std::time(nullptr) + 10L * 366 * 24 * 3600;
    chain.root = makeIdentity(root);

    IdentityFields intermediate;
    intermediate.subject = "CN=Тестовый подчиненный УЦ, O=Пломбарь, C=RU";
    intermediate.authority = true;
    intermediate.issuer = &chain.root;
    intermediate.notAfter = fields.intermediateNotAfter;
    if (fields.intermediateNotAfter != 0)
        intermediate.notBefore = fields.intermediateNotAfter - 366L * 24 * 3600;
    if (!fields.crlBase.empty())
        intermediate.crlUrls = {fields.crlBase + "/root.crl"};
    chain.intermediate = makeIdentity(intermediate);

    IdentityFields leaf;
    leaf.subject = "CN=Тестовый подписант, O=Пломбарь, C=RU";
    leaf.issuer = &chain.intermediate;
    leaf.notBefore = fields.leafNotBefore;
    if (!fields.crlBase.empty())
        leaf.crlUrls = {fields.crlBase + "/intermediate.crl"};
    chain.leaf = makeIdentity(leaf);
    return chain;
}

std::string makeCrl(const TestIdentity& issuer, const CrlFields& fields) {
    using CrlPtr = std::unique_ptr<X509_CRL, OpenSslDeleter<X509_CRL_free>>;
    CrlPtr crl(X509_CRL_new());
    const std::time_t thisUpdate = fields.thisUpdate != 0 ? fields.thisUpdate : std::time(nullptr) - 3600;
    Asn1TimePtr last(ASN1_TIME_set(nullptr, thisUpdate));
    if (!crl || !last || X509_CRL_set_version(crl.get(), 1) != 1 ||
        X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.certificate.get())) != 1 ||
        X509_CRL_set1_lastUpdate(crl.get(), last.get()) != 1)
        throw std::runtime_error("cannot fill a CRL: " + TakeOpenSslErrors());
    if (fields.nextUpdate != -1) {
        const std::time_t next = fields.nextUpdate != 0 ? fields.nextUpdate : thisUpdate + 7L * 24 * 3600;
        Asn1TimePtr nextTime(ASN1_TIME_set(nullptr, next));
        if (!nextTime || X509_CRL_set1_nextUpdate(crl.get(), nextTime.get()) != 1)
            throw std::runtime_error("cannot set nextUpdate: " + TakeOpenSslErrors());
    }
    for (const RevokedCertificate& entry : fields.revoked) {
        X509_REVOKED* revoked = X509_REVOKED_new();
        Asn1TimePtr when(ASN1_TIME_set(nullptr, entry.revokedAt));
        if (revoked == nullptr || !when ||
            X509_REVOKED_set_serialNumber(revoked,
                                          X509_get_serialNumber(entry.certificate->certificate.get())) != 1 ||
            X509_REVOKED_set_revocationDate(revoked, when.get()) != 1 ||
            X509_CRL_add0_revoked(crl.get(), revoked) != 1) {
            X509_REVOKED_free(revoked);
            throw std::runtime_error("cannot add a revoked entry: " + TakeOpenSslErrors());
        }
    }
    X509_CRL_sort(crl.get());
    for (const auto& [name, value] : fields.extensions) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, issuer.certificate.get(), nullptr, nullptr, crl.get(), 0);
        X509ExtensionPtr extension(X509V3_EXT_nconf(nullptr, &context, name.c_str(), value.c_str()));
        if (!extension || X509_CRL_add_ext(crl.get(), extension.get(), -1) != 1)
            throw std::runtime_error("cannot add CRL extension " + name + ": " + TakeOpenSslErrors());
    }
    int digestNid = NID_undef;
    if (EVP_PKEY_get_default_digest_nid(issuer.key.get(), &digestNid) <= 0)
        digestNid = NID_sha256;
    if (X509_CRL_sign(crl.get(), issuer.key.get(), EVP_get_digestbynid(digestNid)) <= 0)
        throw std::runtime_error("cannot sign a CRL: " + TakeOpenSslErrors());
    return EncodeDer(crl.get(), [](const X509_CRL* c, unsigned char** p) { return i2d_X509_CRL(c, p); });
}

TestStore::TestStore() : dir_("plombar-store") {
    if (const char* previous = std::getenv("XDG_DATA_HOME")) {
        previous_ = previous;
        hadPrevious_ = true;
    }
    ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
}

TestStore::~TestStore() {
    if (hadPrevious_)
        ::setenv("XDG_DATA_HOME", previous_.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}

std::string TestStore::folder() const {
    // Made as the program makes it; a test may have made it unsafe on purpose, and still needs its name.
    try {
        return CertificateStore::open(CertificateStore::kPersonal).folder();
    } catch (const CryptoError&) {
        return CertificateStore::folderOf(CertificateStore::kPersonal);
    }
}

std::string TestStore::certificateFile(const std::string& thumbprint) const {
    return folder() + "/" + thumbprint + ".cer";
}

std::string TestStore::keyFile(const std::string& thumbprint) const {
    return folder() + "/" + thumbprint + ".key";
}

std::string TestStore::add(const TestIdentity& identity, Key key, const std::string& password,
                           const std::string& friendlyName) {
    SecureString keyPem;
    if (key != Key::None)
        keyPem.assign(identity.keyPem(key == Key::Encrypted ? password : std::string()));
    CertificateStore store = CertificateStore::open(CertificateStore::kPersonal);
    return store
        .add(Certificate::share(identity.certificate.get()), key == Key::None ? nullptr : &keyPem,
             friendlyName)
        .certificate.thumbprint();
}

ScriptedPasswords::ScriptedPasswords(std::vector<Answer> answers)
    : answers_(answers.begin(), answers.end()) {}

std::optional<SecureString> ScriptedPasswords::password(const PasswordRequest& request) {
    requests_.push_back(request);
    if (answers_.empty())
        return std::nullopt; // an unscripted question never blocks
    const Answer answer = answers_.front();
    answers_.pop_front();
    if (answer.cancel)
        return std::nullopt;
    return SecureString(answer.password);
}

int runOpenssl(const std::string& arguments, std::string* output) {
    // The engine is asked for on the command line; variables that change its behaviour are cleared.
    return runCommand("env -u CRYPT_PARAMS -u GOST_PBE_HMAC -u GOST_PK_FORMAT openssl " + arguments + " 2>&1",
                      output);
}

bool opensslVerifies(const std::string& signaturePath, const std::string& contentPath, std::string* extracted,
                     std::string* log) {
    TempDir scratch("plombar-verify");
    const std::string out = scratch.file("content.out");
    std::string command = "cms -verify -binary -noverify -engine gost -inform DER -in " +
                          shellQuote(signaturePath) + " -out " + shellQuote(out);
    if (!contentPath.empty())
        command += " -content " + shellQuote(contentPath);
    std::string text;
    const int status = runOpenssl(command, &text);
    if (log != nullptr)
        *log = text;
    if (status == 0 && extracted != nullptr)
        *extracted = readFile(out);
    return status == 0 && text.find("Verification successful") != std::string::npos;
}

std::string opensslAsn1Parse(const std::string& derPath) {
    std::string text;
    runOpenssl("asn1parse -inform DER -in " + shellQuote(derPath), &text);
    return text;
}

} // namespace plombar::test
