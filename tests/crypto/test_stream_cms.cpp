// The streaming signing, verification, encryption and decryption: round trips across DER length
// boundaries, the byte layout against OpenSSL's own encoding, the codes of every refusal, several
// signers, BER messages, published vectors, hostile input and cancellation.

#include "StreamTestUtil.h"

#include "crypto/BerReader.h"
#include "crypto/GostRuntime.h"
#include "platform/SystemErrors.h"

#include <optional>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;
using namespace plombar::winerr;

namespace {

// DER length-of-length steps: 1, 2, 3, 4 and 5 length octets.
const std::size_t kBoundarySizes[] = {0, 1, 127, 128, 255, 256, 65535, 65536, 16777215, 16777216, 20000001};

// The DER of a PEM message (the published PEM examples are DER inside).
std::string pemBytes(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    const CmsPtr cms(bio ? PEM_read_bio_CMS(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    return EncodeDer(cms.get(),
                     [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
}

TestIdentity loadIdentity(const std::string& certificate, const std::string& key) {
    GostRuntimeReady();
    TestIdentity identity;
    BioPtr c(BIO_new_file(certificate.c_str(), "r"));
    identity.certificate.reset(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
    if (!key.empty()) {
        BioPtr k(BIO_new_file(key.c_str(), "r"));
        identity.key.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
    }
    return identity;
}

} // namespace

// ---- Round trips and layout ----------------------------------------------------------------------

class StreamRoundTrip : public ::testing::TestWithParam<KeyAlgorithm> {};

// Every size where a DER length grows by an octet: the attached signature and the envelope are byte
// for byte OpenSSL's own encoding of the same message, and everything reads back.
TEST_P(StreamRoundTrip, AcrossLengthBoundaries) {
    const TestIdentity identity = makeIdentity(GetParam());
    std::size_t detachedSize = 0;
    for (const std::size_t size : kBoundarySizes) {
        SCOPED_TRACE(size);
        const std::string content = randomBytes(size, static_cast<std::uint32_t>(size));
        const std::string detached = streamSign(identity, content, SignatureLayout::Detached, GetParam());
        EXPECT_EQ(reencode(detached), detached);
        if (size == 0) {
            // One signer by issuer and serial, its certificate, the table's hash, no attributes.
            const CmsPtr cms = parseCms(detached);
            CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
            const X509StackPtr certificates(CMS_get1_certs(cms.get()));
            EXPECT_EQ(sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())), 1);
            EXPECT_EQ(CMS_signed_get_attr_count(signer), -1);
            EXPECT_EQ(sk_X509_num(certificates.get()), 1);
            EXPECT_EQ(X509_cmp(sk_X509_value(certificates.get(), 0), identity.certificate.get()), 0);
            X509_ALGOR* digest = nullptr;
            CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest, nullptr);
            const ASN1_OBJECT* object = nullptr;
            X509_ALGOR_get0(&object, nullptr, nullptr, digest);
            EXPECT_EQ(DottedOid(object), hashOidFor(GetParam()));
        }
        if (detachedSize == 0)
            detachedSize = detached.size();
        EXPECT_EQ(detached.size(), detachedSize) << "a detached signature has one size per certificate";
        EXPECT_TRUE(streamVerify(detached, &content).allValid());

        const std::string attached = streamSign(identity, content, SignatureLayout::Attached, GetParam());
        EXPECT_TRUE(reencode(attached) == attached) << "the streamed headers differ from OpenSSL's";
        std::string extracted;
        const VerificationResult result = streamVerify(attached, nullptr, {}, &extracted);
        EXPECT_TRUE(result.allValid() && result.attached);
        EXPECT_TRUE(extracted == content);

        const std::string envelope = streamEncrypt(identity, content);
        EXPECT_TRUE(reencode(envelope) == envelope) << "the streamed headers differ from OpenSSL's";
        EXPECT_TRUE(streamDecrypt(envelope, {candidateOf(identity)}) == content);
    }
}

INSTANTIATE_TEST_SUITE_P(Gost, StreamRoundTrip, ::testing::ValuesIn(kGostAlgorithms));

// CAdES-BES: the four signed attributes, the signing time as given, and it verifies.
TEST(StreamSign, CadesBesCarriesItsAttributes) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string content = randomBytes(70000, 5);
    for (const SignatureLayout layout : {SignatureLayout::Detached, SignatureLayout::Attached}) {
        SignOptions options;
        options.layout = layout;
        options.hashOid = hashOidFor(KeyAlgorithm::Gost2012_256);
        options.attributes = SignedAttributes::CadesBes;
        options.signingTime = 1767225600; // 2026-01-01 00:00:00 UTC
        MemorySource source(content);
        MemorySink out;
        signContent(source, content.size(), {identity.certificate.get(), identity.key.get()}, options, out);
        EXPECT_TRUE(reencode(out.bytes()) == out.bytes());
        const VerificationResult result = streamVerify(out.bytes(), &content);
        ASSERT_TRUE(result.allValid());
        EXPECT_EQ(result.signers[0].signingTime, 1767225600);
        const CmsPtr cms = parseCms(out.bytes());
        CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        EXPECT_EQ(CMS_signed_get_attr_count(signer), 4);
        EXPECT_GE(CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1), 0);
        EXPECT_GE(CMS_signed_get_attr_by_NID(signer, NID_pkcs9_contentType, -1), 0);
    }
}

