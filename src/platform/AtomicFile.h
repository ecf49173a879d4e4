#pragma once

#include "Streams.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace plombar {

// Writes a file so that it either appears whole under its name or not at all: the data goes to a
// hidden temporary file in the target's folder, which Commit() renames over the target. An existing
// target keeps its permission bits; a target that the user may not write is refused as it would be
// when opened for writing. Without Commit() the temporary file is removed. Every failure raises
// "Cannot create file "%s". %s" with the target's full path and the system text.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& target);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    TFileStream& Stream() { return *stream_; }
    const std::string& TemporaryName() const noexcept { return tempName_; }
    const std::string& TargetName() const noexcept { return target_; }

    // Writes all of `data` to the temporary file or raises the create error.
    void WriteAll(const void* data, std::size_t size);
    void Commit();

    [[noreturn]] void Fail(std::uint32_t code) const;

private:
    std::string target_;   // full path of the file to produce (symbolic links resolved)
    std::string tempName_; // full path of the temporary file
    bool replacing_ = false;
    bool committed_ = false;
    std::unique_ptr<TFileStream> stream_;
};

// One call: write `size` bytes to `path` atomically.
void SaveFileAtomically(const std::string& path, const void* data, std::size_t size);

// True for the names our temporary files carry (".<name>.<suffix>.plombar-tmp"), so that a file left
// behind by a killed process is never taken for output.
bool IsTemporarySaveName(std::string_view bareName);

} // namespace plombar
