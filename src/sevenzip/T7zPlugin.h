#pragma once

#include "platform/DynamicLibrary.h"
#include "sevenzip/Bstr.h"
#include "sevenzip/ComPtr.h"
#include "sevenzip/InterfacedObject.h"

#include <string>

namespace plombar::sevenzip {

// The archive library's file name. A name without "/" is searched in the executable's folder,
// /usr/lib/p7zip, /usr/lib/7zip and then by the dynamic linker; a name with "/" is loaded as it is.
inline constexpr char kLibraryFileName[] = "7z.so";

// Holds a loaded archive library for as long as the object lives, with its object factory.
// Construction fails with an Error ("Error loading library %s", "%s is not a 7z library", or a
// refused interface layout) and then leaves nothing loaded.
class T7zPlugin : public TInterfacedObject {
public:
    explicit T7zPlugin(const std::string& libraryFileName);

    // Calls the library's CreateObject. A result with bit 31 set raises an Error with the system
    // message text for the code; any other result (1 included) is success and `object` then holds
    // the new object with one reference, owned by the caller.
    void CreateLibraryObject(const GUID& classId, const GUID& interfaceId, void** object);

    template <class I> ComPtr<I> CreateLibraryObject(const GUID& classId) {
        void* object = nullptr;
        CreateLibraryObject(classId, I::IID, &object);
        return ComPtr<I>::adopt(static_cast<I*>(object));
    }

    const std::string& libraryFileName() const noexcept { return libraryFileName_; }
    void* libraryHandle() const noexcept { return LibraryHandle.handle(); }
    // Allocates BSTRs that this library may free.
    const BstrAllocator& bstrs() const noexcept { return bstrs_; }

protected:
    ~T7zPlugin() override;

    DynamicLibrary LibraryHandle;
    CreateObjectFunc CreateObjectEntry = nullptr;

private:
    std::string libraryFileName_;
    BstrAllocator bstrs_;
};

// A plugin that is a format library: it must also export GetHandlerProperty ("%s is not a Format
// library" otherwise). ClassId names the handler that the output archive asks the library for; it
// is all zero after construction.
class T7zArchive : public T7zPlugin {
public:
    explicit T7zArchive(const std::string& libraryFileName);

    const GUID& classId() const noexcept { return ClassId; }

protected:
    ~T7zArchive() override = default;

    GetHandlerPropertyFunc GetHandlerPropertyEntry = nullptr; // required, never called
    GUID ClassId{};
};

} // namespace plombar::sevenzip
