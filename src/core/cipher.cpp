#include "core/cipher.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/openssl.hpp"
#include "core/text.hpp"

namespace zeq::cipher {
namespace {

namespace texts = core::texts::cipher;

[[noreturn]] void fail(std::string message) { core::fail_value(std::move(message)); }

// ---------------------------------------------------------------- AES-CBC
const EVP_CIPHER* aes_cbc(const Key& key) {
    const EVP_CIPHER* c = openssl::aes_cbc(key.size());
    if (c == nullptr)
        fail(core::texts::joined(texts::invalid_key_size, std::to_string(key.size() * 8), texts::invalid_key_size_end));
    return c;
}

// One context per thread, initialised for each call and reset afterwards, which
// also wipes the expanded key it held.
class Session {
public:
    Session(const Key& key, bool encrypt) : ctx_(openssl::thread_cipher_context()) {
        static constexpr unsigned char zero_iv[16] = {};
        const EVP_CIPHER* c = aes_cbc(key);
        const int ok = encrypt ? EVP_EncryptInit_ex2(ctx_, c, key.data(), zero_iv, nullptr)
                               : EVP_DecryptInit_ex2(ctx_, c, key.data(), zero_iv, nullptr);
        if (ok != 1) {
            EVP_CIPHER_CTX_reset(ctx_);
            openssl::fail(core::ErrorKind::value, std::string(texts::init_failed));
        }
    }
    ~Session() { EVP_CIPHER_CTX_reset(ctx_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    EVP_CIPHER_CTX* get() const noexcept { return ctx_; }

private:
    EVP_CIPHER_CTX* ctx_;
};

// Plaintext is encrypted and encoded this many bytes at a time: a multiple of the
// AES block (16) and of the Base64 group (3), so that every slice but the last
// encodes without padding right after the previous one.
constexpr std::size_t slice = 3 * 16 * 1024;

void encode(const unsigned char* in, std::size_t size, char*& out) {
    // EVP_EncodeBlock writes a NUL after the text; the caller's buffer has room for it.
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), in, static_cast<int>(size));
    out += written;
}

// ---------------------------------------------------------------- Base64 in
constexpr std::uint8_t b64_pad = 64;      // "="
constexpr std::uint8_t b64_skip = 65;     // any other ASCII character
constexpr std::uint8_t b64_foreign = 66;  // a byte that is not ASCII

constexpr std::array<std::uint8_t, 256> b64_table = [] {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 128; ++i) t[i] = b64_skip;
    for (int i = 128; i < 256; ++i) t[i] = b64_foreign;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    t['='] = b64_pad;
    return t;
}();

[[noreturn]] void non_ascii() { fail(std::string(texts::non_ascii)); }

// ---------------------------------------------------------------- decryption
// AES-CBC decryption in place, padding left as it is. Only the length can fail
// here, and it depends on the ciphertext's form alone.
void decrypt_blocks(const Key& key, char* data, std::size_t size) {
    Session session(key, false);
    EVP_CIPHER_CTX* ctx = session.get();
    if (size % 16 != 0) fail(std::string(texts::not_whole_blocks));
    // Padding is checked by padding_holds rather than by EVP: with EVP's padding
    // on, the block it holds back would make a second in-place update overlap its
    // own output, and EVP would report a bad padding by a path of its own.
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    auto* bytes = reinterpret_cast<unsigned char*>(data);
    constexpr std::size_t step = std::size_t{1} << 30;
    for (std::size_t pos = 0; pos < size; pos += step) {
        const std::size_t chunk = std::min(step, size - pos);
        int len = 0;
        if (EVP_DecryptUpdate(ctx, bytes + pos, &len, bytes + pos, static_cast<int>(chunk)) != 1 ||
            static_cast<std::size_t>(len) != chunk) {
            openssl::fail(core::ErrorKind::value, std::string(texts::decryption_failed));
        }
    }
}

// All bits set when a < b, none otherwise (a, b below 2^63), without a branch.
constexpr std::uint64_t mask_below(std::uint64_t a, std::uint64_t b) noexcept { return 0 - ((a - b) >> 63); }
constexpr std::uint64_t mask_equal(std::uint64_t a, std::uint64_t b) noexcept { return mask_below(a ^ b, 1); }

// The PKCS#7 verdict on decrypted whole blocks, in constant time: all sixteen
// bytes of the last block are read and compared whatever the padding claims,
// and no branch depends on their values. `plain_size` is the size without the
// padding when it holds, the whole size when it does not.
bool padding_holds(const char* data, std::size_t size, std::size_t& plain_size) noexcept {
    plain_size = size;
    if (size < 16) return false;  // no block at all: the form of the ciphertext, not its content
    const auto* last = reinterpret_cast<const unsigned char*>(data + size - 16);
    const std::uint64_t pad = last[15];
    std::uint64_t good = mask_below(0, pad) & mask_below(pad, 17);
    for (std::uint64_t i = 0; i < 16; ++i) {
        const std::uint64_t in_padding = mask_below(i, pad);
        good &= ~in_padding | mask_equal(last[15 - i], pad);
    }
    plain_size = size - static_cast<std::size_t>(pad & good);
    return (good & 1) != 0;
}

}  // namespace

