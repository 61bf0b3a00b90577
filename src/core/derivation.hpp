// The rules every credential derivation shares: how a hash input is assembled
// from repeated parts, which salt repeats which extension field, and how an
// account and a password are cut from a digest. The derived, query and
// migration credentials, the entry digest and the rule sealer all follow them;
// where one of them departs from another, the departure is a named parameter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::derivation {

// Credentials: wiped once given up, for the layer computes some (the true ones a
// verification compares against) that the caller never receives.
struct Pair {
    SecretBuffer account;
    SecretBuffer password;
};

// A repeat count as the caller handed it: an integer within the host's index
// range, none, or an int beyond that range. The last two fail only where a
// part is actually repeated by them.
class Repeat {
public:
    constexpr Repeat(std::int64_t times) noexcept : times_(times) {}  // a count is a repeat
    static constexpr Repeat none() noexcept { return Repeat(State::none); }
    static constexpr Repeat beyond_index() noexcept { return Repeat(State::beyond_index); }
    // The count; none is the host's TypeError "can't multiply sequence by
    // non-int of type 'NoneType'", an int beyond the index range its
    // OverflowError "cannot fit 'int' into an index-sized integer".
    std::int64_t times() const;

private:
    enum class State { count, none, beyond_index };
    constexpr explicit Repeat(State state) noexcept : state_(state) {}
    std::int64_t times_ = 0;
    State state_ = State::count;
};

// Appends `part` repeated `times` times (nothing for times <= 0), failing as
// the host's repetition does (text::repeat). An empty part appends nothing and
// never looks at its count.
void append_part(std::string& out, std::string_view part, Repeat times);

// What a weight digit 0 means as the repeat count of the item's type. The
// credentials and the rule sealer take it as it is, so the type drops out of the
// hash input; the entry digest counts it as 1, so the type always enters.
enum class ZeroRepeat { drops_part, counts_as_one };

// How often the item's type enters the hash input: the weight digit at position
// 9 (1 for a weight text of 8 characters or fewer), with `on_zero` deciding a 0.
std::int64_t type_repeats(std::string_view weight, ZeroRepeat on_zero);

// The number (1 to 10) of the salt that repeats the extension field at `place`
// (0-based): the cycle 3, 4, ... 10, 2, 1, then again from 3.
int ext_salt_number(std::size_t place) noexcept;

// The 0-based start of a window picked by the weight digit at `position`
// (1-based, as decimal::digit_at_position reads it): the digit - 1, a digit 0
// counting as 1, so that no window starts before the digest.
std::int64_t window_start(std::string_view weight, std::int64_t position);

// Windows of a digest: [start, start + 5) and the last `tail1` characters for the
// account, [start, start + 7) and the last `tail2` for the password, by the
// host's slice rules. The window ends saturate at the 64-bit limit, so a start
// taken from an unchecked salt cuts like the host's unbounded arithmetic; starts
// from window_start (0 to 8) never come near it.
Pair cut(std::string_view digest, std::int64_t account_start, std::int64_t tail1, std::int64_t password_start,
         std::int64_t tail2);

}  // namespace zeq::derivation
