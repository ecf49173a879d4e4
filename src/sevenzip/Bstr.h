#pragma once

#include "sevenzip/Interfaces.h"

#include <string>
#include <string_view>

namespace plombar::sevenzip {

// Wide text for the library: UTF-16 code units, one per wchar_t.
std::wstring toLibraryText(std::u16string_view text);
std::u16string fromLibraryText(std::wstring_view text);

// Allocates BSTRs that the library can free and frees those it hands us. A BSTR is one malloc block
// [uint32 byte length][characters][0] pointing past the prefix. The library's own SysAllocStringLen
// and SysFreeString are used when it exports them (looked up on the same handle, so that they pair
// with the library's frees); otherwise an identical allocator of our own. None of these are global
// C symbols: a function named SysFreeString in our program would replace the library's own.
class BstrAllocator {
public:
    BstrAllocator() noexcept = default;
    BstrAllocator(SysAllocStringLenFunc allocateString, SysFreeStringFunc freeString) noexcept;

    // Throws std::bad_alloc when the allocation fails.
    BSTR allocate(std::u16string_view text) const;
    BSTR allocateWide(std::wstring_view text) const;
    void release(BSTR text) const noexcept;

    bool usesLibraryAllocator() const noexcept { return allocate_ != nullptr; }

private:
    SysAllocStringLenFunc allocate_ = nullptr;
    SysFreeStringFunc free_ = nullptr;
};

// The length of a BSTR in characters, from its prefix.
std::size_t bstrLength(const wchar_t* text) noexcept;

// One PROPVARIANT value that owns what it points to (a BSTR copy); copies are deep. Only scalar
// types and VT_BSTR can be held.
class OwnedPropVariant {
public:
    OwnedPropVariant(const BstrAllocator& allocator) noexcept;
    // Copies `value`; a VT_BSTR is read up to its first NUL. Throws std::invalid_argument for a type
    // that carries a pointer other than VT_BSTR.
    OwnedPropVariant(const BstrAllocator& allocator, const PROPVARIANT& value);
    OwnedPropVariant(const OwnedPropVariant& other);
    OwnedPropVariant& operator=(const OwnedPropVariant& other);
    OwnedPropVariant(OwnedPropVariant&& other) noexcept;
    OwnedPropVariant& operator=(OwnedPropVariant&& other) noexcept;
    ~OwnedPropVariant();

    const PROPVARIANT& value() const noexcept { return value_; }

private:
    void clear() noexcept;
    void copyFrom(const PROPVARIANT& value);

    const BstrAllocator* allocator_;
    PROPVARIANT value_{};
};

// True for the variant types that OwnedPropVariant can hold.
bool isStorableVariantType(VARTYPE type) noexcept;

} // namespace plombar::sevenzip
