#include "FuzzSupport.h"

#include "TestPki.h"

#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLOMBAR_FUZZ_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PLOMBAR_FUZZ_LSAN 1
#endif
#ifdef PLOMBAR_FUZZ_LSAN
#include <sanitizer/lsan_interface.h>
#endif
#include <filesystem>
#include <sys/stat.h>

namespace plombar::fuzz {

void failCheck(const char* condition, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "\n==FUZZ CHECK FAILED== %s:%d: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::uint8_t InputReader::byte() {
    return position_ < size_ ? data_[position_++] : 0;
}

std::uint16_t InputReader::u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
}

std::uint32_t InputReader::u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
}

std::string InputReader::bytes(std::size_t count) {
    const std::size_t take = std::min(count, size_ - std::min(position_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + position_), take);
    position_ += take;
    return out;
}

std::string InputReader::rest() {
    return bytes(size_);
}

const std::string& storeFolder() {
    // Destroyed at exit after every input has released its store objects; it holds no OpenSSL object.
    static test::TestStore store;
    static const std::string folder = store.folder();
    return folder;
}

void clearFolder(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

void installFuzzKeys() {
    const std::filesystem::path source = std::filesystem::path(PLOMBAR_FUZZ_DIR) / "keys";
    const std::string& target = storeFolder();
    std::error_code ec;
    int copied = 0;
    for (const auto& entry : std::filesystem::directory_iterator(source, ec)) {
        const std::filesystem::path to = std::filesystem::path(target) / entry.path().filename();
        std::filesystem::copy_file(entry.path(), to, std::filesystem::copy_options::overwrite_existing, ec);
        FUZZ_CHECK(!ec, "cannot copy " + entry.path().string() + ": " + ec.message());
        // Key files that others may read are refused by the store.
        ::chmod(to.c_str(), 0600);
        ++copied;
    }
    FUZZ_CHECK(copied > 0, "no store entries in " + source.string() + " (run fuzz/make-corpus.sh)");
}

LeakCheckPause::LeakCheckPause(bool active) : active_(active) {
#ifdef PLOMBAR_FUZZ_LSAN
    if (active_)
        __lsan_disable();
#endif
}

LeakCheckPause::~LeakCheckPause() {
#ifdef PLOMBAR_FUZZ_LSAN
    if (active_)
        __lsan_enable();
#endif
}

std::string codeText(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

void checkCode(const char* what, std::uint32_t code, std::initializer_list<std::uint32_t> allowed,
               const std::string& detail) {
    for (std::uint32_t a : allowed)
        if (a == code)
            return;
    failCheck("the failure carries one of the documented codes", __FILE__, __LINE__,
              std::string(what) + " failed with " + codeText(code) + " (" + detail + ")");
}

void note(const std::string& outcome) {
    static const bool verbose = std::getenv("PLOMBAR_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "  -> %s\n", outcome.c_str());
}

std::string hexOf(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (char c : bytes) {
        text += kHex[static_cast<unsigned char>(c) >> 4];
        text += kHex[static_cast<unsigned char>(c) & 0xF];
    }
    return text;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace plombar::fuzz
