#pragma once

#include "sevenzip/Interfaces.h"

#include <cstddef>
#include <utility>

namespace plombar::sevenzip {

// Holds one reference to a reference-counted object (the library's or ours) and releases it exactly
// once. Interfaces are looked up with their static IID.
template <class T> class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a reference of its own.
    explicit ComPtr(T* object) noexcept : ptr_(object) {
        if (ptr_ != nullptr)
            ptr_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.ptr_) {}
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    ~ComPtr() { reset(); }

    // Adopts a reference that the caller already holds (an out parameter filled by the library).
    static ComPtr adopt(T* object) noexcept {
        ComPtr result;
        result.ptr_ = object;
        return result;
    }

    T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    T& operator*() const noexcept { return *ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    void reset() noexcept {
        if (T* old = std::exchange(ptr_, nullptr))
            old->Release();
    }
    // Gives up the reference without releasing it (handing it to an out parameter of the library).
    [[nodiscard]] T* detach() noexcept { return std::exchange(ptr_, nullptr); }
    // Address for an out parameter; any held reference is released first.
    void** put() noexcept {
        reset();
        return reinterpret_cast<void**>(&ptr_);
    }
    void swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

    // The object's view for interface I, or null when the object does not offer it.
    template <class I> ComPtr<I> as() const noexcept {
        ComPtr<I> result;
        if (ptr_ != nullptr && ptr_->QueryInterface(I::IID, result.put()) != S_OK)
            result.reset();
        return result;
    }

private:
    T* ptr_ = nullptr;
};

} // namespace plombar::sevenzip
