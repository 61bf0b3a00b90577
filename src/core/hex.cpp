#include "core/hex.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ZEQ_HEX_SSE2 1
#endif

namespace zeq::hex {
namespace {

// Digests of keys pass through here: no branch and no table lookup depends on a
// byte's value, only arithmetic on all of them alike.
char digit_of(unsigned nibble) noexcept {
    return static_cast<char>(nibble + '0' + ((9u - nibble) >> 8 & ('a' - '0' - 10)));
}

void encode_bytes(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digit_of(data[i] >> 4);
        out[2 * i + 1] = digit_of(data[i] & 0x0Fu);
    }
}

#ifdef ZEQ_HEX_SSE2
__m128i digits_of(__m128i nibbles) noexcept {
    const __m128i letter = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')),
                        _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
}
#endif

}  // namespace

void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    std::size_t i = 0;
#ifdef ZEQ_HEX_SSE2
    // Sixteen bytes at a time: a digest is two rounds.
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
        const __m128i low = _mm_and_si128(bytes, low_nibble);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), digits_of(_mm_unpacklo_epi8(high, low)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), digits_of(_mm_unpackhi_epi8(high, low)));
    }
#endif
    encode_bytes(data + i, size - i, out + 2 * i);
}

std::string encode(const std::uint8_t* data, std::size_t size) {
    std::string out(size * 2, '\0');
    encode_to(data, size, out.data());
    return out;
}

SecretBuffer encode_secret(const std::uint8_t* data, std::size_t size) {
    SecretBuffer out(size * 2);
    encode_to(data, size, out.data());
    return out;
}

}  // namespace zeq::hex