// ---------------------------------------------------------------- keys
Key::Key(const sha256::Digest& digest) noexcept : size_(digest.size()) {
    std::memcpy(bytes_.data(), digest.data(), digest.size());
}

Key::~Key() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

void Key::from_hex(std::string_view hex, Key& out) {
    auto value = [](unsigned char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    auto is_space = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    auto bad = [](std::size_t position) { fail(core::texts::joined(texts::non_hex, std::to_string(position))); };
    out.size_ = 0;
    std::size_t i = 0;
    while (i < hex.size()) {
        if (is_space(static_cast<unsigned char>(hex[i]))) {
            ++i;
            continue;
        }
        const int high = value(static_cast<unsigned char>(hex[i]));
        if (high < 0) bad(i);
        if (i + 1 >= hex.size()) bad(i + 1);
        const int low = value(static_cast<unsigned char>(hex[i + 1]));
        if (low < 0) bad(i + 1);
        if (out.size_ == out.bytes_.size()) fail(std::string(texts::key_too_long));
        out.bytes_[out.size_++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
}

// ---------------------------------------------------------------- encryption
void encrypt_to_base64(const Key& key, std::string_view plain, char* out) {
    Session session(key, true);
    EVP_CIPHER_CTX* ctx = session.get();
    const auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    const std::size_t n = plain.size();
    const std::size_t buffer_size = std::min(n, slice) + 32;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[buffer_size]);

    std::size_t pos = 0;
    int len = 0;
    for (; n - pos > slice; pos += slice) {
        if (EVP_EncryptUpdate(ctx, buffer.get(), &len, in + pos, static_cast<int>(slice)) != 1)
            openssl::fail(core::ErrorKind::value, std::string(texts::encryption_failed));
        encode(buffer.get(), static_cast<std::size_t>(len), out);
    }
    int tail = 0;
    if (EVP_EncryptUpdate(ctx, buffer.get(), &len, in + pos, static_cast<int>(n - pos)) != 1 ||
        EVP_EncryptFinal_ex(ctx, buffer.get() + len, &tail) != 1) {
        openssl::fail(core::ErrorKind::value, std::string(texts::encryption_failed));
    }
    encode(buffer.get(), static_cast<std::size_t>(len + tail), out);
    OPENSSL_cleanse(buffer.get(), buffer_size);
}

// ---------------------------------------------------------------- Base64 and decryption
Bytes base64_decode(std::string_view text) {
    Bytes result;
    result.data.reset(new char[decoded_capacity(text.size())]);
    result.size = base64_decode_to(text, result.data.get());
    return result;
}

std::size_t base64_decode_to(std::string_view text, char* out) {
    auto* const begin = reinterpret_cast<std::uint8_t*>(out);
    std::uint8_t* o = begin;
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    int quad = 0;  // characters of the current group seen so far
    int pads = 0;  // "=" seen since the last alphabet character
    std::uint32_t left = 0;
    bool ended = false;

    while (i < n) {
        if (quad == 0) {
            // The usual case: whole groups of four alphabet characters.
            while (i + 4 <= n) {
                const std::uint32_t a = b64_table[p[i]], b = b64_table[p[i + 1]], c = b64_table[p[i + 2]],
                                    d = b64_table[p[i + 3]];
                if ((a | b | c | d) & 0xC0) break;
                const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
                o[0] = static_cast<std::uint8_t>(v >> 16);
                o[1] = static_cast<std::uint8_t>(v >> 8);
                o[2] = static_cast<std::uint8_t>(v);
                o += 3;
                i += 4;
            }
            if (i >= n) break;
        }
        const std::uint8_t v = b64_table[p[i++]];
        if (v == b64_foreign) non_ascii();
        if (v == b64_skip) continue;
        if (v == b64_pad) {
            // Padding counts only once two characters of a group are in; it ends
            // the decoding when it completes the group.
            if (quad >= 2 && quad + ++pads >= 4) {
                ended = true;
                break;
            }
            continue;
        }
        pads = 0;
        switch (quad) {
            case 0:
                left = v;
                quad = 1;
                break;
            case 1:
                *o++ = static_cast<std::uint8_t>(left << 2 | v >> 4);
                left = v & 0x0F;
                quad = 2;
                break;
            case 2:
                *o++ = static_cast<std::uint8_t>(left << 4 | v >> 2);
                left = v & 0x03;
                quad = 3;
                break;
            default:
                *o++ = static_cast<std::uint8_t>(left << 6 | v);
                quad = 0;
                break;
        }
    }
    if (ended) {
        for (; i < n; ++i) {
            if (p[i] >= 0x80) non_ascii();
        }
    } else if (quad == 1) {
        const std::size_t characters = static_cast<std::size_t>(o - begin) / 3 * 4 + 1;
        fail(core::texts::joined(texts::base64_odd_length, std::to_string(characters), texts::base64_odd_length_end));
    } else if (quad != 0) {
        fail(std::string(texts::base64_padding));
    }
    return static_cast<std::size_t>(o - begin);
}

std::size_t decrypt_in_place(const Key& key, char* data, std::size_t size) {
    decrypt_blocks(key, data, size);
    std::size_t plain_size = 0;
    if (!padding_holds(data, size, plain_size)) fail(std::string(texts::wrong_key_or_damaged));
    return plain_size;
}

bool is_layer_utf8(std::string_view bytes, bool& ascii) noexcept {
    ascii = false;
    return !text::find_utf8_fault(bytes, /*surrogates=*/true, &ascii);
}

std::size_t decrypt_from_base64_to(const Key& key, std::string_view text, char* out, bool& ascii) {
    const std::size_t size = base64_decode_to(text, out);
    decrypt_blocks(key, out, size);
    // Both checks always run and meet in one verdict: which of them failed must
    // not show in the error, and the padding check does not show it in its timing.
    std::size_t plain_size = 0;
    const bool padding_ok = padding_holds(out, size, plain_size);
    const bool text_ok = is_layer_utf8(std::string_view(out, plain_size), ascii);
    if (!(padding_ok & text_ok)) fail(std::string(texts::wrong_key_or_damaged));
    return plain_size;
}

Bytes decrypt_from_base64(const Key& key, std::string_view text) {
    Bytes bytes;
    bytes.data.reset(new char[decoded_capacity(text.size())]);
    bool ascii = false;
    bytes.size = decrypt_from_base64_to(key, text, bytes.data.get(), ascii);
    return bytes;
}

}  // namespace zeq::cipher
