#include "core/secret_buffer.hpp"

#include <openssl/crypto.h>

#include <new>

namespace zeq {

void wipe_bytes(void* p, std::size_t size) noexcept { OPENSSL_cleanse(p, size); }

void SecretBuffer::grow(std::size_t more) {
    if (more > static_cast<std::size_t>(-1) / 2 - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + more;
    const std::size_t capacity = capacity_ * 2 > needed ? capacity_ * 2 : needed;
    char* bigger = static_cast<char*>(::operator new(capacity));
    if (size_ != 0) std::memcpy(bigger, data_, size_);
    const std::size_t size = size_;
    release();
    data_ = bigger;
    capacity_ = capacity;
    resized(size);
}

void SecretBuffer::take(SecretBuffer& other) noexcept {
    if (other.is_inline()) {
        std::memcpy(inline_, other.inline_, other.size_);
        data_ = inline_;
        capacity_ = inline_capacity;
        resized(other.size_);
        other.release();
        return;
    }
    data_ = other.data_;
    size_ = other.size_;
    used_ = other.used_;
    capacity_ = other.capacity_;
    other.data_ = other.inline_;
    other.size_ = other.used_ = 0;
    other.capacity_ = inline_capacity;
}

}  // namespace zeq
