#include "FileSize.h"

#include "Errors.h"
#include "InputFile.h"
#include "SystemErrors.h"
#include "UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

namespace plombar {

std::uint64_t fileSizeForGate(const std::string& path) {
    if (path.empty())
        throw InputOutputError(winerr::ERROR_INVALID_HANDLE);
    // A name that is no file (FIFO, socket, device; a folder) fails like any other open, before it
    // is opened: a FIFO without a writer would block, and opening a device can have effects.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && notAFileCode(st.st_mode) != 0)
        throw InputOutputError(notAFileCode(st.st_mode));
    // Read access is all that signing, encrypting and decrypting need of it; others may go on
    // reading and writing the file meanwhile.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        throw InputOutputError(openFailureCode(path, errno));
    if (::fstat(fd.get(), &st) != 0)
        throw InputOutputError(systemCodeFromErrno(errno));
    if (notAFileCode(st.st_mode) != 0)
        throw InputOutputError(notAFileCode(st.st_mode));
    if (fd.reset() != 0)
        throw InputOutputError(systemCodeFromErrno(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

void ignoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace plombar
