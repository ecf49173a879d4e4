#pragma once

#include <cstdint>
#include <string>

namespace plombar {

// Memory that the system can still give, in bytes: available RAM plus free swap, bounded by the
// process's address-space limit and its control group's memory limit. Linux overcommits, so a
// successful allocation proves nothing; growing past this figure would end in the OOM killer.
std::uint64_t availableMemory();

// Buffers may grow by this much without asking (reading /proc costs more than the allocation).
inline constexpr std::uint64_t kUncheckedMemoryGrowth = std::uint64_t{64} << 20;

// Whether `bytes` more memory can be had: always for amounts up to kUncheckedMemoryGrowth, else
// when availableMemory() covers them. Every buffer that grows with its input asks before it grows,
// and so do callers of a library that allocates on its own (a decoder copying a message's content).
bool memoryAvailableFor(std::uint64_t bytes);

// Room left under the memory limits of the control groups that `selfCgroup` (the text of
// /proc/self/cgroup) names, looked up under `root` (/sys/fs/cgroup): the v2 group's memory.max
// and the v1 memory controller's memory.limit_in_bytes, each also of every group above; UINT64_MAX
// when nothing limits.
std::uint64_t cgroupMemoryRoom(const std::string& selfCgroup, const std::string& root);

} // namespace plombar
