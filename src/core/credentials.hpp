// Credentials of a stored item: the derived (stored) and query credentials cut
// from the digest of the item's identity, and the migration credentials cut from
// the digest of a migrate key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/derivation.hpp"

namespace zeq::credentials {

// The salts these credentials read, in the order they are checked.
inline constexpr const char* required_salts[4] = {"salt1", "salt2", "salt4", "salt5"};

// A salt value as the caller handed it: an integer (clamped to 64 bits; values
// that far out behave alike wherever a salt is used), or none.
using Salt = std::optional<std::int64_t>;

using derivation::Pair;

// The identity of an item. `third` is the environment cipher (stored variant) or
// the disk identifier (query variant); all texts are UTF-8, `weight` the
// canonical decimal text of a positive weight parameter.
struct Identity {
    std::string_view info_type;
    std::string_view agent_name;
    std::string_view third;
    std::string_view weight;
};

// The stored variant after its checks (salts already in 1..9). Every failure
// comes out as the module error "派生凭证生成失败: ...".
Pair derived(const Identity& id, std::int64_t salt1, std::int64_t salt2, std::int64_t salt4, std::int64_t salt5);

// The query variant after its checks: salts are used as they are, none failing
// where it is first used. Every failure comes out as "查询凭证生成失败: ...".
Pair query(const Identity& id, Salt salt1, Salt salt2, Salt salt4, Salt salt5);

// The windows of a digest (see derivation::cut).
using derivation::cut;

// The migration credentials of a non-empty migrate key; salts already read
// (absent, none and 0 all mean 1). Failures are not wrapped here.
Pair migration(std::string_view migrate_key, std::int64_t salt4, std::int64_t salt1, std::int64_t salt5,
               std::int64_t salt2);

// v - 1 without overflow; positions that far out behave alike in a cut.
std::int64_t minus_one(std::int64_t v) noexcept;

}  // namespace zeq::credentials
