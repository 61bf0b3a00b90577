// The rule sealer's credential derivation over plain texts and integers: the
// fixed device signature, the hash input of a cognition rule and the windows
// cut from its hash. The binding reads the rule and calls the hash service.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/derivation.hpp"
#include "core/host_texts.hpp"

namespace zeq::rule_seal {

// Stands in for the machine's factors in this version: CPU serial, disk id and
// board serial joined by "|".
inline constexpr std::string_view device_signature = core::texts::rule_sealer::placeholder_signature;

// The weight parameter used when the user's weight mapping carries none.
inline constexpr std::string_view default_dimensions = "2017092208150036627";
inline constexpr std::string_view default_weight_version = "1.0";
inline constexpr std::string_view record_version = "1.0";

inline constexpr int salt_count = 10;
inline constexpr int ext_field_count = 30;

// Which salt (0 = salt1 ... 9 = salt10) repeats extension field i (1 to 30): the
// extension cycle of derivation::ext_salt_number, counted from field 1.
int ext_salt_index(int field) noexcept;

// The second "|"-separated piece of a device signature, or "" without one.
std::string_view disk_id(std::string_view signature) noexcept;

// How often the rule type enters the hash: the ninth digit of the weight text,
// or 1 for a text of 8 characters or fewer (0 drops the rule type).
std::int64_t rule_type_repeats(std::string_view weight_str);

using Credentials = derivation::Pair;

// The salts the windows depend on.
struct WindowSalts {
    std::int64_t salt1, salt2, salt4, salt5;
};

// Refuses a hash value shorter than 64 characters (ValueError "哈希计算失败").
void check_hash_value(std::string_view hash_value);

// The account and password cut from the hash of the combined parts. The hash
// must hold at least 64 characters (ValueError "哈希计算失败" otherwise); the
// weight digits at positions salt4 and salt5 pick the window starts (a digit 0
// counts as 1), and the last salt1 / salt2 characters follow each window.
Credentials cut_credentials(std::string_view hash_value, std::string_view weight_str, const WindowSalts& salts);

}  // namespace zeq::rule_seal
