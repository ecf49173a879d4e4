#pragma once

#include <string>
#include <string_view>

namespace plombar {

// The absolute form of a path, with "." and ".." resolved lexically (symbolic links are kept).
// An empty path stays empty.
std::string absolutePath(const std::string& path);

// The folder part of a path: everything up to and including its last "/" (empty when it has none).
std::string folderOf(const std::string& path);

// The bare name: the text after the last "/" (the whole path when it has none).
std::string fileNameOf(const std::string& path);

// The path without its last four characters, counted as Unicode characters (never a cut inside a
// UTF-8 sequence); empty when the path has four characters or fewer.
std::string withoutLastFourCharacters(const std::string& path);

// The per-user data folder: $XDG_DATA_HOME, else ~/.local/share.
std::string xdgDataHome();

// The per-user cache folder: $XDG_CACHE_HOME, else ~/.cache.
std::string xdgCacheHome();

// The application's title: the executable's file name without its folder, cut at its first ".",
// every character after the first in lower case.
std::string applicationTitle(const std::string& executablePath);

// The text of the application's error report: the message with "." appended when its last byte
// sorts after "." in byte order.
std::string errorReportText(const std::string& message);

// UTF-8 <-> UTF-16. Invalid UTF-8 bytes become U+FFFD; unpaired surrogates likewise.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

} // namespace plombar
