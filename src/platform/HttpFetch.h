#pragma once

// Fetching one small document over HTTP (a certificate revocation list, an issuer's certificate):
// a GET with a total time limit and a size limit, never a hang and never an unbounded download.

#include "platform/Progress.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace plombar {

struct HttpFetchOptions {
    // The whole exchange (name lookup, connection, redirects, the body) ends within this time.
    std::chrono::milliseconds timeout{5000};
    // A body longer than this is refused, whatever the server announced.
    std::size_t maxBytes = std::size_t{16} << 20;
    // Redirects followed, each to http or https only (never file://, ftp:// or the like).
    long maxRedirects = 3;
    // Hears the bytes received so far at least every 50 ms while the exchange lasts (also while it
    // waits for a server), so that a window can repaint and its "Отмена" can stop the exchange: a
    // CancelledError it raises ends the exchange and leaves httpGet. Null: nobody listens.
    Progress* progress = nullptr;
};

struct HttpFetchResult {
    bool ok = false;
    long status = 0;  // the last HTTP status, 0 when no answer came
    std::string body; // the body of a 2xx answer
    std::string failure; // why not, in Russian, for the report ("истекло время ожидания ответа от …")
};

// An address as the messages show it: escaped for display (escapeForDisplay), and cut after 200
// bytes with "…", so that a certificate naming an address of megabytes cannot flood a report.
std::string displayUrl(const std::string& url);

// GETs `url` (http:// or https:// only; anything else fails without a connection). Never raises
// for what the network or the server does (only what options.progress raises passes through); the
// failure text names the URL as displayUrl shows it.
// Proxies set in the environment (http_proxy, no_proxy) apply as in every command-line tool.
HttpFetchResult httpGet(const std::string& url, const HttpFetchOptions& options = {});

} // namespace plombar
