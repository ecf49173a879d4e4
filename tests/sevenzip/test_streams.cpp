// The stream adapter that lends the program's streams to the library.
#include "platform/Errors.h"
#include "sevenzip/ComPtr.h"
#include "sevenzip/StreamAdapter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "SevenZipTestSupport.h"
#include "TestSupport.h"

using namespace plombar;
using namespace plombar::sevenzip;
using plombar::test::TempDir;

namespace {

class StreamAdapterTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = RefCountedObject::liveObjects(); }
    void TearDown() override {
        EXPECT_EQ(RefCountedObject::liveObjects(), live_) << "an adapter was not freed";
    }

private:
    std::int64_t live_ = 0;
};

TEST_F(StreamAdapterTest, SequentialIdsGiveTheViewOfTheInterfaceThatExtendsThem) {
    MemoryStream memory;
    auto* adapter = new StreamAdapter(memory);
    EXPECT_EQ(adapter->refCount(), 0) << "no reference until a view is handed out";
    ComPtr<IOutStream> output(adapter->outputView());

    struct Case {
        const char* name;
        GUID asked;
        void* expected;
    };
    const Case cases[] = {
        {"IOutStream", IOutStream::IID, adapter->outputView()},
        {"ISequentialOutStream", ISequentialOutStream::IID, adapter->outputView()},
        {"IInStream", IInStream::IID, adapter->inputView()},
        {"ISequentialInStream", ISequentialInStream::IID, adapter->inputView()},
        {"IStreamGetSize", IStreamGetSize::IID, adapter->sizeView()},
        {"IOutStreamFlush", IOutStreamFlush::IID, adapter->flushView()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* view = nullptr;
        ASSERT_EQ(output->QueryInterface(c.asked, &view), S_OK);
        EXPECT_EQ(view, c.expected);
        // Asked from another view, the answer is the same pointer.
        void* again = nullptr;
        ASSERT_EQ(adapter->inputView()->QueryInterface(c.asked, &again), S_OK);
        EXPECT_EQ(again, view);
        static_cast<IUnknown*>(view)->Release();
        static_cast<IUnknown*>(again)->Release();
    }
    EXPECT_NE(static_cast<void*>(adapter->outputView()), static_cast<void*>(adapter->inputView()));

    // Ids the adapter does not offer: no object, E_NOINTERFACE. IStreamGetProps would make the
    // library take times and attributes from the stream instead of the item.
    for (const GUID& refused :
         {libraryInterfaceId(0x03, 0x08), libraryInterfaceId(0x03, 0x10), IProgress::IID, IOutArchive::IID}) {
        void* view = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(output->QueryInterface(refused, &view), E_NOINTERFACE);
        EXPECT_EQ(view, nullptr);
    }
    EXPECT_EQ(adapter->refCount(), 1) << "all views share one count";
}

TEST_F(StreamAdapterTest, ReadAndWriteWithoutCountPointerStillTransferAndSucceed) {
    MemoryStream memory;
    ComPtr<IOutStream> output((new StreamAdapter(memory))->outputView());
    EXPECT_EQ(output->Write("hello", 5, nullptr), S_OK);
    EXPECT_EQ(memory.size(), 5u);
    ComPtr<IInStream> input = output.as<IInStream>();
    ASSERT_EQ(input->Seek(0, 0, nullptr), S_OK);
    char buffer[8] = {};
    EXPECT_EQ(input->Read(buffer, 3, nullptr), S_OK);
    EXPECT_EQ(std::string(buffer, 3), "hel");
    EXPECT_EQ(memory.position(), 3u);
}

// A read that ends early shows in the count; a write the stream refuses (a full disk) is an error
// the writer raises, never a count the library would retry.
TEST_F(StreamAdapterTest, ShortReadsShowInTheCountRefusedWritesAsErrors) {
    MemoryStream memory("abc");
    ComPtr<IInStream> input((new StreamAdapter(memory))->inputView());
    char buffer[16] = {};
    UInt32 done = 77;
    EXPECT_EQ(input->Read(buffer, 16, &done), S_OK);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(input->Read(buffer, 16, &done), S_OK);
    EXPECT_EQ(done, 0u) << "end of stream";

    test::FailingStream full(4);
    auto errors = std::make_shared<CallbackErrors>();
    ComPtr<IOutStream> output((new StreamAdapter(full, errors))->outputView());
    done = 77;
    EXPECT_EQ(output->Write("0123456789", 10, &done), E_FAIL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(full.bytes(), "0123");
    EXPECT_THROW(errors->rethrowFirst(), FileCreateError);
}

TEST_F(StreamAdapterTest, SeekPassesOffsetAndOriginAndReadsThePositionBack) {
    MemoryStream memory("0123456789");
    ComPtr<IInStream> input((new StreamAdapter(memory))->inputView());
    struct Case {
        Int64 offset;
        UInt32 origin;
        UInt64 expected;
    };
    const Case cases[] = {
        {0, 2, 10},                               // the end: the stream's size
        {-4, 2, 6},                               // back from the end
        {3, 0, 3},                                // from the start
        {2, 1, 5},                                // from the current position
        {-5, 1, 0},                               // back to the start
        {1, 0x102, 11},                           // only the low byte of the origin counts: 2, the end
        {int64_t{1} << 33, 0, uint64_t{1} << 33}, // 64-bit offsets pass unchanged
    };
    for (const Case& c : cases) {
        UInt64 position = 12345;
        EXPECT_EQ(input->Seek(c.offset, c.origin, &position), S_OK);
        EXPECT_EQ(position, c.expected) << c.offset << " from " << c.origin;
        EXPECT_EQ(memory.position(), c.expected);
    }
    EXPECT_EQ(input->Seek(7, 0, nullptr), S_OK) << "the library passes no position pointer";
    EXPECT_EQ(memory.position(), 7u);
    // Before the start, and origins the library does not have, are refused and move nothing.
    EXPECT_EQ(input->Seek(-8, 1, nullptr), E_FAIL);
    EXPECT_EQ(input->Seek(0, 3, nullptr), E_INVALIDARG);
    EXPECT_EQ(memory.position(), 7u);
}

TEST_F(StreamAdapterTest, SizeOperations) {
    MemoryStream memory("0123456789");
    auto* adapter = new StreamAdapter(memory);
    ComPtr<IStreamGetSize> size(adapter->sizeView());
    EXPECT_EQ(size->GetSize(nullptr), S_OK) << "a null pointer changes nothing";
    UInt64 length = 0;
    EXPECT_EQ(size->GetSize(&length), S_OK);
    EXPECT_EQ(length, 10u);
    ComPtr<IOutStream> output = size.as<IOutStream>();
    EXPECT_EQ(output->SetSize(4), S_OK);
    EXPECT_EQ(memory.size(), 4u);
    EXPECT_EQ(size->GetSize(&length), S_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(size.as<IOutStreamFlush>()->Flush(), S_OK);
    EXPECT_EQ(memory.size(), 4u) << "Flush does nothing";
}

TEST_F(StreamAdapterTest, BorrowedStreamStaysOpenWhereTheLibraryLeftIt) {
    bool destroyed = false;
    test::TrackingStream borrowed("0123456789", &destroyed);
    {
        ComPtr<IInStream> input((new StreamAdapter(borrowed))->inputView());
        char buffer[4];
        UInt32 done = 0;
        input->Seek(2, 0, nullptr);
        input->Read(buffer, 4, &done);
    }
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(borrowed.position(), 6u);
}

TEST_F(StreamAdapterTest, OwnedStreamIsFreedAndAFileClosedWithTheLastReference) {
    bool destroyed = false;
    {
        ComPtr<IInStream> input(
            (new StreamAdapter(std::make_unique<test::TrackingStream>("x", &destroyed)))->inputView());
        ComPtr<IUnknown> other = input.as<IOutStreamFlush>().as<IUnknown>();
        input.reset();
        EXPECT_FALSE(destroyed) << "another view still holds it";
    }
    EXPECT_TRUE(destroyed);

    TempDir dir;
    const std::string path = dir.file("data.bin");
    test::writeFile(path, "payload");
    auto file = FileStream::openForReading(path);
    const std::string link = "/proc/self/fd/" + std::to_string(file->handle());
    const auto openTarget = [&] {
        char target[4096];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    };
    {
        ComPtr<IInStream> input((new StreamAdapter(std::move(file)))->inputView());
        EXPECT_EQ(openTarget(), path);
    }
    EXPECT_NE(openTarget(), path) << "the file must be closed";
}

TEST_F(StreamAdapterTest, AnExceptionOfTheStreamBecomesAnErrorResultAndIsRecorded) {
    test::ThrowingStream throwing;
    auto errors = std::make_shared<CallbackErrors>();
    ComPtr<IOutStream> output((new StreamAdapter(throwing, errors))->outputView());
    ComPtr<IInStream> input = output.as<IInStream>();
    char buffer[4];
    UInt32 done = 5;
    UInt64 value = 5;
    EXPECT_EQ(input->Read(buffer, 4, &done), E_FAIL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(output->Write("ab", 2, &done), E_OUTOFMEMORY) << "a stream that cannot grow";
    EXPECT_EQ(output->Seek(0, 0, &value), E_FAIL);
    EXPECT_EQ(output->SetSize(0), E_FAIL);
    EXPECT_EQ(output.as<IStreamGetSize>()->GetSize(&value), E_FAIL);
    ASSERT_TRUE(errors->hasError());
    try {
        errors->rethrowFirst();
        FAIL() << "nothing rethrown";
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "read refused") << "the first error is kept";
    }
    // Without a place to record it the code is returned all the same.
    ComPtr<IInStream> bare((new StreamAdapter(throwing))->inputView());
    EXPECT_EQ(bare->Read(buffer, 4, &done), E_FAIL);
}

} // namespace
