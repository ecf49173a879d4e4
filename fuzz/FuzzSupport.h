#pragma once

// What the fuzz targets share: checks of the functions' contracts that end the run the way a
// sanitizer report does, a reader that splits one input into fields, and a personal store "MY"
// under a temporary XDG_DATA_HOME for the whole process.

#include "platform/ByteStreams.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace plombar::fuzz {

// Prints where and why, then aborts: libFuzzer keeps the input as a crash, the replay test fails.
[[noreturn]] void failCheck(const char* condition, const char* file, int line, const std::string& detail);

#define FUZZ_CHECK(condition, detail)                                                                        \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::plombar::fuzz::failCheck(#condition, __FILE__, __LINE__, (detail));                            \
    } while (0)

// Hands out `bytes` in pieces of at most `piece` bytes (a size taken from the input), so that headers
// and segments straddle a reader's refills.
class PieceSource final : public ::plombar::ByteSource {
public:
    PieceSource(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = std::min({buffer.size(), bytes_.size(), piece_});
        std::copy_n(bytes_.data(), n, buffer.data());
        bytes_.remove_prefix(n);
        return n;
    }

private:
    std::string_view bytes_;
    std::size_t piece_;
};

// Reads fields from the front of an input. Past its end every read gives zeros or nothing, so any
// input is a valid sequence of fields.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return position_ >= size_; }
    std::uint8_t byte();
    std::uint16_t u16();                  // little-endian
    std::uint32_t u32();                  // little-endian
    std::string bytes(std::size_t count); // up to `count` bytes
    std::string rest();

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// The folder of the store "MY" under a temporary XDG_DATA_HOME, made on the first call and removed
// when the process ends normally.
const std::string& storeFolder();

// Removes everything inside `folder` (not the folder itself).
void clearFolder(const std::string& folder);

// Copies the committed store entries of fuzz/keys (certificates, key files with mode 0600) into
// the store folder.
void installFuzzKeys();

// The password of the encrypted keys of the seed corpus (make-corpus.sh uses the same).
inline constexpr std::string_view kKeyPassword = "fuzz-password";

// While it lives, LeakSanitizer does not count what the calling thread allocates (when `active`;
// a no-op in builds without the sanitizer). Only for calls into third-party code known to leak.
class LeakCheckPause {
public:
    explicit LeakCheckPause(bool active);
    LeakCheckPause(const LeakCheckPause&) = delete;
    LeakCheckPause& operator=(const LeakCheckPause&) = delete;
    ~LeakCheckPause();

private:
    bool active_;
};

// "0x80091002"
std::string codeText(std::uint32_t code);

// A failure of `what` carries one of the documented codes `allowed`; `detail` says why it failed.
void checkCode(const char* what, std::uint32_t code, std::initializer_list<std::uint32_t> allowed,
               const std::string& detail);

// With PLOMBAR_FUZZ_VERBOSE set, prints what one input came to (to see how deep the seeds reach).
void note(const std::string& outcome);

std::string hexOf(std::string_view bytes);
bool isValidUtf8(std::string_view text);

} // namespace plombar::fuzz
