#pragma once

#include "platform/Stream.h"
#include "sevenzip/CallbackErrors.h"
#include "sevenzip/RefCountedObject.h"

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
// E_OUTOFMEMORY or E_FAIL (resultFromCurrentException), and the writer raises it when the library
// gives up. A seek origin other than 0, 1 or 2 (in its low byte) gives E_INVALIDARG.
class StreamAdapter
    : public ImplementInterfaces<RefCountedObject, IOutStreamFlush, IOutStream, IStreamGetSize, IInStream> {
public:
    // Lends `stream` to the library; it stays with the caller, who keeps it alive meanwhile.
    explicit StreamAdapter(Stream& stream, std::shared_ptr<CallbackErrors> errors = nullptr) noexcept;
    // Takes `stream` over and deletes it (closing a file) when the last reference goes.
    explicit StreamAdapter(std::unique_ptr<Stream> stream,
                           std::shared_ptr<CallbackErrors> errors = nullptr) noexcept;

    HRESULT Read(void* data, UInt32 size, UInt32* processedSize) noexcept override;
    HRESULT Write(const void* data, UInt32 size, UInt32* processedSize) noexcept override;
    HRESULT Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept override;
    HRESULT SetSize(UInt64 newSize) noexcept override;
    HRESULT GetSize(UInt64* size) noexcept override;
    HRESULT Flush() noexcept override;

    IOutStream* outputView() noexcept { return this; }
    IInStream* inputView() noexcept { return this; }
    IStreamGetSize* sizeView() noexcept { return this; }
    IOutStreamFlush* flushView() noexcept { return this; }

    Stream& wrappedStream() const noexcept { return *stream_; }
    bool owned() const noexcept { return owned_ != nullptr; }

protected:
    ~StreamAdapter() override;
    void* interfaceFor(const GUID& iid) noexcept override;
    CallbackErrors* errors() const noexcept { return errors_.get(); }

private:
    std::unique_ptr<Stream> owned_;
    Stream* stream_;
    std::shared_ptr<CallbackErrors> errors_;
};

} // namespace plombar::sevenzip
