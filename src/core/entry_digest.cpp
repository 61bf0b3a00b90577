#include "entry_digest.hpp"

#include "decimal.hpp"
#include "error.hpp"
#include "text.hpp"

namespace zeq::entry_digest {

int ext_salt_number(std::size_t place) noexcept {
    static constexpr int cycle[10] = {3, 4, 5, 6, 7, 8, 9, 10, 2, 1};
    return cycle[place % 10];
}

std::int64_t info_type_repeat(std::string_view weight) {
    const std::int64_t digit = decimal::digit_at_position(weight, 9);
    return digit == 0 ? 1 : digit;
}

void append(std::string& out, std::string_view value, Salt repeat) {
    if (value.empty()) return;
    if (!repeat) core::fail(core::ErrorKind::type, "can't multiply sequence by non-int of type 'NoneType'");
    text::append_repeated(out, value, *repeat);
}

credentials::Pair account_password(std::string_view digest, std::int64_t salt4, std::int64_t salt5,
                                   std::int64_t salt1, std::int64_t salt2) {
    return credentials::cut(digest, salt4, salt1, salt5, salt2);
}

}  // namespace zeq::entry_digest
