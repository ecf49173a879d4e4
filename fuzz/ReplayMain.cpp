// Replays inputs through a fuzz target without libFuzzer: every file named on the command line, and
// every file inside every folder named there, in name order. Each input is copied into a buffer of
// exactly its size, so that a read past its end is seen by AddressSanitizer as it would be by the
// fuzzer. A target's failed check or a sanitizer report ends the run; an empty corpus fails too.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
    } else if (std::filesystem::is_regular_file(argument)) {
        inputs.push_back(argument);
    } else {
        std::fprintf(stderr, "no such input or folder: %s\n", argument.c_str());
    }
    return inputs;
}

bool replay(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // An empty input still gets a buffer of its own, so that nothing can be read from it unseen.
    const std::size_t size = bytes.size();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size == 0 ? 1 : size]);
    std::copy(bytes.begin(), bytes.end(), buffer.get());
    std::printf("replay %s (%zu bytes)\n", path.c_str(), size);
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(buffer.get(), size);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    bool ok = argc > 1;
    for (int i = 1; i < argc; ++i) {
        const auto inputs = inputsOf(argv[i]);
        ok = ok && !inputs.empty();
        for (const auto& input : inputs) {
            ok = replay(input) && ok;
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    if (!ok)
        std::fprintf(stderr, "usage: %s INPUT-OR-FOLDER...  (every folder must hold inputs)\n", argv[0]);
    return ok ? 0 : 1;
}
