#include "sevenzip/T7zOutArchive.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "sevenzip/FileEnumeration.h"
#include "sevenzip/T7zStream.h"

#include <algorithm>
#include <stdexcept>

namespace plombar::sevenzip {

namespace {

[[noreturn]] void raiseChangedSize(const std::string& label) {
    throw Error("The size of \"" + label + "\" changed after it was added to the archive");
}

// The input adapter of one queued item. The library stores whatever Read delivers, whatever size the
// item reported, and it never reads an item reported as empty: a file that grew, shrank or failed to
// read would silently give an archive that does not hold the file. So reads deliver exactly the
// queued size and fail when the source ends early or has more bytes; a read error of a file raises
// its own error ("Cannot read file ...").
class ItemStream final : public T7zStream {
public:
    ItemStream(Stream* stream, bool owned, UInt64 expectedSize, std::string label,
               std::shared_ptr<CallbackErrors> errors) noexcept
        : T7zStream(stream, owned, std::move(errors)), expected_(expectedSize), label_(std::move(label)) {}

    HRESULT Read(void* data, UInt32 size, UInt32* processedSize) noexcept override {
        if (processedSize != nullptr)
            *processedSize = 0;
        if (size == 0)
            return S_OK;
        try {
            if (delivered_ >= expected_) {
                std::uint8_t probe = 0;
                if (WrappedStream->read(std::span(&probe, 1)) > 0)
                    raiseChangedSize(label_);
                return S_OK;
            }
            const auto wanted = static_cast<std::size_t>(std::min<UInt64>(size, expected_ - delivered_));
            const std::size_t done = WrappedStream->read(std::span(static_cast<std::uint8_t*>(data), wanted));
            if (done == 0)
                raiseChangedSize(label_);
            delivered_ += done;
            if (processedSize != nullptr)
                *processedSize = static_cast<UInt32>(done);
            return S_OK;
        } catch (...) {
            return ResultFromCurrentException(errors());
        }
    }

    // The zip handler seeks back to the start to store an item that did not compress.
    HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept override {
        UInt64 position = 0;
        const HRESULT result = T7zStream::Seek(offset, seekOrigin, &position);
        if (result == S_OK)
            delivered_ = position;
        if (newPosition != nullptr)
            *newPosition = position;
        return result;
    }

private:
    ~ItemStream() override = default;

    UInt64 expected_;
    UInt64 delivered_ = 0; // the position in the source, counted from its start
    std::string label_;
};

std::unique_ptr<T7zBatchItem> makeFileItem(const std::string& fileName, const std::u16string& archivePath,
                                           const FileRecord& record) {
    auto item = std::make_unique<T7zBatchItem>();
    item->ItemKind = ItemFromFile;
    item->SourceFileName = fileName;
    item->ArchivePath = archivePath;
    item->CreationTime = record.creationTime;
    item->LastWriteTime = record.lastWriteTime;
    item->Attributes = record.attributes;
    item->Size = record.size;
    item->Owned = true;
    return item;
}

bool sameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    const auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](wchar_t x, wchar_t y) { return lower(x) == lower(y); });
}

void setFileTime(PROPVARIANT& value, const FILETIME& time) {
    // A zero time means the time could not be read: reporting nothing lets the library leave it out
    // instead of storing 1601-01-01.
    if (FileTimeValue(time) == 0)
        return;
    value = PROPVARIANT{};
    value.vt = VT_FILETIME;
    value.filetime = time;
}

void setBool(PROPVARIANT& value, bool flag) {
    value = PROPVARIANT{};
    value.vt = VT_BOOL;
    value.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
}

class SavingFlag {
public:
    explicit SavingFlag(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
    SavingFlag(const SavingFlag&) = delete;
    SavingFlag& operator=(const SavingFlag&) = delete;
    ~SavingFlag() { flag_.store(false); }

private:
    std::atomic<bool>& flag_;
};

} // namespace

T7zBatchItem::~T7zBatchItem() {
    if (Owned)
        delete SourceStream;
}

T7zOutArchive::T7zOutArchive(const std::string& libraryFileName) : ImplementInterfaces(libraryFileName) {}

T7zOutArchive::~T7zOutArchive() {
    // The library's object goes first, while the library is still loaded; then the items (closing
    // owned streams) and the property copies, whose BSTRs came from the library's allocator.
    OutArchive.reset();
    Items.clear();
    properties_.clear();
}

void* T7zOutArchive::GetInterface(const GUID& iid) noexcept {
    if (iid == IArchiveUpdateCallback::IID)
        return static_cast<IArchiveUpdateCallback*>(this);
    if (iid == ICryptoGetTextPassword2::IID)
        return static_cast<ICryptoGetTextPassword2*>(this);
    if (iid == I7zArchiveWriter::IID)
        return static_cast<I7zArchiveWriter*>(this);
    return T7zArchive::GetInterface(iid);
}

