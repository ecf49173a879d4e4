// The streaming engine against the `openssl cms -engine gost` command in both directions: what we
// write it accepts at every DER length boundary, what it writes (DER and BER, with and without
// signed attributes, CTR-ACPKM envelopes beyond their first key section) we read.

#include "StreamTestUtil.h"

#include "crypto/BerReader.h"
#include "platform/SystemErrors.h"

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

// A key, its certificate and a content in files for the openssl command.
struct OpensslPeer {
    explicit OpensslPeer(KeyAlgorithm algorithm) : identity(makeIdentity(algorithm)) {
        writeFile(certificate(), identity.pem());
        writeFile(key(), identity.keyPem());
    }
    std::string certificate() const { return dir.file("cert.pem"); }
    std::string key() const { return dir.file("key.pem"); }
    std::string file(const std::string& name) const { return dir.file(name); }

    TempDir dir{"plombar-stream-interop"};
    TestIdentity identity;
};

std::string opensslOutput(const std::string& arguments) {
    std::string log;
    const int status = runOpenssl(arguments, &log);
    return status == 0 ? std::string() : log.empty() ? "failed" : log;
}

} // namespace

class StreamInteropPerKey : public ::testing::TestWithParam<KeyAlgorithm> {};

// What we write, openssl reads: signatures verify (and give back the attached content), CAdES-BES
// included, envelopes decrypt; for 2012-256 at every DER length boundary.
TEST_P(StreamInteropPerKey, OpensslReadsOurs) {
    const OpensslPeer peer(GetParam());
    std::vector<std::size_t> sizes = {70000};
    if (GetParam() == KeyAlgorithm::Gost2012_256)
        sizes.insert(sizes.end(), {0, 1, 127, 128, 255, 256, 65535, 65536, 16777215, 16777216, 20000001});
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string content = randomBytes(size, static_cast<std::uint32_t>(size));
        writeFile(peer.file("content"), content);
        for (const SignedAttributes attributes : {SignedAttributes::None, SignedAttributes::CadesBes}) {
            if (attributes == SignedAttributes::CadesBes && size != 70000)
                continue;
            writeFile(peer.file("detached.p7s"),
                      streamSign(peer.identity, content, SignatureLayout::Detached, GetParam(), attributes));
            writeFile(peer.file("attached.p7s"),
                      streamSign(peer.identity, content, SignatureLayout::Attached, GetParam(), attributes));
            std::string log;
            EXPECT_TRUE(opensslVerifies(peer.file("detached.p7s"), peer.file("content"), nullptr, &log))
                << log;
            std::string extracted;
            EXPECT_TRUE(opensslVerifies(peer.file("attached.p7s"), "", &extracted, &log)) << log;
            EXPECT_TRUE(extracted == content);
        }
        writeFile(peer.file("content.enc"), streamEncrypt(peer.identity, content));
        EXPECT_EQ(opensslOutput("cms -decrypt -engine gost -debug_decrypt -binary -inform DER -in " +
                                peer.file("content.enc") + " -recip " + peer.certificate() + " -inkey " +
                                peer.key() + " -out " + peer.file("decrypted")),
                  "");
        EXPECT_TRUE(readFile(peer.file("decrypted")) == content);
    }
}

