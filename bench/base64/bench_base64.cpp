// Encodes and decodes one buffer through the Base64 encoder and decoder and prints the throughput of
// each side:
//   bench-base64 [--data FILE] [--size BYTES] [--repeat N]
// Without --data the input is BYTES (default 300000000) pseudo-random bytes. The best of N runs is
// reported, in MB/s of raw data (10^6 bytes per second), so that encoding and decoding compare with
// other tools on the same figure. The input goes in as a file's bytes would, in blocks through
// copyAll; the decoded bytes are checked against the input.
// encode_mbps and decode_mbps hand the output to a sink that only counts it (as a tool writing to
// /dev/null); memory_encode_mbps and memory_decode_mbps write it into fresh memory, and so pay for
// the kernel handing out and zeroing those pages, as a tool writing a file to /dev/shm does.
#include "codec/Base64.h"
#include "platform/FileReader.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string randomData(std::size_t size) {
    std::string data(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < size; i += 8) {
        state += 0x9E3779B97F4A7C15u; // splitmix64
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        std::memcpy(data.data() + i, &z, std::min<std::size_t>(8, size - i));
    }
    return data;
}

class CountingSink final : public plombar::ByteSink {
public:
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override { count += data.size(); }
    std::uint64_t count = 0;
};

// Writes into memory taken fresh from the system, sized for the whole output.
class FreshMemorySink final : public plombar::ByteSink {
public:
    explicit FreshMemorySink(std::size_t capacity)
        : memory_(static_cast<char*>(std::malloc(capacity))), capacity_(capacity) {
        if (!memory_)
            throw std::bad_alloc();
    }
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override {
        if (data.size() > capacity_ - size_)
            throw std::length_error("output larger than expected");
        std::memcpy(memory_.get() + size_, data.data(), data.size());
        size_ += data.size();
    }
    std::string_view bytes() const { return {memory_.get(), size_}; }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> memory_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

void encode(std::string_view data, plombar::ByteSink& text) {
    plombar::MemorySource source(data);
    plombar::Base64Encoder encoder(text);
    plombar::copyAll(source, encoder);
    encoder.finish();
}

void decode(std::string_view text, plombar::ByteSink& data) {
    plombar::MemorySource source(text);
    plombar::Base64Decoder decoder(source);
    plombar::copyAll(decoder, data);
}

} // namespace

int main(int argc, char** argv) {
    std::string dataFile;
    std::size_t size = 300000000;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc)
            dataFile = argv[++i];
        else if (arg == "--size" && i + 1 < argc)
            size = static_cast<std::size_t>(std::atoll(argv[++i]));
        else if (arg == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--data FILE] [--size BYTES] [--repeat N]\n", argv[0]);
            return 2;
        }
    }
    try {
        std::string data;
        if (dataFile.empty()) {
            data = randomData(size);
        } else {
            data = plombar::readFileContent(dataFile, SIZE_MAX - 1);
        }
        const double megabytes = static_cast<double>(data.size()) / 1e6;
        const std::size_t textCapacity = (data.size() + 2) / 3 * 4 + data.size() / 57 * 2 + 2;

        double bestEncode = 1e30;
        double bestDecode = 1e30;
        double memoryEncode = 1e30;
        double memoryDecode = 1e30;
        std::size_t textSize = 0;
        bool same = true;
        for (int run = 0; run < repeat; ++run) {
            FreshMemorySink text(textCapacity);
            auto start = Clock::now();
            encode(data, text);
            memoryEncode = std::min(memoryEncode, seconds(start));
            textSize = text.bytes().size();

            FreshMemorySink decoded(data.size() + 1);
            start = Clock::now();
            decode(text.bytes(), decoded);
            memoryDecode = std::min(memoryDecode, seconds(start));
            same = same && decoded.bytes() == data;

            CountingSink counted;
            start = Clock::now();
            encode(data, counted);
            bestEncode = std::min(bestEncode, seconds(start));
            same = same && counted.count == textSize;

            CountingSink countedData;
            start = Clock::now();
            decode(text.bytes(), countedData);
            bestDecode = std::min(bestDecode, seconds(start));
            same = same && countedData.count == data.size();
        }
        std::printf("bytes=%zu text_bytes=%zu roundtrip=%s\n", data.size(), textSize,
                    same ? "ok" : "MISMATCH");
        std::printf("encode_s=%.3f encode_mbps=%.1f\n", bestEncode, megabytes / bestEncode);
        std::printf("decode_s=%.3f decode_mbps=%.1f\n", bestDecode, megabytes / bestDecode);
        std::printf("memory_encode_mbps=%.1f memory_decode_mbps=%.1f\n", megabytes / memoryEncode,
                    megabytes / memoryDecode);
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-base64: %s\n", e.what());
        return 1;
    }
}