void T7zOutArchive::ensureNotSaving() const {
    if (saving_.load())
        throw Error("The archive writer cannot change its items or settings while it is saving");
}

IOutArchive& T7zOutArchive::libraryObject() {
    if (!OutArchive)
        OutArchive = CreateLibraryObject<IOutArchive>(ClassId);
    return *OutArchive;
}

const T7zBatchItem& T7zOutArchive::itemAt(UInt32 index) const {
    if (index >= Items.size())
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    return *Items[index];
}

// ---------------------------------------------------------------------------------------------
// Queuing

void T7zOutArchive::AddStream(Stream* stream, bool owned, UInt32 attributes, const FILETIME& creationTime,
                              const FILETIME& lastWriteTime, const std::u16string& archivePath,
                              bool isDirectory, bool isAnti) {
    std::unique_ptr<Stream> adopted(owned ? stream : nullptr);
    ensureNotSaving();
    if (stream == nullptr)
        throw Error("An archive item needs a stream");
    auto item = std::make_unique<T7zBatchItem>();
    item->ItemKind = ItemFromStream;
    item->SourceStream = stream;
    item->Owned = owned;
    static_cast<void>(adopted.release()); // the item owns it now
    item->Attributes = attributes;
    item->CreationTime = creationTime;
    item->LastWriteTime = lastWriteTime;
    item->ArchivePath = archivePath;
    item->IsDirectory = isDirectory;
    item->IsAnti = isAnti;
    item->Size = stream->size();
    Items.push_back(std::move(item));
}

void T7zOutArchive::AddFile(const std::string& fileName, const std::u16string& archivePath) {
    ensureNotSaving();
    const auto record = ReadFileRecord(fileName);
    if (!record || !record->isRegular)
        return;
    // The library stores as many bytes as the item's size says, and a file of the kernel's own file
    // systems (/proc) reports a size that says nothing of its content: its bytes are taken now.
    if (InputFile probe(fileName); probe.isOpen() && probe.onKernelFileSystem()) {
        FileReader reader(fileName);
        auto bytes =
            std::make_unique<MemoryStream>(readAll(reader, FileReader::kPreloadLimit, reader.size()));
        AddStream(bytes.release(), true, record->attributes, record->creationTime, record->lastWriteTime,
                  archivePath, false, false);
        return;
    }
    Items.push_back(makeFileItem(fileName, archivePath, *record));
}

void T7zOutArchive::AddFiles(const std::string& directory, const std::string& archiveFolder,
                             const std::string& masks, bool recurse) {
    ensureNotSaving();
    const std::vector<std::string> maskList = SplitMasks(masks);
    std::string root = directory; // empty: the current folder
    if (!root.empty() && root.back() != '/')
        root += '/';
    std::string prefix = archiveFolder;
    if (!prefix.empty() && prefix.back() != '/')
        prefix += '/';

    std::vector<std::unique_ptr<T7zBatchItem>> found;
    const auto visit = [&](const auto& self, const std::string& folder, const std::string& relative) -> void {
        const std::vector<FolderEntry> entries = ListFolder(folder);
        // Subdirectories first; dot-named ones count as hidden and are not entered, nor are symbolic
        // links to directories (they could lead in circles).
        if (recurse)
            for (const FolderEntry& entry : entries)
                if (entry.isDirectory && entry.name.front() != '.')
                    self(self, folder + entry.name + "/", relative + entry.name + "/");
        for (const std::string& mask : maskList) {
            // A mask may name a subfolder ("docs/*.txt"); its matches keep that folder in their paths.
            const auto slash = mask.rfind('/');
            const std::string subfolder =
                slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);
            const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);
            std::vector<FolderEntry> otherEntries;
            if (!subfolder.empty())
                otherEntries = ListFolder(folder + subfolder);
            for (const FolderEntry& entry : subfolder.empty() ? entries : otherEntries) {
                // A temporary left by a save that was killed is nobody's file.
                if (!MatchesMask(entry.name, pattern) || isTemporarySaveName(entry.name))
                    continue;
                const std::string path = folder + subfolder + entry.name;
                const auto record = ReadFileRecord(path);
                if (!record || !record->isRegular)
                    continue;
                found.push_back(
                    makeFileItem(path, utf8ToUtf16(prefix + relative + subfolder + entry.name), *record));
            }
        }
    };
    visit(visit, root, std::string());

    // All or nothing: a failure above leaves the queue as it was.
    Items.reserve(Items.size() + found.size());
    for (auto& item : found)
        Items.push_back(std::move(item));
}

void T7zOutArchive::ClearItems() {
    ensureNotSaving();
    Items.clear();
}

// ---------------------------------------------------------------------------------------------
// Settings

