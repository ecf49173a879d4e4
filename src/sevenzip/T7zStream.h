#pragma once

#include "platform/Stream.h"
#include "sevenzip/CallbackErrors.h"
#include "sevenzip/InterfacedObject.h"

#include <memory>

namespace plombar::sevenzip {

// Lets the library read from and write to one of the program's streams. One object, four views
// sharing its reference count: flush (IOutStreamFlush), output (IOutStream and ISequentialOutStream),
// size (IStreamGetSize) and input (IInStream and ISequentialInStream). A sequential interface is
// answered by the view of the interface that extends it, so both ids give the same pointer.
//
// A read that ends early shows only in the processed count. The program's streams raise errors (a
// full disk, a memory stream that cannot grow, a file that cannot be read), which must not unwind
// into the library: the operation records the error in `errors` (when given) and returns
// E_OUTOFMEMORY or E_FAIL (ResultFromCurrentException), and the writer raises it when the library
// gives up. A seek origin other than 0, 1 or 2 (in its low byte) gives E_INVALIDARG.
class T7zStream
    : public ImplementInterfaces<TInterfacedObject, IOutStreamFlush, IOutStream, IStreamGetSize, IInStream> {
public:
    // `stream` must not be null. With `owned` the adapter deletes the stream when it goes (closing a
    // file stream); otherwise the stream stays with the caller.
    T7zStream(Stream* stream, bool owned, std::shared_ptr<CallbackErrors> errors = nullptr);

    HRESULT Read(void* data, UInt32 size, UInt32* processedSize) noexcept override;
    HRESULT Write(const void* data, UInt32 size, UInt32* processedSize) noexcept override;
    HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept override;
    HRESULT SetSize(UInt64 newSize) noexcept override;
    HRESULT GetSize(UInt64* size) noexcept override;
    HRESULT Flush() noexcept override;

    IOutStream* OutputView() noexcept { return this; }
    IInStream* InputView() noexcept { return this; }
    IStreamGetSize* SizeView() noexcept { return this; }
    IOutStreamFlush* FlushView() noexcept { return this; }

    Stream* wrappedStream() const noexcept { return WrappedStream; }
    bool owned() const noexcept { return Owned; }

protected:
    ~T7zStream() override;
    void* GetInterface(const GUID& iid) noexcept override;
    CallbackErrors* errors() const noexcept { return errors_.get(); }

    Stream* WrappedStream;
    bool Owned;

private:
    std::shared_ptr<CallbackErrors> errors_;
};

} // namespace plombar::sevenzip
