#pragma once

#include "ByteStreams.h"
#include "Stream.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace plombar {

// Writes a file so that it either appears whole under its name or not at all. The data goes to a
// file without a name in the target's folder (O_TMPFILE), which commit() flushes, links under a
// hidden name and renames over the target; nothing is left to clean up when the process dies, even
// by SIGKILL. Where the file system has no such files, a hidden temporary file is written instead
// and removed on failure and on SIGINT, SIGTERM and SIGHUP.
//
// The target's name is replaced as a directory entry: a symbolic link there becomes the new file,
// and the file it pointed to is never written (a link in the folder part of the path is followed).
// A name that is neither a regular file nor a link (a folder, FIFO, socket or device) is refused
// without being opened. An existing file keeps its permission bits, and one that the user may not
// write is refused as it would be when opened for writing; a new file gets 0666 less the umask.
// While it is being written, the file is readable by its owner only (it may hold decrypted text).
// Every failure raises "Cannot create file "%s". %s" with the target's full path and the system text.
//
// The data goes in as a ByteSink, or through stream(), a seekable view of the same file for
// writers that go back to fill in what they learn at the end (the archive library).
class AtomicFile final : public ByteSink {
public:
    enum class Access {
        AsNewFile, // an existing file's bits, else 0666 less the umask
        OwnerOnly, // 0600 whatever was there (private keys)
    };

    explicit AtomicFile(const std::string& target, Access access = Access::AsNewFile);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() override;

    // Writes all of `data` at the view's position (the end, unless stream() moved it) or raises
    // the create error.
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override;
    // The file as a seekable stream; its failures raise the create error too.
    Stream& stream() { return *stream_; }
    // Publishes the file under the target's name. A write afterwards raises the create error.
    void commit();

    // The hidden name the data has while it is written (a named temporary) or for a moment during
    // commit() (a file without a name gets it just before the rename).
    const std::string& temporaryName() const noexcept { return tempName_; }
    const std::string& targetName() const noexcept { return target_; }

private:
    [[noreturn]] void fail(std::uint32_t code) const;
    void checkTarget();
    void createNamed();
    void linkUnnamed();

    std::string target_;   // full path of the file to produce (a link there is replaced, not followed)
    std::string tempName_; // full path of the hidden name
    UniqueFd folder_;      // the target's folder (O_PATH)
    bool unnamed_ = false; // the data is in an O_TMPFILE file
    bool named_ = false;   // tempName_ exists and is ours to remove
    int cleanupSlot_ = -1; // where tempName_ is registered for removal on a signal
    Access access_;
    bool replacing_ = false;
    mode_t keepMode_ = 0; // an existing file's permission bits
    mode_t newMode_ = 0;  // what a new file in the folder gets
    bool committed_ = false;
    std::unique_ptr<FileStream> stream_;
};

// One call: write `bytes` to `path` atomically.
void saveFileAtomically(const std::string& path, std::string_view bytes);

// True for the names our temporary files carry (".<name>.<suffix>.plombar-tmp"), so that a file left
// behind by a killed process is never taken for output.
bool isTemporarySaveName(std::string_view bareName);

// For tests: makes every later AtomicFile write a named temporary, as on file systems without
// O_TMPFILE (true), or use O_TMPFILE where it can again (false).
void useNamedTemporariesForTesting(bool named);

// An AtomicFile that is created only when the first byte arrives (or at commit, for an empty
// content): an operation that fails before it has anything to write never touches the output's
// name, and reports its own failure rather than that the name cannot be written.
class AtomicFileOnFirstWrite final : public ByteSink {
public:
    explicit AtomicFileOnFirstWrite(std::string path) : path_(std::move(path)) {}

    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override { file().write(data); }
    void commit() { file().commit(); }

private:
    AtomicFile& file() {
        if (!file_)
            file_.emplace(path_);
        return *file_;
    }

    std::string path_;
    std::optional<AtomicFile> file_;
};

} // namespace plombar
