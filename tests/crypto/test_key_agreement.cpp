// Envelopes for key agreement recipients: the TC26 examples (KExp15) decrypt when the sender's
// certificate is at hand, with openssl cms as the reference; the TK26 examples (GOST 28147-89 key
// wrap, not in the engine) and a missing sender say the recipient type is not supported.

#include "StreamTestUtil.h"
#include "TestPki.h"

#include "crypto/ContentEncryption.h"
#include "crypto/CryptoError.h"
#include "crypto/GostRuntime.h"
#include "crypto/MessageFile.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <optional>

namespace plombar::crypto {
namespace {

using namespace plombar::test;

std::string vector(const std::string& name) {
    return std::string(PLOMBAR_INTEROP_VECTORS) + "/" + name;
}

TestIdentity load(const std::string& certificate, const std::string& key = {}) {
    GostRuntimeReady();
    TestIdentity identity;
    BioPtr c(BIO_new_file(vector(certificate).c_str(), "r"));
    identity.certificate.reset(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
    if (!key.empty()) {
        BioPtr k(BIO_new_file(vector(key).c_str(), "r"));
        identity.key.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
    }
    return identity;
}

struct AgreementCase {
    const char* name;
    const char* message;
    const char* certificate;
    const char* key;
    const char* sender; // given as originator; null: none
    bool senderAsCandidate;
    std::optional<CryptoFailure> failure;
};

class KeyAgreement : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(KeyAgreement, DecryptsOrSaysTheRecipientTypeIsNotSupported) {
    const AgreementCase& c = GetParam();
    const TestIdentity recipient = load(c.certificate, c.key);
    ASSERT_TRUE(recipient.certificate && recipient.key);
    std::vector<DecryptionCandidate> candidates{candidateOf(recipient)};
    std::vector<X509*> originators;
    TestIdentity sender;
    if (c.sender != nullptr) {
        sender = load(c.sender);
        ASSERT_TRUE(sender.certificate);
        if (c.senderAsCandidate)
            candidates.insert(candidates.begin(), DecryptionCandidate{sender.certificate.get(), {}});
        else
            originators.push_back(sender.certificate.get());
    }
    MessageFile file = MessageFile::open(vector(c.message), MessageKind::Enveloped);
    MemorySink out;
    if (!c.failure) {
        const DecryptionResult result = decryptMessage(file.message(), candidates, originators, out);
        EXPECT_EQ(out.bytes(), readFile(vector("engine_tc26_plain_envelopeddata.txt")));
        EXPECT_EQ(candidates[result.candidate].certificate, recipient.certificate.get());
        return;
    }
    try {
        decryptMessage(file.message(), candidates, originators, out);
        ADD_FAILURE() << "decrypted";
    } catch (const CryptoError& error) {
        EXPECT_EQ(failureName(error.kind()), std::string(failureName(*c.failure))) << error.what();
        if (*c.failure == CryptoFailure::UnsupportedRecipient) {
            EXPECT_EQ(error.code(), winerr::CRYPT_E_NO_DECRYPT_CERT);
        }
    }
    EXPECT_EQ(out.bytes(), "");
}

const auto kUnsupported = CryptoFailure::UnsupportedRecipient;
INSTANTIATE_TEST_SUITE_P(
    Table, KeyAgreement,
    ::testing::Values(AgreementCase{"Magma256", "engine_tc26_encrypted_keyagree_a221.pem",
                                    "engine_tc26_recipient256_cert.pem", "engine_tc26_recipient256_key.pem",
                                    "engine_tc26_sender256_cert.pem", false, std::nullopt},
                      AgreementCase{"KuznyechikOmac512", "engine_tc26_encrypted_keyagree_a211.pem",
                                    "engine_tc26_recipient512_cert.pem", "engine_tc26_recipient512_key.pem",
                                    "engine_tc26_sender512_cert.pem", false, std::nullopt},
                      AgreementCase{"SenderAmongTheCandidates", "engine_tc26_encrypted_keyagree_a221.pem",
                                    "engine_tc26_recipient256_cert.pem", "engine_tc26_recipient256_key.pem",
                                    "engine_tc26_sender256_cert.pem", true, std::nullopt},
                      AgreementCase{"NoSender", "engine_tc26_encrypted_keyagree_a221.pem",
                                    "engine_tc26_recipient256_cert.pem", "engine_tc26_recipient256_key.pem",
                                    nullptr, false, kUnsupported},
                      AgreementCase{"AnotherSender", "engine_tc26_encrypted_keyagree_a221.pem",
                                    "engine_tc26_recipient256_cert.pem", "engine_tc26_recipient256_key.pem",
                                    "engine_tc26_sender512_cert.pem", false, kUnsupported},
                      AgreementCase{"WrongKey", "engine_tc26_encrypted_keyagree_a221.pem",
                                    "engine_tc26_recipient256_cert.pem", "engine_tc26_recipient512_key.pem",
                                    "engine_tc26_sender256_cert.pem", false, CryptoFailure::WrongKey},
                      AgreementCase{"Tk26KeyWrap256", "tk26cms_kari_256.der", "tk26_256_exchange.crt",
                                    "tk26_256.key.pem", "tk26_256_exchange.crt", false, kUnsupported},
                      AgreementCase{"Tk26KeyWrap512", "tk26cms_kari_512.der", "tk26_512_exchange.crt",
                                    "tk26_512.key.pem", nullptr, false, kUnsupported}),
    [](const auto& row) { return std::string(row.param.name); });

// openssl cms decrypts the same examples with the same sender: the reference the table follows.
TEST(KeyAgreementInterop, OpensslAgrees) {
    std::string log;
    TempDir dir("plombar-kari");
    const int status = runOpenssl("cms -decrypt -engine gost -binary -debug_decrypt -inform PEM -in " +
                                      shellQuote(vector("engine_tc26_encrypted_keyagree_a221.pem")) +
                                      " -inkey " + shellQuote(vector("engine_tc26_recipient256_key.pem")) +
                                      " -recip " + shellQuote(vector("engine_tc26_recipient256_cert.pem")) +
                                      " -originator " + shellQuote(vector("engine_tc26_sender256_cert.pem")) +
                                      " -out " + shellQuote(dir.file("out")),
                                  &log);
    ASSERT_EQ(status, 0) << log;
    EXPECT_EQ(readFile(dir.file("out")), readFile(vector("engine_tc26_plain_envelopeddata.txt")));
}

} // namespace
} // namespace plombar::crypto
