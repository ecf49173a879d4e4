#pragma once

#include "sevenzip/Interfaces.h"

#include <atomic>
#include <cstdint>

namespace plombar::sevenzip {

// The reference-counted object base: the count is zero when construction ends, changes atomically
// (the library calls from its worker threads) and the object deletes itself when a release brings
// it back to zero. QueryInterface answers the views that interfaceFor names and E_NOINTERFACE for
// any other id.
class RefCountedObject : public IUnknown {
public:
    RefCountedObject(const RefCountedObject&) = delete;
    RefCountedObject& operator=(const RefCountedObject&) = delete;

    HRESULT QueryInterface(const GUID& iid, void** object) noexcept override;
    ULONG AddRef() noexcept override;
    ULONG Release() noexcept override;

    std::int32_t refCount() const noexcept { return refCount_.load(); }

    // Objects of this kind alive in the process: lets tests prove that every reference the library
    // took was given back.
    static std::int64_t liveObjects() noexcept;

protected:
    RefCountedObject() noexcept;
    virtual ~RefCountedObject();

    // The view that answers `iid` (already cast to that interface), or nullptr. The base answers
    // IUnknown; derived classes add theirs and fall back to their base.
    virtual void* interfaceFor(const GUID& iid) noexcept;

private:
    std::atomic<std::int32_t> refCount_{0};
};

// Joins a base derived from RefCountedObject with the interfaces a class implements: the three
// IUnknown slots of every interface view go to the one shared reference count.
template <class Base, class... Interfaces> class ImplementInterfaces : public Base, public Interfaces... {
public:
    using Base::Base;

    HRESULT QueryInterface(const GUID& iid, void** object) noexcept override {
        return RefCountedObject::QueryInterface(iid, object);
    }
    ULONG AddRef() noexcept override { return RefCountedObject::AddRef(); }
    ULONG Release() noexcept override { return RefCountedObject::Release(); }
};

} // namespace plombar::sevenzip
