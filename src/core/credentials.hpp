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

namespace message {
inline constexpr std::string_view derived_empty = "信息类型、Agent名称和初始环境密文不能为空";
inline constexpr std::string_view query_empty = "信息类型、Agent名称和硬盘ID不能为空";
inline constexpr std::string_view weight_not_positive = "权重参数必须是正整数";
inline constexpr std::string_view salts_incomplete = "动态盐不完整，缺少";  // + the missing key
inline constexpr std::string_view salt_out_of_range = "动态盐值必须在1-9之间";
inline constexpr std::string_view hash_failed = "哈希计算失败";
inline constexpr std::string_view derived_failed = "派生凭证生成失败: ";
inline constexpr std::string_view query_failed = "查询凭证生成失败: ";
inline constexpr std::string_view migrate_key_empty = "迁移密钥不能为空";
inline constexpr std::string_view salts_empty = "动态盐不能为空";
inline constexpr std::string_view migration_failed = "迁移凭证生成失败: ";
inline constexpr std::string_view plaintext_or_key_empty = "明文和密钥不能为空";
inline constexpr std::string_view ciphertext_or_key_empty = "密文和密钥不能为空";
inline constexpr std::string_view aes_encrypt_failed = "AES加密失败: ";
inline constexpr std::string_view aes_decrypt_failed = "AES decrypt failed: ";
}  // namespace message

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
