#include "sevenzip/T7zStream.h"

#include <cstdint>
#include <span>

namespace plombar::sevenzip {

T7zStream::T7zStream(Stream* stream, bool owned, std::shared_ptr<CallbackErrors> errors)
    : WrappedStream(stream), Owned(owned), errors_(std::move(errors)) {}

T7zStream::~T7zStream() {
    if (Owned)
        delete WrappedStream;
}

void* T7zStream::GetInterface(const GUID& iid) noexcept {
    if (iid == IOutStreamFlush::IID)
        return static_cast<IOutStreamFlush*>(this);
    if (iid == IOutStream::IID || iid == ISequentialOutStream::IID)
        return static_cast<IOutStream*>(this);
    if (iid == IStreamGetSize::IID)
        return static_cast<IStreamGetSize*>(this);
    if (iid == IInStream::IID || iid == ISequentialInStream::IID)
        return static_cast<IInStream*>(this);
    return TInterfacedObject::GetInterface(iid);
}

HRESULT T7zStream::Read(void* data, UInt32 size, UInt32* processedSize) noexcept {
    if (processedSize != nullptr)
        *processedSize = 0;
    try {
        const std::size_t done = WrappedStream->read(std::span(static_cast<std::uint8_t*>(data), size));
        if (processedSize != nullptr)
            *processedSize = static_cast<UInt32>(done);
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zStream::Write(const void* data, UInt32 size, UInt32* processedSize) noexcept {
    if (processedSize != nullptr)
        *processedSize = 0;
    try {
        WrappedStream->write(std::span(static_cast<const std::uint8_t*>(data), size));
        if (processedSize != nullptr)
            *processedSize = size;
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept {
    try {
        // The origin goes through as it came (0 start, 1 current, 2 end); only its low byte counts.
        const UInt32 origin = seekOrigin & 0xFFu;
        if (origin > 2)
            return E_INVALIDARG;
        const std::uint64_t position = WrappedStream->seek(offset, static_cast<SeekFrom>(origin));
        if (newPosition != nullptr)
            *newPosition = position;
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zStream::SetSize(UInt64 newSize) noexcept {
    try {
        WrappedStream->setSize(newSize);
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zStream::GetSize(UInt64* size) noexcept {
    try {
        if (size != nullptr)
            *size = WrappedStream->size();
        return S_OK;
    } catch (...) {
        return ResultFromCurrentException(errors_.get());
    }
}

HRESULT T7zStream::Flush() noexcept {
    return S_OK;
}

} // namespace plombar::sevenzip
