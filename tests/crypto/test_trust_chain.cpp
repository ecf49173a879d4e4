// The test PKI and chain building: root -> intermediate -> leaf with GOST keys, the chain built
// from the message's certificates and the stores, and the reasons when it cannot be, each row
// cross-checked with `openssl verify`.

#include "TestPki.h"

#include "crypto/CertificateChain.h"
#include "crypto/GostRuntime.h"
#include "crypto/MessageFile.h"
#include "crypto/SignatureVerification.h"
#include "crypto/TrustReport.h"

#include <gtest/gtest.h>

namespace plombar::crypto {
namespace {

using namespace plombar::test;
using std::chrono::sys_seconds;

constexpr long kDay = 24 * 3600;

// Made once and never freed: engine-backed keys must not be freed after OpenSSL's exit clean-up.
const TestChain& pki() {
    static const TestChain* chain = [] {
        GostRuntimeReady();
        return new TestChain(makeChain({"http://crl.example"}));
    }();
    return *chain;
}

Certificate cert(const TestIdentity& identity) {
    return Certificate::share(identity.certificate.get());
}

// `openssl verify` of the leaf with the given trusted and untrusted certificates; true when "OK".
bool opensslAgrees(const TestIdentity& leaf, const std::vector<const TestIdentity*>& trusted,
                   const std::vector<const TestIdentity*>& untrusted, std::time_t at, std::string* log) {
    TempDir dir("plombar-chain");
    auto bundle = [&dir](const std::string& name, const std::vector<const TestIdentity*>& list) {
        std::string pem;
        for (const TestIdentity* identity : list)
            pem += identity->pem();
        writeFile(dir.file(name), pem);
        return dir.file(name);
    };
    writeFile(dir.file("leaf.pem"), leaf.pem());
    std::string command = "verify -engine gost -partial_chain";
    command +=
        trusted.empty() ? " -no-CAfile -no-CApath" : " -CAfile " + shellQuote(bundle("roots.pem", trusted));
    if (!untrusted.empty())
        command += " -untrusted " + shellQuote(bundle("untrusted.pem", untrusted));
    if (at != 0)
        command += " -attime " + std::to_string(at);
    command += " " + shellQuote(dir.file("leaf.pem"));
    const int status = runOpenssl(command, log);
    return status == 0 && log->find(": OK") != std::string::npos;
}

struct ChainCase {
    const char* name;
    const TestIdentity* leaf;
    std::vector<const TestIdentity*> message;       // certificates the message carries
    std::vector<const TestIdentity*> intermediates; // the "CA" store
    std::vector<const TestIdentity*> roots;         // the "Root" store
    long atDays;                                    // the time of the check, days from now
    std::string line;                               // the report line
    std::size_t chainLength;                        // certificates in ChainResult::chain
};

class ChainTable : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainTable, BuildsOrSaysWhyAsOpensslDoes) {
    const ChainCase& c = GetParam();
    auto certificates = [](const std::vector<const TestIdentity*>& list) {
        std::vector<Certificate> out;
        for (const TestIdentity* identity : list)
            out.push_back(cert(*identity));
        return out;
    };
    TrustAnchors anchors{certificates(c.roots), certificates(c.intermediates)};
    const std::time_t at = c.atDays == 0 ? 0 : std::time(nullptr) + c.atDays * kDay;
    const ChainResult result =
        buildChain(cert(*c.leaf), certificates(c.message), anchors,
                   at == 0 ? std::nullopt : std::optional(sys_seconds(std::chrono::seconds(at))));
    EXPECT_EQ(chainLine(result), c.line);
    EXPECT_EQ(result.chain.size(), c.chainLength);
    EXPECT_EQ(result.chain.front(), cert(*c.leaf));

