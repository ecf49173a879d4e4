#include "sevenzip/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace plombar::sevenzip {

std::wstring toLibraryText(std::u16string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char16_t unit : text)
        wide.push_back(static_cast<wchar_t>(unit));
    return wide;
}

std::u16string fromLibraryText(std::wstring_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (wchar_t c : text)
        units.push_back(static_cast<char16_t>(c));
    return units;
}

namespace {

constexpr std::size_t kPrefixSize = sizeof(std::uint32_t);

BSTR ownAllocate(const wchar_t* text, std::size_t length) {
    if (length > (UINT32_MAX - kPrefixSize) / sizeof(wchar_t) - 1)
        throw std::bad_alloc();
    const std::size_t bytes = length * sizeof(wchar_t);
    void* block = std::malloc(kPrefixSize + bytes + sizeof(wchar_t));
    if (block == nullptr)
        throw std::bad_alloc();
    const auto prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, kPrefixSize);
    auto* chars = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + kPrefixSize);
    if (length != 0)
        std::memcpy(chars, text, bytes);
    chars[length] = L'\0';
    return chars;
}

void ownFree(BSTR text) noexcept {
    if (text != nullptr)
        std::free(reinterpret_cast<char*>(text) - kPrefixSize);
}

} // namespace

BstrAllocator::BstrAllocator(SysAllocStringLenFunc allocateString, SysFreeStringFunc freeString) noexcept {
    // Only a matching pair is used; half of one would mix allocators.
    if (allocateString != nullptr && freeString != nullptr) {
        allocate_ = allocateString;
        free_ = freeString;
    }
}

BSTR BstrAllocator::allocate(std::u16string_view text) const {
    return allocateWide(toLibraryText(text));
}

BSTR BstrAllocator::allocateWide(std::wstring_view text) const {
    if (allocate_ == nullptr)
        return ownAllocate(text.data(), text.size());
    if (text.size() > UINT32_MAX / sizeof(wchar_t) - 2)
        throw std::bad_alloc();
    BSTR result = allocate_(text.data(), static_cast<unsigned>(text.size()));
    if (result == nullptr)
        throw std::bad_alloc();
    return result;
}

void BstrAllocator::release(BSTR text) const noexcept {
    if (text == nullptr)
        return;
    if (free_ != nullptr)
        free_(text);
    else
        ownFree(text);
}

std::size_t bstrLength(const wchar_t* text) noexcept {
    if (text == nullptr)
        return 0;
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - kPrefixSize, kPrefixSize);
    return prefix / sizeof(wchar_t);
}

bool isStorableVariantType(VARTYPE type) noexcept {
    switch (type) {
    case VT_EMPTY:
    case VT_I2:
    case VT_I4:
    case VT_BSTR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_FILETIME:
        return true;
    default:
        return false;
    }
}

OwnedPropVariant::OwnedPropVariant(const BstrAllocator& allocator) noexcept : allocator_(&allocator) {}

OwnedPropVariant::OwnedPropVariant(const BstrAllocator& allocator, const PROPVARIANT& value)
    : allocator_(&allocator) {
    copyFrom(value);
}

OwnedPropVariant::OwnedPropVariant(const OwnedPropVariant& other) : allocator_(other.allocator_) {
    copyFrom(other.value_);
}

OwnedPropVariant& OwnedPropVariant::operator=(const OwnedPropVariant& other) {
    if (this != &other) {
        OwnedPropVariant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

OwnedPropVariant::OwnedPropVariant(OwnedPropVariant&& other) noexcept
    : allocator_(other.allocator_), value_(std::exchange(other.value_, PROPVARIANT{})) {}

OwnedPropVariant& OwnedPropVariant::operator=(OwnedPropVariant&& other) noexcept {
    if (this != &other) {
        clear();
        allocator_ = other.allocator_;
        value_ = std::exchange(other.value_, PROPVARIANT{});
    }
    return *this;
}

OwnedPropVariant::~OwnedPropVariant() {
    clear();
}

void OwnedPropVariant::clear() noexcept {
    if (value_.vt == VT_BSTR)
        allocator_->release(value_.bstrVal);
    value_ = PROPVARIANT{};
}

void OwnedPropVariant::copyFrom(const PROPVARIANT& value) {
    if (!isStorableVariantType(value.vt))
        throw std::invalid_argument("unsupported variant type");
    PROPVARIANT copy{};
    if (value.vt == VT_BSTR) {
        const wchar_t* text = value.bstrVal != nullptr ? value.bstrVal : L"";
        copy.bstrVal = allocator_->allocateWide(std::wstring_view(text));
    } else {
        std::memcpy(&copy, &value, sizeof copy); // every scalar fits the 8 value bytes
        copy.wReserved1 = copy.wReserved2 = copy.wReserved3 = 0;
    }
    copy.vt = value.vt;
    value_ = copy;
}

} // namespace plombar::sevenzip
