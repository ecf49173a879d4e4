#include "sevenzip/ArchiveBuilder.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "sevenzip/FileEnumeration.h"
#include "sevenzip/StreamAdapter.h"

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
class ItemStream final : public StreamAdapter {
public:
    // `stream` is a Stream& (borrowed) or a std::unique_ptr<Stream> (owned), as StreamAdapter takes it.
    template <typename Source>
    ItemStream(Source&& stream, UInt64 expectedSize, std::string label,
               std::shared_ptr<CallbackErrors> errors) noexcept
        : StreamAdapter(std::forward<Source>(stream), std::move(errors)), expected_(expectedSize),
          label_(std::move(label)) {}

    HRESULT Read(void* data, UInt32 size, UInt32* processedSize) noexcept override {
        if (processedSize != nullptr)
            *processedSize = 0;
        if (size == 0)
            return S_OK;
        try {
            if (delivered_ >= expected_) {
                std::uint8_t probe = 0;
                if (wrappedStream().read(std::span(&probe, 1)) > 0)
                    raiseChangedSize(label_);
                return S_OK;
            }
            const auto wanted = static_cast<std::size_t>(std::min<UInt64>(size, expected_ - delivered_));
            const std::size_t done =
                wrappedStream().read(std::span(static_cast<std::uint8_t*>(data), wanted));
            if (done == 0)
                raiseChangedSize(label_);
            delivered_ += done;
            if (processedSize != nullptr)
                *processedSize = static_cast<UInt32>(done);
            return S_OK;
        } catch (...) {
            return resultFromCurrentException(errors());
        }
    }

