#include "DynamicLibrary.h"

#include <dlfcn.h>
#include <utility>

namespace plombar {

namespace {
thread_local std::string tLastDlError;
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary DynamicLibrary::Open(const std::string& fileName) {
    void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = ::dlerror();
        tLastDlError = text != nullptr ? text : "";
    }
    return DynamicLibrary(handle);
}

void* DynamicLibrary::Symbol(const char* name) const noexcept {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::reset() noexcept {
    if (handle_ != nullptr)
        ::dlclose(std::exchange(handle_, nullptr));
}

std::string DynamicLibrary::LastError() {
    return tLastDlError;
}

} // namespace plombar
