#pragma once

// The program's way to write 7z archives through the archive library: create a writer on a library,
// queue files and streams, set properties, save.
//
//     auto writer = createArchiveWriter(kClassId7zFormat, kLibraryFileName);
//     writer->addFile(path, utf8ToUtf16(fileNameOf(path)));
//     setLevelProperty(*writer, 5);
//     setMethodProperty(*writer, 2); // "BZIP2"
//     writer->saveToFile(archivePath);
//
// Errors are raised as plombar::Error (or a class derived from it) carrying the message.

#include "platform/Stream.h"
#include "sevenzip/ArchiveErrors.h"
#include "sevenzip/ArchiveLibrary.h"
#include "sevenzip/ComPtr.h"
#include "sevenzip/Interfaces.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace plombar::sevenzip {

// Progress of a save: called with isTotal true and the total byte count, then with isTotal false and
// the bytes done so far. A result other than 0 (E_ABORT, say) stops the save with an error carrying
// the system text for that code. Calls may come from the library's worker threads; the writer never
// runs two of them at once.
using ArchiveProgressCallback = HRESULT (*)(void* sender, bool isTotal, UInt64 value);

// What the archive stores of a stream item besides its bytes.
struct StreamItemProperties {
    UInt32 attributes = 0;
    FILETIME creationTime{};  // zero: not stored
    FILETIME lastWriteTime{}; // zero: not stored
    std::u16string archivePath;
    bool isDirectory = false;
    bool isAnti = false;
};

// The writer's own interface. Texts are UTF-8 (the program's narrow text) unless they are UTF-16
// (std::u16string): archive paths, the password and property names.
struct ArchiveWriter : IUnknown {
    static constexpr GUID IID{
        0xBAA9D5DCu, 0x9FF4u, 0x4382u, {0x9B, 0xFD, 0xEC, 0x90, 0x65, 0xBD, 0x01, 0x25}};

    // Queues a stream item, read from its start when the archive is written. The size is taken
    // now; a stream that has changed size when the archive is written makes the save fail. This
    // form takes the stream over at once (even when the call fails) and deletes it with the item.
    virtual void addStream(std::unique_ptr<Stream> stream, const StreamItemProperties& properties) = 0;
    // The same with a stream that the caller keeps alive and unchanged until the writer is done.
    virtual void addStream(Stream& stream, const StreamItemProperties& properties) = 0;
    // Queues a file under `archivePath` ("/" separates folders inside the archive). A name that is
    // not an existing regular file is skipped without error. Nothing of its contents is read here.
    virtual void addFile(const std::string& fileName, const std::u16string& archivePath) = 0;
    // Queues the files under `directory` that match `masks` (see splitMasks / matchesMask), with
    // recursion into subdirectories whose names do not begin with "."; a subdirectory's matches come
    // before those of the directory that holds it, and a file matching two masks is queued twice.
    // Archive paths are the paths relative to `directory`, under `archiveFolder` when that is given.
    virtual void addFiles(const std::string& directory, const std::string& archiveFolder,
                          const std::string& masks, bool recurse) = 0;
    // Writes the archive to a temporary file beside `fileName` and renames it over `fileName` once the
    // library has succeeded; a failed save leaves an existing file of that name as it was.
    virtual void saveToFile(const std::string& fileName) = 0;
    // Writes the archive of all queued items to `stream`, from its current position.
    virtual void saveToStream(Stream& stream) = 0;
    virtual void setProgressCallback(void* sender, ArchiveProgressCallback callback) = 0;
    virtual void clearItems() = 0;
    // An empty password means none.
    virtual void setPassword(const std::u16string& password) = 0;
    // Passes a handler property ("X" level, "0" method, "he" header encryption, ...) to the library.
    // Every property set so far is kept and the whole set goes to the library each time, because the
    // library starts from its defaults on every call; a later value of the same name (case ignored)
    // replaces the earlier one. A VT_BSTR value is read up to its first NUL.
    virtual void setProperty(const std::u16string& name, const PROPVARIANT& value) = 0;
    // Chooses the handler class; it counts only until the library object is made (first setProperty
    // or save).
    virtual void setClassId(const GUID& classId) = 0;
    virtual GUID classId() const = 0;

protected:
    ArchiveWriter() = default;
    ArchiveWriter(const ArchiveWriter&) = default;
    ArchiveWriter& operator=(const ArchiveWriter&) = default;
    ~ArchiveWriter() = default;
};

// Method names for setMethodProperty, by index.
inline constexpr std::array<std::u16string_view, 6> kArchiveMethodNames{u"COPY", u"LZMA",    u"BZIP2",
                                                                        u"PPMD", u"DEFLATE", u"DEFLATE64"};

// Loads the library (the errors of ArchiveLibrary / ArchiveHandler propagate) and returns a writer for the
// handler `classId` holding its one reference. The library stays loaded until the writer goes.
ComPtr<ArchiveWriter> createArchiveWriter(const GUID& classId,
                                          const std::string& libraryFileName = kLibraryFileName);

// setProperty with a VT_UI4 number.
void setNumberProperty(ArchiveWriter& writer, const std::u16string& name, UInt32 number);
// The compression level: "X" = level.
void setLevelProperty(ArchiveWriter& writer, UInt32 level);
// The method: "0" = kArchiveMethodNames[index]; an index outside 0-5 raises an Error.
void setMethodProperty(ArchiveWriter& writer, std::size_t index);

} // namespace plombar::sevenzip
