// The layer's cipher: AES-CBC with the all-zero IV and PKCS#7 padding over
// OpenSSL's libcrypto, ciphertext travelling as standard Base64. Keys arrive as
// hexadecimal text (per-info keys) or as a raw SHA-256 digest (the text cipher).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/base64.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace zeq::cipher {

// AES key bytes (16, 24 or 32 once decoded), wiped when they go out of scope.
class Key {
public:
    Key() = default;
    explicit Key(const sha256::Digest& digest) noexcept;
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return size_; }

    // Hexadecimal text: pairs of digits of either case, ASCII white space skipped
    // before each pair. Any other character, a lone digit or more than 32 bytes fail.
    static void from_hex(std::string_view hex, Key& out);

private:
    std::array<std::uint8_t, 32> bytes_{};
    std::size_t size_ = 0;
};

// Bytes of ciphertext for n bytes of plaintext: PKCS#7 always adds 1 to 16 bytes.
constexpr std::size_t cipher_size(std::size_t n) noexcept { return 16 * (n / 16 + 1); }
// Characters of the Base64 ciphertext of n bytes of plaintext.
constexpr std::size_t encrypted_text_size(std::size_t n) noexcept { return base64::encoded_size(cipher_size(n)); }

// Encrypts `plain` and writes its Base64 straight to `out`, which must have room
// for encrypted_text_size(plain.size()) characters plus a terminating NUL. Works
// through the input in slices, so no copy of the whole ciphertext is ever made.
void encrypt_to_base64(const Key& key, std::string_view plain, char* out);

// Owned bytes without zero-filling on allocation.
struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const noexcept { return {data.get(), size}; }
};

// AES-CBC decryption of `data` in place, PKCS#7 padding checked (in constant
// time) and removed. Returns the plaintext size; a bad padding fails with
// core::texts::cipher::wrong_key_or_damaged.
std::size_t decrypt_in_place(const Key& key, char* data, std::size_t size);

// UTF-8 as the layer writes it: well-formed UTF-8, where the three-byte forms of
// surrogate code points (ED A0 80 .. ED BF BF) are accepted too. `ascii` tells
// whether every byte is ASCII.
bool is_layer_utf8(std::string_view bytes, bool& ascii) noexcept;

// Base64 decoding, decryption, the padding and the UTF-8 check: the plaintext
// bytes of a ciphertext text. A text that is not Base64, or not whole blocks,
// fails with its own message; a bad padding and bytes that are not UTF-8 both
// fail with core::texts::cipher::wrong_key_or_damaged, by one path.
Bytes decrypt_from_base64(const Key& key, std::string_view encoded);

// The same into `out` (base64::decoded_capacity(encoded.size()) bytes); returns the
// plaintext size, and measures the plaintext as text (text::check_layer_utf8)
// in the pass that checks it, so that it becomes a str without another check.
std::size_t decrypt_from_base64_to(const Key& key, std::string_view encoded, char* out, text::Utf8Shape& shape);

}  // namespace zeq::cipher
