#pragma once

// Which encoding a signature file has. Kept in one function, so that a better detector can take
// its place.

#include <string>

namespace plombar::operations {

enum class SignatureEncoding { Der, Base64 };

// Base64 when "MI" (the Base64 text of a DER SEQUENCE with a long length) stands on the file's first
// line before any zero byte, else DER. The first line ends at the first LF, CR LF or byte 0x1A; a CR
// that no LF follows is left out of it (so "M\rI" holds "MI"). Reads only as far as the answer needs.
// A file that cannot be opened or read raises InputOutputError with the system code (2 "File not
// found", 3 "Invalid filename" also for an empty path, 5 "File access denied" also for a folder),
// or FileChangedError.
SignatureEncoding signatureEncodingOf(const std::string& path);

} // namespace plombar::operations
