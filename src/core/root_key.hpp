// Splitting a root key ("personal_key" or "personal_key_weightdigits").
#pragma once

#include <string>
#include <string_view>

#include "core/log.hpp"
#include "core/secret_buffer.hpp"

namespace zeq::root_key {

inline constexpr std::string_view default_weight_param = "1000";

struct Parts {
    SecretBuffer personal_key;
    SecretBuffer weight_param;  // canonical decimal text
};

Parts parse(std::string_view root_key, core::LogSink& log);

}  // namespace zeq::root_key
