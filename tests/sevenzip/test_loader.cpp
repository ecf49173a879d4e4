// Loading the archive library: search, export checks, the interface layout check, object creation
// and unloading, against stand-in libraries built by this test suite.
#include "platform/Errors.h"
#include "sevenzip/ArchiveBuilder.h"
#include "sevenzip/ArchiveLibrary.h"
#include "sevenzip/ArchiveWriter.h"

#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "SevenZipTestSupport.h"
#include "TestSupport.h"

using namespace plombar;
using namespace plombar::sevenzip;

namespace {

std::string fake(const std::string& name) {
    return std::string(FAKE7Z_DIR) + "/" + name;
}

// Calls an export of a fake that is still loaded, without loading it if it is not.
template <class Function> Function fakeExport(const std::string& path, const char* name, void** handle) {
    *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (*handle == nullptr)
        return nullptr;
    Function function = nullptr;
    void* address = ::dlsym(*handle, name);
    std::memcpy(&function, &address, sizeof function);
    return function;
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LC_ALL", "C.UTF-8", 1);
        live_ = RefCountedObject::liveObjects();
    }
    void TearDown() override { EXPECT_EQ(RefCountedObject::liveObjects(), live_); }

private:
    std::int64_t live_ = 0;
};

struct RefusedCase {
    const char* why;
    std::string name;    // as passed to the loader
    std::string path;    // what would be loaded ("" when nothing exists)
    std::string message; // the error's exact text
};

TEST_F(Loader, RefusedLibrariesGiveTheirMessageAndLeaveNothingLoaded) {
    const std::string notText = std::string(FAKE7Z_DIR) + "/not-a-library.so";
    test::writeFile(notText, "this is text, not an ELF object\n");
    const std::string layout = " has an incompatible interface layout (7-Zip 23 or later is required)";
    const RefusedCase cases[] = {
        {"no file at the path", "/nonexistent/7z.so", "", "Error loading library /nonexistent/7z.so"},
        {"no file under the bare name anywhere", "plombar-no-such-7z.so", "",
         "Error loading library plombar-no-such-7z.so"},
        {"empty name", "", "", "Error loading library "},
        {"not a shared object", notText, "", "Error loading library " + notText},
        {"no CreateObject", fake("fake7z-no-create.so"), fake("fake7z-no-create.so"),
         fake("fake7z-no-create.so") + " is not a 7z library"},
        {"CreateObject is checked before GetHandlerProperty", fake("fake7z-bare.so"), fake("fake7z-bare.so"),
         fake("fake7z-bare.so") + " is not a 7z library"},
        {"no GetHandlerProperty", fake("fake7z-no-handler.so"), fake("fake7z-no-handler.so"),
         fake("fake7z-no-handler.so") + " is not a Format library"},
        {"bare name found beside the executable; the message keeps the name as passed",
         "fake7z-no-handler.so", fake("fake7z-no-handler.so"),
         "fake7z-no-handler.so is not a Format library"},
        {"old layout with a virtual destructor", fake("fake7z-old-layout.so"), fake("fake7z-old-layout.so"),
         fake("fake7z-old-layout.so") + layout},
        {"no GetModuleProp (p7zip era)", fake("fake7z-no-module-prop.so"), fake("fake7z-no-module-prop.so"),
         fake("fake7z-no-module-prop.so") + layout},
        {"layout not reported as a number", fake("fake7z-empty-layout.so"), fake("fake7z-empty-layout.so"),
         fake("fake7z-empty-layout.so") + layout},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.why);
        try {
            createArchiveWriter(kClassId7zFormat, c.name);
            ADD_FAILURE() << "loaded";
        } catch (const Error& e) {
            EXPECT_EQ(e.message(), c.message);
        }
        if (!c.path.empty()) {
            EXPECT_FALSE(test::libraryLoaded(c.path)) << "left loaded: " << c.path;
        }
    }
}

TEST_F(Loader, CreateObjectResultOneIsSuccessAndTheObjectIsTheCallers) {
    const std::string path = fake("fake7z-ok-sfalse.so");
    {
        ComPtr<ArchiveHandler> archive(new ArchiveHandler(path));
        ASSERT_TRUE(test::libraryLoaded(path));
        EXPECT_FALSE(archive->bstrs().usesLibraryAllocator()) << "the fake exports no BSTR helpers";
        void* object = nullptr;
        archive->createObject(kClassId7zFormat, IOutArchive::IID, &object);
        ASSERT_NE(object, nullptr);

        void* handle = nullptr;
        const auto references = fakeExport<int (*)()>(path, "FakeLiveReferences", &handle);
        ASSERT_NE(references, nullptr);
        EXPECT_EQ(references(), 1) << "one reference, owned by the caller";
        const auto lastIds =
            fakeExport<void (*)(unsigned char*, unsigned char*)>(path, "FakeLastIds", &handle);
        unsigned char classId[16];
        unsigned char interfaceId[16];
        lastIds(classId, interfaceId);
        EXPECT_EQ(std::memcmp(classId, &kClassId7zFormat, 16), 0);
        EXPECT_EQ(std::memcmp(interfaceId, &IOutArchive::IID, 16), 0);
        ComPtr<IUnknown>::adopt(static_cast<IUnknown*>(object)).reset();
        EXPECT_EQ(references(), 0);
        ::dlclose(handle);
        ::dlclose(handle);
    }
    EXPECT_FALSE(test::libraryLoaded(path)) << "unloaded with the last reference";
}

TEST_F(Loader, CreateObjectFailureRaisesTheSystemTextAndCreatesNothing) {
    const std::string path = fake("fake7z-nointerface.so");
    {
        ComPtr<ArchiveHandler> archive(new ArchiveHandler(path));
        void* object = reinterpret_cast<void*>(0x5);
        try {
            archive->createObject(kClassId7zFormat, IOutArchive::IID, &object);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.message(), "No such interface supported");
        }
        EXPECT_EQ(object, reinterpret_cast<void*>(0x5)) << "the out variable is left alone";
        EXPECT_TRUE(test::libraryLoaded(path)) << "the library stays as it was";
    }
    EXPECT_FALSE(test::libraryLoaded(path));

    // Through the writer the refusal surfaces at the first property, and the writer keeps no object.
    ComPtr<ArchiveWriter> writer = createArchiveWriter(kClassId7zFormat, path);
    try {
        setLevelProperty(*writer, 5);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "No such interface supported");
    }
    EXPECT_FALSE(static_cast<ArchiveBuilder*>(writer.get())->hasLibraryObject());
    // The same in Russian when the locale says so.
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    try {
        setLevelProperty(*writer, 5);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "Интерфейс не поддерживается");
    }
    setenv("LC_ALL", "C.UTF-8", 1);
}

TEST_F(Loader, AFreshArchiveHasAZeroClassIdAndTheWriterTakesTheOneGiven) {
    const std::string path = fake("fake7z-ok-sfalse.so");
    ComPtr<ArchiveWriter> writer = createArchiveWriter(kClassId7zFormat, path);
    EXPECT_TRUE(writer->classId() == kClassId7zFormat);
    EXPECT_EQ(static_cast<ArchiveBuilder*>(writer.get())->refCount(), 1) << "the result's one reference";
    ComPtr<ArchiveHandler> archive(new ArchiveHandler(path));
    const GUID zero{};
    EXPECT_EQ(std::memcmp(&archive->classId(), &zero, sizeof zero), 0);
}

} // namespace