// Hashes, and recipients, that the keys cannot be used with are refused before anything is written.
TEST(StreamSign, HashesAndRecipientsRefusedWithTheirCodes) {
    const TestIdentity gost256 = makeIdentity(KeyAlgorithm::Gost2012_256);
    const TestIdentity gost2001 = makeIdentity(KeyAlgorithm::Gost2001);
    struct Case {
        const char* oid;
        const TestIdentity* signer;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"", &gost256, CRYPT_E_UNKNOWN_ALGO},
        {"md_gost12_256", &gost256, CRYPT_E_UNKNOWN_ALGO},
        {"1.2.643.7.1.1.2.2 ", &gost256, CRYPT_E_UNKNOWN_ALGO},
        {"01.2.643.7.1.1.2.2", &gost256, CRYPT_E_UNKNOWN_ALGO},
        {"1.2.643.99.1.1", &gost256, CRYPT_E_UNKNOWN_ALGO},
        {"1.2.643.7.1.1.2.3", &gost256, NTE_BAD_ALGID},
        {"1.2.643.2.2.9", &gost256, NTE_BAD_ALGID},
        {"1.2.643.7.1.1.2.2", &gost2001, NTE_BAD_ALGID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        MemorySource source("content");
        MemorySink out;
        SignOptions options;
        options.layout = SignatureLayout::Attached;
        options.hashOid = c.oid;
        const auto error = cryptoErrorOf([&] {
            signContent(source, 7, {c.signer->certificate.get(), c.signer->key.get()}, options, out);
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), CryptoFailure::UnsupportedAlgorithm);
        EXPECT_EQ(error->code(), c.code) << error->what();
        EXPECT_TRUE(out.bytes().empty()) << "nothing is written before the signer is checked";
    }
    for (const KeyAlgorithm algorithm : {KeyAlgorithm::Rsa2048, KeyAlgorithm::EcP256}) {
        const TestIdentity recipient = makeIdentity(algorithm);
        const auto error = cryptoErrorOf([&] { streamEncrypt(recipient, "content"); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), CryptoFailure::UnsupportedAlgorithm);
        EXPECT_EQ(error->code(), CRYPT_E_UNKNOWN_ALGO);
    }
}

