#include "FileSize.h"

#include "Exception.h"
#include "SysError.h"
#include "UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

namespace plombar {

std::uint64_t FileSizeForGate(const std::string& path) {
    if (path.empty())
        throw EInOutError(winerr::ERROR_INVALID_HANDLE);
    // Others may go on reading and writing the file meanwhile.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd)
        throw EInOutError(SetLastErrorFromErrno(errno, path.c_str()));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw EInOutError(SetLastErrorFromErrno(errno));
    if (fd.reset() != 0)
        throw EInOutError(SetLastErrorFromErrno(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

void IgnoreFileSizeSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace plombar
