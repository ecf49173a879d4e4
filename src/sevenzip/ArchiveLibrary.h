#pragma once

#include "platform/DynamicLibrary.h"
#include "sevenzip/Bstr.h"
#include "sevenzip/ComPtr.h"
#include "sevenzip/RefCountedObject.h"

#include <string>

namespace plombar::sevenzip {

// The archive library's file name. A name without "/" is searched in the executable's folder,
// /usr/lib/p7zip, /usr/lib/7zip and then by the dynamic linker; a name with "/" is loaded as it is.
inline constexpr char kLibraryFileName[] = "7z.so";

// Holds a loaded archive library for as long as the object lives, with its object factory.
// Construction fails with an Error ("Error loading library %s", "%s is not a 7z library", or a
// refused interface layout) and then leaves nothing loaded.
class ArchiveLibrary : public RefCountedObject {
public:
    explicit ArchiveLibrary(const std::string& libraryFileName);

    // Calls the library's CreateObject. A result with bit 31 set raises an Error with the system
    // message text for the code; any other result (1 included) is success and `object` then holds
    // the new object with one reference, owned by the caller.
    void createObject(const GUID& classId, const GUID& interfaceId, void** object);

    template <class I> ComPtr<I> createObject(const GUID& classId) {
        void* object = nullptr;
        createObject(classId, I::IID, &object);
        return ComPtr<I>::adopt(static_cast<I*>(object));
    }

    const std::string& libraryFileName() const noexcept { return libraryFileName_; }
    void* libraryHandle() const noexcept { return library_.handle(); }
    // Allocates BSTRs that this library may free.
    const BstrAllocator& bstrs() const noexcept { return bstrs_; }

protected:
    ~ArchiveLibrary() override;

    const DynamicLibrary& library() const noexcept { return library_; }

private:
    DynamicLibrary library_;
    CreateObjectFunc createObject_ = nullptr;
    std::string libraryFileName_;
    BstrAllocator bstrs_;
};

// An archive library that holds format handlers: it must also export GetHandlerProperty ("%s is not
// a Format library" otherwise). classId() names the handler that the writer asks the library for;
// it is all zero after construction.
class ArchiveHandler : public ArchiveLibrary {
public:
    explicit ArchiveHandler(const std::string& libraryFileName);

    const GUID& classId() const noexcept { return classId_; }

protected:
    ~ArchiveHandler() override = default;

    GUID classId_{};
};

} // namespace plombar::sevenzip
