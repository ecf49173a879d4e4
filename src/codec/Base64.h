#pragma once

// Base64 (RFC 4648 alphabet, "=" padding) as the signature files use it, over byte streams: the
// encoder is a sink that writes text into another sink, the decoder a source that reads text from
// another source. Either works in memory of its own that does not grow with the data.

#include "platform/ByteStreams.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plombar {

// Writes the Base64 text of everything written to it into `text`: lines of exactly 76 characters,
// each full line followed by CR LF, no break after a shorter last line, the last group padded with
// "=". The text is the same however the data is cut into writes. finish() encodes the last one or
// two bytes and hands the rest of the text over; without it the text is incomplete. Errors of
// `text` pass through; what it took before stays taken.
class Base64Encoder final : public ByteSink {
public:
    explicit Base64Encoder(ByteSink& text);

    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override;
    void finish();

private:
    void flushText();

    ByteSink& text_;
    std::array<std::uint8_t, 3> pending_{}; // bytes of a group not yet complete
    std::size_t pendingCount_ = 0;
    int lineChars_ = 0; // characters on the open line
    std::vector<char> buffer_;
    std::size_t buffered_ = 0;
};

// Reads the data of the Base64 text that `text` gives. Decoding is tolerant, as the program has
// always read signature files: every byte outside the alphabet and "=" is dropped wherever it
// stands (line breaks, blanks, armour dashes, NULs); the characters left are taken in groups of
// four, and a "=" shortens only its own group, so Base64 texts written one after another decode
// one after another. The odd rules for misplaced pads and a short last group are described in
// Base64.cpp. Nothing is validated; errors of `text` pass through.
class Base64Decoder final : public ByteSource {
public:
    explicit Base64Decoder(ByteSource& text);

    std::size_t read(std::span<std::uint8_t> buffer) override;

private:
    bool refill();

    ByteSource& text_;
    std::vector<std::uint8_t> input_;
    std::size_t inputAt_ = 0;
    std::size_t inputEnd_ = 0;
    bool textEnded_ = false;
    std::array<std::uint8_t, 4> group_{}; // accepted characters of the group being collected
    int grouped_ = 0;
    std::array<std::uint8_t, 3> decoded_{}; // bytes of a group that did not fit the caller's buffer
    std::size_t decodedAt_ = 0;
    std::size_t decodedEnd_ = 0;
    bool finished_ = false;
};

// The text of `data` and the data of `text`, as the encoder and decoder make them, for what is held
// in memory anyway.
std::string encodeBase64(std::string_view data);
std::string decodeBase64(std::string_view text);

} // namespace plombar
