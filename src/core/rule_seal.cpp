#include "core/rule_seal.hpp"

#include "core/derivation.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/text.hpp"

namespace zeq::rule_seal {

int ext_salt_index(int field) noexcept { return derivation::ext_salt_number(static_cast<std::size_t>(field - 1)) - 1; }

std::string_view disk_id(std::string_view signature) noexcept {
    const std::size_t first = signature.find('|');
    if (first == std::string_view::npos) return {};
    const std::string_view rest = signature.substr(first + 1);
    return rest.substr(0, rest.find('|'));
}

std::int64_t rule_type_repeats(std::string_view weight_str) {
    return derivation::type_repeats(weight_str, derivation::ZeroRepeat::drops_part);
}

void check_hash_value(std::string_view hash_value) {
    if (hash_value.size() < 64 || text::length(hash_value) < 64)
        core::fail_value(std::string(core::texts::rule_sealer::hash_failed));
}

Credentials cut_credentials(std::string_view hash_value, std::string_view weight_str, const WindowSalts& salts) {
    check_hash_value(hash_value);
    return derivation::cut(hash_value, derivation::window_start(weight_str, salts.salt4), salts.salt1,
                           derivation::window_start(weight_str, salts.salt5), salts.salt2);
}

}  // namespace zeq::rule_seal