// The lengths are written before the content: a content that turns out shorter or longer than
// announced (a file that changed while read) fails instead of ending in a wrong message; and
// cancelling stops every operation mid-stream.
TEST(StreamContent, SizeOtherThanAnnouncedAndCancel) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string content = randomBytes(8 << 20, 2);
    const std::vector<DecryptionCandidate> candidates = {candidateOf(identity)};
    const auto sign = [&](SignatureLayout layout) {
        return [&, layout](ByteSource& in, std::uint64_t size, ByteSink& out, Progress& progress) {
            SignOptions options;
            options.layout = layout;
            options.hashOid = hashOidFor(KeyAlgorithm::Gost2012_256);
            signContent(in, size, {identity.certificate.get(), identity.key.get()}, options, out, progress);
        };
    };
    using Run = std::function<void(ByteSource&, std::uint64_t, ByteSink&, Progress&)>;
    const struct {
        const char* what;
        Run run;
        std::string input; // a message to read, or empty for `content` of an announced size
    } operations[] = {
        {"sign detached", sign(SignatureLayout::Detached), {}},
        {"sign attached", sign(SignatureLayout::Attached), {}},
        {"encrypt",
         [&](ByteSource& in, std::uint64_t size, ByteSink& out, Progress& progress) {
             encryptContent(in, size, identity.certificate.get(), out, progress);
         },
         {}},
        {"verify",
         [](ByteSource& in, std::uint64_t, ByteSink& out, Progress& progress) {
             VerifyOptions options;
             options.contentOut = &out;
             verifySignature(in, options, progress);
         },
         streamSign(identity, content, SignatureLayout::Attached, KeyAlgorithm::Gost2012_256)},
        {"decrypt",
         [&](ByteSource& in, std::uint64_t, ByteSink& out, Progress& progress) {
             decryptMessage(in, candidates, out, progress);
         },
         streamEncrypt(identity, content)},
    };
    for (const auto& operation : operations) {
        SCOPED_TRACE(operation.what);
        const std::string& input = operation.input.empty() ? content : operation.input;
        CancellingProgress progress(3 << 20);
        MemorySource source(input);
        MemorySink out;
        EXPECT_THROW(operation.run(source, input.size(), out, progress), CancelledError);
        EXPECT_TRUE(progress.monotonic());
        EXPECT_LT(out.bytes().size(), content.size()) << "the operation went on after the cancel";
        if (!operation.input.empty())
            continue;
        for (const std::uint64_t announced : {content.size() - 1, content.size() + 1}) {
            MemorySource again(content);
            const auto error =
                cryptoErrorOf([&] { operation.run(again, announced, out, ignoredProgress()); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), CryptoFailure::InputChanged);
            EXPECT_EQ(error->code(), ERROR_INVALID_DATA);
        }
    }
}

// ---- Verification --------------------------------------------------------------------------------

class StreamVerify : public ::testing::TestWithParam<KeyAlgorithm> {};

