#pragma once

// Helpers of the fault tests: running a program as a child with limits (and measuring its peak
// memory), a small file system of its own that can be filled, and a look into a process's memory
// as it exits.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plombar::faults {

struct ChildLimits {
    std::optional<std::uint64_t> addressSpace; // RLIMIT_AS in bytes
    std::optional<std::uint64_t> fileSize;     // RLIMIT_FSIZE in bytes
};

struct ProgramRun {
    int status = -1; // exit status, or -1 when the program did not exit by itself
    int signal = 0;  // the signal that ended it, if one did
    std::string out; // what it wrote to stdout
    std::string err; // what it wrote to stderr
    std::uint64_t peakRssKiB = 0;
    double seconds = 0;
};

struct RunOptions {
    std::string folder; // working folder; empty: the test's own
    ChildLimits limits;
    std::vector<std::string> environment;   // "NAME=value" entries set on top of the test's own
    std::optional<std::string> descriptor3; // bytes the program can read from descriptor 3
};

// Runs `program` with exactly these arguments (no shell: every byte of a file name passes as it
// is), waits for it and measures its peak resident memory.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const RunOptions& options = {});

// plombar-cli with these arguments.
ProgramRun runCli(const std::vector<std::string>& arguments, const RunOptions& options = {});

// Runs `body` in a forked child that sees a tmpfs of `bytes` mounted at `folder` (which must exist),
// in a mount namespace of its own, so that nothing of it outlives the child. Returns what `body`
// returns (empty: all is well; else what went wrong), or nullopt when this machine does not let
// the test mount a file system (no root, no namespaces).
std::optional<std::string> inPrivateTmpfs(const std::string& folder, std::uint64_t bytes,
                                          const std::function<std::string()>& body);

// Takes all free space of the file system that holds `folder` but `leave` bytes, with a file named
// `name` there.
void fillFileSystem(const std::string& folder, std::uint64_t leave, const std::string& name = "filler");

// Creates (or resizes) a file of `size` bytes that takes no disk space, beginning with `start`.
void makeSparseFile(const std::string& path, std::uint64_t size, const std::string& start = {});

// Runs `program` under ptrace until it calls exit and, while its memory still exists, counts where
// each of `needles` occurs in its writable memory. The program's stdout/stderr go to /dev/null.
// Needles are passed reversed (`reversedNeedles`), so that the searching process does not hold
// them in plain form and cannot find itself. Returns the exit status and the counts.
struct MemoryScan {
    int status = -1;
    std::vector<std::size_t> hits;
    std::string error; // set when the scan could not run
};
MemoryScan scanMemoryAtExit(const std::string& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& reversedNeedles, const RunOptions& options = {});

// The same counts over the calling process's own writable memory.
std::vector<std::size_t> scanOwnMemory(const std::vector<std::string>& reversedNeedles);

std::string reversed(std::string text);

// Writes `size` bytes of noise quickly (a random mebibyte, repeated with a changing first word).
void writeNoise(const std::string& path, std::uint64_t size, std::uint32_t seed = 1);

std::uint64_t fileSizeOf(const std::string& path);

// The names in `folder` that look like the temporary files of atomic saves.
std::vector<std::string> temporaryFilesIn(const std::string& folder);

} // namespace plombar::faults