// What openssl writes, we read: detached and attached, with and without signed attributes, in DER
// and in BER as `-stream` writes it (indefinite lengths, the content in segments).
TEST_P(StreamInteropPerKey, WeReadOpensslsMessages) {
    const OpensslPeer peer(GetParam());
    const std::string content = randomBytes(300000, 8);
    writeFile(peer.file("content"), content);
    const std::string signer = " -signer " + peer.certificate() + " -inkey " + peer.key();
    for (const char* options : {"-noattr", "", "-noattr -nodetach", "-nodetach", "-noattr -nodetach -stream",
                                "-nodetach -stream"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(opensslOutput(std::string("cms -sign -engine gost -binary -outform DER ") + options +
                                signer + " -in " + peer.file("content") + " -out " + peer.file("signature")),
                  "");
        const std::string signature = readFile(peer.file("signature"));
        const bool attached = std::string(options).find("-nodetach") != std::string::npos;
        std::string extracted;
        const VerificationResult result =
            streamVerify(signature, attached ? nullptr : &content, {}, &extracted);
        EXPECT_TRUE(result.allValid()) << (result.signers.empty() ? "" : result.signers[0].reason);
        EXPECT_EQ(result.attached, attached);
        if (attached) {
            EXPECT_TRUE(extracted == content);
        }
    }
    for (const char* options : {"", "-stream"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(opensslOutput(std::string("cms -encrypt -engine gost -binary -gost89 -outform DER ") +
                                options + " -in " + peer.file("content") + " -out " +
                                peer.file("content.enc") + " " + peer.certificate()),
                  "");
        EXPECT_TRUE(streamDecrypt(readFile(peer.file("content.enc")), {candidateOf(peer.identity)}) ==
                    content);
    }
}

INSTANTIATE_TEST_SUITE_P(Gost, StreamInteropPerKey, ::testing::ValuesIn(kGostAlgorithms));

// Magma and Kuznyechik CTR-ACPKM envelopes change their key every 8 KiB / 256 KiB; openssl's own
// decryption goes wrong after the first kilobytes, ours must not, and the MAC variants' MAC must
// still be checked.
TEST(StreamInterop, CtrAcpkmEnvelopesBeyondTheirFirstSection) {
    const OpensslPeer peer(KeyAlgorithm::Gost2012_256);
    const std::string content = randomBytes(600000, 6);
    writeFile(peer.file("content"), content);
    for (const char* cipher :
         {"magma-ctr-acpkm", "magma-ctr-acpkm-omac", "kuznyechik-ctr-acpkm", "kuznyechik-ctr-acpkm-omac"}) {
        SCOPED_TRACE(cipher);
        ASSERT_EQ(opensslOutput(std::string("cms -encrypt -engine gost -binary -outform DER -") + cipher +
                                " -in " + peer.file("content") + " -out " + peer.file("content.enc") + " " +
                                peer.certificate()),
                  "");
        const std::string envelope = readFile(peer.file("content.enc"));
        EXPECT_TRUE(streamDecrypt(envelope, {candidateOf(peer.identity)}) == content);
        if (std::string(cipher).ends_with("omac")) {
            std::string damaged = envelope;
            damaged[damaged.size() - 3] ^= 0x01; // inside the MAC attribute at the end
            const auto error = cryptoErrorOf([&] { streamDecrypt(damaged, {candidateOf(peer.identity)}); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), CryptoFailure::WrongKey);
            EXPECT_EQ(error->code(), winerr::NTE_BAD_DATA);
        }
    }
}

// Content cipher parameters that the GOST engine reads without checking (absent ones crash it, a
// UKM of another length decrypts with a zero IV) are refused before it sees them.
TEST(StreamInterop, CtrAcpkmMalformedParametersAreRefused) {
    const OpensslPeer peer(KeyAlgorithm::Gost2012_256);
    writeFile(peer.file("content"), randomBytes(100, 3));
    for (const char* cipher : {"magma-ctr-acpkm", "kuznyechik-ctr-acpkm-omac"}) {
        SCOPED_TRACE(cipher);
        ASSERT_EQ(opensslOutput(std::string("cms -encrypt -engine gost -binary -outform DER -") + cipher +
                                " -in " + peer.file("content") + " -out " + peer.file("content.enc") + " " +
                                peer.certificate()),
                  "");
        const std::string message = readFile(peer.file("content.enc"));
        // The message again with indefinite lengths around another content cipher algorithm.
        const std::vector<BerElement> info = readBerChildren(message);
        const std::vector<BerElement> fields = readBerChildren(readBerChildren(info[1].bytes)[0].bytes);
        const std::vector<BerElement> encrypted = readBerChildren(fields[2].bytes);
        const std::string oid(readBerChildren(encrypted[1].bytes)[0].bytes);
        const std::size_t ukm = std::string_view(cipher).starts_with("magma") ? 12 : 16;
        const auto octets = [](std::size_t n) { return derTlv(0x04, std::string(n, '\x5A')); };
        for (const std::string& parameters :
             {std::string(), std::string("\x05\x00", 2), octets(ukm), derTlv(0x30, ""),
              derTlv(0x30, octets(ukm - 1)), derTlv(0x30, octets(ukm + 1)),
              derTlv(0x30, octets(ukm) + octets(ukm))}) {
            const std::string damaged =
                "\x30\x80" + std::string(info[0].bytes) + "\xA0\x80\x30\x80" + std::string(fields[0].bytes) +
                std::string(fields[1].bytes) + "\x30\x80" + std::string(encrypted[0].bytes) +
                derTlv(0x30, oid + parameters) + std::string(encrypted[2].bytes) + std::string(8, '\0');
            const auto error = cryptoErrorOf([&] { streamDecrypt(damaged, {candidateOf(peer.identity)}); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), CryptoFailure::WrongKey) << error->what();
            EXPECT_EQ(error->code(), winerr::NTE_BAD_DATA);
        }
    }
}
