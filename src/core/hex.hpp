// Hexadecimal text of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zeq::hex {

// Lowercase hexadecimal, most significant nibble first.
std::string encode(const std::uint8_t* data, std::size_t size);

}  // namespace zeq::hex
