#include "core/hex.hpp"

namespace zeq::hex {

void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0F];
    }
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
