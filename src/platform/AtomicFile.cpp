#include "AtomicFile.h"

#include "Errors.h"
#include "InputFile.h"
#include "Paths.h"
#include "SystemErrors.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar {

namespace {

constexpr std::string_view kTempSuffix = ".plombar-tmp";

std::atomic<bool> gNamedOnly{false};

// ---------------------------------------------------------------------------------------------
// Removing named temporaries when the process is ended by a signal. The handler may only use
// async-signal-safe calls, so the names live in a fixed table that it reads without locks.

constexpr int kCleanupSlots = 64;
constexpr int kSlotFree = 0;
constexpr int kSlotFilling = 1;
constexpr int kSlotNamed = 2;

struct CleanupSlot {
    std::atomic<int> state{kSlotFree};
    char path[PATH_MAX];
};
CleanupSlot gCleanup[kCleanupSlots];
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporariesAndDie(int signal) {
    for (CleanupSlot& slot : gCleanup)
        if (slot.state.load(std::memory_order_acquire) == kSlotNamed)
            ::unlink(slot.path);
    // Ended as the signal's default action ends it, so the parent sees the signal.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(signal, &byDefault, nullptr);
    ::raise(signal);
}

// Installed for each signal whose action is still the default (termination); a signal that is
// ignored or that someone else handles is left as it is.
void installCleanupHandlers() noexcept {
    for (const int signal : kCleanupSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL)
            continue;
        struct sigaction ours {};
        ours.sa_handler = removeTemporariesAndDie;
        sigemptyset(&ours.sa_mask);
        for (const int other : kCleanupSignals)
            sigaddset(&ours.sa_mask, other);
        ::sigaction(signal, &ours, nullptr);
    }
}

