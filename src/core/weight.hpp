// The weight parameter: issued as the millisecond clock followed by three random
// digits, read back by position. Weights are canonical decimal texts of any size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::weight {

// safe_int(timestamp text + random text), wrapped as "权重参数生成失败: ...".
SecretBuffer compose(std::string_view timestamp_ms, std::string_view random_num);

struct Parsed {
    SecretBuffer timestamp_ms;  // canonical decimal
    SecretBuffer random_num;    // canonical decimal
    std::size_t total_length;
};
Parsed parse(std::string_view weight_param);

// Digit at a 1-based position from the left or from the right; `position_text`
// is the position as the caller wrote it, for the range message.
int digit_from_left(std::string_view weight_param, std::int64_t position, std::string_view position_text);
int digit_from_right(std::string_view weight_param, std::int64_t position, std::string_view position_text);

bool is_plausible(std::string_view weight_param) noexcept;

}  // namespace zeq::weight
