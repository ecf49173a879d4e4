// Revocation from CRLs served by a local HTTP server: the three report lines, every way a CRL can
// fail to answer ("?", never a hang), the cache (used offline, refetched once stale, refused when
// others can write to it) and a cross-check with `openssl verify -crl_check_all`.

#include "LocalHttpServer.h"
#include "TestPki.h"

#include "crypto/GostRuntime.h"
#include "crypto/Revocation.h"
#include "crypto/TrustReport.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace plombar::crypto {
namespace {

using namespace plombar::test;
using namespace std::chrono_literals;
using Mode = LocalHttpServer::Mode;

constexpr long kDay = 24 * 3600;
constexpr std::time_t kRevokedAt = 1794744000; // 15.11.2026 12:00:00 UTC

Certificate cert(const TestIdentity& identity) {
    return Certificate::share(identity.certificate.get());
}

class Revocation : public ::testing::Test {
protected:
    Revocation() {
        ::setenv("no_proxy", "127.0.0.1", 1);
        GostRuntimeReady();
        pki = makeChain({server.url("")});
        chain = {cert(pki.leaf), cert(pki.intermediate), cert(pki.root)};
        options.cacheFolder = cache.path() + "/plombar/crl";
        options.fetch.timeout = 500ms;
        server.serve("/intermediate.crl", makeCrl(pki.intermediate));
        server.serve("/root.crl", makeCrl(pki.root));
    }

    std::string line() { return revocationLine(checkRevocation(chain, options)); }
    std::string unknown(const std::string& reason) { return "? Статус отзыва не проверен: " + reason; }
    std::string leafUrl() { return server.url("/intermediate.crl"); }