// Messages made by OpenSSL's own CMS code, so that the checks never rest on our signing alone.
TEST_P(StreamVerify, OutcomesAndCodesPerSigner) {
    IdentityFields fields;
    fields.algorithm = GetParam();
    fields.subject = "CN=Подписант";
    fields.serial = "\x01\x02\x03\x04";
    const TestIdentity signer = makeIdentity(fields);
    const TestIdentity impostor = makeIdentity(fields); // the signer's issuer and serial, another key
    const std::string content = std::string("a\nb\r\nc\0d\r", 9) + randomBytes(3000, 7);
    std::string changed = content;
    changed[1500] ^= 1;
    const std::string plain = cmsSign(signer, content);
    const std::string attributed = cmsSign(signer, content, withAttributes());
    const std::string attached = cmsSign(signer, content, attachedMessage());
    struct Case {
        const char* what;
        std::string message;
        std::optional<std::string> data;
        std::uint32_t code; // 0: valid
    };
    const Case cases[] = {
        {"without attributes", plain, content, 0},
        {"one bit of the content changed", plain, changed, NTE_BAD_SIGNATURE},
        {"content one byte shorter", plain, content.substr(1), NTE_BAD_SIGNATURE},
        {"signature value damaged", damageSignatureValue(plain), content, NTE_BAD_SIGNATURE},
        {"with signed attributes", attributed, content, 0},
        {"attributes, content changed", attributed, changed, CRYPT_E_HASH_VALUE},
        {"attributes, their signature damaged", damageSignatureValue(attributed), content, NTE_BAD_SIGNATURE},
        {"attached, its own content", attached, std::nullopt, 0},
        {"attached, its content damaged",
         attached.substr(0, 300) + std::string(1, attached[300] ^ 1) + attached.substr(301), std::nullopt,
         NTE_BAD_SIGNATURE},
        {"attached, other data given", attached, changed, NTE_BAD_SIGNATURE},
        {"attached, the same data given", attached, content, 0},
        {"no certificate in the message", cmsSign(signer, content, withoutSignerCertificate()), content,
         CRYPT_E_NOT_FOUND},
        {"only an impostor's certificate in the message",
         cmsSign(signer, content, withoutSignerCertificate({impostor.certificate.get()})), content,
         NTE_BAD_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const VerificationResult result = streamVerify(c.message, c.data ? &*c.data : nullptr);
        ASSERT_EQ(result.signers.size(), 1u);
        const SignerVerdict& verdict = result.signers[0];
        EXPECT_EQ(verdict.valid, c.code == 0) << verdict.reason;
        EXPECT_EQ(verdict.code, c.code) << verdict.reason;
        if (c.code == 0) {
            EXPECT_EQ(X509_cmp(verdict.certificate.get(), signer.certificate.get()), 0);
        }
    }
    // A signature without the signer's certificate verifies with the certificate given.
    const std::string bare = cmsSign(signer, content, withoutSignerCertificate());
    EXPECT_TRUE(streamVerify(bare, &content, {signer.certificate.get()}).allValid());
}

INSTANTIATE_TEST_SUITE_P(Gost, StreamVerify, ::testing::ValuesIn(kGostAlgorithms));

TEST(StreamVerifyMessage, WhatCannotBeCheckedAtAllRaisesItsCode) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string content = "Текст договора";
    const std::string plain = cmsSign(signer, content);
    std::string digested;
    {
        BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        CmsPtr cms(CMS_digest_create(in.get(), EVP_get_digestbynid(NID_id_GostR3411_2012_256), CMS_BINARY));
        digested = EncodeDer(
            cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    }
    // The signer's digest algorithm replaced by an unknown one in the message's list too.
    std::string unknownDigest = plain;
    const std::string gostHash = derOid("1.2.643.7.1.1.2.2");
    for (std::size_t at = 0; (at = unknownDigest.find(gostHash, at)) != std::string::npos;
         at += gostHash.size())
        unknownDigest[at + gostHash.size() - 1] = 0x63;
    struct Case {
        const char* what;
        std::string message;
        bool withData;
        CryptoFailure kind;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"empty", "", true, CryptoFailure::BadMessage, CRYPT_E_ASN1_BADTAG},
        {"garbage", "garbage, not DER", true, CryptoFailure::BadMessage, CRYPT_E_ASN1_BADTAG},
        {"truncated", plain.substr(0, plain.size() / 2), true, CryptoFailure::BadMessage,
         CRYPT_E_ASN1_BADTAG},
        {"Base64 text", "MIIB" + plain.substr(4), true, CryptoFailure::BadMessage, CRYPT_E_ASN1_BADTAG},
        {"a certificate", signer.der(), true, CryptoFailure::BadMessage, CRYPT_E_ASN1_BADTAG},
        {"digested-data", digested, true, CryptoFailure::UnexpectedMessageType, CRYPT_E_UNEXPECTED_MSG_TYPE},
        {"an envelope", streamEncrypt(signer, content), true, CryptoFailure::UnexpectedMessageType,
         CRYPT_E_UNEXPECTED_MSG_TYPE},
        {"detached, no data", plain, false, CryptoFailure::ContentMissing, CRYPT_E_MSG_ERROR},
        {"unknown digest algorithm", unknownDigest, true, CryptoFailure::UnsupportedAlgorithm,
         CRYPT_E_UNKNOWN_ALGO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto error = cryptoErrorOf([&] { streamVerify(c.message, c.withData ? &content : nullptr); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), c.kind) << error->what();
        EXPECT_EQ(error->code(), c.code) << error->what();
    }
}

// Each signer of a co-signed message is checked on its own: a broken one does not hide behind a
// sound one, and it is reported with its own certificate.
TEST(StreamVerifyMessage, SeveralSignersAreReportedEachInEncodingOrder) {
    const TestIdentity signers[] = {makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Первый"),
                                    makeIdentity(KeyAlgorithm::Gost2012_512, "CN=Второй"),
                                    makeIdentity(KeyAlgorithm::Gost2001, "CN=Третий")};
    const std::string content = randomBytes(20000, 11);
    for (const bool attributes : {false, true}) {
        SCOPED_TRACE(attributes);
        const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED | (attributes ? 0u : CMS_NOATTR);
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        for (const TestIdentity& signer : signers)
            ASSERT_TRUE(CMS_add1_signer(cms.get(), signer.certificate.get(), signer.key.get(),
                                        digestForKey(signer.key.get()), flags));
        BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        ASSERT_EQ(CMS_final(cms.get(), in.get(), nullptr, flags), 1);
        const std::string sound = EncodeDer(
            cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
        // The second signer in encoding order (DER sorts the SET) gets a damaged signature value.
        const CmsPtr decoded = parseCms(sound);
        CMS_SignerInfo* second = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(decoded.get()), 1);
        const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(second);
        const std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                static_cast<std::size_t>(ASN1_STRING_length(value)));
        std::string damaged = sound;
        damaged[damaged.find(bytes) + 10] ^= 0x01;

        const VerificationResult good = streamVerify(sound, &content);
        const VerificationResult bad = streamVerify(damaged, &content);
        ASSERT_EQ(good.signers.size(), 3u);
        ASSERT_EQ(bad.signers.size(), 3u);
        EXPECT_TRUE(good.allValid());
        EXPECT_FALSE(bad.allValid());
        for (int i = 0; i < 3; ++i) {
            CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(decoded.get()), i);
            EXPECT_EQ(CMS_SignerInfo_cert_cmp(info, bad.signers[i].certificate.get()), 0) << i;
            EXPECT_EQ(bad.signers[i].valid, i != 1) << i;
        }
        EXPECT_EQ(bad.signers[1].code, NTE_BAD_SIGNATURE);
    }
}

