#pragma once

// Inside the crypto layer, for the message functions that take whole buffers: a file's bytes and an
// output buffer in memory, both refused as out of memory when the system cannot give that much.

#include <cstddef>
#include <string>

namespace plombar::crypto {

// The whole content of the file at `path`, read through FileReader (its open, read and changed-size
// errors) into one buffer of the file's size; OutOfMemoryError when that cannot be had.
std::string readFileBytes(const std::string& path);

// `size` zero bytes; OutOfMemoryError when they cannot be had.
std::string newByteBuffer(std::size_t size);

} // namespace plombar::crypto