    // The zip handler seeks back to the start to store an item that did not compress.
    HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept override {
        UInt64 position = 0;
        const HRESULT result = StreamAdapter::Seek(offset, seekOrigin, &position);
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

std::unique_ptr<QueuedItem> makeFileItem(const std::string& fileName, const std::u16string& archivePath,
                                         const FileRecord& record) {
    auto item = std::make_unique<QueuedItem>();
    item->source = ItemSource::File;
    item->fileName = fileName;
    item->properties.archivePath = archivePath;
    item->properties.creationTime = record.creationTime;
    item->properties.lastWriteTime = record.lastWriteTime;
    item->properties.attributes = record.attributes;
    item->size = record.size;
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
    if (fileTimeValue(time) == 0)
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

ArchiveBuilder::ArchiveBuilder(const std::string& libraryFileName) : ImplementInterfaces(libraryFileName) {}

ArchiveBuilder::~ArchiveBuilder() {
    // The library's object goes first, while the library is still loaded; then the items (closing
    // owned streams) and the property copies, whose BSTRs came from the library's allocator.
    outArchive_.reset();
    items_.clear();
    properties_.clear();
}

void* ArchiveBuilder::interfaceFor(const GUID& iid) noexcept {
    if (iid == IArchiveUpdateCallback::IID)
        return static_cast<IArchiveUpdateCallback*>(this);
    if (iid == ICryptoGetTextPassword2::IID)
        return static_cast<ICryptoGetTextPassword2*>(this);
    if (iid == ArchiveWriter::IID)
        return static_cast<ArchiveWriter*>(this);
    return ArchiveHandler::interfaceFor(iid);
}

void ArchiveBuilder::ensureNotSaving() const {
    if (saving_.load())
        throw Error("The archive writer cannot change its items or settings while it is saving");
}

IOutArchive& ArchiveBuilder::libraryObject() {
    if (!outArchive_)
        outArchive_ = createObject<IOutArchive>(classId_);
    return *outArchive_;
}

const QueuedItem& ArchiveBuilder::itemAt(UInt32 index) const {
    if (index >= items_.size())
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    return *items_[index];
}

// ---------------------------------------------------------------------------------------------
// Queuing

void ArchiveBuilder::queueStream(std::unique_ptr<QueuedItem> item, Stream& stream) {
    item->source = ItemSource::Stream;
    item->stream = &stream;
    item->size = stream.size();
    items_.push_back(std::move(item));
}

void ArchiveBuilder::addStream(std::unique_ptr<Stream> stream, const StreamItemProperties& properties) {
    auto item = std::make_unique<QueuedItem>();
    item->ownedStream = std::move(stream); // the item owns it now, whatever happens next
    item->properties = properties;
    ensureNotSaving();
    if (!item->ownedStream)
        throw Error("An archive item needs a stream");
    Stream& owned = *item->ownedStream;
    queueStream(std::move(item), owned);
}

void ArchiveBuilder::addStream(Stream& stream, const StreamItemProperties& properties) {
    ensureNotSaving();
    auto item = std::make_unique<QueuedItem>();
    item->properties = properties;
    queueStream(std::move(item), stream);
}

void ArchiveBuilder::addFile(const std::string& fileName, const std::u16string& archivePath) {
    ensureNotSaving();
    const auto record = readFileRecord(fileName);
    if (!record || !record->isRegular)
        return;
    // The library stores as many bytes as the item's size says, and a file of the kernel's own file
    // systems (/proc) reports a size that says nothing of its content: its bytes are taken now.
    if (InputFile probe(fileName); probe.isOpen() && probe.onKernelFileSystem()) {
        addStream(
            std::make_unique<MemoryStream>(readFileContent(fileName, FileReader::kPreloadLimit)),
            {record->attributes, record->creationTime, record->lastWriteTime, archivePath, false, false});
        return;
    }
    items_.push_back(makeFileItem(fileName, archivePath, *record));
}

void ArchiveBuilder::addFiles(const std::string& directory, const std::string& archiveFolder,
                              const std::string& masks, bool recurse) {
    ensureNotSaving();
    const std::vector<std::string> maskList = splitMasks(masks);
    std::string root = directory; // empty: the current folder
    if (!root.empty() && root.back() != '/')
        root += '/';
    std::string prefix = archiveFolder;
    if (!prefix.empty() && prefix.back() != '/')
        prefix += '/';

    std::vector<std::unique_ptr<QueuedItem>> found;
    const auto visit = [&](const auto& self, const std::string& folder, const std::string& relative) -> void {
        const std::vector<FolderEntry> entries = listFolder(folder);
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
                otherEntries = listFolder(folder + subfolder);
            for (const FolderEntry& entry : subfolder.empty() ? entries : otherEntries) {
                // A temporary left by a save that was killed is nobody's file.
                if (!matchesMask(entry.name, pattern) || isTemporarySaveName(entry.name))
                    continue;
                const std::string path = folder + subfolder + entry.name;
                const auto record = readFileRecord(path);
                if (!record || !record->isRegular)
                    continue;
                found.push_back(
                    makeFileItem(path, utf8ToUtf16(prefix + relative + subfolder + entry.name), *record));
            }
        }
    };
    visit(visit, root, std::string());

    // All or nothing: a failure above leaves the queue as it was.
    items_.reserve(items_.size() + found.size());
    for (auto& item : found)
        items_.push_back(std::move(item));
}

void ArchiveBuilder::clearItems() {
    ensureNotSaving();
    items_.clear();
}

// ---------------------------------------------------------------------------------------------
// Settings

void ArchiveBuilder::setProgressCallback(void* sender, ArchiveProgressCallback callback) {
    ensureNotSaving();
    progressSender_ = sender;
    progressCallback_ = callback;
}

void ArchiveBuilder::setPassword(const std::u16string& password) {
    ensureNotSaving();
    password_ = password;
}

void ArchiveBuilder::setClassId(const GUID& classId) {
    classId_ = classId;
}

GUID ArchiveBuilder::classId() const {
    return classId_;
}

HRESULT ArchiveBuilder::applyProperties(ISetProperties& setter,
                                        const std::vector<PropertyEntry>& properties) {
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

void ArchiveBuilder::setProperty(const std::u16string& name, const PROPVARIANT& value) {
    ensureNotSaving();
    std::vector<PropertyEntry> next = properties_;
    {
        std::wstring wideName = toLibraryText(name);
        OwnedPropVariant copy(bstrs());
        try {
            copy = OwnedPropVariant(bstrs(), value);
        } catch (const std::invalid_argument&) {
            checkResult(E_INVALIDARG);
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
    const ComPtr<ISetProperties> setter = outArchive_.as<ISetProperties>();
    if (!setter)
        throw InterfaceNotSupportedError();
    // The library starts from its defaults on every call, so the whole set goes each time: a level
    // set before the method survives the method. A rejected set leaves the handler half-configured;
    // sending the last accepted set again puts it back as it was.
    const HRESULT result = applyProperties(*setter, next);
    if (result != S_OK) {
        static_cast<void>(applyProperties(*setter, properties_));
        checkResult(result);
    }
    properties_ = std::move(next);
}

// ---------------------------------------------------------------------------------------------
// Saving

HRESULT ArchiveBuilder::runUpdate(Stream& destination) {
    SavingFlag saving(saving_);
    auto errors = std::make_shared<CallbackErrors>();
    errors_ = errors;
    HRESULT result = S_OK;
    {
        const ComPtr<IOutStream> output((new StreamAdapter(destination, errors))->outputView());
        const ComPtr<IArchiveUpdateCallback> callback(this);
        const auto count = static_cast<UInt32>(items_.size());
        try {
            IOutArchive& archive = libraryObject();
            result = archive.UpdateItems(output.get(), count, callback.get());
        } catch (...) {
            errors_.reset();
            throw;
        }
    }
    errors_.reset();
    errors->rethrowFirst();
    return result;
}

// An item reported as empty is never read by the library, so an empty file that gained content
// before the save would be stored empty without a word; look again once the archive is written.
void ArchiveBuilder::checkEmptyItemsUnchanged() const {
    for (const auto& item : items_) {
        if (item->size != 0 || item->properties.isDirectory || item->properties.isAnti)
            continue;
        if (item->source == ItemSource::File) {
            const auto record = readFileRecord(item->fileName);
            if (!record)
                FileStream::openForReading(item->fileName); // raises its open error
            else if (record->size != 0)
                raiseChangedSize(absolutePath(item->fileName));
        } else if (item->stream->size() != 0) {
            raiseChangedSize(utf16ToUtf8(item->properties.archivePath));
        }
    }
}

void ArchiveBuilder::saveToStream(Stream& stream) {
    ensureNotSaving();
    checkResult(runUpdate(stream));
    checkEmptyItemsUnchanged();
}

void ArchiveBuilder::saveToFile(const std::string& fileName) {
    ensureNotSaving();
    // The archive appears under its name only when it is complete: an existing archive survives a
    // failed save, and no half-written file is left behind.
    AtomicFile file(fileName);
    checkResult(runUpdate(file.stream()));
    checkEmptyItemsUnchanged();
    file.commit();
}

// ---------------------------------------------------------------------------------------------
// Library callbacks

HRESULT ArchiveBuilder::reportProgress(bool isTotal, UInt64 value) noexcept {
    if (progressCallback_ == nullptr)
        return S_OK;
    try {
        const std::lock_guard lock(progressMutex_);
        return progressCallback_(progressSender_, isTotal, value);
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT ArchiveBuilder::SetTotal(UInt64 total) noexcept {
    return reportProgress(true, total);
}

HRESULT ArchiveBuilder::SetCompleted(const UInt64* completeValue) noexcept {
    if (completeValue == nullptr)
        return S_OK;
    return reportProgress(false, *completeValue);
}

HRESULT ArchiveBuilder::GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProperties,
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
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT ArchiveBuilder::GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) noexcept {
    if (value == nullptr)
        return E_POINTER;
    try {
        const QueuedItem& item = itemAt(index);
        switch (propID) {
        case kpidPath:
            if (!item.properties.archivePath.empty()) {
                BSTR path = bstrs().allocate(item.properties.archivePath); // the library frees it
                *value = PROPVARIANT{};
                value->vt = VT_BSTR;
                value->bstrVal = path;
            }
            break;
        case kpidIsDir:
            setBool(*value, item.properties.isDirectory);
            break;
        case kpidSize:
            *value = PROPVARIANT{};
            value->vt = VT_UI8; // the library accepts no other type here
            value->uhVal = item.size;
            break;
        case kpidAttrib:
            *value = PROPVARIANT{};
            value->vt = VT_UI4;
            value->ulVal = item.properties.attributes;
            break;
        case kpidCTime:
            setFileTime(*value, item.properties.creationTime);
            break;
        case kpidMTime:
            setFileTime(*value, item.properties.lastWriteTime);
            break;
        case kpidIsAnti:
            setBool(*value, item.properties.isAnti);
            break;
        default:
            break; // the last access time and everything else: not reported
        }
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT ArchiveBuilder::GetStream(UInt32 index, ISequentialInStream** inStream) noexcept {
    if (inStream == nullptr)
        return E_POINTER;
    *inStream = nullptr;
    try {
        const QueuedItem& item = itemAt(index);
        ComPtr<IInStream> stream;
        if (item.source == ItemSource::File) {
            // Opened only now and closed when the library lets go of it. Others may go on reading and
            // writing the file meanwhile: Linux has no share modes to deny them.
            auto file = FileStream::openForReading(item.fileName);
            std::string label = file->fullPath();
            stream = ComPtr<IInStream>(new ItemStream(std::unique_ptr<Stream>(std::move(file)), item.size,
                                                      std::move(label), errors_));
        } else {
            item.stream->seek(0, SeekFrom::Start);
            stream = ComPtr<IInStream>(
                new ItemStream(*item.stream, item.size, utf16ToUtf8(item.properties.archivePath), errors_));
        }
        *inStream = stream.detach();
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT ArchiveBuilder::SetOperationResult(Int32 /*operationResult*/) noexcept {
    return S_OK;
}

HRESULT ArchiveBuilder::CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) noexcept {
    if (passwordIsDefined == nullptr || password == nullptr)
        return E_POINTER;
    try {
        if (password_.empty()) {
            *passwordIsDefined = 0;
            return S_OK;
        }
        *password = bstrs().allocate(password_); // the library wipes and frees it
        *passwordIsDefined = 1;
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

// ---------------------------------------------------------------------------------------------
// Unit routines

ComPtr<ArchiveWriter> createArchiveWriter(const GUID& classId, const std::string& libraryFileName) {
    ComPtr<ArchiveWriter> writer(new ArchiveBuilder(libraryFileName));
    writer->setClassId(classId);
    return writer;
}

void setNumberProperty(ArchiveWriter& writer, const std::u16string& name, UInt32 number) {
    PROPVARIANT value{};
    value.vt = VT_UI4;
    value.ulVal = number;
    writer.setProperty(name, value);
}

void setLevelProperty(ArchiveWriter& writer, UInt32 level) {
    setNumberProperty(writer, u"X", level);
}

void setMethodProperty(ArchiveWriter& writer, std::size_t index) {
    if (index >= kArchiveMethodNames.size())
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    std::wstring name = toLibraryText(kArchiveMethodNames[index]);
    PROPVARIANT value{};
    value.vt = VT_BSTR;
    value.bstrVal = name.data(); // setProperty copies it up to its NUL
    writer.setProperty(u"0", value);
}

} // namespace plombar::sevenzip
