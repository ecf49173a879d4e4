// Fetching over HTTP from a local server: bodies, refusals and every way a server can fail, each
// ending in a failure text (never a hang, never a body that is not the answer).

#include "LocalHttpServer.h"
#include "platform/HttpFetch.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace plombar {
namespace {

using test::LocalHttpServer;
using namespace std::chrono_literals;

class HttpFetchTest : public ::testing::Test {
protected:
    // A proxy in the tester's environment must not take the local server's requests.
    HttpFetchTest() { ::setenv("no_proxy", "127.0.0.1", 1); }
    LocalHttpServer server;
};

TEST_F(HttpFetchTest, ReturnsTheBodyExactly) {
    std::string bytes("\x30\x82\x00\x00\r\n\0tail", 11);
    server.serve("/a.crl", bytes);
    const HttpFetchResult result = httpGet(server.url("/a.crl"));
    ASSERT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, bytes);
    EXPECT_EQ(server.requests("/a.crl"), 1u);
}

TEST_F(HttpFetchTest, FollowsARedirectWithinHttp) {
    server.serve("/old", {302, "", {"Location: " + server.url("/new")}});
    server.serve("/new", "moved here");
    const HttpFetchResult result = httpGet(server.url("/old"));
    ASSERT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(result.body, "moved here");
}

struct FailureCase {
    const char* name;
    LocalHttpServer::Mode mode;
    LocalHttpServer::Answer answer; // served at /x
    std::size_t maxBytes;
    const char* failure; // the text before " (<url>)"
};

class HttpFetchFailure : public HttpFetchTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HttpFetchFailure, SaysWhyAndReturnsNoBody) {
    const FailureCase& c = GetParam();
    server.setMode(c.mode);
    LocalHttpServer::Answer answer = c.answer;
    for (auto& header : answer.headers) // "{url}" stands for the server's own address
        if (const auto at = header.find("{url}"); at != std::string::npos)
            header.replace(at, 5, server.url(""));
    server.serve("/x", answer);
    HttpFetchOptions options;
    options.timeout = 400ms;
    options.maxBytes = c.maxBytes;
    const HttpFetchResult result = httpGet(server.url("/x"), options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.body, "");
    EXPECT_EQ(result.failure, std::string(c.failure) + " (" + server.url("/x") + ")");
}

using Mode = LocalHttpServer::Mode;
INSTANTIATE_TEST_SUITE_P(
    Table, HttpFetchFailure,
    ::testing::Values(
        FailureCase{"NotFound", Mode::Serve, {404, "nothing", {}}, 1000, "сервер ответил кодом 404"},
        FailureCase{"ServerError", Mode::Serve, {500, "", {}}, 1000, "сервер ответил кодом 500"},
        FailureCase{"ClosedAtOnce", Mode::Close, {}, 1000, "сервер прервал соединение"},
        FailureCase{"Hangs", Mode::Hang, {}, 1000, "истекло время ожидания ответа сервера"},
        FailureCase{
            "TooLarge", Mode::Serve, {200, std::string(1001, 'x'), {}}, 1000, "ответ больше 1000 байт"},
        FailureCase{"RedirectToFile",
                    Mode::Serve,
                    {302, "", {"Location: file:///etc/passwd"}},
                    1000,
                    "перенаправление на адрес не по HTTP"},
        FailureCase{"RedirectLoop",
                    Mode::Serve,
                    {302, "", {"Location: {url}/x"}},
                    1000,
                    "слишком много перенаправлений"}),
    [](const auto& row) { return std::string(row.param.name); });

// Counts what it hears and presses "Отмена" at its `cancelAt`-th call.
class CountingProgress final : public Progress {
public:
    explicit CountingProgress(int cancelAt) : cancelAt_(cancelAt) {}
    void beginStage(std::string_view, std::uint64_t) override {}
    void advance(std::uint64_t) override {
        if (++calls == cancelAt_)
            throw CancelledError();
    }
    int calls = 0;

private:
    int cancelAt_;
};

// The window repaints and can cancel while a server keeps it waiting: the progress hears the wait
// (not only the body), and its cancel ends the exchange long before the time limit would.
TEST_F(HttpFetchTest, ProgressHearsTheWaitAndItsCancelEndsTheExchange) {
    server.setMode(LocalHttpServer::Mode::Hang);
    CountingProgress progress(3);
    HttpFetchOptions options;
    options.timeout = 30s;
    options.progress = &progress;
    EXPECT_THROW(httpGet(server.url("/x"), options), CancelledError);
    EXPECT_EQ(progress.calls, 3);
}

TEST_F(HttpFetchTest, NobodyListeningFailsAtOnce) {
    const test::RefusingPort nobody;
    const std::string url = nobody.url("/x.crl");
    const HttpFetchResult result = httpGet(url);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, "сервер недоступен (" + url + ")");
}

TEST(HttpFetch, RefusesOtherSchemesWithoutConnecting) {
    for (const char* url :
         {"file:///etc/passwd", "ftp://127.0.0.1/x", "ldap://ca.example/cn=x", "", "http:/"}) {
        const HttpFetchResult result = httpGet(url);
        EXPECT_FALSE(result.ok) << url;
        EXPECT_EQ(result.failure, std::string("адрес не по протоколу HTTP (") + url + ")");
    }
}

TEST(HttpFetch, ShowsTheAddressEscapedAndShort) {
    EXPECT_EQ(httpGet("gopher://x/\x1b[2J\n").failure, "адрес не по протоколу HTTP (gopher://x/\\x1B[2J\\n)");
    const std::string huge = "ldap://" + std::string(1 << 20, 'a');
    EXPECT_EQ(httpGet(huge).failure, "адрес не по протоколу HTTP (" + huge.substr(0, 200) + "…)");
}

} // namespace
} // namespace plombar
