#include "sevenzip/ArchiveLibrary.h"

#include "platform/Errors.h"
#include "sevenzip/ArchiveErrors.h"

#include <climits>
#include <cstring>
#include <unistd.h>

namespace plombar::sevenzip {

namespace {

// The folder holding the running executable, with a trailing "/" (empty when unknown).
std::string executableFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A bare name is looked for beside the executable and in the folders where Debian and upstream
// packages put the library before the dynamic linker's own search; a name with a folder part is
// loaded exactly as given.
DynamicLibrary openArchiveLibrary(const std::string& fileName) {
    if (fileName.empty())
        return {};
    if (fileName.find('/') != std::string::npos)
        return DynamicLibrary::open(fileName);
    for (const std::string& folder :
         {executableFolder(), std::string("/usr/lib/p7zip/"), std::string("/usr/lib/7zip/")}) {
        if (folder.empty())
            continue;
        const std::string candidate = folder + fileName;
        if (::access(candidate.c_str(), F_OK) != 0)
            continue;
        if (DynamicLibrary library = DynamicLibrary::open(candidate))
            return library;
    }
    return DynamicLibrary::open(fileName);
}

template <class Function> Function exportOf(const DynamicLibrary& library, const char* name) {
    void* address = library.symbol(name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function;
}

// The library's objects are called through our declarations, so its vtables must have the layout we
// declare: 7-Zip 23 and later on Linux report 0 (no virtual destructor in IUnknown). Older builds
// (p7zip) have two destructor slots after Release and report 1 or nothing at all; calling them would
// run a destructor where UpdateItems was meant.
void checkInterfaceLayout(const DynamicLibrary& library, const std::string& fileName) {
    const auto getModuleProp = exportOf<GetModulePropFunc>(library, "GetModuleProp");
    bool matches = false;
    if (getModuleProp != nullptr) {
        PROPVARIANT value{}; // the library clears what it is given first: it must be empty
        const HRESULT result = getModuleProp(kModulePropInterfaceType, &value);
        matches = result == S_OK && value.vt == VT_UI4 && value.ulVal == kInterfaceTypeNoVirtualDestructor;
        if (value.vt == VT_BSTR)
            if (const auto variantClear = exportOf<VariantClearFunc>(library, "VariantClear"))
                variantClear(&value);
    }
    if (!matches)
        throw Error(fileName + " has an incompatible interface layout (7-Zip 23 or later is required)");
}

} // namespace

ArchiveLibrary::ArchiveLibrary(const std::string& libraryFileName) : libraryFileName_(libraryFileName) {
    library_ = openArchiveLibrary(libraryFileName);
    if (!library_)
        throw Error("Error loading library " + libraryFileName);
    // On any failure below, library_ unloads the library once as the construction unwinds.
    createObject_ = exportOf<CreateObjectFunc>(library_, "CreateObject");
    if (createObject_ == nullptr)
        throw Error(libraryFileName + " is not a 7z library");
    checkInterfaceLayout(library_, libraryFileName);
    bstrs_ = BstrAllocator(exportOf<SysAllocStringLenFunc>(library_, "SysAllocStringLen"),
                           exportOf<SysFreeStringFunc>(library_, "SysFreeString"));
}

ArchiveLibrary::~ArchiveLibrary() = default; // library_ unloads the library

void ArchiveLibrary::createObject(const GUID& classId, const GUID& interfaceId, void** object) {
    void* created = nullptr;
    const HRESULT result = createObject_(&classId, &interfaceId, &created);
    if (failed(result))
        throw Error(resultMessage(result));
    // A success without an object would be used as one; treat it as the refusal it is.
    if (created == nullptr)
        throw Error(resultMessage(E_NOINTERFACE));
    *object = created;
}

ArchiveHandler::ArchiveHandler(const std::string& libraryFileName) : ArchiveLibrary(libraryFileName) {
    // Required of a format library, though never called.
    if (exportOf<GetHandlerPropertyFunc>(library(), "GetHandlerProperty") == nullptr)
        throw Error(libraryFileName + " is not a Format library");
}

} // namespace plombar::sevenzip
