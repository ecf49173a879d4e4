#include "AvailableMemory.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace plombar {

namespace {

std::uint64_t readMeminfoKiB(const char* key) {
    std::ifstream in("/proc/meminfo");
    std::string name;
    std::uint64_t value = 0;
    std::string unit;
    while (in >> name >> value) {
        std::getline(in, unit);
        if (name == key)
            return value;
    }
    return 0;
}

std::uint64_t processVirtualSize() {
    std::ifstream in("/proc/self/statm");
    std::uint64_t pages = 0;
    in >> pages;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// A control-group file holding one number ("max" for none); nullopt when absent or unreadable.
std::optional<std::uint64_t> readCgroupNumber(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text))
        return std::nullopt;
    if (text == "max")
        return UINT64_MAX;
    char* end = nullptr;
    const std::uint64_t value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str())
        return std::nullopt;
    return value;
}

// The smallest room (limit less usage) over the group at `path` and every group above it: a
// parent's limit binds its children too.
std::uint64_t roomAlong(const std::string& base, std::string path, const char* limitName,
                        const char* usageName) {
    // Inside a cgroup namespace the mount shows the process's own group as its root.
    if (::access((base + path).c_str(), F_OK) != 0)
        path = "/";
    // v1 writes "no limit" as the largest page-aligned counter (about 2^63).
    constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;
    std::uint64_t room = UINT64_MAX;
    for (;;) {
        const std::string folder = base + (path == "/" ? std::string() : path);
        const auto limit = readCgroupNumber(folder + "/" + limitName);
        if (limit && *limit < kNoLimit) {
            const std::uint64_t usage = readCgroupNumber(folder + "/" + usageName).value_or(0);
            room = std::min(room, *limit > usage ? *limit - usage : 0);
        }
        if (path == "/" || path.empty())
            return room;
        path.resize(path.rfind('/'));
        if (path.empty())
            path = "/";
    }
}

} // namespace

std::uint64_t cgroupMemoryRoom(const std::string& selfCgroup, const std::string& root) {
    std::istringstream lines(selfCgroup);
    std::string line;
    std::optional<std::string> unified;
    std::optional<std::string> memoryV1;
    while (std::getline(lines, line)) {
        // "hierarchy-id:controller,list:path"; the unified hierarchy has id 0 and no controllers.
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers == ",,")
            unified = path;
        else if (controllers.find(",memory,") != std::string::npos)
            memoryV1 = path;
    }
    std::uint64_t room = UINT64_MAX;
    if (memoryV1)
        room = std::min(
            room, roomAlong(root + "/memory", *memoryV1, "memory.limit_in_bytes", "memory.usage_in_bytes"));
    if (unified)
        room = std::min(room, roomAlong(root, *unified, "memory.max", "memory.current"));
    return room;
}

namespace {

// Room left under the memory limit of the process's control group (v2 memory.max, v1
// memory.limit_in_bytes), if it lives in a limited one.
std::uint64_t cgroupRoom() {
    std::ifstream self("/proc/self/cgroup");
    std::stringstream text;
    text << self.rdbuf();
    return cgroupMemoryRoom(text.str(), "/sys/fs/cgroup");
}

} // namespace

std::uint64_t availableMemory() {
    std::uint64_t available = (readMeminfoKiB("MemAvailable:") + readMeminfoKiB("SwapFree:")) * 1024;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = processVirtualSize();
        available = std::min<std::uint64_t>(available, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
    }
    return std::min(available, cgroupRoom());
}

bool memoryAvailableFor(std::uint64_t bytes) {
    return bytes <= kUncheckedMemoryGrowth || bytes <= availableMemory();
}

} // namespace plombar
