// Packs files into a 7z archive through Plombar's writer, as the signing page packs a signed pair:
// bare names, level 5, BZip2.
//   bench-pack ARCHIVE FILE...          write the archive
//   bench-pack --text FILE BYTES        write BYTES of compressible text (pseudo-random words)
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "sevenzip/ArchiveWriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

namespace {

int writeText(const char* path, unsigned long long bytes) {
    static const char* const kWords[] = {"подпись",  "архив",  "signature", "ГОСТ",   "file",   "certificate",
                                         "ключ",     "stream", "block",     "данные", "report", "office",
                                         "Пломбарь", "7z",     "BZip2",     "level",  "pair",   "document"};
    std::mt19937 engine(12345);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk;
    unsigned long long written = 0;
    while (written < bytes) {
        chunk.clear();
        while (chunk.size() < (1u << 20)) {
            chunk += kWords[engine() % std::size(kWords)];
            chunk += (engine() % 13 == 0) ? "\n" : " ";
        }
        const auto n = static_cast<std::size_t>(std::min<unsigned long long>(chunk.size(), bytes - written));
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        written += n;
    }
    return out ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--text") == 0)
        return writeText(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE FILE... | --text FILE BYTES\n", argv[0]);
        return 2;
    }
    using namespace plombar;
    using namespace plombar::sevenzip;
    try {
        auto writer = createArchiveWriter(kClassId7zFormat, kLibraryFileName);
        for (int i = 2; i < argc; ++i)
            writer->addFile(argv[i], utf8ToUtf16(fileNameOf(argv[i])));
        setLevelProperty(*writer, 5);
        setMethodProperty(*writer, 2);
        writer->saveToFile(argv[1]);
    } catch (const Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
