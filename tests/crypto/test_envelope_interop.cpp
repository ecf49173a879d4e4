// Encryption and decryption against other GOST implementations: `openssl cms -engine gost` in both
// directions, and the published TK26 and TC26 enveloped-data examples.

#include "EnvelopeTestUtil.h"

#include "crypto/GostRuntime.h"

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

// The DER bytes of the one PEM block in a text ("-----BEGIN CMS-----").
std::string derFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    std::string der;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1)
        der.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    OpenSslTextPtr nameOwner(name), headerOwner(header);
    OpenSslBytesPtr dataOwner(data);
    ClearOpenSslErrors();
    return der;
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

class EnvelopeInterop : public ::testing::Test {
protected:
    // The identity in the store "MY" (opened afresh) and its certificate and key as files for openssl.
    HCERTSTORE storeWith(const TestIdentity& identity) {
        testStore.add(identity);
        if (store != nullptr)
            CertCloseStore(store, 0);
        store = CertOpenSystemStoreA(0, "MY");
        return store;
    }
    void TearDown() override {
        recipient.reset();
        if (store != nullptr)
            CertCloseStore(store, 0);
        EXPECT_EQ(CountOpenHandles().certificateContexts, 0);
    }
    PCCERT_CONTEXT contextFor(const TestIdentity& identity) {
        const std::string der = identity.der();
        recipient.reset(CertCreateCertificateContext(
            kMessageEncoding, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
        return recipient.get();
    }
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
    // `openssl cms -encrypt -<cipher>` of some content for a certificate written by writeIdentity.
    std::string opensslEncrypt(const std::string& content, const std::string& name, bool stream,
                               const std::string& cipher = "gost89") {
        writeFile(folder.file("content.in"), content);
        const std::string out = folder.file("openssl.der");
        std::string log;
        const int status = runOpenssl("cms -encrypt -binary -" + cipher + " -engine gost -outform DER" +
                                          std::string(stream ? " -stream" : "") + " -in " +
                                          shellQuote(folder.file("content.in")) + " -out " + shellQuote(out) +
                                          " " + shellQuote(folder.file(name + ".crt")),
                                      &log);
        EXPECT_EQ(status, 0) << log;
        return status == 0 ? readFile(out) : std::string();
    }

    TestStore testStore;
    TempDir folder{"plombar-envelope-interop"};
    HCERTSTORE store = nullptr;
    CertContextHandle recipient;
};

const std::size_t kInteropSizes[] = {0, 1, 1023, 1025, 4097, 70000};

} // namespace

TEST_F(EnvelopeInterop, OpensslDecryptsOurMessages) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        const TestIdentity identity = makeIdentity(algorithm, "CN=Получатель");
        const std::string name = writeIdentity(identity, "recipient");
        for (const std::size_t size : kInteropSizes) {
            SCOPED_TRACE(size);
            const std::string content = randomBytes(size, static_cast<std::uint32_t>(size));
            const EnvelopeCall encrypted = encryptBytes({contextFor(identity)}, content);
            ASSERT_TRUE(encrypted.ok) << encrypted.diagnostic;
            std::string plain, log;
            EXPECT_EQ(opensslDecrypt(encrypted.output, name, plain, &log), 0) << log;
            EXPECT_TRUE(plain == content) << "openssl read other bytes than were encrypted";
        }
    }
}

TEST_F(EnvelopeInterop, WeDecryptOpensslMessages) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        TestStore own;
        const TestIdentity identity = makeIdentity(algorithm, "CN=Получатель");
        const std::string name = writeIdentity(identity, "recipient");
        own.add(identity);
        HCERTSTORE ownStore = CertOpenSystemStoreA(0, "MY");
        for (const bool stream : {false, true}) {
            for (const std::size_t size : kInteropSizes) {
                if (stream && size == 0)
                    continue; // openssl cannot stream an empty input ("Error writing CMS output")
                SCOPED_TRACE(std::to_string(size) + (stream ? " streamed (BER)" : " DER"));
                const std::string content = randomBytes(size, static_cast<std::uint32_t>(size + 1));
                const std::string message = opensslEncrypt(content, name, stream);
                ASSERT_FALSE(message.empty());
                if (stream) {
                    EXPECT_EQ(static_cast<unsigned char>(message[1]), 0x80) << "expected indefinite lengths";
                }
                const EnvelopeCall decrypted = decryptBytes({ownStore}, message);
                ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
                EXPECT_EQ(decrypted.sizeCallLength, size);
                EXPECT_TRUE(decrypted.output == content);
            }
        }
        CertCloseStore(ownStore, 0);
    }
}

