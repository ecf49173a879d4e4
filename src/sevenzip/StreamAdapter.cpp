#include "sevenzip/StreamAdapter.h"

#include <cstdint>
#include <span>

namespace plombar::sevenzip {

StreamAdapter::StreamAdapter(Stream& stream, std::shared_ptr<CallbackErrors> errors) noexcept
    : stream_(&stream), errors_(std::move(errors)) {}

StreamAdapter::StreamAdapter(std::unique_ptr<Stream> stream, std::shared_ptr<CallbackErrors> errors) noexcept
    : owned_(std::move(stream)), stream_(owned_.get()), errors_(std::move(errors)) {}

StreamAdapter::~StreamAdapter() = default;

void* StreamAdapter::interfaceFor(const GUID& iid) noexcept {
    if (iid == IOutStreamFlush::IID)
        return static_cast<IOutStreamFlush*>(this);
    if (iid == IOutStream::IID || iid == ISequentialOutStream::IID)
        return static_cast<IOutStream*>(this);
    if (iid == IStreamGetSize::IID)
        return static_cast<IStreamGetSize*>(this);
    if (iid == IInStream::IID || iid == ISequentialInStream::IID)
        return static_cast<IInStream*>(this);
    return RefCountedObject::interfaceFor(iid);
}

HRESULT StreamAdapter::Read(void* data, UInt32 size, UInt32* processedSize) noexcept {
    if (processedSize != nullptr)
        *processedSize = 0;
    try {
        const std::size_t done = stream_->read(std::span(static_cast<std::uint8_t*>(data), size));
        if (processedSize != nullptr)
            *processedSize = static_cast<UInt32>(done);
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT StreamAdapter::Write(const void* data, UInt32 size, UInt32* processedSize) noexcept {
    if (processedSize != nullptr)
        *processedSize = 0;
    try {
        stream_->write(std::span(static_cast<const std::uint8_t*>(data), size));
        if (processedSize != nullptr)
            *processedSize = size;
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT StreamAdapter::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept {
    try {
        // The origin goes through as it came (0 start, 1 current, 2 end); only its low byte counts.
        const UInt32 origin = seekOrigin & 0xFFu;
        if (origin > 2)
            return E_INVALIDARG;
        const std::uint64_t position = stream_->seek(offset, static_cast<SeekFrom>(origin));
        if (newPosition != nullptr)
            *newPosition = position;
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT StreamAdapter::SetSize(UInt64 newSize) noexcept {
    try {
        stream_->setSize(newSize);
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT StreamAdapter::GetSize(UInt64* size) noexcept {
    try {
        if (size != nullptr)
            *size = stream_->size();
        return S_OK;
    } catch (...) {
        return resultFromCurrentException(errors_.get());
    }
}

HRESULT StreamAdapter::Flush() noexcept {
    return S_OK;
}

} // namespace plombar::sevenzip
