#include "sevenzip/RefCountedObject.h"

namespace plombar::sevenzip {

namespace {
std::atomic<std::int64_t> gLiveObjects{0};
}

RefCountedObject::RefCountedObject() noexcept {
    gLiveObjects.fetch_add(1);
}

RefCountedObject::~RefCountedObject() {
    gLiveObjects.fetch_sub(1);
}

std::int64_t RefCountedObject::liveObjects() noexcept {
    return gLiveObjects.load();
}

HRESULT RefCountedObject::QueryInterface(const GUID& iid, void** object) noexcept {
    if (object == nullptr)
        return E_POINTER;
    void* view = interfaceFor(iid);
    if (view == nullptr) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *object = view;
    return S_OK;
}

ULONG RefCountedObject::AddRef() noexcept {
    return static_cast<ULONG>(refCount_.fetch_add(1) + 1);
}

ULONG RefCountedObject::Release() noexcept {
    const std::int32_t count = refCount_.fetch_sub(1) - 1;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

void* RefCountedObject::interfaceFor(const GUID& iid) noexcept {
    if (iid == IUnknown::IID)
        return static_cast<IUnknown*>(this);
    return nullptr;
}

} // namespace plombar::sevenzip
