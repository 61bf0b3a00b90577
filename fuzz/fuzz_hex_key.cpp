// Hexadecimal keys over arbitrary text: no crash, a key never longer than 32
// bytes, the bytes the digits spell, and only AES key sizes usable by the cipher.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/cipher.hpp"
#include "core/error.hpp"
#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zeq;
    using fuzz::require;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::string digits;  // the text without ASCII white space
    bool only_hex = true;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == ' ' || (u >= '\t' && u <= '\r')) continue;
        digits += static_cast<char>(std::tolower(u));
        only_hex = only_hex && std::isxdigit(u);
    }

    cipher::Key key;
    bool ok = true;
    try {
        cipher::Key::from_hex(text, key);
    } catch (const core::Error& e) {
        require(e.kind() == core::ErrorKind::value, "key refusal is a value error");
        ok = false;
    }

    if (ok) {
        require(key.size() <= 32, "at most 32 key bytes");
        require(only_hex && digits.size() == 2 * key.size(), "every digit is used, two per byte");
        static constexpr char hex[] = "0123456789abcdef";
        for (std::size_t i = 0; i < key.size(); ++i) {
            require(digits[2 * i] == hex[key.data()[i] >> 4] && digits[2 * i + 1] == hex[key.data()[i] & 0x0F],
                    "key bytes are the digits' values");
        }
    }
    if (only_hex && digits.size() == text.size() && digits.size() % 2 == 0 && digits.size() <= 64)
        require(ok, "plain pairs of digits up to 32 bytes are a key");

    // The cipher takes 16, 24 or 32 bytes and refuses any other size cleanly.
    if (ok) {
        const std::string_view plain = "probe text";
        std::unique_ptr<char[]> sealed(new char[cipher::encrypted_text_size(plain.size()) + 1]);
        const bool aes_size = key.size() == 16 || key.size() == 24 || key.size() == 32;
        try {
            cipher::encrypt_to_base64(key, plain, sealed.get());
            require(aes_size, "only AES key sizes encrypt");
            require(cipher::decrypt_from_base64(key, sealed.get()).view() == plain, "round trip under the key");
        } catch (const core::Error& e) {
            require(!aes_size && e.kind() == core::ErrorKind::value, "other key sizes are a value error");
        }
    }
    return 0;
}
