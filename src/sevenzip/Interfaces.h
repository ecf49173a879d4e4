#pragma once

// The 7-Zip archive library's binary interface as this program calls it and answers it: value types,
// identifiers and the object interfaces. This is the only file that declares them.
//
// The layout is that of 7-Zip 23 and later on Linux (Debian's /usr/lib/p7zip/7z.so):
//  - IUnknown has exactly three slots (QueryInterface, AddRef, Release) and NO virtual destructor;
//    every interface declares a protected non-virtual destructor so that the compiler adds no slot
//    and nobody deletes through an interface pointer. The loader refuses libraries that report
//    another layout through GetModuleProp.
//  - plain SysV calls; every method is noexcept because an exception must never unwind into the
//    library (its worker threads would terminate the process).
//  - wchar_t is 4 bytes but holds UTF-16 code units, one per wchar_t (surrogate pairs for
//    characters outside the BMP): the library stores (uint16)c of each one.

#include <cstddef>
#include <cstdint>

namespace plombar::sevenzip {

static_assert(sizeof(wchar_t) == 4, "the library's wide characters are 4 bytes on this platform");

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using UInt32 = std::uint32_t;
using Int32 = std::int32_t;
using UInt64 = std::uint64_t;
using Int64 = std::int64_t;
using PROPID = std::uint32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using BSTR = wchar_t*;

// Result codes. Success is bit 31 clear; the library turns errno values into 0x88000000 + errno.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

constexpr bool failed(HRESULT code) noexcept {
    return code < 0;
}

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
};
static_assert(sizeof(GUID) == 16);

// 100-ns ticks since 1601-01-01 UTC.
struct FILETIME {
    std::uint32_t dwLowDateTime;
    std::uint32_t dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8);

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_FILETIME = 64,
};

struct PROPVARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int8_t cVal;
        std::uint8_t bVal;
        std::int16_t iVal;
        std::uint16_t uiVal;
        std::int32_t lVal;
        std::uint32_t ulVal;
        std::int32_t intVal;
        std::uint32_t uintVal;
        std::int64_t hVal;
        std::uint64_t uhVal;
        VARIANT_BOOL boolVal;
        FILETIME filetime;
        BSTR bstrVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 16);
static_assert(offsetof(PROPVARIANT, ulVal) == 8);

// Item property ids asked by the library's update code (7-Zip's published numbering).
enum : PROPID {
    kpidPath = 3,
    kpidIsDir = 6,
    kpidSize = 7,
    kpidAttrib = 9,
    kpidCTime = 10,
    kpidATime = 11,
    kpidMTime = 12,
    kpidIsAnti = 21,
};

// GetModuleProp ids and the interface layout value this program speaks.
inline constexpr PROPID kModulePropInterfaceType = 0;
inline constexpr PROPID kModulePropVersion = 1;
inline constexpr UInt32 kInterfaceTypeNoVirtualDestructor = 0;

// The library's interface ids follow {23170F69-40C1-278A-0000-00gg00ss0000}.
constexpr GUID libraryInterfaceId(std::uint8_t group, std::uint8_t sub) noexcept {
    return GUID{0x23170F69u, 0x40C1u, 0x278Au, {0, 0, 0, group, 0, sub, 0, 0}};
}

// Class id of the 7z format handler given to CreateObject.
inline constexpr GUID kClassId7zFormat{
    0x23170F69u, 0x40C1u, 0x278Au, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

#define PLOMBAR_7Z_INTERFACE_DTOR(Name)                                                                      \
protected:                                                                                                   \
    Name() = default;                                                                                        \
    Name(const Name&) = default;                                                                             \
    Name& operator=(const Name&) = default;                                                                  \
    ~Name() = default;                                                                                       \
                                                                                                             \
public:

struct IUnknown {
    static constexpr GUID IID{0x00000000u, 0x0000u, 0x0000u, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT QueryInterface(const GUID& iid, void** object) noexcept = 0;
    virtual ULONG AddRef() noexcept = 0;
    virtual ULONG Release() noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IUnknown)
};

struct ISequentialInStream : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x01);
    virtual HRESULT Read(void* data, UInt32 size, UInt32* processedSize) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(ISequentialInStream)
};

struct ISequentialOutStream : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x02);
    virtual HRESULT Write(const void* data, UInt32 size, UInt32* processedSize) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(ISequentialOutStream)
};

struct IInStream : ISequentialInStream {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x03);
    virtual HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IInStream)
};

struct IOutStream : ISequentialOutStream {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x04);
    virtual HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept = 0;
    virtual HRESULT SetSize(UInt64 newSize) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IOutStream)
};

struct IStreamGetSize : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x06);
    virtual HRESULT GetSize(UInt64* size) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IStreamGetSize)
};

// Called IOutStreamFinish in newer 7-Zip sources; same id and slot.
struct IOutStreamFlush : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x03, 0x07);
    virtual HRESULT Flush() noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IOutStreamFlush)
};

struct IProgress : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x00, 0x05);
    virtual HRESULT SetTotal(UInt64 total) noexcept = 0;
    virtual HRESULT SetCompleted(const UInt64* completeValue) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IProgress)
};

struct ICryptoGetTextPassword2 : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x05, 0x11);
    virtual HRESULT CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(ICryptoGetTextPassword2)
};

struct ISetProperties : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x06, 0x03);
    virtual HRESULT SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                  UInt32 numProperties) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(ISetProperties)
};

struct IArchiveUpdateCallback : IProgress {
    static constexpr GUID IID = libraryInterfaceId(0x06, 0x80);
    virtual HRESULT GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProperties,
                                      UInt32* indexInArchive) noexcept = 0;
    virtual HRESULT GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) noexcept = 0;
    virtual HRESULT GetStream(UInt32 index, ISequentialInStream** inStream) noexcept = 0;
    virtual HRESULT SetOperationResult(Int32 operationResult) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IArchiveUpdateCallback)
};

struct IOutArchive : IUnknown {
    static constexpr GUID IID = libraryInterfaceId(0x06, 0xA0);
    virtual HRESULT UpdateItems(ISequentialOutStream* outStream, UInt32 numItems,
                                IArchiveUpdateCallback* updateCallback) noexcept = 0;
    virtual HRESULT GetFileTimeType(UInt32* type) noexcept = 0;
    PLOMBAR_7Z_INTERFACE_DTOR(IOutArchive)
};

#undef PLOMBAR_7Z_INTERFACE_DTOR

// The library's exports. CreateObject and GetHandlerProperty are the ones a format library must
// have; GetModuleProp tells the interface layout; the BSTR and variant helpers let us allocate what
// the library frees and free what it allocates with the same allocator.
using CreateObjectFunc = HRESULT (*)(const GUID* classId, const GUID* interfaceId, void** object);
using GetHandlerPropertyFunc = HRESULT (*)(PROPID propID, PROPVARIANT* value);
using GetModulePropFunc = HRESULT (*)(PROPID propID, PROPVARIANT* value);
using SysAllocStringLenFunc = BSTR (*)(const wchar_t* text, unsigned length);
using SysFreeStringFunc = void (*)(BSTR text);
using VariantClearFunc = HRESULT (*)(PROPVARIANT* value);

} // namespace plombar::sevenzip