    LocalHttpServer server;
    TempDir cache{"plombar-crl"};
    TestChain pki;
    std::vector<Certificate> chain;
    RevocationOptions options;
};

TEST_F(Revocation, NotRevokedWhenNoCrlListsTheChain) {
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(server.requests("/intermediate.crl"), 1u);
    EXPECT_EQ(server.requests("/root.crl"), 1u);
}

TEST_F(Revocation, RevokedLeafShowsItsRevocationDate) {
    server.serve("/intermediate.crl", makeCrl(pki.intermediate, {0, 0, {{&pki.leaf, kRevokedAt}}, {}}));
    EXPECT_EQ(line(), "X Сертификат отозван 15.11.2026");
}

TEST_F(Revocation, RevokedIntermediateRevokesTheSigner) {
    server.serve("/root.crl", makeCrl(pki.root, {0, 0, {{&pki.intermediate, kRevokedAt - kDay}}, {}}));
    EXPECT_EQ(line(), "X Сертификат отозван 14.11.2026");
}

TEST_F(Revocation, ARevokedCertificateWinsOverAnUnknownOne) {
    server.serve("/intermediate.crl", {404, "", {}});
    server.serve("/root.crl", makeCrl(pki.root, {0, 0, {{&pki.intermediate, kRevokedAt}}, {}}));
    EXPECT_EQ(line(), "X Сертификат отозван 15.11.2026");
}

// Each row serves something else at the leaf's CRL address and expects the "?" reason.
using Serve = std::function<void(LocalHttpServer&, const TestChain&)>;
struct UnknownCase {
    const char* name;
    Serve serve;
    const char* reason; // "{url}" stands for the leaf CRL's address
};

class RevocationUnknown : public Revocation, public ::testing::WithParamInterface<UnknownCase> {};

TEST_P(RevocationUnknown, SaysWhyItCouldNotTell) {
    GetParam().serve(server, pki);
    std::string reason = GetParam().reason;
    if (const auto at = reason.find("{url}"); at != std::string::npos)
        reason.replace(at, 5, leafUrl());
    EXPECT_EQ(line(), unknown(reason));
}

Serve mode(Mode m) {
    return [m](LocalHttpServer& s, const TestChain&) { s.setMode(m); };
}
Serve answer(LocalHttpServer::Answer a) {
    return [a](LocalHttpServer& s, const TestChain&) { s.serve("/intermediate.crl", a); };
}
// A CRL of the leaf's issuer with these fields.
Serve crl(CrlFields fields) {
    return [fields](LocalHttpServer& s, const TestChain& p) {
        s.serve("/intermediate.crl", makeCrl(p.intermediate, fields));
    };
}
Serve crlOf(const TestIdentity& (*issuer)(const TestChain&)) {
    return [issuer](LocalHttpServer& s, const TestChain& p) {
        s.serve("/intermediate.crl", makeCrl(issuer(p)));
    };
}
const TestIdentity& root(const TestChain& p) {
    return p.root;
}
// The intermediate's name with another key.
const TestIdentity& stranger(const TestChain&) {
    static const TestIdentity* made = new TestIdentity(
        makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Тестовый подчиненный УЦ, O=Пломбарь, C=RU"));
    return *made;
}
using Extensions = std::vector<std::pair<std::string, std::string>>;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, RevocationUnknown, ::testing::Values(
    UnknownCase{"ServerClosesConnection", mode(Mode::Close), "список отзыва не получен: сервер прервал соединение ({url})"},
    UnknownCase{"ServerHangs", mode(Mode::Hang), "список отзыва не получен: истекло время ожидания ответа сервера ({url})"},
    UnknownCase{"NotFound", answer({404, "", {}}), "список отзыва не получен: сервер ответил кодом 404 ({url})"},
    UnknownCase{"RedirectToFile", answer({302, "", {"Location: file:///etc/passwd"}}),
                "список отзыва не получен: перенаправление на адрес не по HTTP ({url})"},
    UnknownCase{"NotACrl", answer({200, "not a CRL", {}}), "полученный файл не является списком отзыва ({url})"},
    UnknownCase{"SignedBySomeoneElse", crlOf(stranger), "неверная подпись списка отзыва ({url})"},
    UnknownCase{"AnotherIssuersCrl", crlOf(root),
                "список отзыва выпущен не издателем сертификата «Тестовый подписант» ({url})"},
    UnknownCase{"Stale", crl({kRevokedAt - 10 * kDay, kRevokedAt, {}, {}}), "список отзыва устарел 15.11.2026 ({url})"},
    UnknownCase{"NoNextUpdate", crl({0, -1, {}, {}}), "в списке отзыва нет даты следующего выпуска ({url})"},
    UnknownCase{"NotYetIssued", crl({std::time(nullptr) + kDay, 0, {}, {}}), "список отзыва еще не действует ({url})"},
    UnknownCase{"UnknownCriticalExtension", crl({0, 0, {}, Extensions{{"1.2.3.4", "critical,DER:05:00"}}}),
                "неизвестное критическое расширение в списке отзыва ({url})"},
    UnknownCase{"DeltaCrl", crl({0, 0, {}, Extensions{{"2.5.29.27", "critical,DER:02:01:01"}}}),
                "неизвестное критическое расширение в списке отзыва ({url})"},
    UnknownCase{"OnlyForCaCertificates", crl({0, 0, {}, Extensions{{"issuingDistributionPoint", "critical,onlyCA:TRUE"}}}),
                "список отзыва не охватывает сертификат «Тестовый подписант» ({url})"}),
    [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST_F(Revocation, NobodyListeningGivesUnknownAtOnce) {
    const RefusingPort nobody;
    const std::string url = nobody.url("");
    const TestChain other = makeChain({url});
    chain = {cert(other.leaf), cert(other.intermediate), cert(other.root)};
    EXPECT_EQ(line(), unknown("список отзыва не получен: сервер недоступен (" + url + "/intermediate.crl)"));
}

TEST_F(Revocation, CertificatesWithoutAnHttpDistributionPoint) {
    IdentityFields fields;
    fields.issuer = &pki.intermediate;
    const TestIdentity bare = makeIdentity(fields);
    chain = {cert(bare), cert(pki.intermediate), cert(pki.root)};
    EXPECT_EQ(line(), unknown("в сертификате «Тестовый подписант» нет точки распространения списка отзыва"));

    fields.crlUrls = {"ldap://ca.example/cn=crl", "file:///tmp/x.crl"};
    const TestIdentity ldapOnly = makeIdentity(fields);
    chain = {cert(ldapOnly), cert(pki.intermediate), cert(pki.root)};
    EXPECT_EQ(line(), unknown("в сертификате «Тестовый подписант» нет адреса списка отзыва по HTTP"));
}

TEST_F(Revocation, TriesTheNextAddressWhenOneFails) {
    IdentityFields fields;
    fields.issuer = &pki.intermediate;
    fields.crlUrls = {server.url("/gone.crl"), server.url("/intermediate.crl")};
    const TestIdentity twoPoints = makeIdentity(fields);
    chain = {cert(twoPoints), cert(pki.intermediate), cert(pki.root)};
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(server.requests("/gone.crl"), 1u);
}

// A certificate may list many addresses; a few are tried, and all together within the time limit.
TEST_F(Revocation, ManyAddressesCostAFewTriesAndLimitedTime) {
    IdentityFields fields;
    fields.issuer = &pki.intermediate;
    for (int i = 0; i < 10; ++i)
        fields.crlUrls.push_back(server.url("/gone" + std::to_string(i) + ".crl"));
    const TestIdentity manyPoints = makeIdentity(fields);
    chain = {cert(manyPoints), cert(pki.intermediate), cert(pki.root)};
    EXPECT_EQ(line(), unknown("список отзыва не получен: сервер ответил кодом 404 (" +
                              server.url("/gone3.crl") + ")"));
    EXPECT_EQ(server.connections(), 4u + 1u); // four of the leaf's, one of the intermediate's

    server.setMode(Mode::Hang);
    options.fetch.timeout = std::chrono::milliseconds(300);
    options.totalTimeout = std::chrono::milliseconds(400);
    EXPECT_EQ(line(), unknown("истекло время проверки отзыва"));
    EXPECT_LT(server.connections(), 5u + 3u);
}

TEST_F(Revocation, ASignerWithoutIssuerCannotBeChecked) {
    chain = {cert(pki.leaf)};
    EXPECT_EQ(line(),
              unknown("не найден издатель сертификата «Тестовый подписант» для проверки списка отзыва"));
}

TEST_F(Revocation, CachedCrlIsUsedUntilItsNextUpdateAndOffline) {
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(server.requests("/intermediate.crl"), 1u);

    server.setMode(Mode::Close);
    options.offline = true;
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(server.requests("/intermediate.crl"), 1u);

    // The cache: 0700, one DER file per address, named by the address's SHA-256.
    struct stat st {};
    ASSERT_EQ(::stat(options.cacheFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(listFolder(options.cacheFolder).size(), 2u);
}

TEST_F(Revocation, OfflineWithoutCacheFetchesNothing) {
    options.offline = true;
    EXPECT_EQ(line(), unknown("список отзыва не сохранен, а проверка без сети (" + leafUrl() + ")"));
    EXPECT_EQ(server.requests("/intermediate.crl"), 0u);
}

TEST_F(Revocation, StaleCacheIsFetchedAgain) {
    const std::time_t now = std::time(nullptr);
    server.serve("/intermediate.crl", makeCrl(pki.intermediate, {now - 3600, now + 3600, {}, {}}));
    EXPECT_EQ(line(), "V Сертификат не отозван");
    // Two hours on, the CRL's next update has passed: a new one is fetched, and it revokes.
    server.serve("/intermediate.crl",
                 makeCrl(pki.intermediate, {now + 3600, now + kDay, {{&pki.leaf, kRevokedAt}}, {}}));
    options.at = std::chrono::sys_seconds(std::chrono::seconds(now + 7200));
    EXPECT_EQ(line(), "X Сертификат отозван 15.11.2026");
    EXPECT_EQ(server.requests("/intermediate.crl"), 2u);

    options.offline = true;
    options.at = std::chrono::sys_seconds(std::chrono::seconds(now + 2 * kDay));
    EXPECT_EQ(line(), unknown("сохраненный список отзыва устарел, а проверка без сети (" + leafUrl() + ")"));
}

TEST_F(Revocation, ACacheFolderOthersCanWriteIsNotUsed) {
    EXPECT_EQ(line(), "V Сертификат не отозван");
    ASSERT_EQ(::chmod(options.cacheFolder.c_str(), 0777), 0);
    EXPECT_EQ(line(), "V Сертификат не отозван");
    EXPECT_EQ(server.requests("/intermediate.crl"), 2u);
}

TEST_F(Revocation, APlantedCrlInTheCacheStillNeedsTheIssuersSignature) {
    EXPECT_EQ(line(), "V Сертификат не отозван");
    const TestIdentity stranger =
        makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Тестовый подчиненный УЦ, O=Пломбарь, C=RU");
    for (const std::string& name : listFolder(options.cacheFolder))
        writeFile(options.cacheFolder + "/" + name, makeCrl(stranger));
    options.offline = true;
    EXPECT_EQ(line(), unknown("неверная подпись списка отзыва (" + leafUrl() + ")"));
}

// The same verdicts from `openssl verify -crl_check_all` with the same CRLs.
TEST_F(Revocation, OpensslAgrees) {
    TempDir dir("plombar-crl-openssl");
    writeFile(dir.file("root.pem"), pki.root.pem());
    writeFile(dir.file("intermediate.pem"), pki.intermediate.pem());
    writeFile(dir.file("leaf.pem"), pki.leaf.pem());
    writeFile(dir.file("root.der"), makeCrl(pki.root));
    for (const bool revoked : {false, true}) {
        const std::string crl = revoked ? makeCrl(pki.intermediate, {0, 0, {{&pki.leaf, kRevokedAt}}, {}})
                                        : makeCrl(pki.intermediate);
        server.serve("/intermediate.crl", crl);
        writeFile(dir.file("intermediate.der"), crl);
        std::string log;
        for (const char* name : {"root", "intermediate"})
            runOpenssl("crl -inform DER -in " + shellQuote(dir.file(std::string(name) + ".der")) + " -out " +
                       shellQuote(dir.file(std::string(name) + ".crl")));
        runOpenssl("verify -engine gost -crl_check_all -CAfile " + shellQuote(dir.file("root.pem")) +
                       " -untrusted " + shellQuote(dir.file("intermediate.pem")) + " -CRLfile " +
                       shellQuote(dir.file("root.crl")) + " -CRLfile " +
                       shellQuote(dir.file("intermediate.crl")) + " " + shellQuote(dir.file("leaf.pem")),
                   &log);
        EXPECT_EQ(log.find("certificate revoked") != std::string::npos, revoked) << log;
        EXPECT_EQ(log.find(": OK") != std::string::npos, !revoked) << log;
        options.cacheFolder = dir.file(revoked ? "cache2" : "cache1");
        EXPECT_EQ(line(), revoked ? "X Сертификат отозван 15.11.2026" : "V Сертификат не отозван");
    }
}

} // namespace
} // namespace plombar::crypto

namespace plombar::crypto {
namespace {

// The report's lines, exactly, for one signer with a chain, a revocation status and a signing time.
TEST_F(Revocation, TrustLinesOfOneSigner) {
    TrustOptions trust;
    trust.revocation = options;
    const TrustVerdict verdict =
        checkTrust(cert(pki.leaf), {cert(pki.intermediate)}, TrustAnchors{{cert(pki.root)}, {}}, trust);
    EXPECT_TRUE(verdict.trusted());
    EXPECT_EQ(
        trustLines(verdict, 1804237623), // 05.03.2027 09:07:03 UTC
        (std::vector<std::string>{"V Цепочка сертификатов построена до доверенного корневого",
                                  "V Сертификат не отозван", "Время подписи: 05.03.2027 09:07:03 UTC"}));

    // Without a trusted root the revocation of the part that was built is still checked.
    server.serve("/intermediate.crl", makeCrl(pki.intermediate, {0, 0, {{&pki.leaf, kRevokedAt}}, {}}));
    trust.revocation.cacheFolder = cache.path() + "/second";
    const TrustVerdict untrusted = checkTrust(cert(pki.leaf), {cert(pki.intermediate)}, {}, trust);
    EXPECT_FALSE(untrusted.trusted());
    EXPECT_EQ(trustLines(untrusted, std::nullopt),
              (std::vector<std::string>{
                  "X Цепочка сертификатов не построена: не найден сертификат издателя «Тестовый корневой УЦ»",
                  "X Сертификат отозван 15.11.2026"}));
}

TEST(TrustReport, LinesAsTheReportPrintsThem) {
    EXPECT_EQ(signerHeadingLine(1, 2), "Подпись 1 из 2");
    EXPECT_EQ(signerHeadingLine(12, 12), "Подпись 12 из 12");
    EXPECT_EQ(signingTimeLine(0), "Время подписи: 01.01.1970 00:00:00 UTC");
    EXPECT_EQ(signingTimeLine(4102444799), "Время подписи: 31.12.2099 23:59:59 UTC");
    RevocationStatus unknown;
    unknown.reason = "сервер недоступен (http://x/\x1b]0;\r\n)";
    EXPECT_EQ(revocationLine(unknown),
              "? Статус отзыва не проверен: сервер недоступен (http://x/\\x1B]0;\\r\\n)");
    ChainResult chain;
    chain.reason = "\u202Eтекст";
    EXPECT_EQ(chainLine(chain), "X Цепочка сертификатов не построена: \\u202Eтекст");
}

} // namespace
} // namespace plombar::crypto
