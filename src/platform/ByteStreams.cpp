#include "ByteStreams.h"

#include "AvailableMemory.h"
#include "Errors.h"
#include "Progress.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace plombar {

std::size_t MemorySource::read(std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min(buffer.size(), bytes_.size());
    if (n > 0)
        std::memcpy(buffer.data(), bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
}

void MemorySink::write(std::span<const std::uint8_t> data) {
    bytes_.append(reinterpret_cast<const char*>(data.data()), data.size());
}

std::uint64_t copyAll(ByteSource& source, ByteSink& sink) {
    std::vector<std::uint8_t> block(std::size_t{1} << 16);
    std::uint64_t copied = 0;
    while (const std::size_t n = source.read(block)) {
        sink.write(std::span(block.data(), n));
        copied += n;
    }
    return copied;
}

std::string readAll(ByteSource& source, std::size_t limit, std::size_t expectedSize) {
    if (expectedSize > limit)
        throw OutOfMemoryError();
    // One byte more than expected, so that the end is seen without growing.
    std::size_t room = std::max<std::size_t>(expectedSize + 1, 8192);
    std::string bytes;
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (done > 0)
                room = done > SIZE_MAX / 2 ? SIZE_MAX : done * 2;
            room = std::min(room, limit == SIZE_MAX ? limit : limit + 1);
            if (room <= done || !memoryAvailableFor(room - done))
                throw OutOfMemoryError();
            bytes.resize(room);
        }
        const std::size_t n =
            source.read(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()) + done, bytes.size() - done));
        if (n == 0)
            break;
        done += n;
        if (done > limit)
            throw OutOfMemoryError();
    }
    bytes.resize(done);
    return bytes;
}

namespace {
class IgnoredProgress final : public Progress {
public:
    void beginStage(std::string_view, std::uint64_t) override {}
    void advance(std::uint64_t) override {}
};
} // namespace

Progress& ignoredProgress() noexcept {
    static IgnoredProgress progress;
    return progress;
}

} // namespace plombar