// Both produce the same structure: for the same certificate and content the messages have the same
// length and the same fields, only the random key, IV, ephemeral key and ciphertext differ.
TEST_F(EnvelopeInterop, SameLayoutAsOpenssl) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        const TestIdentity identity = makeIdentity(algorithm, "CN=Получатель");
        const std::string name = writeIdentity(identity, "recipient");
        const std::string content = randomBytes(300, 8);
        const std::string theirs = opensslEncrypt(content, name, false);
        const EnvelopeCall ours = encryptBytes({contextFor(identity)}, content);
        ASSERT_TRUE(ours.ok);
        EXPECT_EQ(ours.output.size(), theirs.size());
        for (const std::vector<std::size_t>& path : std::vector<std::vector<std::size_t>>{{0, 0},
                                                                                          {0, 1, 0, 0},
                                                                                          {0, 1, 0, 1, 0, 0},
                                                                                          {0, 1, 0, 1, 0, 1},
                                                                                          {0, 1, 0, 1, 0, 2},
                                                                                          {0, 1, 0, 2, 0}}) {
            const auto a = derAt(ours.output, path);
            const auto b = derAt(theirs, path);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(ours.output.substr(a->start, a->end - a->start),
                      theirs.substr(b->start, b->end - b->start))
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
    const EnvelopeCall ours = encryptBytes({contextFor(genuine)}, content);
    ASSERT_TRUE(ours.ok);
    std::string plain, log;
    EXPECT_NE(opensslDecrypt(ours.output, "impostor", plain, &log), 0) << log;
    EXPECT_NE(plain, content);
    EXPECT_EQ(opensslDecrypt(ours.output, "genuine", plain, &log), 0) << log;

    // We with the wrong key on openssl's message.
    const std::string theirs = opensslEncrypt(content, "genuine", false);
    const EnvelopeCall refused = decryptBytes({storeWith(impostor)}, theirs);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, winerr::NTE_BAD_DATA);
}

// ---------------------------------------------------------------------------------------------
// Magma and Kuznyechik in CTR-ACPKM mode (their decryption is checked in test_envelope_cli.cpp)

namespace {

// A DER header: the tag byte and the definite length.
std::string derHeader(char tag, std::size_t length) {
    std::string header(1, tag);
    if (length < 0x80)
        return header + static_cast<char>(length);
    std::string bytes;
    for (; length != 0; length >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
    return header + static_cast<char>(0x80 | bytes.size()) + bytes;
}

// The message with the field at `path` replaced by the TLV `field`, every enclosing length adjusted.
std::string withField(const std::string& der, const std::vector<std::size_t>& path,
                      const std::string& field) {
    std::string replaced = field;
    for (std::size_t depth = path.size() - 1; depth > 0; --depth) {
        const auto parent = derAt(der, {path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth)});
        const auto child = derAt(der, {path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth) + 1});
        const std::string content = der.substr(parent->contentStart, child->start - parent->contentStart) +
                                    replaced + der.substr(child->end, parent->end - child->end);
        replaced = derHeader(der[parent->start], content.size()) + content;
    }
    return replaced + der.substr(derAt(der, {path.front()})->end);
}

} // namespace

// Content cipher parameters that the GOST engine would read without checking (absent ones crash it)
// are refused before it sees them.
TEST_F(EnvelopeInterop, CtrAcpkmMalformedParametersAreRefused) {
    const std::vector<std::size_t> algorithmPath = {0, 1, 0, 2, 1};
    for (const char* option : {"magma-ctr-acpkm", "kuznyechik-ctr-acpkm-omac"}) {
        SCOPED_TRACE(option);
        const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Получатель");
        const std::string message =
            opensslEncrypt(randomBytes(100, 3), writeIdentity(identity, "recipient"), false, option);
        const HCERTSTORE ownStore = storeWith(identity);
        const auto oid = derAt(message, {0, 1, 0, 2, 1, 0});
        const auto ukm = derAt(message, {0, 1, 0, 2, 1, 1, 0});
        ASSERT_TRUE(oid && ukm);
        const std::string oidTlv = message.substr(oid->start, oid->end - oid->start);
        const std::size_t ukmLength = ukm->end - ukm->contentStart;
        const auto octets = [](std::size_t n) { return derHeader(0x04, n) + std::string(n, '\x5A'); };
        const auto algorithm = [&](const std::string& parameters) {
            return derHeader(0x30, oidTlv.size() + parameters.size()) + oidTlv + parameters;
        };
        const struct {
            const char* what;
            std::string parameters;
        } cases[] = {
            {"absent", ""},
            {"NULL", std::string("\x05\x00", 2)},
            {"a bare OCTET STRING", octets(ukmLength)},
            {"an empty SEQUENCE", derHeader(0x30, 0)},
            {"a short UKM", derHeader(0x30, ukmLength + 1) + octets(ukmLength - 1)},
            {"a long UKM", derHeader(0x30, ukmLength + 3) + octets(ukmLength + 1)},
            {"a second field", derHeader(0x30, 2 * ukmLength + 4) + octets(ukmLength) + octets(ukmLength)},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            const EnvelopeCall decrypted =
                decryptBytes({ownStore}, withField(message, algorithmPath, algorithm(c.parameters)));
            EXPECT_FALSE(decrypted.ok);
            EXPECT_EQ(decrypted.error, winerr::NTE_BAD_DATA);
            EXPECT_TRUE(decrypted.output.empty());
        }
        // The same surgery with the parameters as they were gives the message back unchanged.
        const auto parameters = derAt(message, {0, 1, 0, 2, 1, 1});
        EXPECT_EQ(
            withField(message, algorithmPath,
                      algorithm(message.substr(parameters->start, parameters->end - parameters->start))),
            message);
    }
}

