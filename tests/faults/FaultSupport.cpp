#include "FaultSupport.h"

#include "TestSupport.h"
#include "platform/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plombar::faults {

namespace {

// Prepares the child's side after fork: limits, folder, environment, descriptors. Never returns
// on failure (exits with 127).
void prepareChild(const RunOptions& options, int outFd, int errFd, int passwordFd) {
    if (options.limits.addressSpace) {
        const rlimit limit{*options.limits.addressSpace, *options.limits.addressSpace};
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(127);
    }
    if (options.limits.fileSize) {
        const rlimit limit{*options.limits.fileSize, *options.limits.fileSize};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(127);
    }
    if (!options.folder.empty() && ::chdir(options.folder.c_str()) != 0)
        ::_exit(127);
    for (const std::string& entry : options.environment) {
        const auto equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    if (outFd >= 0)
        ::dup2(outFd, 1);
    if (errFd >= 0)
        ::dup2(errFd, 2);
    if (passwordFd >= 0) {
        if (passwordFd != 3) {
            ::dup2(passwordFd, 3);
            ::close(passwordFd);
        }
    }
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// A pipe holding `bytes` for the child to read, its write end closed. -1 when there is nothing.
int passwordPipe(const std::optional<std::string>& bytes) {
    if (!bytes)
        return -1;
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    if (::write(fds[1], bytes->data(), bytes->size()) != static_cast<ssize_t>(bytes->size()))
        throw std::runtime_error("pipe write failed");
    ::close(fds[1]);
    return fds[0];
}

std::string readAll(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Occurrences of the reverse of `reversedNeedle` in [data, data + size), found without ever
// holding the needle itself in order.
std::size_t countReversed(const unsigned char* data, std::size_t size, const std::string& reversedNeedle) {
    const std::size_t n = reversedNeedle.size();
    if (n == 0 || size < n)
        return 0;
    const auto first = static_cast<unsigned char>(reversedNeedle[n - 1]);
    std::size_t count = 0;
    const unsigned char* p = data;
    const unsigned char* const last = data + size - n;
    while (p <= last) {
        p = static_cast<const unsigned char*>(std::memchr(p, first, static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr)
            break;
        bool match = true;
        for (std::size_t k = 1; k < n && match; ++k)
            match = p[k] == static_cast<unsigned char>(reversedNeedle[n - 1 - k]);
        if (match)
            ++count;
        ++p;
    }
    return count;
}

struct Region {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// The writable private regions of a process: heap, stacks, anonymous and data mappings. Regions of
// a gigabyte or more are left out: they are reservations (a sanitizer's shadow memory), not data.
std::vector<Region> writableRegions(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::vector<Region> regions;
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        if (permissions.size() < 2 || permissions[0] != 'r' || permissions[1] != 'w')
            continue;
        Region region;
        region.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        region.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        if (region.end - region.start >= (std::uint64_t{1} << 30))
            continue;
        regions.push_back(region);
    }
    return regions;
}

std::vector<std::size_t> scanProcess(pid_t pid, const std::vector<std::string>& reversedNeedles) {
    std::vector<std::size_t> hits(reversedNeedles.size(), 0);
    const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        throw std::runtime_error("cannot open the process's memory");
    constexpr std::size_t kChunk = std::size_t{8} << 20;
    constexpr std::size_t kOverlap = 4096;
    // The copy lives in a mapping of its own, left out of a scan of this very process.
    void* mapping =
        ::mmap(nullptr, kChunk + kOverlap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        ::close(mem);
        throw std::runtime_error("mmap failed");
    }
    auto* buffer = static_cast<unsigned char*>(mapping);
    const auto own = reinterpret_cast<std::uint64_t>(mapping);
    for (const Region& region : writableRegions(pid)) {
        if (region.start <= own && own < region.end)
            continue;
        std::size_t carried = 0;
        for (std::uint64_t at = region.start; at < region.end;) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, region.end - at));
            const ssize_t n = ::pread(mem, buffer + carried, want, static_cast<off_t>(at));
            if (n <= 0)
                break;
            const std::size_t have = carried + static_cast<std::size_t>(n);
            for (std::size_t i = 0; i < reversedNeedles.size(); ++i) {
                // Matches wholly inside the carried part were counted with the previous chunk.
                const std::size_t n0 = reversedNeedles[i].size();
                const std::size_t from = carried >= n0 ? carried - n0 + 1 : 0;
                hits[i] += countReversed(buffer + from, have - from, reversedNeedles[i]);
            }
            carried = std::min<std::size_t>(kOverlap, have);
            std::memmove(buffer, buffer + have - carried, carried);
            at += static_cast<std::uint64_t>(n);
        }
    }
    ::munmap(mapping, kChunk + kOverlap);
    ::close(mem);
    return hits;
}

} // namespace

std::string reversed(std::string text) {
    std::reverse(text.begin(), text.end());
    return text;
}

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options) {
    ProgramRun run;
    // Pipes, not files: a file size limit given to the program must not cut its messages.
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int passwordFd = passwordPipe(options.descriptor3);
    std::vector<char*> argv = argvOf(program, arguments);
    std::fflush(nullptr);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        prepareChild(options, outPipe[1], errPipe[1], passwordFd);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (passwordFd >= 0)
        ::close(passwordFd);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    int openPipes = 2;
    while (openPipes > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        run.peakRssKiB = static_cast<std::uint64_t>(usage.ru_maxrss);
        if (WIFEXITED(status))
            run.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            run.signal = WTERMSIG(status);
    }
    return run;
}

