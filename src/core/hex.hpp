// Hexadecimal text of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::hex {

// Lowercase hexadecimal, most significant nibble first.
std::string encode(const std::uint8_t* data, std::size_t size);

// The same into `out`, which has room for 2 * size characters (no NUL written).
void encode_to(const std::uint8_t* data, std::size_t size, char* out) noexcept;

// The same for key bytes.
SecretBuffer encode_secret(const std::uint8_t* data, std::size_t size);

}  // namespace zeq::hex
