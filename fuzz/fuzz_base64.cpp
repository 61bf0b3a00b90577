// Lenient Base64 and the decryption behind it over arbitrary text: no crash, no
// write past decoded_capacity, the same outcome whatever the junk between the
// characters, what decodes re-encodes and decodes back to the same bytes, and
// libcrypto's error queue stays empty whatever the outcome.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/base64.hpp"
#include "core/cipher.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/text.hpp"
#include "require.hpp"

namespace {

using namespace zeq;
using fuzz::require;

// The decoded bytes, or nothing when the text is refused. Only the documented
// refusal (a value error) is an expected outcome; the output buffer is exactly
// as large as the callers make it, so that a write past it is caught.
std::optional<std::string> decode(std::string_view text) {
    const std::size_t capacity = base64::decoded_capacity(text.size());
    std::unique_ptr<char[]> out(new char[capacity]);
    try {
        const std::size_t n = base64::decode_to(text, out.get());
        require(n <= capacity, "decoded size within decoded_capacity");
        return std::string(out.get(), n);
    } catch (const core::Error& e) {
        require(e.kind() == core::ErrorKind::value, "Base64 refusal is a value error");
        return std::nullopt;
    }
}

const cipher::Key& fixed_key() {
    static cipher::Key key;
    static const bool ready =
        (cipher::Key::from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", key), true);
    (void)ready;
    return key;
}

bool utf8_for_cipher(std::string_view bytes) {
    bool ascii = false;
    const bool ok = cipher::is_layer_utf8(bytes, ascii);
    // The measuring check of decryption is the layer's own rule, fault for fault.
    require(ok == !text::find_utf8_fault(bytes, /*surrogates=*/true).has_value(), "one UTF-8 rule for the cipher");
    return ok;
}

bool has_surrogate(std::string_view s) {
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i + 1]);
        if (static_cast<unsigned char>(s[i]) == 0xED && b >= 0xA0 && b <= 0xBF) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::optional<std::string> decoded = decode(text);

    // A line feed after every character is junk the decoder skips; it also keeps
    // the decoder off its four-characters-at-a-time path.
    std::string spread;
    spread.reserve(2 * size);
    for (char c : text) {
        spread += c;
        spread += '\n';
    }
    require(decode(spread) == decoded, "junk between characters changes nothing");

    if (decoded) {
        const std::size_t n = decoded->size();
        std::unique_ptr<unsigned char[]> encoded(new unsigned char[base64::encoded_size(n) + 1]);
        const int written = EVP_EncodeBlock(encoded.get(), reinterpret_cast<const unsigned char*>(decoded->data()),
                                            static_cast<int>(n));
        require(static_cast<std::size_t>(written) == base64::encoded_size(n), "base64_size matches the encoder");
        require(decode(std::string_view(reinterpret_cast<const char*>(encoded.get()), written)) == decoded,
                "standard Base64 of the bytes decodes back to them");
    }

    // The same text as a ciphertext under a fixed key.
    {
        const cipher::Key& key = fixed_key();
        const std::size_t capacity = base64::decoded_capacity(size);
        std::unique_ptr<char[]> out(new char[capacity]);
        try {
            text::Utf8Shape shape;
            const std::size_t n = cipher::decrypt_from_base64_to(key, text, out.get(), shape);
            require(n <= capacity, "plaintext within decoded_capacity");
            bool all_ascii = true;
            std::size_t code_points = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const auto b = static_cast<unsigned char>(out[i]);
                all_ascii = all_ascii && b < 0x80;
                code_points += (b & 0xC0) != 0x80;
            }
            require(shape.ascii == all_ascii, "the ASCII flag tells the truth");
            require(shape.length == code_points, "the length is the number of code points");
        } catch (const core::Error& e) {
            require(e.kind() == core::ErrorKind::value, "decryption refusal is a value error");
            // What the key decides (padding, text) is refused in one wording only;
            // the form of the text (Base64, whole blocks) may be named.
            if (decoded && decoded->size() % 16 == 0)
                require(e.message() == core::texts::cipher::wrong_key_or_damaged, "one verdict for padding and text");
        }
        require(ERR_peek_error() == 0, "no decryption leaves an entry on libcrypto's error queue");
    }

    // The cipher's UTF-8 check is the platform's strict one plus the surrogate forms.
    const bool cipher_ok = utf8_for_cipher(text);
    const bool strict_ok = fuzz::is_probe_text(text);
    require(!strict_ok || cipher_ok, "strict UTF-8 is accepted by the cipher");
    require(!cipher_ok || strict_ok || has_surrogate(text), "only surrogate forms separate the two checks");

    // What the cipher accepts as plaintext travels through it unchanged.
    if (cipher_ok) {
        const cipher::Key& key = fixed_key();
        std::unique_ptr<char[]> sealed(new char[cipher::encrypted_text_size(size) + 1]);
        cipher::encrypt_to_base64(key, text, sealed.get());
        const std::string_view sealed_text(sealed.get());
        require(sealed_text.size() == cipher::encrypted_text_size(size), "encrypted_text_size matches");
        const cipher::Bytes back = cipher::decrypt_from_base64(key, sealed_text);
        require(back.view() == text, "decryption undoes encryption");
    }
    return 0;
}
