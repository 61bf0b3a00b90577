// Integers of any size travel through the core as their decimal text; these are
// the rules that read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::decimal {

// The layer's integer coercion: an optional sign followed by one or more ASCII
// digits, nothing else. Returns the canonical decimal text (no "+", no leading
// zeros, "0" never signed), in a SecretBuffer: weights travel as such texts.
// Anything else is the host's ValueError "invalid literal for int() with base
// 10: '...'".
SecretBuffer safe_int(std::string_view text);

// safe_int of a one-character text, as a small integer.
int digit_value(std::string_view one_char);

// The digit-at-position rule: the value of the character at `position` counted
// from 1 at the left; 1 when the text is shorter than `position`. Positions of 0
// or less count from the right end (0 is the last character) and fail with the
// host's IndexError before the first character.
std::int64_t digit_at_position(std::string_view text, std::int64_t position);

// Facts about a canonical decimal text.
bool is_negative(std::string_view canonical) noexcept;
bool is_positive(std::string_view canonical) noexcept;  // > 0
int last_digit(std::string_view canonical) noexcept;    // of the magnitude

// Decimal text of a machine integer.
std::string from_int(std::int64_t value);

}  // namespace zeq::decimal
