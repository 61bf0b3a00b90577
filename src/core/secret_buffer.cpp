#include "core/secret_buffer.hpp"

#include <openssl/crypto.h>

#include <cstring>
#include <new>

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace zeq {

void wipe_bytes(void* p, std::size_t size) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    // The C library's memset (OPENSSL_cleanse goes a byte or a word at a time, and
    // the layer wipes many short buffers on every call); the empty asm that reads
    // the memory keeps the compiler from leaving the stores out.
    if (size == 0) return;
    std::memset(p, 0, size);
    asm volatile("" : : "r"(p) : "memory");
#else
    OPENSSL_cleanse(p, size);
#endif
}

namespace {

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
// The System V calling convention leaves every vector register to the caller, so
// none holds anything of the callers here. (On Windows xmm6 to xmm15 are the
// callee's to keep: zeroing them would break the caller, and saving them would put
// their bytes on the stack. They are left alone there.)
__attribute__((target("avx512f"))) void zero_upper_vector_registers() noexcept {
    // zmm16 to zmm31, which the C library's copies use on these processors and
    // vzeroall leaves as they are.
    asm volatile("vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
                 "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
                 "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
                 "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
                 "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
                 "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
                 "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
                 "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
                     : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
                       "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

// ymm0 to ymm15 whole (zmm0 to zmm15 on processors that have them).
__attribute__((target("avx"))) void zero_avx_registers() noexcept {
    asm volatile("vzeroall" ::
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                       "xmm12", "xmm13", "xmm14", "xmm15");
}

void zero_sse_registers() noexcept {
    asm volatile("pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
                 "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
                 "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
                 "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                       "xmm12", "xmm13", "xmm14", "xmm15");
}

enum class VectorRegisters { sse, avx, avx512 };

VectorRegisters vector_registers() noexcept {
    // Asked of the processor and the system directly (cpuid, xgetbv): the
    // compiler's __builtin_cpu_supports needs its runtime's processor table,
    // which a shared library linked against another runtime cannot reach.
    static const VectorRegisters kind = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return VectorRegisters::sse;
        const bool osxsave = (ecx & bit_OSXSAVE) != 0, avx = (ecx & bit_AVX) != 0;
        if (!osxsave || !avx) return VectorRegisters::sse;
        unsigned xcr0_low = 0, xcr0_high = 0;
        asm volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        if ((xcr0_low & 0x6) != 0x6) return VectorRegisters::sse;  // the system saves xmm and ymm state
        if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX512F) != 0 &&
            (xcr0_low & 0xE0) == 0xE0)  // ... and the opmask and zmm state
            return VectorRegisters::avx512;
        return VectorRegisters::avx;
    }();
    return kind;
}

void zero_vector_registers() noexcept {
    switch (vector_registers()) {
        case VectorRegisters::avx512: zero_upper_vector_registers(); [[fallthrough]];
        case VectorRegisters::avx: zero_avx_registers(); break;
        case VectorRegisters::sse: zero_sse_registers(); break;
    }
}
#else
void zero_vector_registers() noexcept {}
#endif

}  // namespace

ZEQ_NOINLINE void scrub_stack() noexcept {
    unsigned char below[scrubbed_stack_size];
#if defined(__GNUC__) || defined(__clang__)
    // Of a size known here, so the compiler writes the stores itself (the C library
    // takes a byte-wise string instruction for this size); the empty asm that reads
    // `below` keeps them from being left out.
    std::memset(below, 0, sizeof below);
    asm volatile("" : : "r"(below) : "memory");
#else
    wipe_bytes(below, sizeof below);
#endif
    zero_vector_registers();
}

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
