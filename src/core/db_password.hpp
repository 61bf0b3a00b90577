// The password of the database account zeq_user_1, cut from the digest of the
// disk identifier and the CPU serial repeated by the salts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/derivation.hpp"
#include "core/secret_buffer.hpp"

namespace zeq::db_password {

// salt1 and salt2 repeat the disk identifier and the CPU serial; salt3 starts the cut.
struct Salts {
    derivation::Repeat salt1, salt2;
    std::int64_t salt3;
};

// The strict computation after the argument checks (salts already in 1..9);
// failures come back as the module error "密码生成失败: ...".
SecretBuffer strict(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts);

// The fallback branch: no checks, no wrapping, salts used as given.
SecretBuffer fallback(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts);

// True when a factor contains the "_FAIL" of every fallback marker.
bool carries_fallback_marker(std::string_view cpu_serial, std::string_view disk_id) noexcept;

}  // namespace zeq::db_password