ProgramRun runCli(const std::vector<std::string>& arguments, const RunOptions& options) {
    return runProgram(PLOMBAR_CLI_PATH, arguments, options);
}

std::optional<std::string> inPrivateTmpfs(const std::string& folder, std::uint64_t bytes,
                                          const std::function<std::string()>& body) {
    int report[2];
    if (::pipe(report) != 0)
        return std::string("pipe failed");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        std::string text;
        int code = 0;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            code = 100;
        } else {
            const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
            if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
                code = 100;
            } else {
                try {
                    text = body();
                } catch (const std::exception& e) {
                    text = std::string("exception: ") + e.what();
                } catch (...) {
                    text = "unknown exception";
                }
            }
        }
        if (!text.empty())
            (void)!::write(report[1], text.data(), text.size());
        ::_exit(code);
    }
    ::close(report[1]);
    std::string text = readAll(report[0]);
    ::close(report[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return std::string("the child was lost");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 100)
        return std::nullopt;
    if (!WIFEXITED(status))
        return "the child died by signal " + std::to_string(WTERMSIG(status)) + "; it said: " + text;
    return text;
}

void fillFileSystem(const std::string& folder, std::uint64_t leave, const std::string& name) {
    const std::string path = folder + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create the filler");
    std::vector<char> block(1 << 16, 'f');
    std::uint64_t written = 0;
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n <= 0)
            break;
        written += static_cast<std::uint64_t>(n);
    }
    // Page-sized steps down until the file system reports the room wanted.
    if (leave > 0 && ::ftruncate(fd, static_cast<off_t>(written > leave ? written - leave : 0)) != 0)
        throw std::runtime_error("cannot shrink the filler");
    ::close(fd);
}

void makeSparseFile(const std::string& path, std::uint64_t size, const std::string& start) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    if (!start.empty() && ::pwrite(fd, start.data(), start.size(), 0) != static_cast<ssize_t>(start.size()))
        throw std::runtime_error("cannot write " + path);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0)
        throw std::runtime_error("cannot size " + path);
    ::close(fd);
}

MemoryScan scanMemoryAtExit(const std::string& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& reversedNeedles, const RunOptions& options) {
    MemoryScan scan;
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int passwordFd = passwordPipe(options.descriptor3);
    std::vector<char*> argv = argvOf(program, arguments);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        prepareChild(options, devNull, devNull, passwordFd);
        // LeakSanitizer refuses to run under ptrace and would end a sanitized program with status 1.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        const std::string noLeakCheck =
            (sanitizer != nullptr && *sanitizer != '\0' ? std::string(sanitizer) + ":" : std::string()) +
            "detect_leaks=0";
        ::setenv("ASAN_OPTIONS", noLeakCheck.c_str(), 1);
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            ::_exit(126);
        ::raise(SIGSTOP);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (passwordFd >= 0)
        ::close(passwordFd);
    ::close(devNull);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        scan.error = "the child did not stop";
        return scan;
    }
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
             reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    ::ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        if (::waitpid(pid, &status, 0) != pid) {
            scan.error = "waitpid failed";
            return scan;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (scan.hits.empty())
                scan.error = "the program ended before its exit could be seen";
            scan.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return scan;
        }
        if (!WIFSTOPPED(status))
            continue;
        int resume = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            try {
                scan.hits = scanProcess(pid, reversedNeedles);
            } catch (const std::exception& e) {
                scan.error = e.what();
                scan.hits.assign(reversedNeedles.size(), 0);
            }
        } else if (WSTOPSIG(status) != SIGTRAP) {
            resume = WSTOPSIG(status); // a real signal goes on to the program
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(resume)));
    }
}

std::vector<std::size_t> scanOwnMemory(const std::vector<std::string>& reversedNeedles) {
    return scanProcess(::getpid(), reversedNeedles);
}

void writeNoise(const std::string& path, std::uint64_t size, std::uint32_t seed) {
    std::string block = test::randomBytes(1 << 20, seed);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    for (std::uint64_t done = 0, round = 0; done < size; ++round) {
        std::memcpy(block.data(), &round, sizeof round);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n))
            throw std::runtime_error("cannot write " + path);
        done += n;
    }
    ::close(fd);
}

std::uint64_t fileSizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::vector<std::string> temporaryFilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : test::listFolder(folder))
        if (isTemporarySaveName(name))
            names.push_back(name);
    return names;
}

} // namespace plombar::faults
