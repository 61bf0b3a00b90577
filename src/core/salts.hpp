// The salt set: ten digits 1..9 derived from the personal key and the weight.
#pragma once

#include <array>
#include <string_view>

namespace zeq::salts {

inline constexpr int count = 10;
using SaltSet = std::array<int, count>;  // salt1 .. salt10

inline constexpr const char* key_names[count] = {"salt1", "salt2", "salt3", "salt4", "salt5",
                                                 "salt6", "salt7", "salt8", "salt9", "salt10"};

// personal_key is UTF-8 text, weight_param canonical decimal text of any size.
// Fails with the module error on a short key or a weight of 0 or less.
SaltSet extract(std::string_view personal_key, std::string_view weight_param);

// "动态盐" + number + "不存在"
std::string missing_salt_message(std::string_view number_text);

}  // namespace zeq::salts
