#include "FileReader.h"

#include "Errors.h"
#include "Paths.h"
#include "SystemErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plombar {

FileReader::FileReader(const std::string& path) : file_(path), fullPath_(absolutePath(path)) {
    if (!file_.isOpen())
        throw FileOpenError(fullPath_, path.empty() ? winerr::ERROR_PATH_NOT_FOUND : file_.openError());
    if (file_.sizeKnown()) {
        size_ = file_.reportedSize();
        return;
    }
    switch (readWholeFile(file_, bytes_, kPreloadLimit)) {
    case ReadFileResult::Ok:
        break;
    case ReadFileResult::TooLarge:
        // An empty file that outgrew the limit while it was read has changed; a kernel file is
        // larger than we hold.
        if (!file_.onKernelFileSystem())
            throw FileChangedError(fullPath_);
        throw FileReadError(fullPath_, winerr::ERROR_NOT_ENOUGH_MEMORY);
    case ReadFileResult::Changed:
        throw FileChangedError(fullPath_);
    case ReadFileResult::Failed:
        throw FileReadError(fullPath_, systemCodeFromErrno(errno));
    }
    preloaded_ = true;
    size_ = bytes_.size();
}

std::size_t FileReader::read(std::span<std::uint8_t> buffer) {
    if (preloaded_) {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - next_);
        if (n > 0)
            std::memcpy(buffer.data(), bytes_.data() + next_, n);
        next_ += n;
        return n;
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t chunk = std::min<std::size_t>(buffer.size() - done, std::size_t{1} << 30);
        const std::int64_t n = file_.read(buffer.data() + done, chunk);
        if (n < 0) {
            if (file_.changed())
                throw FileChangedError(fullPath_);
            throw FileReadError(fullPath_, systemCodeFromErrno(errno));
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::string readFileContent(const std::string& path, std::size_t limit) {
    FileReader reader(path);
    if (reader.size() >= SIZE_MAX || reader.size() > limit)
        throw OutOfMemoryError();
    return readAll(reader, limit, static_cast<std::size_t>(reader.size()));
}

} // namespace plombar
