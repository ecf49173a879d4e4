#pragma once

#include <cstdint>
#include <string>

namespace plombar {

// Opens the existing file for reading only, takes its whole size and closes it: a file the user may
// read but not write (saved read-only, on a read-only share or medium) passes. Each failing step raises
// InputOutputError with the system code: 2 no such file, 3 a folder on the path missing, 5 access denied or a
// folder, 6 for an empty path (no file named, so no handle to size), kNotAFileError (1920, "I/O error 1920")
// for a FIFO, socket or device, which is refused without being opened.
std::uint64_t fileSizeForGate(const std::string& path);

// Ignore SIGXFSZ, so that hitting the file size limit shows as a write error instead of killing
// the process.
void ignoreFileSizeSignal();

} // namespace plombar
