// Runs one command and prints its wall time and peak resident memory, so that benchmark scripts can
// compare Plombar with reference tools in the same run:
//   plombar-measure LABEL -- command args...
// prints "LABEL wall_s=1.234 maxrss_mib=123.4 exit=0".
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: %s LABEL -- command [args...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        ::execvp(argv[3], argv + 3);
        std::perror(argv[3]);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return 2;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%s wall_s=%.3f maxrss_mib=%.1f exit=%d\n", argv[1], wall,
                static_cast<double>(usage.ru_maxrss) / 1024.0, code);
    return code;
}