void T7zOutArchive::SetProgressCallback(void* sender, ArchiveProgressCallback callback) {
    ensureNotSaving();
    ProgressSender = sender;
    ProgressCallback = callback;
}

void T7zOutArchive::SetPassword(const std::u16string& password) {
    ensureNotSaving();
    Password = password;
}

void T7zOutArchive::SetClassId(const GUID& classId) {
    ClassId = classId;
}

GUID T7zOutArchive::GetClassId() {
    return ClassId;
}

HRESULT T7zOutArchive::applyProperties(ISetProperties& setter, const std::vector<PropertyEntry>& properties) {
    std::vector<const wchar_t*> names;
    std::vector<PROPVARIANT> values;
    names.reserve(properties.size());
    values.reserve(properties.size());
    for (const PropertyEntry& entry : properties) {
        names.push_back(entry.name.c_str());
        values.push_back(entry.value.value());
    }
    return setter.SetProperties(names.data(), values.data(), static_cast<UInt32>(properties.size()));
}

void T7zOutArchive::SetProperty(const std::u16string& name, const PROPVARIANT& value) {
    ensureNotSaving();
    std::vector<PropertyEntry> next = properties_;
    {
        std::wstring wideName = ToLibraryText(name);
        OwnedPropVariant copy(bstrs());
        try {
            copy = OwnedPropVariant(bstrs(), value);
        } catch (const std::invalid_argument&) {
            CheckResult(E_INVALIDARG);
        }
        const auto same = std::find_if(next.begin(), next.end(), [&](const PropertyEntry& entry) {
            return sameNameIgnoringCase(entry.name, wideName);
        });
        if (same != next.end())
            same->value = std::move(copy);
        else
            next.push_back(PropertyEntry{std::move(wideName), std::move(copy)});
    }

    libraryObject();
    const ComPtr<ISetProperties> setter = OutArchive.as<ISetProperties>();
    if (!setter)
        throw InterfaceNotSupportedError();
    // The library starts from its defaults on every call, so the whole set goes each time: a level
    // set before the method survives the method. A rejected set leaves the handler half-configured;
    // sending the last accepted set again puts it back as it was.
    const HRESULT result = applyProperties(*setter, next);
    if (result != S_OK) {
        static_cast<void>(applyProperties(*setter, properties_));
        CheckResult(result);
    }
    properties_ = std::move(next);
}

// ---------------------------------------------------------------------------------------------
// Saving

HRESULT T7zOutArchive::runUpdate(Stream& destination) {
    SavingFlag saving(saving_);
    auto errors = std::make_shared<CallbackErrors>();
    errors_ = errors;
    HRESULT result = S_OK;
    {
        const ComPtr<IOutStream> output((new T7zStream(&destination, false, errors))->OutputView());
        const ComPtr<IArchiveUpdateCallback> callback(this);
        const auto count = static_cast<UInt32>(Items.size());
        try {
            IOutArchive& archive = libraryObject();
            result = archive.UpdateItems(output.get(), count, callback.get());
        } catch (...) {
            errors_.reset();
            throw;
        }
    }
    errors_.reset();
    errors->RethrowFirst();
    return result;
}

// An item reported as empty is never read by the library, so an empty file that gained content
// before the save would be stored empty without a word; look again once the archive is written.
void T7zOutArchive::checkEmptyItemsUnchanged() const {
    for (const auto& item : Items) {
        if (item->Size != 0 || item->IsDirectory || item->IsAnti)
            continue;
        if (item->ItemKind == ItemFromFile) {
            const auto record = ReadFileRecord(item->SourceFileName);
            if (!record)
                FileStream::openForReading(item->SourceFileName); // raises its open error
            else if (record->size != 0)
                raiseChangedSize(absolutePath(item->SourceFileName));
        } else if (item->SourceStream != nullptr && item->SourceStream->size() != 0) {
            raiseChangedSize(utf16ToUtf8(item->ArchivePath));
        }
    }
}

void T7zOutArchive::SaveToStream(Stream& stream) {
    ensureNotSaving();
    CheckResult(runUpdate(stream));
    checkEmptyItemsUnchanged();
}

void T7zOutArchive::SaveToFile(const std::string& fileName) {
    ensureNotSaving();
    // The archive appears under its name only when it is complete: an existing archive survives a
    // failed save, and no half-written file is left behind.
    AtomicFile file(fileName);
    CheckResult(runUpdate(file.stream()));
    checkEmptyItemsUnchanged();
    file.commit();
}

// ---------------------------------------------------------------------------------------------
// Library callbacks

