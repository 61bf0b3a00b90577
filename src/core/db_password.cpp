#include "core/db_password.hpp"

#include <limits>

#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace zeq::db_password {
namespace {

namespace texts = core::texts::db_account_pass;

std::string combined(std::string_view disk_id, std::string_view cpu_serial, const Salts& salts) {
    std::string out;
    derivation::append_part(out, disk_id, salts.salt1);  // the disk identifier comes first
    derivation::append_part(out, cpu_serial, salts.salt2);
    return out;
}

// The password and the digest it is cut from are wiped once given up: a
// verification computes the true password and never hands it out.
SecretBuffer cut_password(std::string_view hash_value, std::int64_t start_idx, std::int64_t end_idx) {
    SecretBuffer password;
    password.append(text::cut_view(hash_value, start_idx, end_idx)).append(text::last_n_view(hash_value, 5));
    return password;
}

}  // namespace

SecretBuffer strict(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts) {
    return core::wrap_failures(texts::failed, [&] {
        const SecretBuffer hash_value = sha256::secret_hash_text(combined(disk_id, cpu_serial, salts));
        if (hash_value.size() < 64) core::fail_module(std::string(texts::hash_failed));
        const auto length = static_cast<std::int64_t>(hash_value.size());
        std::int64_t start_idx = salts.salt3 - 1;
        if (start_idx >= length) start_idx = 0;
        const std::int64_t end_idx = length > 24 ? 25 : length;
        return cut_password(hash_value, start_idx, end_idx);
    });
}

SecretBuffer fallback(std::string_view cpu_serial, std::string_view disk_id, const Salts& salts) {
    const std::string_view cpu = cpu_serial.empty() ? texts::cpu_fallback : cpu_serial;
    const std::string_view disk = disk_id.empty() ? texts::disk_fallback : disk_id;
    const SecretBuffer hash_value = sha256::secret_hash_text(combined(disk, cpu, salts));
    const std::int64_t start_idx = salts.salt3 == std::numeric_limits<std::int64_t>::min() ? salts.salt3
                                                                                           : salts.salt3 - 1;
    return cut_password(hash_value, start_idx, 25);
}

bool carries_fallback_marker(std::string_view cpu_serial, std::string_view disk_id) noexcept {
    return cpu_serial.find(core::texts::markers::failed) != std::string_view::npos ||
           disk_id.find(core::texts::markers::failed) != std::string_view::npos;
}

}  // namespace zeq::db_password
