#include "LocalHttpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace plombar::test {

namespace {

// A TCP socket bound to 127.0.0.1 on a free port; returns the port.
int bindLoopback(const UniqueFd& socket) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // a free port
    socklen_t length = sizeof address;
    if (!socket || ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a socket on 127.0.0.1");
    return ntohs(address.sin_port);
}

void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return; // the client went away
        }
        sent += static_cast<std::size_t>(n);
    }
}

const char* statusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

LocalHttpServer::LocalHttpServer() {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int pipeFds[2];
    if (!listener_ || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("LocalHttpServer: no socket");
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);
    port_ = bindLoopback(listener_);
    if (::listen(listener_.get(), 16) != 0)
        throw std::runtime_error("LocalHttpServer: cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { run(); });
}

LocalHttpServer::~LocalHttpServer() {
    const char stop = 'x';
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.get(), &stop, 1);
    thread_.join();
}

std::string LocalHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalHttpServer::serve(const std::string& path, Answer answer) {
    const std::lock_guard lock(mutex_);
    answers_[path] = std::move(answer);
}

void LocalHttpServer::setMode(Mode mode) {
    const std::lock_guard lock(mutex_);
    mode_ = mode;
}

std::size_t LocalHttpServer::requests(const std::string& path) const {
    const std::lock_guard lock(mutex_);
    const auto it = counts_.find(path);
    return it == counts_.end() ? 0 : it->second;
}

std::size_t LocalHttpServer::connections() const {
    const std::lock_guard lock(mutex_);
    return connections_;
}

void LocalHttpServer::run() {
    for (;;) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return; // told to stop; held connections close with the object
        if (fds[0].revents & POLLIN) {
            UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection)
                handle(std::move(connection));
        }
    }
}

void LocalHttpServer::handle(UniqueFd connection) {
    Mode mode;
    {
        const std::lock_guard lock(mutex_);
        mode = mode_;
        ++connections_;
    }
    if (mode == Mode::Close)
        return; // closed unread
    if (mode == Mode::Hang) {
        held_.push_back(std::move(connection));
        return;
    }
    // The request head, up to the blank line (or 64 KiB, or 2 s of silence).
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd fd{connection.get(), POLLIN, 0};
        if (::poll(&fd, 1, 2000) <= 0)
            return;
        char buffer[4096];
        const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET /path HTTP/1.1"
    const std::size_t start = request.find(' ');
    const std::size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    const std::string path =
        end == std::string::npos ? std::string() : request.substr(start + 1, end - start - 1);
    Answer answer{404, "not found", {}};
    {
        const std::lock_guard lock(mutex_);
        ++counts_[path];
        if (const auto it = answers_.find(path); it != answers_.end())
            answer = it->second;
    }
    std::string head = "HTTP/1.0 " + std::to_string(answer.status) + " " + statusText(answer.status) +
                       "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                       "\r\nConnection: close\r\n";
    for (const auto& line : answer.headers)
        head += line + "\r\n";
    sendAll(connection.get(), head + "\r\n");
    sendAll(connection.get(), answer.body);
}

RefusingPort::RefusingPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    port_ = bindLoopback(socket_);
}

std::string RefusingPort::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

} // namespace plombar::test
