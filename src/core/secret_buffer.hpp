// Bytes of key material: a root or personal key, weight digits, the text a key is
// hashed from, a derived key. Every buffer a SecretBuffer ever used is wiped
// (wipe_bytes) before it is given up: when it grows, when it is moved from,
// when it is destroyed, on every path out, exceptions included. Short texts
// (weights, AES key 3, hex digests) stay inside the object, so that the most
// frequent secrets cost no allocation.
//
// What secret work leaves outside its buffers is scrubbed by scrubbing_stack below.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(_MSC_VER) && !defined(__clang__)
#define ZEQ_NOINLINE __declspec(noinline)
#else
#define ZEQ_NOINLINE __attribute__((noinline))
#endif

namespace zeq {

// Zeroes memory in a way the compiler cannot leave out: the one wipe of the layer.
void wipe_bytes(void* p, std::size_t size) noexcept;

// ---------------------------------------------------------------- the stack
// Secret work also leaves its bytes where it ran: in the stack frames it gave up
// (copies the compiler made, libcrypto's own locals) and in the CPU's vector
// registers, which hold the last bytes any copy moved until other work overwrites
// them; the dynamic linker's lazy binding and the delivery of a signal save those
// registers onto the stack, later and anywhere.
//
// How deep below its caller the layer's secret work reaches: about 2 KiB, and the
// dynamic linker's register save area of about 2.7 KiB should a first call of a
// function be bound in the middle of it.
inline constexpr std::size_t scrubbed_stack_size = 8 * 1024;

// Wipes scrubbed_stack_size bytes of the stack below the caller's frame, then the
// vector registers the calling convention leaves to callers. Called from a frame
// above every frame the secret work used (scrubbing_stack arranges it).
void scrub_stack() noexcept;

namespace detail {
// `work` in a frame of its own, which nothing is inlined into: everything it puts
// on the stack lies below its caller's frame.
template <class Work>
ZEQ_NOINLINE decltype(auto) run_below(Work& work) {
    return work();
}
}  // namespace detail

// Runs `work`, then scrubs the stack it used and the vector registers, on every
// path out (exceptions included).
template <class Work>
decltype(auto) scrubbing_stack(Work&& work) {
    struct Scrub {
        ~Scrub() { scrub_stack(); }
    } scrub;
    return detail::run_below(work);
}

class SecretBuffer {
public:
    SecretBuffer() noexcept = default;
    explicit SecretBuffer(std::string_view bytes) { append(bytes); }
    // `size` zero bytes, to be written through data().
    explicit SecretBuffer(std::size_t size) {
        reserve(size);
        std::memset(data_, 0, size);
        resized(size);
    }
    SecretBuffer(const SecretBuffer& other) : SecretBuffer(other.view()) {}
    SecretBuffer(SecretBuffer&& other) noexcept { take(other); }
    SecretBuffer& operator=(const SecretBuffer& other) {
        if (this != &other) {
            size_ = 0;
            append(other.view());
        }
        return *this;
    }
    SecretBuffer& operator=(SecretBuffer&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SecretBuffer() { release(); }

    // `bytes` must not lie inside this buffer.
    SecretBuffer& append(std::string_view bytes) {
        if (bytes.size() > capacity_ - size_) grow(bytes.size());
        if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
        resized(size_ + bytes.size());
        return *this;
    }
    SecretBuffer& push_back(char c) { return append(std::string_view(&c, 1)); }
    // Keeps the first `size` bytes (size <= size()); the others are wiped with the
    // storage, like every byte it held.
    void shrink(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) grow(capacity - size_);
    }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data_, size_}; }
    operator std::string_view() const noexcept { return view(); }
    char operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    static constexpr std::size_t inline_capacity = 64;

    bool is_inline() const noexcept { return data_ == inline_; }
    void resized(std::size_t size) noexcept {
        size_ = size;
        if (size > used_) used_ = size;
    }
    // Room for `more` bytes after the current ones, in allocated storage.
    void grow(std::size_t more);
    // Wipes every byte the storage ever held and goes back to the empty inline state.
    void release() noexcept {
        if (used_ != 0) wipe_bytes(data_, used_);
        if (!is_inline()) ::operator delete(data_);
        data_ = inline_;
        size_ = used_ = 0;
        capacity_ = inline_capacity;
    }
    // Takes over `other`'s bytes and leaves it empty and wiped.
    void take(SecretBuffer& other) noexcept;

    char inline_[inline_capacity];
    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t used_ = 0;  // the most bytes the current storage has held
    std::size_t capacity_ = inline_capacity;
};

}  // namespace zeq