    std::vector<const TestIdentity*> untrusted = c.message;
    untrusted.insert(untrusted.end(), c.intermediates.begin(), c.intermediates.end());
    std::string log;
    EXPECT_EQ(opensslAgrees(*c.leaf, c.roots, untrusted, at, &log), result.built) << log;
}

// Certificates that break the chain in one way each, made once.
struct Breakers {
    TestIdentity expiredIntermediate; // the intermediate's name and key, expired yesterday
    TestIdentity impostor;            // the intermediate's name, another key
    TestIdentity notACa;              // an end-entity certificate that issued `leafOfNotACa`
    TestIdentity leafOfNotACa;
    TestIdentity futureLeaf; // valid from tomorrow
};

const Breakers& breakers() {
    static const Breakers* b = [] {
        auto* owned = new Breakers;
        Breakers& made = *owned;
        const TestChain& chain = pki();
        IdentityFields expired;
        expired.subject = "CN=Тестовый подчиненный УЦ, O=Пломбарь, C=RU";
        expired.authority = true;
        expired.issuer = &chain.root;
        expired.notBefore = std::time(nullptr) - 30 * kDay;
        expired.notAfter = std::time(nullptr) - kDay;
        made.expiredIntermediate = makeIdentity(expired);
        // Same name and key as the intermediate that issued the leaf: a copy re-issued expired.
        made.expiredIntermediate.key.reset();
        {
            CertificateFields fields;
            X509NamePtr name(X509_NAME_dup(X509_get_subject_name(chain.intermediate.certificate.get())));
            fields.subject = name.get();
            fields.issuer = chain.root.certificate.get();
            fields.issuerKey = chain.root.key.get();
            fields.authority = true;
            fields.notBefore = expired.notBefore;
            fields.notAfter = expired.notAfter;
            made.expiredIntermediate.certificate = MakeCertificate(fields, chain.intermediate.key.get());
        }
        IdentityFields impostor = expired;
        impostor.notBefore = 0;
        impostor.notAfter = 0;
        made.impostor = makeIdentity(impostor);

        IdentityFields notACa;
        notACa.subject = "CN=Не центр сертификации";
        notACa.issuer = &chain.root;
        made.notACa = makeIdentity(notACa);
        IdentityFields leafOfNotACa;
        leafOfNotACa.issuer = &made.notACa;
        made.leafOfNotACa = makeIdentity(leafOfNotACa);

        IdentityFields future;
        future.issuer = &chain.intermediate;
        future.notBefore = std::time(nullptr) + kDay;
        made.futureLeaf = makeIdentity(future);
        return owned;
    }();
    return *b;
}

std::vector<ChainCase> chainCases() {
    const TestChain& p = pki();
    const Breakers& b = breakers();
    auto x = [](const std::string& reason) { return "X Цепочка сертификатов не построена: " + reason; };
    const std::string v = kChainBuiltLine;
    // clang-format off
    return {
        // name                     leaf           message                     CA store          Root store       days line  length
        {"IntermediateInMessage",   &p.leaf,       {&p.leaf, &p.intermediate}, {},               {&p.root},         0, v, 3},
        {"IntermediateInCaStore",   &p.leaf,       {&p.leaf},                  {&p.intermediate}, {&p.root},        0, v, 3},
        {"IntermediateTrusted",     &p.leaf,       {},                         {},               {&p.intermediate}, 0, v, 2},
        {"NoTrustedRoot",           &p.leaf,       {&p.intermediate},          {},               {},                0,
         x("не найден сертификат издателя «Тестовый корневой УЦ»"), 2},
        {"RootOnlyInMessage",       &p.leaf,       {&p.intermediate, &p.root}, {},               {},                0,
         x("корневой сертификат «Тестовый корневой УЦ» не входит в доверенные"), 3},
        {"NoIntermediate",          &p.leaf,       {},                         {},               {&p.root},         0,
         x("не найден сертификат издателя «Тестовый подчиненный УЦ»"), 1},
        {"ExpiredIntermediate",     &p.leaf,       {&b.expiredIntermediate},   {},               {&p.root},         0,
         x("истек срок действия сертификата «Тестовый подчиненный УЦ»"), 3},
        {"EverythingExpiredLater",  &p.leaf,       {&p.intermediate},          {},               {&p.root},       400,
         x("истек срок действия сертификата «Тестовый подчиненный УЦ»"), 3},
        {"WrongSignatureOnLeaf",    &p.leaf,       {&b.impostor},              {},               {&p.root},         0,
         x("неверная подпись сертификата «Тестовый подписант»"), 3},
        {"IssuerIsNoCa",            &b.leafOfNotACa, {&b.notACa},              {},               {&p.root},         0,
         x("сертификат «Не центр сертификации» не является сертификатом центра сертификации"), 3},
        {"LeafNotYetValid",         &b.futureLeaf, {&p.intermediate},          {},               {&p.root},         0,
         x("сертификат «Тестовый подписант» еще не действует"), 3},
    };
    // clang-format on
}

INSTANTIATE_TEST_SUITE_P(Table, ChainTable, ::testing::ValuesIn(chainCases()),
                         [](const auto& row) { return std::string(row.param.name); });

// The engine's TC26 example a121: its signer's issuer has no basic constraints, so even trusted it
// is no CA; openssl verify says the same.
TEST(CertificateChain, PublishedExampleWhoseRootIsNoCa) {
    GostRuntimeReady();
    MessageFile file =
        MessageFile::open(PLOMBAR_VERIFY_VECTORS "/engine_tc26_signed_a121.pem", MessageKind::Signed);
    VerificationResult result = verifySignature(file.message());
    ASSERT_TRUE(result.allValid());
    const Certificate signer = Certificate::adopt(std::move(result.signers[0].certificate));
    const Certificate root =
        Certificate::fromBytes(readFile(PLOMBAR_VERIFY_VECTORS "/engine_tc26_root256_cert.pem"));
    const ChainResult chain = buildChain(signer, {}, TrustAnchors{{root}, {}});
    EXPECT_EQ(chainLine(chain),
              "X Цепочка сертификатов не построена: сертификат «CA TK26: GOST 34.10-12 256-bit» "
              "не является сертификатом центра сертификации");
    EXPECT_EQ(chain.chain.size(), 2u);
}

TEST(CertificateChain, NamesWithControlCharactersComeOutEscaped) {
    IdentityFields hostile;
    hostile.rdns = {{{"CN", "Злой\nУЦ\x1b[31m"}}};
    hostile.authority = true;
    const TestIdentity issuer = makeIdentity(hostile);
    IdentityFields leaf;
    leaf.issuer = &issuer;
    const TestIdentity signer = makeIdentity(leaf);
    const ChainResult result = buildChain(cert(signer), {}, {});
    EXPECT_EQ(chainLine(result),
              "X Цепочка сертификатов не построена: не найден сертификат издателя «Злой\\nУЦ\\x1B[31m»");
}

} // namespace
} // namespace plombar::crypto
