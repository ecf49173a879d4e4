#include "crypto/FileBytes.h"

#include "platform/AvailableMemory.h"
#include "platform/ByteStreams.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"

#include <cstdint>
#include <new>
#include <stdexcept>

namespace plombar::crypto {

std::string readFileBytes(const std::string& path) {
    FileReader reader(path);
    if (reader.size() >= SIZE_MAX)
        throw OutOfMemoryError();
    return readAll(reader, SIZE_MAX, static_cast<std::size_t>(reader.size()));
}

std::string newByteBuffer(std::size_t size) {
    if (!memoryAvailableFor(size))
        throw OutOfMemoryError();
    try {
        return std::string(size, '\0');
    } catch (const std::bad_alloc&) {
        throw OutOfMemoryError();
    } catch (const std::length_error&) {
        throw OutOfMemoryError();
    }
}

} // namespace plombar::crypto
