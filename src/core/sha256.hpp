// SHA-256 over OpenSSL's libcrypto, with the algorithm fetched once per process.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"

namespace zeq::sha256 {

using Digest = std::array<std::uint8_t, 32>;

// Raw digest of the bytes.
Digest digest(std::string_view bytes);

// 64 lowercase hexadecimal characters of the digest of the bytes.
std::string hex_digest(std::string_view bytes);

// The layer's hex digest: the empty text for empty input, else hex_digest.
std::string hash_text(std::string_view utf8);
// The same for digests that are keys: nothing of it stays behind in memory.
SecretBuffer secret_hash_text(std::string_view utf8);

}  // namespace zeq::sha256
