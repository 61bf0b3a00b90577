#include "rule_seal.hpp"

#include "decimal.hpp"
#include "error.hpp"
#include "text.hpp"

namespace zeq::rule_seal {
namespace {

// Salt index for each position of the extension cycle.
constexpr std::array<int, salt_count> ext_cycle = {2, 3, 4, 5, 6, 7, 8, 9, 1, 0};

// A window start from the weight digit at `position` (1-based); 0 reads as 1.
std::int64_t window_start(std::string_view weight_str, std::int64_t position) {
    std::int64_t digit = decimal::digit_at_position(weight_str, position);
    if (digit == 0) digit = 1;
    return digit - 1;
}

}  // namespace

int ext_salt_index(int field) noexcept { return ext_cycle[static_cast<std::size_t>((field - 1) % salt_count)]; }

std::string_view disk_id(std::string_view signature) noexcept {
    const std::size_t first = signature.find('|');
    if (first == std::string_view::npos) return {};
    const std::string_view rest = signature.substr(first + 1);
    return rest.substr(0, rest.find('|'));
}

std::int64_t rule_type_repeats(std::string_view weight_str) { return decimal::digit_at_position(weight_str, 9); }

void add_part(std::string& combined, std::string_view part, std::int64_t times) {
    if (!part.empty()) text::append_repeated(combined, part, times);
}

void check_hash_value(std::string_view hash_value) {
    if (hash_value.size() < 64 || text::length(hash_value) < 64) core::fail_value(message::hash_failed);
}

Credentials cut_credentials(std::string_view hash_value, std::string_view weight_str, const WindowSalts& salts) {
    check_hash_value(hash_value);
    const std::int64_t account_start = window_start(weight_str, salts.salt4);
    const std::int64_t password_start = window_start(weight_str, salts.salt5);
    Credentials out;
    out.account = text::cut(hash_value, account_start, account_start + 5) + text::last_n(hash_value, salts.salt1);
    out.password = text::cut(hash_value, password_start, password_start + 7) + text::last_n(hash_value, salts.salt2);
    return out;
}

}  // namespace zeq::rule_seal
