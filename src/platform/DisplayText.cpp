#include "DisplayText.h"

#include <cstdint>
#include <cstdio>

namespace plombar {

namespace {

// The code point of the UTF-8 sequence at `text[at]` and its length, or length 0 when the bytes
// there are no UTF-8 (a stray continuation byte, a cut sequence, an overlong form, a surrogate, a
// value beyond U+10FFFF).
struct Decoded {
    std::uint32_t code = 0;
    std::size_t length = 0;
};

Decoded decodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        code = lead & 0x07;
    } else {
        return {};
    }
    if (at + extra >= text.size())
        return {};
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return {};
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return {};
    return {code, extra + 1};
}

// Characters beyond ASCII that break lines or reorder or hide the text around them.
bool isHidingCharacter(std::uint32_t code) {
    return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%0*X", prefix, digits, value);
    out += text;
}

} // namespace

std::string escapeForDisplay(std::string_view text, bool keepLineFeeds) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const Decoded decoded = decodeAt(text, at);
        if (decoded.length == 0) {
            appendHex(out, "\\x", static_cast<unsigned char>(text[at]), 2);
            ++at;
            continue;
        }
        const std::uint32_t code = decoded.code;
        if (code == '\n' && keepLineFeeds)
            out += '\n';
        else if (code == '\n')
            out += "\\n";
        else if (code == '\r')
            out += "\\r";
        else if (code == '\t')
            out += "\\t";
        else if (code < 0x20 || code == 0x7F)
            appendHex(out, "\\x", code, 2);
        else if (isHidingCharacter(code))
            appendHex(out, "\\u", code, 4);
        else
            out.append(text.substr(at, decoded.length));
        at += decoded.length;
    }
    return out;
}

} // namespace plombar
