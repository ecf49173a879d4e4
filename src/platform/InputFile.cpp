#include "InputFile.h"

#include "Errors.h"
#include "SystemErrors.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

namespace plombar {

namespace {

// The kernel's own file systems, whose files report sizes that say nothing of their content.
bool isKernelFileSystem(int fd) noexcept {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

} // namespace

std::uint32_t notAFileCode(mode_t mode) noexcept {
    if (S_ISREG(mode))
        return 0;
    if (S_ISDIR(mode))
        return winerr::ERROR_ACCESS_DENIED;
    return kNotAFileError;
}

std::uint32_t openFailureCode(const std::string& path, int err) noexcept {
    struct stat st {};
    if (err != ENOENT && ::stat(path.c_str(), &st) == 0 && notAFileCode(st.st_mode) != 0)
        return notAFileCode(st.st_mode);
    return systemCodeFromErrno(err, path.c_str());
}

InputFile::InputFile(const std::string& path) noexcept {
    openErrno_ = open(path);
    if (openErrno_ != 0) {
        fd_.reset();
        if (openError_ == 0)
            openError_ = openFailureCode(path, openErrno_);
        return;
    }
    onKernelFileSystem_ = isKernelFileSystem(fd_.get());
    sizeKnown_ = status_.st_size > 0 && !onKernelFileSystem_;
}

int InputFile::open(const std::string& path) noexcept {
    if (path.empty())
        return ENOENT;
    // Looked at before opening: opening a device can have effects of its own (a tape rewinds, a
    // watchdog starts), and a FIFO without a writer would block.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && notAFileCode(st.st_mode) != 0) {
        openError_ = notAFileCode(st.st_mode);
        return S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    }
    // Others may read and write the file meanwhile: Linux has no share modes to deny them.
    fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd_)
        return errno;
    // The name may have been swapped for something else between the look and the open.
    if (::fstat(fd_.get(), &status_) != 0)
        return errno;
    if (notAFileCode(status_.st_mode) != 0) {
        openError_ = notAFileCode(status_.st_mode);
        return S_ISDIR(status_.st_mode) ? EISDIR : ENODEV;
    }
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    return 0;
}

std::int64_t InputFile::read(void* buffer, std::size_t count) noexcept {
    if (changed_) {
        errno = 0;
        return -1;
    }
    ssize_t n = 0;
    do
        n = ::read(fd_.get(), buffer, count);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    const std::int64_t size = status_.st_size;
    if (n > 0) {
        position_ += n;
        if (sizeKnown_ && position_ > size)
            changed_ = true; // grew
    } else if (count > 0) {
        // At the end: it must end where it did when it was opened.
        struct stat now {};
        if (::fstat(fd_.get(), &now) != 0)
            return -1;
        changed_ = now.st_size != size || (sizeKnown_ && position_ != size);
    }
    if (changed_) {
        errno = 0;
        return -1;
    }
    return n;
}

} // namespace plombar
