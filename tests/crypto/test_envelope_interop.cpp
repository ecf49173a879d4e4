// Encryption and decryption against `openssl cms -engine gost`: the same message layout, a wrong
// key refused both ways, and a published recipient certificate with a key that is not its own.
// (Round trips in both directions and the published examples: test_stream_cms*.cpp.)

#include "EnvelopeTestUtil.h"
#include "StreamTestUtil.h"

#include "crypto/CertificateStore.h"
#include "crypto/GostRuntime.h"
#include "platform/SystemErrors.h"

#include <openssl/pem.h>

#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

const std::string kVectors = PLOMBAR_INTEROP_VECTORS;

std::string vector(const std::string& name) {
    return readFile(kVectors + "/" + name);
}

// An identity from a certificate file (PEM or DER) and a PEM key file.
TestIdentity loadIdentity(const std::string& certificateFile, const std::string& keyFile) {
    GostRuntimeReady(); // GOST keys are only read once the engine is the default
    TestIdentity identity;
    const std::string certificate = vector(certificateFile);
    BioPtr certificateBio(BIO_new_mem_buf(certificate.data(), static_cast<int>(certificate.size())));
    identity.certificate.reset(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    const std::string key = vector(keyFile);
    BioPtr keyBio(BIO_new_mem_buf(key.data(), static_cast<int>(key.size())));
    identity.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    ClearOpenSslErrors();
    return identity;
}

// Decrypts with the keys of the store "MY", as the decryption does: its error, or none.
std::optional<CryptoError> decryptWithStore(const std::string& message) {
    const CertificateStore store = CertificateStore::open();
    const std::vector<StoreEntry> entries = store.entries();
    ScriptedPasswords passwords({});
    std::vector<DecryptionCandidate> candidates;
    for (const StoreEntry& entry : entries)
        candidates.push_back({entry.certificate.x509(), [&store, &entry, &passwords] {
                                  const PrivateKey key = store.unlockKey(entry, passwords);
                                  EVP_PKEY_up_ref(key.get());
                                  return EvpPkeyPtr(key.get());
                              }});
    return cryptoErrorOf([&] {
        MemorySource source(message);
        MemorySink sink;
        decryptMessage(source, candidates, sink);
    });
}

class EnvelopeInterop : public ::testing::Test {
protected:
    std::string writeIdentity(const TestIdentity& identity, const std::string& name) {
        writeFile(folder.file(name + ".crt"), identity.pem());
        writeFile(folder.file(name + ".key"), identity.keyPem());
        return name;
    }
    // `openssl cms -decrypt` of a DER message with a certificate and key written by writeIdentity.
    int opensslDecrypt(const std::string& message, const std::string& name, std::string& plain,
                       std::string* log) {
        writeFile(folder.file("message.der"), message);
        const std::string out = folder.file("plain.out");
        ::unlink(out.c_str());
        const int status = runOpenssl("cms -decrypt -binary -debug_decrypt -engine gost -inform DER -in " +
                                          shellQuote(folder.file("message.der")) + " -recip " +
                                          shellQuote(folder.file(name + ".crt")) + " -inkey " +
                                          shellQuote(folder.file(name + ".key")) + " -out " + shellQuote(out),
                                      log);
        plain = fileExists(out) ? readFile(out) : std::string();
        return status;
    }
    // `openssl cms -encrypt -gost89` of some content for a certificate written by writeIdentity.
    std::string opensslEncrypt(const std::string& content, const std::string& name) {
        writeFile(folder.file("content.in"), content);
        const std::string out = folder.file("openssl.der");
        std::string log;
        const int status = runOpenssl("cms -encrypt -binary -gost89 -engine gost -outform DER -in " +
                                          shellQuote(folder.file("content.in")) + " -out " + shellQuote(out) +
                                          " " + shellQuote(folder.file(name + ".crt")),
                                      &log);
        EXPECT_EQ(status, 0) << log;
        return status == 0 ? readFile(out) : std::string();
    }

    TestStore testStore;
    TempDir folder{"plombar-envelope-interop"};
};

} // namespace

// Both produce the same structure: for the same certificate and content the messages have the same
// length and the same fields, only the random key, IV, ephemeral key and ciphertext differ.
TEST_F(EnvelopeInterop, SameLayoutAsOpenssl) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        const TestIdentity identity = makeIdentity(algorithm, "CN=Получатель");
        const std::string name = writeIdentity(identity, "recipient");
        const std::string content = randomBytes(300, 8);
        const std::string theirs = opensslEncrypt(content, name);
        const std::string ours = streamEncrypt(identity, content);
        EXPECT_EQ(ours.size(), theirs.size());
        for (const std::vector<std::size_t>& path : std::vector<std::vector<std::size_t>>{{0, 0},
                                                                                          {0, 1, 0, 0},
                                                                                          {0, 1, 0, 1, 0, 0},
                                                                                          {0, 1, 0, 1, 0, 1},
                                                                                          {0, 1, 0, 1, 0, 2},
                                                                                          {0, 1, 0, 2, 0}}) {
            const auto a = derAt(ours, path);
            const auto b = derAt(theirs, path);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(ours.substr(a->start, a->end - a->start), theirs.substr(b->start, b->end - b->start))
                << "field " << ::testing::PrintToString(path);
        }
    }
}

TEST_F(EnvelopeInterop, WrongKeyFailsBothWays) {
    IdentityFields fields;
    fields.algorithm = KeyAlgorithm::Gost2012_256;
    fields.subject = "CN=Получатель";
    fields.serial = "\x42\x42";
    const TestIdentity genuine = makeIdentity(fields);
    const TestIdentity impostor = makeIdentity(fields);
    const std::string content = randomBytes(5000, 12);

    // openssl with the wrong key on our message.
    writeIdentity(genuine, "genuine");
    writeFile(folder.file("impostor.crt"), genuine.pem());
    writeFile(folder.file("impostor.key"), impostor.keyPem());
    const std::string ours = streamEncrypt(genuine, content);
    std::string plain, log;
    EXPECT_NE(opensslDecrypt(ours, "impostor", plain, &log), 0) << log;
    EXPECT_NE(plain, content);
    EXPECT_EQ(opensslDecrypt(ours, "genuine", plain, &log), 0) << log;

    // We with the wrong key on openssl's message.
    const std::string theirs = opensslEncrypt(content, "genuine");
    testStore.add(impostor);
    const std::optional<CryptoError> refused = decryptWithStore(theirs);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), winerr::NTE_BAD_DATA);
}

// A store entry with the published certificate but another key file is refused before the key is
// used: the key does not belong to the certificate.
TEST_F(EnvelopeInterop, PublishedExampleWithAnotherKeyFile) {
    const TestIdentity published = loadIdentity("tk26_256_exchange.crt", "tk26_256.key.pem");
    TestIdentity other;
    X509_up_ref(published.certificate.get());
    other.certificate.reset(published.certificate.get());
    other.key = std::move(makeIdentity(KeyAlgorithm::Gost2012_256).key);
    testStore.add(other);
    const std::optional<CryptoError> refused = decryptWithStore(vector("tk26cms_ktri_256.der"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind(), CryptoFailure::KeyMismatch);
    EXPECT_EQ(refused->code(), winerr::NTE_BAD_KEY);
}
