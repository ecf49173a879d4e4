// Encodes and decodes one buffer between memory streams and prints the throughput of each side:
//   bench-base64 [--data FILE] [--size BYTES] [--repeat N]
// Without --data the input is BYTES (default 300000000) pseudo-random bytes. The best of N runs is
// reported, in MB/s of raw data (10^6 bytes per second), so that encoding and decoding compare with
// other tools on the same figure. The decoded bytes are checked against the input.
// Each run writes into a fresh memory stream, as the program does, and so pays for the kernel handing
// out and zeroing the output's pages; the "warm" figures write over a stream that already holds those
// pages and show the codec's own speed.
#include "codec/Base64.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

void fillRandom(plombar::TMemoryStream& stream, std::int64_t size) {
    stream.SetSize(size);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    std::uint8_t* p = stream.Memory();
    for (std::int64_t i = 0; i < size; i += 8) {
        state += 0x9E3779B97F4A7C15u; // splitmix64
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        std::memcpy(p + i, &z, static_cast<std::size_t>(std::min<std::int64_t>(8, size - i)));
    }
}

double seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string dataFile;
    std::int64_t size = 300000000;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc)
            dataFile = argv[++i];
        else if (arg == "--size" && i + 1 < argc)
            size = std::atoll(argv[++i]);
        else if (arg == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--data FILE] [--size BYTES] [--repeat N]\n", argv[0]);
            return 2;
        }
    }
    try {
        plombar::TMemoryStream data;
        if (dataFile.empty())
            fillRandom(data, size);
        else
            data.LoadFromFile(dataFile);
        const double megabytes = static_cast<double>(data.Size()) / 1e6;

        double bestEncode = 1e30;
        double bestDecode = 1e30;
        double warmEncode = 1e30;
        double warmDecode = 1e30;
        std::int64_t textSize = 0;
        bool same = true;
        for (int run = 0; run < repeat; ++run) {
            plombar::TMemoryStream text;
            data.SetPosition(0);
            auto start = Clock::now();
            plombar::Base64EncodeStream(data, text);
            bestEncode = std::min(bestEncode, seconds(start));
            textSize = text.Size();

            plombar::TMemoryStream decoded;
            text.SetPosition(0);
            start = Clock::now();
            plombar::Base64DecodeStream(text, decoded);
            bestDecode = std::min(bestDecode, seconds(start));
            same = same && decoded.Size() == data.Size() &&
                   std::memcmp(decoded.Memory(), data.Memory(), static_cast<std::size_t>(data.Size())) == 0;

            data.SetPosition(0);
            text.SetPosition(0);
            start = Clock::now();
            plombar::Base64EncodeStream(data, text);
            warmEncode = std::min(warmEncode, seconds(start));
            text.SetPosition(0);
            decoded.SetPosition(0);
            start = Clock::now();
            plombar::Base64DecodeStream(text, decoded);
            warmDecode = std::min(warmDecode, seconds(start));
        }
        std::printf("bytes=%lld text_bytes=%lld roundtrip=%s\n", static_cast<long long>(data.Size()),
                    static_cast<long long>(textSize), same ? "ok" : "MISMATCH");
        std::printf("encode_s=%.3f encode_mbps=%.1f\n", bestEncode, megabytes / bestEncode);
        std::printf("decode_s=%.3f decode_mbps=%.1f\n", bestDecode, megabytes / bestDecode);
        std::printf("warm_encode_mbps=%.1f warm_decode_mbps=%.1f\n", megabytes / warmEncode,
                    megabytes / warmDecode);
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-base64: %s\n", e.what());
        return 1;
    }
}