// Registers `path` for removal on a signal; the slot, or -1 when the table is full (then only a
// failure, not a signal, removes it).
int registerTemporary(const std::string& path) noexcept {
    if (path.size() >= PATH_MAX)
        return -1;
    installCleanupHandlers();
    for (int i = 0; i < kCleanupSlots; ++i) {
        int expected = kSlotFree;
        if (gCleanup[i].state.compare_exchange_strong(expected, kSlotFilling, std::memory_order_acq_rel)) {
            std::memcpy(gCleanup[i].path, path.c_str(), path.size() + 1);
            gCleanup[i].state.store(kSlotNamed, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void unregisterTemporary(int& slot) noexcept {
    if (slot >= 0)
        gCleanup[slot].state.store(kSlotFree, std::memory_order_release);
    slot = -1;
}

// ---------------------------------------------------------------------------------------------

std::string randomSuffix() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix(12, '0');
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
        value = std::random_device{}() ^ (std::uint64_t{std::random_device{}()} << 32);
    for (auto& c : suffix) {
        c = kHex[value & 0xF];
        value >>= 4;
    }
    return suffix;
}

// The target's name as the temporary's name holds it: cut (at a character's start) so that the
// temporary's name stays within the file system's limit even when the target's name is close to it.
std::string temporaryStem(const std::string& bare) {
    // "." stem "." twelve hex digits ".plombar-tmp"
    constexpr std::size_t kRoom = NAME_MAX - 2 - 12 - kTempSuffix.size();
    if (bare.size() <= kRoom)
        return bare;
    std::size_t cut = kRoom;
    while (cut > 0 && (static_cast<unsigned char>(bare[cut]) & 0xC0) == 0x80)
        --cut;
    return bare.substr(0, cut);
}

std::string newTemporaryName(const std::string& target) {
    return folderOf(target) + "." + temporaryStem(fileNameOf(target)) + "." + randomSuffix() +
           std::string(kTempSuffix);
}

// The process's umask, read without changing it (calling umask() to learn it would change it for
// every thread for a moment). Unknown, it is taken as 077: a file too private rather than too open.
mode_t processUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 077;
}

} // namespace

void useNamedTemporariesForTesting(bool named) {
    gNamedOnly = named;
}

AtomicFile::AtomicFile(const std::string& target, Access access)
    : target_(absolutePath(target)), access_(access) {
    if (target_.empty() || target_.back() == '/')
        fail(target_.empty() ? winerr::ERROR_PATH_NOT_FOUND : winerr::ERROR_ACCESS_DENIED);
    checkTarget();

    folder_ = UniqueFd(::open(folderOf(target_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder_)
        fail(systemCodeFromErrno(errno, target_.c_str()));
    tempName_ = newTemporaryName(target_);

    UniqueFd fd;
    if (!gNamedOnly) {
        // Created as any new file would be, so that the folder's umask and default ACL decide the
        // bits it will get; nobody can open it meanwhile, for it has no name.
        fd = UniqueFd(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        if (!fd && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            fail(systemCodeFromErrno(errno, target_.c_str()));
    }
    if (fd) {
        unnamed_ = true;
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || ::fchmod(fd.get(), 0600) != 0)
            fail(systemCodeFromErrno(errno, target_.c_str()));
        newMode_ = st.st_mode & 07777;
        stream_ = std::make_unique<FileStream>(std::move(fd), target_);
    } else {
        createNamed();
    }
}

// An existing regular file is replaced, a link is replaced as a name; anything else is refused
// before it is opened (a FIFO would block, and root would replace a device node or a socket).
void AtomicFile::checkTarget() {
    struct stat st {};
    if (::lstat(target_.c_str(), &st) != 0) {
        if (errno != ENOENT)
            fail(systemCodeFromErrno(errno, target_.c_str()));
        return;
    }
    if (S_ISLNK(st.st_mode))
        return;
    if (const std::uint32_t code = notAFileCode(st.st_mode); code != 0)
        fail(code);
    // Replacing by rename needs no write right on the file itself; refuse as opening it would.
    if (::access(target_.c_str(), W_OK) != 0)
        fail(systemCodeFromErrno(errno, target_.c_str()));
    replacing_ = true;
    keepMode_ = st.st_mode & 07777;
}

void AtomicFile::createNamed() {
    newMode_ = 0666 & ~processUmask();
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        if (attempt > 0)
            tempName_ = newTemporaryName(target_);
        // Registered before it exists, so that no moment is left in which a signal would leave it.
        cleanupSlot_ = registerTemporary(tempName_);
        fd = UniqueFd(::openat(folder_.get(), fileNameOf(tempName_).c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            const int err = errno;
            unregisterTemporary(cleanupSlot_);
            errno = err;
            if (err != EEXIST)
                break;
        }
    }
    if (!fd)
        fail(systemCodeFromErrno(errno, target_.c_str()));
    named_ = true;
    stream_ = std::make_unique<FileStream>(std::move(fd), target_);
}

// Gives the file without a name its hidden name, just before the rename.
void AtomicFile::linkUnnamed() {
    const std::string viaProc = "/proc/self/fd/" + std::to_string(stream_->handle());
    int err = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (attempt > 0)
            tempName_ = newTemporaryName(target_);
        cleanupSlot_ = registerTemporary(tempName_);
        const std::string bare = fileNameOf(tempName_);
        if (::linkat(AT_FDCWD, viaProc.c_str(), folder_.get(), bare.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            named_ = true;
            return;
        }
        err = errno;
        // Without /proc, a process with the right to link any open file can do it directly.
        if (err == ENOENT &&
            ::linkat(stream_->handle(), "", folder_.get(), bare.c_str(), AT_EMPTY_PATH) == 0) {
            named_ = true;
            return;
        }
        unregisterTemporary(cleanupSlot_);
        if (err != EEXIST)
            break;
    }
    fail(systemCodeFromErrno(err, target_.c_str()));
}

AtomicFile::~AtomicFile() {
    stream_.reset();
    if (!committed_ && named_)
        ::unlinkat(folder_.get(), fileNameOf(tempName_).c_str(), 0);
    unregisterTemporary(cleanupSlot_);
}

void AtomicFile::fail(std::uint32_t code) const {
    throw FileCreateError(target_, code);
}

void AtomicFile::write(std::span<const std::uint8_t> data) {
    if (!stream_) // committed: the file is no longer ours to change
        fail(winerr::ERROR_INVALID_HANDLE);
    stream_->write(data);
}

void AtomicFile::commit() {
    const int fd = stream_->handle();
    // The content is complete: the file gets its own bits, and the bytes are made durable before
    // the rename publishes them, so that even a power loss leaves the old file or the new one.
    mode_t mode = replacing_ ? keepMode_ : newMode_;
    if (access_ == Access::OwnerOnly)
        mode = 0600;
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
        fail(systemCodeFromErrno(errno, target_.c_str()));
    // Looked at once more: a name that has become a folder, FIFO or device meanwhile stays.
    struct stat st {};
    if (::lstat(target_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && notAFileCode(st.st_mode) != 0)
        fail(notAFileCode(st.st_mode));
    if (unnamed_)
        linkUnnamed();
    stream_.reset(); // closes the descriptor
    if (::renameat(folder_.get(), fileNameOf(tempName_).c_str(), folder_.get(),
                   fileNameOf(target_).c_str()) != 0)
        fail(systemCodeFromErrno(errno, target_.c_str()));
    committed_ = true;
    unregisterTemporary(cleanupSlot_);
    // The rename itself made durable.
    UniqueFd dir(::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        (void)::fsync(dir.get());
}

void saveFileAtomically(const std::string& path, std::string_view bytes) {
    AtomicFile file(path);
    file.write(bytes);
    file.commit();
}

bool isTemporarySaveName(std::string_view bareName) {
    return bareName.size() > kTempSuffix.size() + 1 && bareName.front() == '.' &&
           bareName.substr(bareName.size() - kTempSuffix.size()) == kTempSuffix;
}

} // namespace plombar