HRESULT T7zOutArchive::reportProgress(bool isTotal, UInt64 value) noexcept {
    if (ProgressCallback == nullptr)
        return S_OK;
    try {
        const std::lock_guard lock(progressMutex_);
        return ProgressCallback(ProgressSender, isTotal, value);
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zOutArchive::SetTotal(UInt64 total) noexcept {
    return reportProgress(true, total);
}

HRESULT T7zOutArchive::SetCompleted(const UInt64* completeValue) noexcept {
    if (completeValue == nullptr)
        return S_OK;
    return reportProgress(false, *completeValue);
}

HRESULT T7zOutArchive::GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProperties,
                                         UInt32* indexInArchive) noexcept {
    try {
        static_cast<void>(itemAt(index));
        // Every item is new, with new data and properties, and comes from no existing archive.
        if (newData != nullptr)
            *newData = 1;
        if (newProperties != nullptr)
            *newProperties = 1;
        if (indexInArchive != nullptr)
            *indexInArchive = 0xFFFFFFFFu;
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zOutArchive::GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) noexcept {
    if (value == nullptr)
        return E_POINTER;
    try {
        const T7zBatchItem& item = itemAt(index);
        switch (propID) {
        case kpidPath:
            if (!item.ArchivePath.empty()) {
                BSTR path = bstrs().Allocate(item.ArchivePath); // the library frees it
                *value = PROPVARIANT{};
                value->vt = VT_BSTR;
                value->bstrVal = path;
            }
            break;
        case kpidIsDir:
            setBool(*value, item.IsDirectory);
            break;
        case kpidSize:
            *value = PROPVARIANT{};
            value->vt = VT_UI8; // the library accepts no other type here
            value->uhVal = item.Size;
            break;
        case kpidAttrib:
            *value = PROPVARIANT{};
            value->vt = VT_UI4;
            value->ulVal = item.Attributes;
            break;
        case kpidCTime:
            setFileTime(*value, item.CreationTime);
            break;
        case kpidMTime:
            setFileTime(*value, item.LastWriteTime);
            break;
        case kpidIsAnti:
            setBool(*value, item.IsAnti);
            break;
        default:
            break; // the last access time and everything else: not reported
        }
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zOutArchive::GetStream(UInt32 index, ISequentialInStream** inStream) noexcept {
    if (inStream == nullptr)
        return E_POINTER;
    *inStream = nullptr;
    try {
        const T7zBatchItem& item = itemAt(index);
        ComPtr<IInStream> stream;
        if (item.ItemKind == ItemFromFile) {
            // Opened only now and closed when the library lets go of it. Others may go on reading and
            // writing the file meanwhile: Linux has no share modes to deny them.
            auto file = FileStream::openForReading(item.SourceFileName);
            std::string label = file->fullPath();
            stream =
                ComPtr<IInStream>(new ItemStream(file.get(), true, item.Size, std::move(label), errors_));
            static_cast<void>(file.release()); // the adapter owns the file now
        } else if (item.ItemKind == ItemFromStream && item.SourceStream != nullptr) {
            item.SourceStream->seek(0, SeekFrom::start);
            stream = ComPtr<IInStream>(
                new ItemStream(item.SourceStream, false, item.Size, utf16ToUtf8(item.ArchivePath), errors_));
        } else {
            throw Error("Archive item " + std::to_string(index) + " has no source");
        }
        *inStream = stream.detach();
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zOutArchive::SetOperationResult(Int32 /*operationResult*/) noexcept {
    return S_OK;
}

HRESULT T7zOutArchive::CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) noexcept {
    if (passwordIsDefined == nullptr || password == nullptr)
        return E_POINTER;
    try {
        if (Password.empty()) {
            *passwordIsDefined = 0;
            return S_OK;
        }
        *password = bstrs().Allocate(Password); // the library wipes and frees it
        *passwordIsDefined = 1;
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

// ---------------------------------------------------------------------------------------------
// Unit routines

ComPtr<I7zArchiveWriter> CreateArchiveWriter(const GUID& classId, const std::string& libraryFileName) {
    ComPtr<I7zArchiveWriter> writer(new T7zOutArchive(libraryFileName));
    writer->SetClassId(classId);
    return writer;
}

void SetNumberProperty(I7zArchiveWriter& writer, const std::u16string& name, UInt32 number) {
    PROPVARIANT value{};
    value.vt = VT_UI4;
    value.ulVal = number;
    writer.SetProperty(name, value);
}

void SetLevelProperty(I7zArchiveWriter& writer, UInt32 level) {
    SetNumberProperty(writer, u"X", level);
}

void SetMethodProperty(I7zArchiveWriter& writer, std::size_t index) {
    if (index >= ArchiveMethodNames.size())
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    std::wstring name = ToLibraryText(ArchiveMethodNames[index]);
    PROPVARIANT value{};
    value.vt = VT_BSTR;
    value.bstrVal = name.data(); // SetProperty copies it up to its NUL
    writer.SetProperty(u"0", value);
}

} // namespace plombar::sevenzip
