#include "core/weight.hpp"

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"

namespace zeq::weight {
namespace {

namespace texts = core::texts::weight_issuer;

void check_position(std::string_view weight_param, std::int64_t position, std::string_view position_text) {
    if (position < 1 || position > static_cast<std::int64_t>(weight_param.size())) {
        core::fail_module(core::texts::joined(texts::position, position_text, texts::position_out_of_range));
    }
}

}  // namespace

SecretBuffer compose(std::string_view timestamp_ms, std::string_view random_num) {
    return core::wrap_failures(texts::issue_failed, [&] {
        SecretBuffer joined(timestamp_ms);
        joined.append(random_num);
        return decimal::safe_int(joined);
    });
}

Parsed parse(std::string_view weight_param) {
    if (weight_param.size() < 4) core::fail_module(std::string(texts::bad_format));
    const std::size_t split = weight_param.size() - 3;
    Parsed parsed;
    parsed.random_num = decimal::safe_int(weight_param.substr(split));
    parsed.timestamp_ms = decimal::safe_int(weight_param.substr(0, split));
    parsed.total_length = weight_param.size();
    return parsed;
}

int digit_from_left(std::string_view weight_param, std::int64_t position, std::string_view position_text) {
    check_position(weight_param, position, position_text);
    return decimal::digit_value(weight_param.substr(static_cast<std::size_t>(position - 1), 1));
}

int digit_from_right(std::string_view weight_param, std::int64_t position, std::string_view position_text) {
    check_position(weight_param, position, position_text);
    return decimal::digit_value(weight_param.substr(weight_param.size() - static_cast<std::size_t>(position), 1));
}

bool is_plausible(std::string_view weight_param) noexcept {
    return decimal::is_positive(weight_param) && weight_param.size() >= 16 && weight_param.size() <= 20;
}

}  // namespace zeq::weight
