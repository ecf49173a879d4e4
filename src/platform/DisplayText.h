#pragma once

#include <string>
#include <string_view>

namespace plombar {

// A text taken from a certificate or a message (a name, a friendly name, an extension's text) as
// it may be shown in a report, a dialog or on a terminal: every character that could break a line,
// drive a terminal or reorder or hide what follows it is written out instead of passed on.
//   LF, CR, TAB                           \n  \r  \t
//   other C0 controls and DEL             \x1B (two upper-case hex digits)
//   C1 controls U+0080..U+009F            \u0085
//   bidirectional and line/paragraph      \u202E: U+061C, U+200E, U+200F, U+202A..U+202E,
//   marks                                 U+2066..U+2069, U+2028, U+2029
//   bytes that are no UTF-8               \xFF, one per byte
// Everything else (Cyrillic, quotes, commas, backslashes) stays as it is, so ordinary texts come
// out unchanged. With `keepLineFeeds` a LF stays a line break (for texts laid out in lines by the
// code that made them).
std::string escapeForDisplay(std::string_view text, bool keepLineFeeds = false);

} // namespace plombar
