#include "ByteStreams.h"

#include "Errors.h"
#include "Progress.h"

#include <algorithm>
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

std::string readAll(ByteSource& source, std::size_t limit) {
    std::string bytes;
    std::uint8_t block[8192];
    while (const std::size_t n = source.read(block)) {
        if (n > limit - bytes.size())
            throw OutOfMemoryError();
        bytes.append(reinterpret_cast<const char*>(block), n);
    }
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
