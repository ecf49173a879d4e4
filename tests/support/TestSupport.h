#pragma once

// Helpers shared by the test suites (no test framework and no Qt here, so every suite can use them).

#include "platform/ByteStreams.h"
#include "platform/Stream.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plombar::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "plombar-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
std::vector<std::string> listFolder(const std::string& path); // bare names, sorted, without . and ..
std::string randomBytes(std::size_t count, std::uint32_t seed = 1);

// Runs `body` in a forked child that has dropped root rights to "nobody" (when running as root), so
// that permission bits really apply. Returns the child's exit code (body's result), or -1 when the
// child died. Folders the child must touch need to be reachable by nobody (see makeWorldAccessible).
int runUnprivileged(const std::function<int()>& body);
// The same without dropping rights: for limits (RLIMIT_*) that must not touch the test process.
int runInChild(const std::function<int()>& body);
bool runningAsRoot();
void makeWorldAccessible(const std::string& path); // chmod 0777 on the folder

// What a full disk answers: "Cannot create file "/media/full/out". There is not enough space on
// the disk" (in the locale's language).
[[noreturn]] void raiseDiskFull();

// A memory stream that takes only `limit` bytes in all and then raises the full disk's error; the
// bytes it took stay.
class FailingStream : public MemoryStream {
public:
    explicit FailingStream(std::uint64_t limit) : limit_(limit) {}
    using MemoryStream::write;
    void write(std::span<const std::uint8_t> data) override;

private:
    std::uint64_t limit_;
    std::uint64_t written_ = 0;
};

// The same as a sink; bytes() holds what it took.
class FailingSink : public ByteSink {
public:
    explicit FailingSink(std::size_t limit) : limit_(limit) {}
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override;
    const std::string& bytes() const noexcept { return taken_; }

private:
    std::size_t limit_;
    std::string taken_;
};

// A Unix socket bound at `path` (the name shows in the folder as a socket file) while it lives.
UniqueFd bindUnixSocket(const std::string& path);

// Runs a command through /bin/sh, returning its exit status (-1 when it could not run) and, when
// `output` is given, what it wrote to stdout.
int runCommand(const std::string& command, std::string* output = nullptr);
// Quotes one argument for /bin/sh.
std::string shellQuote(const std::string& text);

} // namespace plombar::test