// ---------------------------------------------------------------------------------------------
// Published examples

struct PublishedEnvelope {
    const char* message;
    bool pem;
    const char* certificate;
    const char* key;
    const char* plain;
    bool supported;
    const char* what;
};

// KeyTransRecipientInfo examples decrypt; the key agreement ones (KeyAgreeRecipientInfo) are not
// looked for, since this layer decrypts for key transport recipients only.
const PublishedEnvelope kPublished[] = {
    {"tk26cms_ktri_256.der", false, "tk26_256_exchange.crt", "tk26_256.key.pem",
     "tk26cms_plain_test_data_x100.txt", true,
     "TK26 key transport, 2012-256 (VKO 2001), GOST 28147-89 CFB, parameter set Z"},
    {"tk26cms_ktri_512.der", false, "tk26_512_exchange.crt", "tk26_512.key.pem",
     "tk26cms_plain_test_message.txt", true, "TK26 key transport, 2012-512, GOST 28147-89 CFB"},
    {"engine_tc26_encrypted_keytrans_a231.pem", true, "engine_tc26_recipient256_cert.pem",
     "engine_tc26_recipient256_key.pem", "engine_tc26_plain_envelopeddata.txt", true,
     "TC26 key transport (KExp15), Kuznyechik CTR-ACPKM"},
    {"engine_tc26_encrypted_keytrans_a241.pem", true, "engine_tc26_recipient512_cert.pem",
     "engine_tc26_recipient512_key.pem", "engine_tc26_plain_envelopeddata.txt", true,
     "TC26 key transport (KExp15), Magma CTR-ACPKM-OMAC"},
    {"tk26cms_kari_256.der", false, "tk26_256_exchange.crt", "tk26_256.key.pem",
     "tk26cms_plain_test_message.txt", false, "TK26 key agreement, 2012-256"},
    {"tk26cms_kari_512.der", false, "tk26_512_exchange.crt", "tk26_512.key.pem",
     "tk26cms_plain_test_message.txt", false, "TK26 key agreement, 2012-512"},
    {"engine_tc26_encrypted_keyagree_a211.pem", true, "engine_tc26_recipient512_cert.pem",
     "engine_tc26_recipient512_key.pem", "engine_tc26_plain_envelopeddata.txt", false,
     "TC26 key agreement, Kuznyechik CTR-ACPKM-OMAC"},
    {"engine_tc26_encrypted_keyagree_a221.pem", true, "engine_tc26_recipient256_cert.pem",
     "engine_tc26_recipient256_key.pem", "engine_tc26_plain_envelopeddata.txt", false,
     "TC26 key agreement, Magma CTR-ACPKM"},
};

TEST_F(EnvelopeInterop, PublishedExamples) {
    for (const PublishedEnvelope& example : kPublished) {
        SCOPED_TRACE(example.what);
        const std::string message =
            example.pem ? derFromPem(vector(example.message)) : vector(example.message);
        ASSERT_FALSE(message.empty());
        TestStore own;
        const TestIdentity identity = loadIdentity(example.certificate, example.key);
        ASSERT_TRUE(identity.certificate && identity.key);
        own.add(identity);
        HCERTSTORE ownStore = CertOpenSystemStoreA(0, "MY");
        const EnvelopeCall decrypted = decryptBytes({ownStore}, message);
        CertCloseStore(ownStore, 0);
        if (example.supported) {
            ASSERT_TRUE(decrypted.ok) << decrypted.diagnostic;
            EXPECT_EQ(decrypted.output, vector(example.plain));
            EXPECT_EQ(decrypted.exchangeThumbprint, identity.thumbprint());
        } else {
            EXPECT_FALSE(decrypted.ok);
            EXPECT_EQ(decrypted.error, winerr::CRYPT_E_NO_DECRYPT_CERT);
        }
    }
}

// A store entry with the published certificate but another key file is refused before the key is
// used: the key does not belong to the certificate.
TEST_F(EnvelopeInterop, PublishedExampleWithAnotherKeyFile) {
    const TestIdentity published = loadIdentity("tk26_256_exchange.crt", "tk26_256.key.pem");
    TestIdentity other;
    X509_up_ref(published.certificate.get());
    other.certificate.reset(published.certificate.get());
    other.key = std::move(makeIdentity(KeyAlgorithm::Gost2012_256).key);
    const EnvelopeCall decrypted = decryptBytes({storeWith(other)}, vector("tk26cms_ktri_256.der"));
    EXPECT_FALSE(decrypted.ok);
    EXPECT_EQ(decrypted.error, winerr::NTE_BAD_KEY);
    EXPECT_TRUE(decrypted.output.empty());
}
