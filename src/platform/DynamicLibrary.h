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

    // dlopen(name, RTLD_NOW | RTLD_LOCAL); an empty object when loading fails (see LastError()).
    static DynamicLibrary Open(const std::string& fileName);

    bool loaded() const noexcept { return handle_ != nullptr; }
    explicit operator bool() const noexcept { return loaded(); }
    void* Symbol(const char* name) const noexcept;
    void* handle() const noexcept { return handle_; }
    void reset() noexcept;

    // The dynamic linker's text for the last failed Open() on this thread.
    static std::string LastError();

private:
    explicit DynamicLibrary(void* handle) noexcept : handle_(handle) {}
    void* handle_ = nullptr;
};

} // namespace plombar
