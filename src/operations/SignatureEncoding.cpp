#include "operations/SignatureEncoding.h"

#include "platform/Errors.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <cerrno>
#include <vector>

namespace plombar::operations {

SignatureEncoding signatureEncodingOf(const std::string& path) {
    if (path.empty())
        throw InputOutputError(winerr::ERROR_PATH_NOT_FOUND);
    // A folder is refused as opening one as a text file is, and a FIFO, socket or device as no file
    // at all, before anything is read.
    InputFile file(path);
    if (!file.isOpen())
        throw InputOutputError(file.openError());

    // A CR either stands before an LF, which ends the line anyway, or before anything else, and is
    // then left out: either way no CR ever joins the line, and "M" CR "I" reads as "MI".
    std::vector<char> block(64 * 1024);
    char previous = '\0';
    for (;;) {
        const std::int64_t n = file.read(block.data(), block.size());
        if (n < 0) {
            if (file.changed())
                throw FileChangedError(absolutePath(path));
            throw InputOutputError(systemCodeFromErrno(errno));
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const char c = block[static_cast<std::size_t>(i)];
            if (c == '\r')
                continue; // an LF after it ends the line; anything else continues it
            if (c == '\n' || c == '\x1A' || c == '\0')
                return SignatureEncoding::Der; // nothing after a zero byte counts
            if (previous == 'M' && c == 'I')
                return SignatureEncoding::Base64;
            previous = c;
        }
        if (n == 0)
            return SignatureEncoding::Der;
    }
}

} // namespace plombar::operations
