#pragma once

#include "sevenzip/ArchiveWriter.h"
#include "sevenzip/Bstr.h"
#include "sevenzip/CallbackErrors.h"
#include "sevenzip/T7zPlugin.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plombar::sevenzip {

// One queued item: a disk file, read only when the library asks for it, or a program stream.
class T7zBatchItem {
public:
    T7zBatchItem() = default;
    T7zBatchItem(const T7zBatchItem&) = delete;
    T7zBatchItem& operator=(const T7zBatchItem&) = delete;
    virtual ~T7zBatchItem(); // frees SourceStream when Owned

    std::uint32_t ItemKind = ItemFromStream;
    Stream* SourceStream = nullptr;
    UInt32 Attributes = 0;
    FILETIME CreationTime{};  // zero when unknown
    FILETIME LastWriteTime{}; // zero when unknown
    std::u16string ArchivePath;
    bool IsDirectory = false;
    bool IsAnti = false;
    std::string SourceFileName;
    bool Owned = false;
    // The source's size when it was queued; reading must deliver exactly this many bytes. 64 bits, so
    // that a file of 4 GiB or more is described truthfully instead of by its low 32 bits.
    UInt64 Size = 0;
};

// Builds a new archive with the library: answers the library's questions about the queued items
// during UpdateItems and hands it their streams.
//
// Threads: the library calls GetStream, Read, SetOperationResult and progress from its worker
// threads while the program's thread waits in UpdateItems. The queue, the password and the callback
// are not changed meanwhile (operations that would change them raise an error while a save runs),
// the progress callback is entered by one thread at a time, and errors are collected under a lock.
// Errors inside a callback never reach the library as exceptions: the call returns an error code and
// the save then raises the first recorded error (CallbackErrors).
class T7zOutArchive : public ImplementInterfaces<T7zArchive, IArchiveUpdateCallback, ICryptoGetTextPassword2,
                                                 I7zArchiveWriter> {
public:
    explicit T7zOutArchive(const std::string& libraryFileName);

    // I7zArchiveWriter
    void AddStream(Stream* stream, bool owned, UInt32 attributes, const FILETIME& creationTime,
                   const FILETIME& lastWriteTime, const std::u16string& archivePath, bool isDirectory,
                   bool isAnti) override;
    void AddFile(const std::string& fileName, const std::u16string& archivePath) override;
    void AddFiles(const std::string& directory, const std::string& archiveFolder, const std::string& masks,
                  bool recurse) override;
    void SaveToFile(const std::string& fileName) override;
    void SaveToStream(Stream& stream) override;
    void SetProgressCallback(void* sender, ArchiveProgressCallback callback) override;
    void ClearItems() override;
    void SetPassword(const std::u16string& password) override;
    void SetProperty(const std::u16string& name, const PROPVARIANT& value) override;
    void SetClassId(const GUID& classId) override;
    GUID GetClassId() override;

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

    std::size_t itemCount() const noexcept { return Items.size(); }
    const T7zBatchItem& item(std::size_t index) const { return *Items.at(index); }
    bool hasLibraryObject() const noexcept { return static_cast<bool>(OutArchive); }

protected:
    ~T7zOutArchive() override;
    void* GetInterface(const GUID& iid) noexcept override;

private:
    struct PropertyEntry {
        std::wstring name;
        OwnedPropVariant value;
    };

    IOutArchive& libraryObject();
    void ensureNotSaving() const;
    const T7zBatchItem& itemAt(UInt32 index) const;
    HRESULT applyProperties(ISetProperties& setter, const std::vector<PropertyEntry>& properties);
    HRESULT runUpdate(Stream& destination);
    void checkEmptyItemsUnchanged() const;
    HRESULT reportProgress(bool isTotal, UInt64 value) noexcept;

    ComPtr<IOutArchive> OutArchive;
    std::vector<std::unique_ptr<T7zBatchItem>> Items;
    ArchiveProgressCallback ProgressCallback = nullptr;
    void* ProgressSender = nullptr;
    std::u16string Password;

    std::vector<PropertyEntry> properties_;  // every property set so far, in first-set order
    std::shared_ptr<CallbackErrors> errors_; // of the save in progress
    std::atomic<bool> saving_{false};
    std::mutex progressMutex_;
};

} // namespace plombar::sevenzip
