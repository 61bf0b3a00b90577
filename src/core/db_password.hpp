// The password of the database account zeq_user_1, cut from the digest of the
// disk identifier and the CPU serial repeated by the salts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeq::db_password {

namespace message {
inline constexpr std::string_view empty_factor = "CPU序列号和硬盘ID不能为空";
inline constexpr std::string_view incomplete_salts = "动态盐不完整，需要salt1、salt2、salt3";
inline constexpr std::string_view salt_out_of_range = "动态盐值必须在1-9之间";
inline constexpr std::string_view failed = "密码生成失败: ";
inline constexpr std::string_view hash_failed = "哈希计算失败";
}  // namespace message

// Text every fallback marker of a device factor contains.
inline constexpr std::string_view fallback_marker = "_FAIL";

struct Salts {
    std::int64_t salt1, salt2, salt3;
};

// The strict computation after the argument checks (salts already in 1..9);
// failures come back as the module error "密码生成失败: ...".
std::string strict(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts);

// The fallback branch: no checks, no wrapping, salts used as given.
std::string fallback(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts);

bool carries_fallback_marker(std::string_view cpu_serial, std::string_view disk_id) noexcept;

}  // namespace zeq::db_password
