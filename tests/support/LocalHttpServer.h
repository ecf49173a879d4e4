#pragma once

// A small HTTP/1.0 server for tests that fetch: bound to 127.0.0.1 on a free port, serving the
// answers it is given from a thread of its own, so that no test needs the network. It can also
// be told to hang (accept and never answer) or to close every connection at once.

#include "platform/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plombar::test {

class LocalHttpServer {
public:
    struct Answer {
        int status = 200;
        std::string body;
        std::vector<std::string> headers; // extra header lines ("Location: file:///etc/passwd")
    };
    enum class Mode { Serve, Hang, Close };

    LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;
    ~LocalHttpServer(); // stops the thread and drops every connection

    int port() const noexcept { return port_; }
    // "http://127.0.0.1:<port><path>".
    std::string url(const std::string& path) const;

    // What a GET of `path` answers from now on (any other path: 404).
    void serve(const std::string& path, Answer answer);
    void serve(const std::string& path, std::string body) { serve(path, Answer{200, std::move(body), {}}); }
    void setMode(Mode mode);

    // The number of requests for `path` so far (answered ones), and of connections accepted in all.
    std::size_t requests(const std::string& path) const;
    std::size_t connections() const;

private:
    void run();
    void handle(UniqueFd connection);

    UniqueFd listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::map<std::string, std::size_t> counts_;
    std::size_t connections_ = 0;
    Mode mode_ = Mode::Serve;
    std::vector<UniqueFd> held_; // connections a hanging server keeps open
    std::thread thread_;
};

// A port on 127.0.0.1 that is bound but never listens, for as long as the object lives: every
// connection to it is refused at once, and no other server can take the port meanwhile.
class RefusingPort {
public:
    RefusingPort();
    std::string url(const std::string& path) const;

private:
    UniqueFd socket_;
    int port_ = 0;
};

} // namespace plombar::test
