#include "SevenZipTestSupport.h"

#include "TestSupport.h"
#include "platform/Errors.h"

#include <dlfcn.h>
#include <random>
#include <sstream>
#include <stdexcept>

namespace plombar::test {

int run7z(const std::string& arguments, std::string* output) {
    return runCommand("7z " + arguments + " </dev/null 2>&1", output);
}

namespace {

std::vector<std::map<std::string, std::string>> sltBlocks(const std::string& archive,
                                                          const std::string& extra) {
    std::string text;
    if (run7z("l -slt " + extra + " " + shellQuote(archive), &text) != 0)
        throw std::runtime_error("7z l failed:\n" + text);
    std::vector<std::map<std::string, std::string>> blocks;
    std::istringstream in(text);
    std::string line;
    bool started = false;
    std::map<std::string, std::string> current;
    const auto flush = [&] {
        if (!current.empty())
            blocks.push_back(std::move(current));
        current.clear();
    };
    while (std::getline(in, line)) {
        if (line == "--" || line == "----------") {
            flush();
            started = true;
            continue;
        }
        if (!started)
            continue;
        if (line.empty()) {
            flush();
            continue;
        }
        const auto eq = line.find(" = ");
        if (eq != std::string::npos)
            current[line.substr(0, eq)] = line.substr(eq + 3);
        else if (!line.empty() && line.back() == '=')
            current[line.substr(0, line.size() - 2)] = "";
    }
    flush();
    return blocks;
}

} // namespace

std::vector<std::map<std::string, std::string>> listArchive(const std::string& archive,
                                                            const std::string& extraArguments) {
    auto blocks = sltBlocks(archive, extraArguments);
    // The first block after "--" describes the archive itself.
    if (!blocks.empty() && blocks.front().count("Type") != 0)
        blocks.erase(blocks.begin());
    return blocks;
}

std::map<std::string, std::string> archiveProperties(const std::string& archive) {
    for (auto& block : sltBlocks(archive, ""))
        if (block.count("Type") != 0)
            return block;
    return {};
}

bool libraryLoaded(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    ::dlclose(handle);
    return true;
}

sevenzip::GUID parseGuid(const std::string& text) {
    std::string hex;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex += c;
    if (hex.size() != 32)
        throw std::runtime_error("bad GUID " + text);
    const auto field = [&](std::size_t at, std::size_t digits) {
        return std::stoull(hex.substr(at, digits), nullptr, 16);
    };
    sevenzip::GUID guid{};
    guid.Data1 = static_cast<std::uint32_t>(field(0, 8));
    guid.Data2 = static_cast<std::uint16_t>(field(8, 4));
    guid.Data3 = static_cast<std::uint16_t>(field(12, 4));
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<std::uint8_t>(field(16 + 2 * static_cast<std::size_t>(i), 2));
    return guid;
}

TrackingStream::TrackingStream(const std::string& content, bool* destroyed)
    : MemoryStream(content), destroyed_(destroyed) {
    *destroyed_ = false;
}

TrackingStream::~TrackingStream() {
    *destroyed_ = true;
}

std::size_t ThrowingStream::read(std::span<std::uint8_t>) {
    throw StreamError("read refused");
}
void ThrowingStream::write(std::span<const std::uint8_t>) {
    throw OutOfMemoryError();
}
std::uint64_t ThrowingStream::seek(std::int64_t, SeekFrom) {
    throw StreamError("seek refused");
}
std::uint64_t ThrowingStream::size() {
    throw StreamError("size refused");
}
void ThrowingStream::setSize(std::uint64_t) {
    throw StreamError("resize refused");
}

std::string wordText(std::size_t size, std::uint32_t seed) {
    static const char* const kWords[] = {"подпись", "archive", "signature", "ГОСТ",   "file",   "certificate",
                                         "ключ",    "stream",  "block",     "данные", "report", "office"};
    std::mt19937 engine(seed);
    std::string text;
    text.reserve(size + 32);
    while (text.size() < size) {
        text += kWords[engine() % std::size(kWords)];
        text += (engine() % 11 == 0) ? "\n" : " ";
    }
    text.resize(size);
    return text;
}

} // namespace plombar::test
