// Keys and plaintexts of the root key seal: which key text and which text go
// into the text cipher. The cipher itself lives elsewhere.
#pragma once

#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::root_key_seal {

inline constexpr std::string_view default_expansion = "123456789";

// AES key 3: the first 30 characters of AES key 2, in reverse order.
SecretBuffer aes_key_3(std::string_view aes_key_2);

// AES key 2 of a key source (the layer's hex digest of it).
SecretBuffer aes_key_2(std::string_view source);

// root_key + "|" + migrate_key_hash + "|" + device_signature
SecretBuffer combined_data(std::string_view root_key, std::string_view migrate_key_hash,
                           std::string_view device_signature);

// The text hashed into AES key 2 of a root key: the personal key followed by the
// weight text (the first two "_" pieces of the trimmed root key). A root key
// that is empty or has no "_" cannot be sealed: the generic error.
SecretBuffer key_2_source(std::string_view root_key);

// The nine-digit rotation of "123456789" that starts at the first digit.
SecretBuffer expand_weight_param(std::string_view weight_param);

}  // namespace zeq::root_key_seal
