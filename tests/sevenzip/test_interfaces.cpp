// The binary interface as the library sees it: identifiers, value layouts, vtable slots of our objects
// called the way the library calls them, BSTR layout, and the reference-counted object base.
#include "platform/Errors.h"
#include "sevenzip/ArchiveWriter.h"
#include "sevenzip/Bstr.h"
#include "sevenzip/ComPtr.h"
#include "sevenzip/RefCountedObject.h"
#include "sevenzip/StreamAdapter.h"

#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "SevenZipTestSupport.h"
#include "TestSupport.h"

using namespace plombar;
using namespace plombar::sevenzip;

namespace {

struct IdCase {
    const char* name;
    GUID ours;
    const char* text;
};

const IdCase kIds[] = {
    {"kClassId7zFormat", kClassId7zFormat, "{23170F69-40C1-278A-1000-000110070000}"},
    {"IOutArchive", IOutArchive::IID, "{23170F69-40C1-278A-0000-000600A00000}"},
    {"ISetProperties", ISetProperties::IID, "{23170F69-40C1-278A-0000-000600030000}"},
    {"IArchiveUpdateCallback", IArchiveUpdateCallback::IID, "{23170F69-40C1-278A-0000-000600800000}"},
    {"ICryptoGetTextPassword2", ICryptoGetTextPassword2::IID, "{23170F69-40C1-278A-0000-000500110000}"},
    {"IProgress", IProgress::IID, "{23170F69-40C1-278A-0000-000000050000}"},
    {"ISequentialInStream", ISequentialInStream::IID, "{23170F69-40C1-278A-0000-000300010000}"},
    {"ISequentialOutStream", ISequentialOutStream::IID, "{23170F69-40C1-278A-0000-000300020000}"},
    {"IInStream", IInStream::IID, "{23170F69-40C1-278A-0000-000300030000}"},
    {"IOutStream", IOutStream::IID, "{23170F69-40C1-278A-0000-000300040000}"},
    {"IStreamGetSize", IStreamGetSize::IID, "{23170F69-40C1-278A-0000-000300060000}"},
    {"IOutStreamFlush", IOutStreamFlush::IID, "{23170F69-40C1-278A-0000-000300070000}"},
    {"ArchiveWriter", ArchiveWriter::IID, "{BAA9D5DC-9FF4-4382-9BFD-EC9065BD0125}"},
    {"IUnknown", IUnknown::IID, "{00000000-0000-0000-C000-000000000046}"},
};

TEST(Identifiers, EveryIdHasItsPublishedValueAndByteLayout) {
    for (const IdCase& c : kIds) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.ours == test::parseGuid(c.text));
    }
    // In memory the first three fields are little-endian: CreateObject compares these 16 bytes.
    const unsigned char expected[16] = {0x69, 0x0F, 0x17, 0x23, 0xC1, 0x40, 0x8A, 0x27,
                                        0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(&kClassId7zFormat, expected, 16), 0);
}