TEST(StreamVerifyMessage, PublishedVectors) {
    const std::string folder = PLOMBAR_VERIFY_VECTORS;
    const std::string signedText = readFile(folder + "/engine_tc26_plain_signeddata.txt");
    const std::string testMessage = readFile(folder + "/tk26cms_plain_test_message.txt");
    // TC26 examples of the engine: with and without signed attributes, attached, certificate inside.
    for (const char* name : {"engine_tc26_signed_a111.pem", "engine_tc26_signed_a121.pem"}) {
        SCOPED_TRACE(name);
        std::string extracted;
        const VerificationResult result =
            streamVerify(pemBytes(folder + "/" + name), nullptr, {}, &extracted);
        EXPECT_TRUE(result.allValid() && result.attached);
        EXPECT_EQ(extracted, signedText);
    }
    // TK26 examples: no certificate inside; they verify with the certificate given.
    for (const char* size : {"256", "512"}) {
        SCOPED_TRACE(size);
        const std::string message = readFile(folder + "/tk26cms_signed_" + size + ".der");
        const TestIdentity owner = loadIdentity(folder + "/tk26_" + size + "_signer.crt", "");
        const VerificationResult alone = streamVerify(message);
        ASSERT_EQ(alone.signers.size(), 1u);
        EXPECT_EQ(alone.signers[0].failure, CryptoFailure::SignerCertificateMissing);
        std::string extracted;
        EXPECT_TRUE(streamVerify(message, nullptr, {owner.certificate.get()}, &extracted).allValid());
        EXPECT_EQ(extracted, testMessage);
    }
}

// ---- Decryption ----------------------------------------------------------------------------------

