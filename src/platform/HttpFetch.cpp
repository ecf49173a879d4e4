#include "HttpFetch.h"

#include "DisplayText.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string_view>

namespace plombar {

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

void startCurl() {
    static std::once_flag once;
    // The library's own start-up, once per process (OpenSSL is already started by then or starts
    // here; curl never cleans up behind our back, so no curl_global_cleanup either).
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasScheme(std::string_view url, std::string_view scheme) {
    if (url.size() <= scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (static_cast<char>(url[i] | 0x20) != scheme[i])
            return false;
    return true;
}

struct MultiDeleter {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
using CurlMultiPtr = std::unique_ptr<CURLM, MultiDeleter>;

// An easy handle added to a multi handle, taken out again before either is cleaned up.
class MultiMember {
public:
    MultiMember(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {}
    MultiMember(const MultiMember&) = delete;
    MultiMember& operator=(const MultiMember&) = delete;
    ~MultiMember() { curl_multi_remove_handle(multi_, easy_); }

private:
    CURLM* multi_;
    CURL* easy_;
};

struct Body {
    std::string bytes;
    std::size_t limit = 0;
    bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const std::size_t n = size * count;
    if (n > body->limit - body->bytes.size()) {
        body->tooLarge = true;
        return 0; // makes curl stop with CURLE_WRITE_ERROR
    }
    body->bytes.append(data, n);
    return n;
}

// Runs the exchange on a multi handle, waking at least every kPollInterval to tell `progress` how
// many bytes came (which may raise CancelledError: the exchange is dropped on the way out).
constexpr int kPollInterval = 50; // ms
CURLcode perform(CURL* easy, const Body& body, Progress& progress) {
    const CurlMultiPtr multi(curl_multi_init());
    if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK)
        return CURLE_FAILED_INIT;
    const MultiMember member(multi.get(), easy);
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            return CURLE_FAILED_INIT;
        if (running == 0)
            break;
        progress.advance(body.bytes.size());
        if (curl_multi_poll(multi.get(), nullptr, 0, kPollInterval, nullptr) != CURLM_OK)
            return CURLE_FAILED_INIT;
    }
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &left))
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            return message->data.result;
    return CURLE_FAILED_INIT;
}

std::string reasonFor(CURLcode code, const Body& body, const HttpFetchOptions& options,
                      const std::string& url) {
    const std::string where = " (" + url + ")";
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return "истекло время ожидания ответа сервера" + where;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "не найден адрес сервера" + where;
    case CURLE_COULDNT_CONNECT:
        return "сервер недоступен" + where;
    case CURLE_TOO_MANY_REDIRECTS:
        return "слишком много перенаправлений" + where;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "перенаправление на адрес не по HTTP" + where;
    case CURLE_FILESIZE_EXCEEDED:
        return "ответ больше " + std::to_string(options.maxBytes) + " байт" + where;
    case CURLE_WRITE_ERROR:
        if (body.tooLarge)
            return "ответ больше " + std::to_string(options.maxBytes) + " байт" + where;
        break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return "сервер прервал соединение" + where;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
        return "не удалось установить защищенное соединение" + where;
    default:
        break;
    }
    return std::string("ошибка HTTP: ") + curl_easy_strerror(code) + where;
}

} // namespace

std::string displayUrl(const std::string& url) {
    constexpr std::size_t kShown = 200;
    if (url.size() <= kShown)
        return escapeForDisplay(url);
    return escapeForDisplay(std::string_view(url).substr(0, kShown)) + "…";
}

HttpFetchResult httpGet(const std::string& rawUrl, const HttpFetchOptions& options) {
    HttpFetchResult result;
    const std::string url = displayUrl(rawUrl);
    if (!hasScheme(rawUrl, "http://") && !hasScheme(rawUrl, "https://")) {
        result.failure = "адрес не по протоколу HTTP (" + url + ")";
        return result;
    }
    if (rawUrl.find('\0') != std::string::npos) {
        result.failure = "неверный адрес (" + url + ")";
        return result;
    }
    startCurl();
    CurlPtr curl(curl_easy_init());
    if (!curl) {
        result.failure = "не удалось начать запрос HTTP (" + url + ")";
        return result;
    }
    Body body;
    body.limit = options.maxBytes;
    CURL* h = curl.get();
    const long timeoutMs = static_cast<long>(options.timeout.count() > 0 ? options.timeout.count() : 1);
    bool set = curl_easy_setopt(h, CURLOPT_URL, rawUrl.c_str()) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, options.maxRedirects > 0 ? 1L : 0L) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_MAXREDIRS, options.maxRedirects) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
               // No signals: a time limit must not raise SIGALRM in a program with threads.
               curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes)) ==
                   CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_WRITEDATA, &body) == CURLE_OK &&
               curl_easy_setopt(h, CURLOPT_USERAGENT, "plombar") == CURLE_OK;
    if (!set) {
        result.failure = "не удалось начать запрос HTTP (" + url + ")";
        return result;
    }
    const CURLcode code = perform(h, body, options.progress ? *options.progress : ignoredProgress());
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    if (code != CURLE_OK) {
        result.failure = reasonFor(code, body, options, url);
        return result;
    }
    if (result.status < 200 || result.status > 299) {
        result.failure = "сервер ответил кодом " + std::to_string(result.status) + " (" + url + ")";
        return result;
    }
    result.ok = true;
    result.body = std::move(body.bytes);
    return result;
}

} // namespace plombar
