#include "sevenzip/InterfacedObject.h"

namespace plombar::sevenzip {

namespace {
std::atomic<std::int64_t> gLiveObjects{0};
}

TInterfacedObject::TInterfacedObject() noexcept {
    gLiveObjects.fetch_add(1);
}

TInterfacedObject::~TInterfacedObject() {
    gLiveObjects.fetch_sub(1);
}

std::int64_t TInterfacedObject::LiveObjects() noexcept {
    return gLiveObjects.load();
}

HRESULT TInterfacedObject::QueryInterface(const GUID& iid, void** object) noexcept {
    if (object == nullptr)
        return E_POINTER;
    void* view = GetInterface(iid);
    if (view == nullptr) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *object = view;
    return S_OK;
}

ULONG TInterfacedObject::AddRef() noexcept {
    return static_cast<ULONG>(refCount_.fetch_add(1) + 1);
}

ULONG TInterfacedObject::Release() noexcept {
    const std::int32_t count = refCount_.fetch_sub(1) - 1;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

void* TInterfacedObject::GetInterface(const GUID& iid) noexcept {
    if (iid == IUnknown::IID)
        return static_cast<IUnknown*>(this);
    return nullptr;
}

} // namespace plombar::sevenzip
