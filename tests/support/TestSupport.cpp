#include "TestSupport.h"

#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plombar::test {

TempDir::TempDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Give back write rights a test may have taken away, so that everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

UniqueFd bindUnixSocket(const std::string& path) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!socket || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make a socket at " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind a socket at " + path);
    return socket;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::string bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(engine() & 0xFF);
    return bytes;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

void makeWorldAccessible(const std::string& path) {
    ::chmod(path.c_str(), 0777);
}

namespace {
int runForked(const std::function<int()>& body, bool dropRoot) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (dropRoot && ::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
            const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(120);
        }
        int result = 121;
        try {
            result = body();
        } catch (...) {
            result = 122;
        }
        ::_exit(result);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
} // namespace

int runUnprivileged(const std::function<int()>& body) {
    return runForked(body, true);
}
int runInChild(const std::function<int()>& body) {
    return runForked(body, false);
}

void raiseDiskFull() {
    throw FileCreateError("/media/full/out", winerr::ERROR_DISK_FULL);
}

void FailingStream::write(std::span<const std::uint8_t> data) {
    const std::size_t allowed =
        static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), limit_ - written_));
    written_ += allowed;
    MemoryStream::write(data.first(allowed));
    if (allowed < data.size())
        raiseDiskFull();
}

void FailingSink::write(std::span<const std::uint8_t> data) {
    const std::size_t allowed = std::min(data.size(), limit_ - taken_.size());
    taken_.append(reinterpret_cast<const char*>(data.data()), allowed);
    if (allowed < data.size())
        raiseDiskFull();
}

int runCommand(const std::string& command, std::string* output) {
    std::fflush(nullptr);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::array<char, 65536> buffer{};
    std::string text;
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        text.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    if (output != nullptr)
        *output = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace plombar::test
