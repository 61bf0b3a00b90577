#include "core/cipher.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "core/base64.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/secret_buffer.hpp"
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

void encode(const unsigned char* in, std::size_t size, char*& out) noexcept {
    base64::encode_to(in, size, out);
    out += base64::encoded_size(size);
}

// ---------------------------------------------------------------- decryption
// Whole blocks decrypted in place, in order, with EVP's own padding off:
// padding_holds checks it instead (with EVP's padding on, the block it holds
// back would make a second in-place update overlap its own output, and EVP
// would report a bad padding by a path of its own).
void decrypt_update(EVP_CIPHER_CTX* ctx, char* data, std::size_t size) {
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

// AES-CBC decryption in place, padding left as it is. Only the length can fail
// here, and it depends on the ciphertext's form alone.
void decrypt_blocks(const Key& key, char* data, std::size_t size) {
    Session session(key, false);
    if (size % 16 != 0) fail(std::string(texts::not_whole_blocks));
    EVP_CIPHER_CTX_set_padding(session.get(), 0);
    decrypt_update(session.get(), data, size);
}

// Decrypts the pieces of a long Base64 text while the decoder hands them over,
// still in the cache, and notes whether they are all ASCII. Any piece that is
// not whole blocks (the last) and everything after a restart are left to the
// caller, which then decrypts from `done()` on.
class DecryptingSink final : public base64::PieceSink {
public:
    explicit DecryptingSink(const Key& key) noexcept : key_(key) {}
    void piece(char* data, std::size_t size) override {
        if (!streaming_ || size % 16 != 0) {
            streaming_ = false;
            return;
        }
        if (!session_) {
            session_.emplace(key_, false);
            EVP_CIPHER_CTX_set_padding(session_->get(), 0);
        }
        decrypt_update(session_->get(), data, size);
        ascii_ = ascii_ && text::is_ascii(std::string_view(data, size));
        done_ += size;
    }
    void restart() override {
        streaming_ = false;
        session_.reset();
        done_ = 0;
        ascii_ = true;
    }
    // The rest of the `size` decoded bytes: decrypted as decrypt_blocks does.
    void finish(char* data, std::size_t size) {
        if (!session_) return decrypt_blocks(key_, data, size);
        if (size % 16 != 0) fail(std::string(texts::not_whole_blocks));
        decrypt_update(session_->get(), data + done_, size - done_);
        ascii_ = ascii_ && text::is_ascii(std::string_view(data + done_, size - done_));
    }
    // True when every decrypted byte is ASCII (known only once pieces were decrypted here).
    bool all_ascii() const noexcept { return session_.has_value() && ascii_; }

private:
    const Key& key_;
    std::optional<Session> session_;
    std::size_t done_ = 0;
    bool streaming_ = true;
    bool ascii_ = true;
};

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

Key::~Key() { wipe_bytes(bytes_.data(), bytes_.size()); }

namespace {

// The value of each byte as a hexadecimal digit of either case, 0x10 for any
// other byte.
constexpr std::array<std::uint8_t, 256> hex_values = [] {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = 0x10;
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 6; ++i) t['a' + i] = t['A' + i] = static_cast<std::uint8_t>(10 + i);
    return t;
}();

constexpr std::uint32_t hex_value(unsigned char c) noexcept { return hex_values[c]; }

constexpr bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

void Key::from_hex(std::string_view hex, Key& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(hex.data());
    const std::size_t n = hex.size();
    out.size_ = 0;
    // The usual key, nothing but pairs of digits (up to 32 of them): one pass
    // of table lookups, without a branch on its characters.
    if (n % 2 == 0 && n <= 2 * out.bytes_.size()) {
        std::uint32_t seen = 0;
        for (std::size_t i = 0; i < n; i += 2) {
            const std::uint32_t high = hex_value(p[i]), low = hex_value(p[i + 1]);
            seen |= high | low;
            out.bytes_[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
        }
        if (seen < 0x10) {
            out.size_ = n / 2;
            return;
        }
        wipe_bytes(out.bytes_.data(), out.bytes_.size());
    }
    // Anything else (white space, a wrong character, a long text) pair by pair,
    // failing where the text does.
    auto bad = [](std::size_t position) { fail(core::texts::joined(texts::non_hex, std::to_string(position))); };
    std::size_t i = 0;
    while (i < n) {
        if (is_ascii_space(p[i])) {
            ++i;
            continue;
        }
        const std::uint32_t high = hex_value(p[i]);
        if (high > 0x0F) bad(i);
        if (i + 1 >= n) bad(i + 1);
        const std::uint32_t low = hex_value(p[i + 1]);
        if (low > 0x0F) bad(i + 1);
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
    // The buffer holds ciphertext only, and is wiped all the same. It is on the
    // heap even for short texts: with a large array in this frame, what
    // libcrypto's callees leave of the plaintext on the stack stays in reach.
    const std::size_t buffer_size = std::min(n, slice) + 32;
    std::unique_ptr<unsigned char[]> owned(new unsigned char[buffer_size]);
    unsigned char* buffer = owned.get();
    struct Wipe {
        unsigned char* p;
        std::size_t n;
        ~Wipe() { wipe_bytes(p, n); }
    } wipe{buffer, buffer_size};

    std::size_t pos = 0;
    int len = 0;
    for (; n - pos > slice; pos += slice) {
        if (EVP_EncryptUpdate(ctx, buffer, &len, in + pos, static_cast<int>(slice)) != 1)
            openssl::fail(core::ErrorKind::value, std::string(texts::encryption_failed));
        encode(buffer, static_cast<std::size_t>(len), out);
    }
    int tail = 0;
    if (EVP_EncryptUpdate(ctx, buffer, &len, in + pos, static_cast<int>(n - pos)) != 1 ||
        EVP_EncryptFinal_ex(ctx, buffer + len, &tail) != 1) {
        openssl::fail(core::ErrorKind::value, std::string(texts::encryption_failed));
    }
    encode(buffer, static_cast<std::size_t>(len + tail), out);
    *out = '\0';
}

// ---------------------------------------------------------------- decryption
std::size_t decrypt_in_place(const Key& key, char* data, std::size_t size) {
    decrypt_blocks(key, data, size);
    std::size_t plain_size = 0;
    if (!padding_holds(data, size, plain_size)) fail(std::string(texts::wrong_key_or_damaged));
    return plain_size;
}

bool is_layer_utf8(std::string_view bytes, bool& ascii) noexcept {
    text::Utf8Shape shape;
    const bool ok = text::check_layer_utf8(bytes, shape);
    ascii = ok && shape.ascii;
    return ok;
}

std::size_t decrypt_from_base64_to(const Key& key, std::string_view encoded, char* out, text::Utf8Shape& shape) {
    std::size_t size = 0;
    bool all_ascii = false;
    if (openssl::aes_cbc(key.size()) != nullptr) {
        // A usable key: long texts are decrypted piece by piece as they decode.
        DecryptingSink sink(key);
        size = base64::decode_to(encoded, out, sink);
        sink.finish(out, size);
        all_ascii = sink.all_ascii();
    } else {
        size = base64::decode_to(encoded, out);
        decrypt_blocks(key, out, size);  // fails, naming the key size
    }
    // Both checks always run and meet in one verdict: which of them failed must
    // not show in the error, and the padding check does not show it in its timing.
    // Decrypted bytes that are all ASCII (the padding's included) are text as they stand.
    std::size_t plain_size = 0;
    const bool padding_ok = padding_holds(out, size, plain_size);
    bool text_ok = true;
    if (all_ascii) shape = text::Utf8Shape{plain_size, 1, true};
    else text_ok = text::check_layer_utf8(std::string_view(out, plain_size), shape);
    if (!(padding_ok & text_ok)) fail(std::string(texts::wrong_key_or_damaged));
    return plain_size;
}

Bytes decrypt_from_base64(const Key& key, std::string_view encoded) {
    Bytes bytes;
    bytes.data.reset(new char[base64::decoded_capacity(encoded.size())]);
    text::Utf8Shape shape;
    bytes.size = decrypt_from_base64_to(key, encoded, bytes.data.get(), shape);
    return bytes;
}

}  // namespace zeq::cipher
