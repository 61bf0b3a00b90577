// Bytes of key material: a root or personal key, weight digits, the text a key is
// hashed from, a derived key. Every buffer a SecretBuffer ever used is wiped
// (OPENSSL_cleanse) before it goes back to the allocator: when it grows, when it
// is destroyed, on every path out, exceptions included. There is no short-text
// storage inside the object, so nothing escapes the wiping allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace zeq {

// OPENSSL_cleanse: zeroes memory in a way the compiler cannot leave out.
void wipe_bytes(void* p, std::size_t size) noexcept;

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        wipe_bytes(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

class SecretBuffer {
public:
    SecretBuffer() = default;
    explicit SecretBuffer(std::string_view bytes) : bytes_(bytes.begin(), bytes.end()) {}
    explicit SecretBuffer(std::size_t size) : bytes_(size) {}

    SecretBuffer& append(std::string_view bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    SecretBuffer& push_back(char c) {
        bytes_.push_back(c);
        return *this;
    }
    void reserve(std::size_t size) { bytes_.reserve(size); }

    char* data() noexcept { return bytes_.data(); }
    const char* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return bytes_.empty(); }
    std::string_view view() const noexcept { return {bytes_.data(), bytes_.size()}; }
    operator std::string_view() const noexcept { return view(); }
    char operator[](std::size_t i) const noexcept { return bytes_[i]; }

private:
    std::vector<char, WipingAllocator<char>> bytes_;
};

}  // namespace zeq
