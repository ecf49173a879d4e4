#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plombar {

enum class HexCase { Lower, Upper };

// Bytes written as two hex digits each, in the given case, with `separator` between bytes
// ("3A 0F" for a separator of " "): thumbprints, serial numbers, names' #-encoded values.
inline std::string hexText(const unsigned char* data, std::size_t size, HexCase letters,
                           std::string_view separator = {}) {
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(size * (2 + separator.size()));
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text += separator;
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    return text;
}

} // namespace plombar
