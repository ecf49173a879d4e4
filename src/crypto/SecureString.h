#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace plombar::crypto {

// An allocator that wipes memory before giving it back, so that a string holding a password or a
// key's text leaves no copy behind when it grows or goes.
template <typename T> struct CleansingAllocator {
    using value_type = T;
    CleansingAllocator() noexcept = default;
    template <typename U> CleansingAllocator(const CleansingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U> bool operator==(const CleansingAllocator<U>&) const noexcept { return true; }
};

// Text that must not outlive its use: a password or a private key's encoding. The short-string
// buffer inside the object is wiped too, which the allocator alone would miss.
class SecureString {
public:
    using Storage = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

    SecureString() = default;
    explicit SecureString(std::string_view text) : text_(text.data(), text.size()) {}
    SecureString(const SecureString& other) : text_(other.text_) {}
    SecureString& operator=(const SecureString& other) {
        if (this != &other) {
            clear();
            text_ = other.text_;
        }
        return *this;
    }
    // A move takes the other's buffer (a long text) or copies its short-string buffer, which
    // clear() then wipes; it allocates nothing, so it cannot fail.
    SecureString(SecureString&& other) noexcept : text_(std::move(other.text_)) { other.clear(); }
    SecureString& operator=(SecureString&& other) noexcept {
        if (this != &other) {
            clear();
            text_ = std::move(other.text_);
            other.clear();
        }
        return *this;
    }
    ~SecureString() { clear(); }

    void clear() noexcept {
        OPENSSL_cleanse(text_.data(), text_.capacity());
        text_.clear();
    }
    void assign(std::string_view text) {
        clear();
        text_.assign(text.data(), text.size());
    }
    void append(const char* data, std::size_t size) { text_.append(data, size); }
    void push_back(char c) { text_.push_back(c); }
    void pop_back() { text_.pop_back(); }
    void reserve(std::size_t size) { text_.reserve(size); }
    void resize(std::size_t size) { text_.resize(size); }

    const char* c_str() const noexcept { return text_.c_str(); }
    const char* data() const noexcept { return text_.data(); }
    char* data() noexcept { return text_.data(); }
    std::size_t size() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }
    std::string_view view() const noexcept { return {text_.data(), text_.size()}; }

private:
    Storage text_;
};

} // namespace plombar::crypto
