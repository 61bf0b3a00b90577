#include "core/derivation.hpp"

#include <limits>

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/text.hpp"

namespace zeq::derivation {
namespace {

constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();

std::int64_t saturating_plus(std::int64_t a, std::int64_t b) noexcept { return a > max64 - b ? max64 : a + b; }

constexpr int ext_salt_cycle[10] = {3, 4, 5, 6, 7, 8, 9, 10, 2, 1};

}  // namespace

std::int64_t Repeat::times() const {
    if (state_ == State::none)
        core::fail(core::ErrorKind::type, std::string(core::texts::host_words::none_repeat_count));
    if (state_ == State::beyond_index)
        core::fail(core::ErrorKind::overflow, std::string(core::texts::host_words::int_not_index_sized));
    return times_;
}

void append_part(std::string& out, std::string_view part, Repeat times) {
    if (part.empty()) return;
    text::append_repeated(out, part, times.times());
}

std::int64_t type_repeats(std::string_view weight, ZeroRepeat on_zero) {
    const std::int64_t digit = decimal::digit_at_position(weight, 9);
    return digit == 0 && on_zero == ZeroRepeat::counts_as_one ? 1 : digit;
}

int ext_salt_number(std::size_t place) noexcept { return ext_salt_cycle[place % 10]; }

std::int64_t window_start(std::string_view weight, std::int64_t position) {
    const std::int64_t digit = decimal::digit_at_position(weight, position);
    return (digit == 0 ? 1 : digit) - 1;
}

Pair cut(std::string_view digest, std::int64_t account_start, std::int64_t tail1, std::int64_t password_start,
         std::int64_t tail2) {
    Pair out;
    // A digest the layer made is ASCII: checked once, not at each of the four cuts.
    const bool ascii = text::is_ascii(digest);
    const auto window = ascii ? &text::cut_view_ascii : &text::cut_view;
    const auto tail = ascii ? &text::last_n_view_ascii : &text::last_n_view;
    out.account.append(window(digest, account_start, saturating_plus(account_start, 5))).append(tail(digest, tail1));
    out.password.append(window(digest, password_start, saturating_plus(password_start, 7))).append(tail(digest, tail2));
    return out;
}

}  // namespace zeq::derivation