TEST(Identifiers, MethodNamesAndPropertyIds) {
    const std::u16string_view names[] = {u"COPY", u"LZMA", u"BZIP2", u"PPMD", u"DEFLATE", u"DEFLATE64"};
    ASSERT_EQ(kArchiveMethodNames.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(kArchiveMethodNames[i], names[i]) << i;
    const std::pair<PROPID, PROPID> ids[] = {{kpidPath, 3},   {kpidIsDir, 6},  {kpidSize, 7},
                                             {kpidAttrib, 9}, {kpidCTime, 10}, {kpidATime, 11},
                                             {kpidMTime, 12}, {kpidIsAnti, 21}};
    for (const auto& [ours, published] : ids)
        EXPECT_EQ(ours, published);
}

TEST(ValueLayout, VariantFiletimeAndBoolMatchTheLibrary) {
    EXPECT_EQ(sizeof(PROPVARIANT), 16u);
    EXPECT_EQ(offsetof(PROPVARIANT, vt), 0u);
    EXPECT_EQ(offsetof(PROPVARIANT, wReserved1), 2u);
    EXPECT_EQ(offsetof(PROPVARIANT, ulVal), 8u);
    EXPECT_EQ(offsetof(PROPVARIANT, filetime), 8u);
    EXPECT_EQ(offsetof(PROPVARIANT, bstrVal), 8u);
    EXPECT_EQ(sizeof(FILETIME), 8u);
    EXPECT_EQ(offsetof(FILETIME, dwHighDateTime), 4u);
    EXPECT_EQ(sizeof(wchar_t), 4u);
    EXPECT_EQ(VARIANT_TRUE, -1);
    const std::pair<VARTYPE, int> types[] = {{VT_EMPTY, 0}, {VT_BSTR, 8}, {VT_BOOL, 11},
                                             {VT_UI4, 19},  {VT_UI8, 21}, {VT_FILETIME, 64}};
    for (const auto& [ours, published] : types)
        EXPECT_EQ(ours, published);
}

TEST(ResultMessages, SystemTextForEveryCodeAndCheckResultFailsOnAnyNonZero) {
    setenv("LC_ALL", "C.UTF-8", 1);
    struct Case {
        std::uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {0x80004004u, "Operation aborted"},
        {0x80004005u, "Unspecified error"},
        {0x80070057u, "The parameter is incorrect"},
        {0x8007000Eu, "Not enough memory resources are available to complete this operation"},
        {0x80040111u, "ClassFactory cannot supply requested class"},
        {0x8800001Cu, "There is not enough space on the disk"}, // the library's ENOSPC
        {0x88000005u, "The request could not be performed because of an I/O device error"}, // EIO
        {0x8123ABCDu, "Error 0x8123ABCD"}, // no text: never an empty message
        {1u, "Incorrect function"},        // S_FALSE is not success for checkResult
    };
    for (const Case& c : cases) {
        const auto code = static_cast<HRESULT>(c.code);
        EXPECT_EQ(resultMessage(code), c.message) << std::hex << c.code;
        try {
            checkResult(code);
            ADD_FAILURE() << "no error for " << std::hex << c.code;
        } catch (const Error& e) {
            EXPECT_EQ(e.message(), c.message);
        }
    }
    EXPECT_NO_THROW(checkResult(S_OK));
}

// ---------------------------------------------------------------------------------------------
// BSTRs

TEST(Bstr, OwnAllocatorLaysOutPrefixCharactersAndTerminator) {
    const BstrAllocator own;
    EXPECT_FALSE(own.usesLibraryAllocator());
    // U+1F600 travels as a surrogate pair: one UTF-16 unit per wchar_t.
    BSTR text = own.allocate(u"Ab\U0001F600");
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
    EXPECT_EQ(prefix, 4u * 4u) << "byte length without the terminator";
    EXPECT_EQ(bstrLength(text), 4u);
    EXPECT_EQ(text[0], L'A');
    EXPECT_EQ(text[2], static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(text[3], static_cast<wchar_t>(0xDE00));
    EXPECT_EQ(text[4], L'\0');
    own.release(text);

    BSTR empty = own.allocate(u"");
    EXPECT_EQ(bstrLength(empty), 0u);
    EXPECT_EQ(empty[0], L'\0');
    own.release(empty);
    own.release(nullptr);
}

TEST(Bstr, OwnedVariantCopiesDeeplyAndRefusesPointerTypes) {
    const BstrAllocator own;
    std::wstring method = L"BZIP2";
    PROPVARIANT text{};
    text.vt = VT_BSTR;
    text.bstrVal = method.data();
    OwnedPropVariant copy(own, text);
    method[0] = L'X';
    ASSERT_EQ(copy.value().vt, VT_BSTR);
    EXPECT_EQ(std::wstring(copy.value().bstrVal), L"BZIP2");
    EXPECT_EQ(bstrLength(copy.value().bstrVal), 5u);
    OwnedPropVariant second = copy;
    EXPECT_NE(second.value().bstrVal, copy.value().bstrVal);

    PROPVARIANT number{};
    number.vt = VT_UI4;
    number.ulVal = 9;
    EXPECT_EQ(OwnedPropVariant(own, number).value().ulVal, 9u);

    PROPVARIANT pointer{};
    pointer.vt = 30; // VT_LPSTR: a pointer we could not keep alive
    EXPECT_THROW(OwnedPropVariant(own, pointer), std::invalid_argument);
}

TEST(Bstr, NoLibraryHelperIsExportedByThisProgram) {
    // The library calls these through the PLT: a global symbol of ours would replace its own.
    for (const char* name : {"SysAllocString", "SysAllocStringLen", "SysFreeString", "SysStringLen",
                             "VariantClear", "GetLastError"}) {
        EXPECT_EQ(::dlsym(RTLD_DEFAULT, name), nullptr) << name;
    }
}

// ---------------------------------------------------------------------------------------------
// Reference-counted base and ComPtr

class Probe : public ImplementInterfaces<RefCountedObject, IStreamGetSize> {
public:
    explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
    HRESULT GetSize(UInt64* size) noexcept override {
        if (size != nullptr)
            *size = 42;
        return S_OK;
    }

protected:
    ~Probe() override { *destroyed_ = true; }
    void* interfaceFor(const GUID& iid) noexcept override {
        if (iid == IStreamGetSize::IID)
            return static_cast<IStreamGetSize*>(this);
        return RefCountedObject::interfaceFor(iid);
    }

private:
    bool* destroyed_;
};

TEST(RefCountedObject, CountStartsAtZeroAndTheLastReleaseDestroys) {
    const auto live = RefCountedObject::liveObjects();
    bool destroyed = false;
    auto* probe = new Probe(&destroyed);
    EXPECT_EQ(probe->refCount(), 0);
    EXPECT_EQ(RefCountedObject::liveObjects(), live + 1);
    {
        ComPtr<IStreamGetSize> view(probe);
        EXPECT_EQ(probe->refCount(), 1);
        ComPtr<IUnknown> unknown = view.as<IUnknown>();
        EXPECT_EQ(probe->refCount(), 2);
        ComPtr<IUnknown> again = view.as<IStreamGetSize>().as<IUnknown>();
        EXPECT_EQ(unknown.get(), again.get()) << "IUnknown identity";
        EXPECT_FALSE(view.as<IInStream>()) << "not offered";
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(view->QueryInterface(IProgress::IID, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(view->QueryInterface(IProgress::IID, nullptr), E_POINTER);
        ComPtr<IStreamGetSize> copy = view;
        ComPtr<IStreamGetSize> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(probe->refCount(), 4);
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(RefCountedObject::liveObjects(), live);
}

// ---------------------------------------------------------------------------------------------
// Vtable slots: call our objects the way the library does, through raw slot numbers.

template <class Function> Function slot(const void* view, int index) {
    const auto* const* table = *static_cast<void* const* const*>(view);
    Function function = nullptr;
    std::memcpy(&function, &table[index], sizeof function);
    return function;
}

using ReadSlot = HRESULT (*)(void*, void*, UInt32, UInt32*);
using WriteSlot = HRESULT (*)(void*, const void*, UInt32, UInt32*);
using SeekSlot = HRESULT (*)(void*, Int64, UInt32, UInt64*);
using SetSizeSlot = HRESULT (*)(void*, UInt64);
using GetSizeSlot = HRESULT (*)(void*, UInt64*);
using FlushSlot = HRESULT (*)(void*);
using AddRefSlot = ULONG (*)(void*);
using QuerySlot = HRESULT (*)(void*, const GUID*, void**);

TEST(VtableSlots, StreamViewsPutEachOperationInItsSlot) {
    const auto live = RefCountedObject::liveObjects();
    MemoryStream memory;
    auto* adapter = new StreamAdapter(memory);
    ComPtr<IOutStream> output(adapter->outputView());
    void* out = output.get();
    EXPECT_EQ(slot<AddRefSlot>(out, 1)(out), 2u);
    EXPECT_EQ(slot<AddRefSlot>(out, 2)(out), 1u) << "slot 2 is Release";
    UInt32 done = 0;
    EXPECT_EQ(slot<WriteSlot>(out, 3)(out, "abcdef", 6, &done), S_OK);
    EXPECT_EQ(done, 6u);
    UInt64 position = 99;
    EXPECT_EQ(slot<SeekSlot>(out, 4)(out, 1, 0, &position), S_OK);
    EXPECT_EQ(position, 1u);
    EXPECT_EQ(slot<SetSizeSlot>(out, 5)(out, 4), S_OK);
    EXPECT_EQ(memory.size(), 4u);

    void* input = nullptr;
    ASSERT_EQ(slot<QuerySlot>(out, 0)(out, &IInStream::IID, &input), S_OK);
    char buffer[8] = {};
    EXPECT_EQ(slot<ReadSlot>(input, 3)(input, buffer, 8, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "bcd");
    EXPECT_EQ(slot<SeekSlot>(input, 4)(input, 0, 0, &position), S_OK);
    EXPECT_EQ(position, 0u);

    void* size = nullptr;
    ASSERT_EQ(slot<QuerySlot>(out, 0)(out, &IStreamGetSize::IID, &size), S_OK);
    UInt64 length = 0;
    EXPECT_EQ(slot<GetSizeSlot>(size, 3)(size, &length), S_OK);
    EXPECT_EQ(length, 4u);

    void* flush = nullptr;
    ASSERT_EQ(slot<QuerySlot>(out, 0)(out, &IOutStreamFlush::IID, &flush), S_OK);
    EXPECT_EQ(slot<FlushSlot>(flush, 3)(flush), S_OK);

    EXPECT_EQ(adapter->refCount(), 4);
    for (void* view : {input, size, flush})
        slot<AddRefSlot>(view, 2)(view);
    output.reset();
    EXPECT_EQ(RefCountedObject::liveObjects(), live);
}

} // namespace
