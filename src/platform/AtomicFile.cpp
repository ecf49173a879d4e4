#include "AtomicFile.h"

#include "Exception.h"
#include "Paths.h"
#include "SysError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar {

namespace {

constexpr std::string_view kTempSuffix = ".plombar-tmp";

std::string randomSuffix() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix(12, '0');
    auto value = engine();
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

// Follows a symbolic link at the target so that saving replaces the file it points to, not the link.
std::string resolveTarget(const std::string& full) {
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(full.c_str(), resolved) != nullptr)
            return resolved;
    }
    return full;
}

} // namespace

AtomicFile::AtomicFile(const std::string& target) : target_(resolveTarget(ExpandFileName(target))) {
    if (target_.empty() || target_.back() == '/')
        Fail(target_.empty() ? winerr::ERROR_PATH_NOT_FOUND : winerr::ERROR_ACCESS_DENIED);

    struct stat st {};
    mode_t keepMode = 0;
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            Fail(winerr::ERROR_ACCESS_DENIED);
        // Replacing by rename needs no write right on the file itself; refuse as opening it would.
        if (::access(target_.c_str(), W_OK) != 0)
            Fail(WinErrorFromErrno(errno, target_.c_str()));
        replacing_ = S_ISREG(st.st_mode);
        keepMode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        Fail(WinErrorFromErrno(errno, target_.c_str()));
    }

    const std::string folder = ExtractFilePath(target_);
    const std::string bare = temporaryStem(ExtractFileName(target_));
    UniqueFd fd;
    for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
        tempName_ = folder + "." + bare + "." + randomSuffix() + std::string(kTempSuffix);
        // Mode 0666 lets the process umask decide, as for any new file.
        fd = UniqueFd(::open(tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST)
            break;
    }
    if (!fd) {
        const int err = errno;
        tempName_.clear();
        Fail(WinErrorFromErrno(err, target_.c_str()));
    }
    if (replacing_)
        (void)::fchmod(fd.get(), keepMode);
    stream_ = std::make_unique<TFileStream>(std::move(fd), tempName_);
}

AtomicFile::~AtomicFile() {
    stream_.reset();
    if (!committed_ && !tempName_.empty())
        ::unlink(tempName_.c_str());
}

void AtomicFile::Fail(std::uint32_t code) const {
    SetLastError(code);
    throw EFCreateError("Cannot create file \"" + target_ + "\". " + SysErrorMessage(code));
}

void AtomicFile::WriteAll(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const auto chunk = static_cast<std::int64_t>(std::min<std::size_t>(size, std::size_t{1} << 30));
        const std::int64_t written = stream_->Write(p, chunk);
        if (written <= 0)
            Fail(GetLastError() != 0 ? GetLastError() : winerr::ERROR_WRITE_FAULT);
        p += written;
        size -= static_cast<std::size_t>(written);
    }
}

void AtomicFile::Commit() {
    const int fd = stream_->Handle();
    // Replacing an existing file: make the new bytes durable before the rename publishes them, so
    // that even a power loss leaves the old or the new file, never an empty one.
    if (replacing_ && ::fsync(fd) != 0)
        Fail(WinErrorFromErrno(errno, target_.c_str()));
    stream_.reset(); // closes the descriptor
    if (::rename(tempName_.c_str(), target_.c_str()) != 0)
        Fail(WinErrorFromErrno(errno, target_.c_str()));
    committed_ = true;
    if (replacing_) {
        UniqueFd dir(::open(ExtractFilePath(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir)
            (void)::fsync(dir.get());
    }
}

void SaveFileAtomically(const std::string& path, const void* data, std::size_t size) {
    AtomicFile file(path);
    file.WriteAll(data, size);
    file.Commit();
}

bool IsTemporarySaveName(std::string_view bareName) {
    return bareName.size() > kTempSuffix.size() + 1 && bareName.front() == '.' &&
           bareName.substr(bareName.size() - kTempSuffix.size()) == kTempSuffix;
}

} // namespace plombar
