// Comparisons of secrets whose running time does not depend on where they differ.
#pragma once

#include <string_view>

namespace zeq::constant_time {

// True when `a` and `b` hold the same bytes. Different lengths answer at once
// (lengths are not secret here); equal lengths compare every byte with
// CRYPTO_memcmp.
bool equal(std::string_view a, std::string_view b) noexcept;

}  // namespace zeq::constant_time
