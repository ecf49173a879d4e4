#include "DynamicLibrary.h"

#include <dlfcn.h>
#include <utility>

namespace plombar {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), loadError_(std::move(other.loadError_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, nullptr);
        loadError_ = std::move(other.loadError_);
    }
    return *this;
}

DynamicLibrary DynamicLibrary::open(const std::string& fileName) {
    DynamicLibrary library;
    library.handle_ = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle_ == nullptr) {
        // dlerror() is the linker's text for this thread's last failure, read at once.
        const char* text = ::dlerror();
        library.loadError_ = text != nullptr ? text : "";
    }
    return library;
}

void* DynamicLibrary::symbol(const char* name) const noexcept {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::reset() noexcept {
    if (handle_ != nullptr)
        ::dlclose(std::exchange(handle_, nullptr));
}

} // namespace plombar