TEST(StreamDecrypt, PublishedVectors) {
    const std::string folder = PLOMBAR_INTEROP_VECTORS;
    struct Case {
        const char* message;
        bool pem;
        const char* certificate;
        const char* key;
        const char* plain;
        std::optional<CryptoFailure> failure;
    };
    const Case cases[] = {
        {"tk26cms_ktri_256.der", false, "tk26_256_exchange.crt", "tk26_256.key.pem",
         "tk26cms_plain_test_data_x100.txt", std::nullopt},
        {"tk26cms_ktri_512.der", false, "tk26_512_exchange.crt", "tk26_512.key.pem",
         "tk26cms_plain_test_message.txt", std::nullopt},
        // Kuznyechik CTR-ACPKM and Magma CTR-ACPKM-OMAC, key transport with KExp15.
        {"engine_tc26_encrypted_keytrans_a231.pem", true, "engine_tc26_recipient256_cert.pem",
         "engine_tc26_recipient256_key.pem", "engine_tc26_plain_envelopeddata.txt", std::nullopt},
        {"engine_tc26_encrypted_keytrans_a241.pem", true, "engine_tc26_recipient512_cert.pem",
         "engine_tc26_recipient512_key.pem", "engine_tc26_plain_envelopeddata.txt", std::nullopt},
        // Key agreement: the candidate is the recipient, but of a kind not decrypted here.
        {"tk26cms_kari_256.der", false, "tk26_256_exchange.crt", "tk26_256.key.pem", nullptr,
         CryptoFailure::UnsupportedRecipient},
        {"engine_tc26_encrypted_keyagree_a221.pem", true, "engine_tc26_recipient256_cert.pem",
         "engine_tc26_recipient256_key.pem", nullptr, CryptoFailure::UnsupportedRecipient},
        // The key agreement message for someone else entirely.
        {"tk26cms_kari_512.der", false, "tk26_256_exchange.crt", "tk26_256.key.pem", nullptr,
         CryptoFailure::NoRecipient},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string path = folder + "/" + c.message;
        const std::string message = c.pem ? pemBytes(path) : readFile(path);
        const TestIdentity recipient = loadIdentity(folder + "/" + c.certificate, folder + "/" + c.key);
        ASSERT_TRUE(recipient.certificate && recipient.key);
        if (!c.failure) {
            EXPECT_EQ(streamDecrypt(message, {candidateOf(recipient)}), readFile(folder + "/" + c.plain));
            continue;
        }
        const auto error = cryptoErrorOf([&] { streamDecrypt(message, {candidateOf(recipient)}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), *c.failure);
        EXPECT_EQ(error->code(), CRYPT_E_NO_DECRYPT_CERT);
    }
}

// Candidates are tried in order; a wrong key never yields bytes; a cancelled password stops at once.
TEST(StreamDecrypt, CandidatesWrongKeysAndCancelledPasswords) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        IdentityFields fields;
        fields.algorithm = algorithm;
        fields.subject = "CN=Получатель";
        fields.serial = "\x01\x23\x45\x67";
        const TestIdentity genuine = makeIdentity(fields);
        const TestIdentity impostor = makeIdentity(fields); // same issuer and serial, another key
        const TestIdentity stranger = makeIdentity(algorithm, "CN=Чужой");
        const std::string content = randomBytes(100000, 3);
        const std::string envelope = streamEncrypt(genuine, content);

        int impostorAsked = 0;
        int genuineAsked = 0;
        std::size_t chosen = 9;
        EXPECT_TRUE(streamDecrypt(envelope,
                                  {candidateOf(stranger), candidateOf(impostor, &impostorAsked),
                                   candidateOf(genuine, &genuineAsked)},
                                  &chosen) == content);
        EXPECT_EQ(chosen, 2u);
        EXPECT_EQ(impostorAsked, 1);

        struct Case {
            const char* what;
            std::vector<DecryptionCandidate> candidates;
            CryptoFailure kind;
            std::uint32_t code;
        };
        const DecryptionCandidate cancelling{genuine.certificate.get(), []() -> EvpPkeyPtr {
                                                 throw CryptoError(CryptoFailure::Cancelled, ERROR_CANCELLED,
                                                                   "password cancelled");
                                             }};
        const DecryptionCandidate failing{genuine.certificate.get(), []() -> EvpPkeyPtr {
                                              throw CryptoError(CryptoFailure::KeyUnavailable,
                                                                ERROR_INVALID_PASSWORD, "wrong password");
                                          }};
        const Case cases[] = {
            {"impostor only", {candidateOf(impostor)}, CryptoFailure::WrongKey, NTE_BAD_DATA},
            {"stranger only", {candidateOf(stranger)}, CryptoFailure::NoRecipient, CRYPT_E_NO_DECRYPT_CERT},
            {"nobody", {}, CryptoFailure::NoRecipient, CRYPT_E_NO_DECRYPT_CERT},
            {"cancelled, then the key",
             {cancelling, candidateOf(genuine, &genuineAsked)},
             CryptoFailure::Cancelled,
             ERROR_CANCELLED},
            {"wrong password only", {failing}, CryptoFailure::KeyUnavailable, ERROR_INVALID_PASSWORD},
        };
        genuineAsked = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            MemorySource source(envelope);
            MemorySink out;
            const auto error = cryptoErrorOf([&] { decryptMessage(source, c.candidates, out); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), c.kind) << error->what();
            EXPECT_EQ(error->code(), c.code) << error->what();
            EXPECT_TRUE(out.bytes().empty()) << "bytes written without the right key";
        }
        EXPECT_EQ(genuineAsked, 0) << "a candidate was asked after the user cancelled";
        EXPECT_TRUE(streamDecrypt(envelope, {failing, candidateOf(genuine)}) == content);
    }
}

