// Splitting a root key ("personal_key" or "personal_key_weightdigits").
#pragma once

#include <string>
#include <string_view>

#include "core/log.hpp"
#include "core/secret_buffer.hpp"

namespace zeq::root_key {

inline constexpr std::string_view default_weight_param = "1000";

struct Parts {
    std::string_view personal_key;  // the text before the first '_': a view into the root key
    SecretBuffer weight_param;      // canonical decimal text; empty where the default applies

    bool default_weight() const noexcept { return weight_param.empty(); }
    std::string_view weight_text() const noexcept {
        return default_weight() ? default_weight_param : weight_param.view();
    }
};

// The parts of `root_key`, which must outlive them.
Parts parse(std::string_view root_key, core::LogSink& log);

}  // namespace zeq::root_key
