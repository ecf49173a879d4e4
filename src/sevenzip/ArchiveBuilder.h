#pragma once

#include "sevenzip/ArchiveLibrary.h"
#include "sevenzip/ArchiveWriter.h"
#include "sevenzip/Bstr.h"
#include "sevenzip/CallbackErrors.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plombar::sevenzip {

enum class ItemSource { Stream, File };

// One queued item: a disk file, read only when the library asks for it, or a program stream.
struct QueuedItem {
    ItemSource source = ItemSource::Stream;
    std::string fileName;                // of a file item
    Stream* stream = nullptr;            // of a stream item
    std::unique_ptr<Stream> ownedStream; // the same, when the item owns it
    StreamItemProperties properties;
    // The source's size when it was queued; reading must deliver exactly this many bytes. 64 bits, so
    // that a file of 4 GiB or more is described truthfully instead of by its low 32 bits.
    UInt64 size = 0;
};

// The ArchiveWriter that createArchiveWriter makes. It builds a new archive with the library: it
// answers the library's questions about the queued items during UpdateItems and hands it their
// streams.
//
// Threads: the library calls GetStream, Read, SetOperationResult and progress from its worker
// threads while the program's thread waits in UpdateItems. The queue, the password and the callback
// are not changed meanwhile (operations that would change them raise an error while a save runs),
// the progress callback is entered by one thread at a time, and errors are collected under a lock.
// Errors inside a callback never reach the library as exceptions: the call returns an error code and
// the save then raises the first recorded error (CallbackErrors).
class ArchiveBuilder : public ImplementInterfaces<ArchiveHandler, IArchiveUpdateCallback,
                                                  ICryptoGetTextPassword2, ArchiveWriter> {
public:
    explicit ArchiveBuilder(const std::string& libraryFileName);

    // ArchiveWriter
    void addStream(std::unique_ptr<Stream> stream, const StreamItemProperties& properties) override;
    void addStream(Stream& stream, const StreamItemProperties& properties) override;
    void addFile(const std::string& fileName, const std::u16string& archivePath) override;
    void addFiles(const std::string& directory, const std::string& archiveFolder, const std::string& masks,
                  bool recurse) override;
    void saveToFile(const std::string& fileName) override;
    void saveToStream(Stream& stream) override;
    void setProgressCallback(void* sender, ArchiveProgressCallback callback) override;
    void clearItems() override;
    void setPassword(const std::u16string& password) override;
    void setProperty(const std::u16string& name, const PROPVARIANT& value) override;
    void setClassId(const GUID& classId) override;
    GUID classId() const override;

    // IProgress / IArchiveUpdateCallback
    HRESULT SetTotal(UInt64 total) noexcept override;
    HRESULT SetCompleted(const UInt64* completeValue) noexcept override;
    HRESULT GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProperties,
                              UInt32* indexInArchive) noexcept override;
    HRESULT GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) noexcept override;
    HRESULT GetStream(UInt32 index, ISequentialInStream** inStream) noexcept override;
    HRESULT SetOperationResult(Int32 operationResult) noexcept override;

    // ICryptoGetTextPassword2
    HRESULT CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) noexcept override;

    std::size_t itemCount() const noexcept { return items_.size(); }
    const QueuedItem& item(std::size_t index) const { return *items_.at(index); }
    bool hasLibraryObject() const noexcept { return static_cast<bool>(outArchive_); }

protected:
    ~ArchiveBuilder() override;
    void* interfaceFor(const GUID& iid) noexcept override;

private:
    struct PropertyEntry {
        std::wstring name;
        OwnedPropVariant value;
    };

    IOutArchive& libraryObject();
    void ensureNotSaving() const;
    const QueuedItem& itemAt(UInt32 index) const;
    HRESULT applyProperties(ISetProperties& setter, const std::vector<PropertyEntry>& properties);
    HRESULT runUpdate(Stream& destination);
    void checkEmptyItemsUnchanged() const;
    HRESULT reportProgress(bool isTotal, UInt64 value) noexcept;

    void queueStream(std::unique_ptr<QueuedItem> item, Stream& stream);

    ComPtr<IOutArchive> outArchive_;
    std::vector<std::unique_ptr<QueuedItem>> items_;
    ArchiveProgressCallback progressCallback_ = nullptr;
    void* progressSender_ = nullptr;
    std::u16string password_;

    std::vector<PropertyEntry> properties_;  // every property set so far, in first-set order
    std::shared_ptr<CallbackErrors> errors_; // of the save in progress
    std::atomic<bool> saving_{false};
    std::mutex progressMutex_;
};

} // namespace plombar::sevenzip
