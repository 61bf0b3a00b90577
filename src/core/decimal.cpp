#include "core/decimal.hpp"

#include <limits>

#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/text.hpp"

namespace zeq::decimal {
namespace {

[[noreturn]] void invalid_literal(std::string_view text) {
    core::fail_value(core::texts::joined(core::texts::host_words::invalid_literal, text::repr(text)));
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

SecretBuffer safe_int(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size()) invalid_literal(text);
    for (std::size_t i = pos; i < text.size(); ++i) {
        if (!is_digit(text[i])) invalid_literal(text);
    }
    while (pos + 1 < text.size() && text[pos] == '0') ++pos;
    SecretBuffer out;
    out.reserve(text.size() - pos + 1);
    if (negative && text.substr(pos) != "0") out.push_back('-');
    out.append(text.substr(pos));
    return out;
}

int digit_value(std::string_view one_char) {
    if (one_char.size() == 1 && is_digit(one_char[0])) return one_char[0] - '0';
    const SecretBuffer canonical = safe_int(one_char);  // "+" and "-" alone land here and fail
    return canonical[0] - '0';
}

std::int64_t digit_at_position(std::string_view text, std::int64_t position) {
    const bool ascii = text::is_ascii(text);
    const auto len = static_cast<std::int64_t>(ascii ? text.size() : text::length(text));
    if (len < position) return 1;
    if (ascii && position >= 1) return digit_value(text.substr(static_cast<std::size_t>(position - 1), 1));
    const std::int64_t index = position == std::numeric_limits<std::int64_t>::min() ? position : position - 1;
    return digit_value(text::char_at(text, index));
}

bool is_negative(std::string_view canonical) noexcept { return !canonical.empty() && canonical[0] == '-'; }

bool is_positive(std::string_view canonical) noexcept { return !is_negative(canonical) && canonical != "0"; }

int last_digit(std::string_view canonical) noexcept { return canonical.empty() ? 0 : canonical.back() - '0'; }

std::string from_int(std::int64_t value) { return std::to_string(value); }

}  // namespace zeq::decimal
