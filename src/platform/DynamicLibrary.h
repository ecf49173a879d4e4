#pragma once

#include <string>

namespace plombar {

// Owns one handle of the dynamic linker: loaded by name, unloaded exactly once.
class DynamicLibrary {
public:
    DynamicLibrary() noexcept = default;
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary() { reset(); }

    // dlopen(name, RTLD_NOW | RTLD_LOCAL). When loading fails the object holds no library and
    // loadError() tells why.
    static DynamicLibrary open(const std::string& fileName);

    bool loaded() const noexcept { return handle_ != nullptr; }
    explicit operator bool() const noexcept { return loaded(); }
    void* symbol(const char* name) const noexcept;
    void* handle() const noexcept { return handle_; }
    void reset() noexcept;

    // The dynamic linker's text for the failed open() that made this object (empty otherwise).
    const std::string& loadError() const noexcept { return loadError_; }

private:
    void* handle_ = nullptr;
    std::string loadError_;
};

} // namespace plombar
