#include "core/root_key_seal.hpp"

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace zeq::root_key_seal {

SecretBuffer aes_key_3(std::string_view aes_key_2) {
    const std::string_view first = text::head(aes_key_2, 30);
    SecretBuffer key(first.size());
    text::reversed_to(first, key.data());
    return key;
}

SecretBuffer aes_key_2(std::string_view source) { return sha256::secret_hash_text(source); }

SecretBuffer combined_data(std::string_view root_key, std::string_view migrate_key_hash,
                           std::string_view device_signature) {
    SecretBuffer out;
    out.reserve(root_key.size() + migrate_key_hash.size() + device_signature.size() + 2);
    out.append(root_key).append("|").append(migrate_key_hash).append("|").append(device_signature);
    return out;
}

SecretBuffer key_2_source(std::string_view root_key) {
    // Handing the root key back unsealed would let a caller store it in plain text
    // believing it sealed, so a key without a weight is refused instead.
    if (root_key.empty() || root_key.find('_') == std::string_view::npos) {
        core::fail(core::ErrorKind::generic, std::string(core::texts::master_key_seal::missing_weight));
    }
    const std::string_view trimmed = text::strip(root_key);
    const std::size_t first = trimmed.find('_');  // strip keeps every "_"
    const std::string_view rest = trimmed.substr(first + 1);
    const std::string_view weight_text = rest.substr(0, rest.find('_'));
    SecretBuffer source;
    source.reserve(first + weight_text.size());
    source.append(trimmed.substr(0, first)).append(weight_text);
    return source;
}

SecretBuffer expand_weight_param(std::string_view weight_param) {
    if (weight_param.empty()) return SecretBuffer(default_expansion);
    for (char c : weight_param) {
        if (c < '0' || c > '9') return SecretBuffer(default_expansion);
    }
    const int digit = decimal::digit_value(weight_param.substr(0, 1));
    if (digit < 1 || digit > 9) return SecretBuffer(default_expansion);
    SecretBuffer expanded;
    expanded.reserve(9);
    for (int i = 0; i < 9; ++i) expanded.push_back(default_expansion[(digit - 1 + i) % 9]);
    return expanded;
}

}  // namespace zeq::root_key_seal