// A damaged key transport block is refused before any password is asked, and no change to the
// message's structure ever stops the process or gives wrong bytes as a success.
TEST(StreamDecrypt, DamagedStructureNeverReachesTheEngine) {
    for (const KeyAlgorithm algorithm : kGostAlgorithms) {
        SCOPED_TRACE(KeyAlgorithmName(algorithm));
        const TestIdentity identity = makeIdentity(algorithm);
        const std::string content = "the content";
        const std::string envelope = streamEncrypt(identity, content);
        const std::size_t structure = envelope.size() - content.size();
        int accepted = 0;
        for (std::size_t at = 0; at < structure; ++at) {
            for (const unsigned char mask : {0x01, 0x80}) {
                std::string damaged = envelope;
                damaged[at] = static_cast<char>(damaged[at] ^ mask);
                MemorySource source(damaged);
                MemorySink out;
                try {
                    decryptMessage(source, std::vector<DecryptionCandidate>{candidateOf(identity)}, out);
                    ++accepted;
                } catch (const CryptoError&) {
                }
            }
        }
        EXPECT_LT(accepted, static_cast<int>(structure / 2)) << "of " << 2 * structure << " changes";
        for (std::size_t length = 0; length < envelope.size(); ++length) {
            MemorySource source(std::string_view(envelope).substr(0, length));
            MemorySink out;
            EXPECT_THROW(decryptMessage(source, std::vector<DecryptionCandidate>{candidateOf(identity)}, out),
                         CryptoError)
                << length;
        }
    }
}

// An envelope without its encrypted content has nothing to decrypt.
TEST(StreamDecrypt, EnvelopeWithoutContent) {
    const TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256);
    const CmsPtr cms = parseCms(streamEncrypt(identity, "content"));
    ASSERT_EQ(CMS_set_detached(cms.get(), 1), 1);
    const std::string detached = EncodeDer(
        cms.get(), [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
    const auto error = cryptoErrorOf([&] { streamDecrypt(detached, {candidateOf(identity)}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), CryptoFailure::ContentMissing);
    EXPECT_EQ(error->code(), CRYPT_E_MSG_ERROR);
}

// ---- Hostile input -------------------------------------------------------------------------------

// The reader refuses what is not BER, and no length it reads makes it allocate or wait for more.
TEST(StreamReader, HostileInputIsRefusedAsABadMessage) {
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
    const std::string attached =
        streamSign(signer, "content", SignatureLayout::Attached, KeyAlgorithm::Gost2012_256);
    std::string deep = "\x04\x01x";
    for (int i = 0; i < 50; ++i)
        deep = "\x30\x80" + deep + std::string(2, '\0');
    // "T" stands for the content type; after the version, the SET is the digest algorithms of signed
    // data and the recipient infos of enveloped data.
    const std::string start = "\x30\x80T\xA0\x80\x30\x80\x02\x01\x01";
    const struct {
        const char* what;
        std::string bytes;
        bool signatureOnly = false;
    } cases[] = {
        {"a length of 2^40 bytes", "\x30\x85\x01\x00\x00\x00\x00T"},
        {"a length of 2^63 bytes", std::string("\x30\x88\x80\0\0\0\0\0\0\0T", 11)},
        {"nine length octets", std::string("\x30\x89\x01\0\0\0\0\0\0\0\0", 11)},
        {"an inner length beyond its parent", "\x30\x0DT\xA0\x7F\x30\x00"},
        {"a primitive of indefinite length", "\x30\x80\x06\x80"},
        {"end-of-contents inside a definite element", std::string("\x30\x04\x00\x00\x00\x00", 6)},
        {"a tag number of six octets", "\x30\x08\x1F\x81\x81\x81\x81\x81\x01\x00"},
        {"nested 50 deep", start + "\x31\x80" + deep},
        {"a SET claimed as 5 MiB", start + "\x31\x83\x50\x00\x00"},
        {"a content segment that is no octet string",
         start + "\x31\x00\x30\x80" + derOid("1.2.840.113549.1.7.1") + "\xA0\x80\x24\x80\x02\x01\x05", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool asSignature : {true, false}) {
            if (c.signatureOnly && !asSignature)
                continue;
            std::string bytes = c.bytes;
            if (const std::size_t at = bytes.find('T'); at != std::string::npos)
                bytes.replace(at, 1, derOid(asSignature ? "1.2.840.113549.1.7.2" : "1.2.840.113549.1.7.3"));
            MemorySource source(bytes);
            MemorySink out;
            const auto error = cryptoErrorOf([&] {
                if (asSignature)
                    verifySignature(source);
                else
                    decryptMessage(source, std::vector<DecryptionCandidate>{candidateOf(signer)}, out);
            });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), CryptoFailure::BadMessage) << error->what();
            EXPECT_EQ(error->code(), CRYPT_E_ASN1_BADTAG);
        }
    }
    // Every cut of a sound message.
    for (std::size_t length = 0; length < attached.size(); ++length) {
        MemorySource source(std::string_view(attached).substr(0, length));
        EXPECT_THROW(verifySignature(source), CryptoError) << length;
    }
}
