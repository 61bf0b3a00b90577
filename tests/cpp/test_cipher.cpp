// The cipher core: hexadecimal keys, lenient Base64, the UTF-8 rule of decryption
// and a round trip through AES-CBC.
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/base64.hpp"
#include "core/cipher.hpp"
#include "core/credentials.hpp"
#include "core/error.hpp"
#include "core/hex.hpp"
#include "core/host_texts.hpp"

using namespace zeq;

namespace {

// What both decoders make of `text`: they must agree, failures included.
std::string decoded(std::string_view text) {
    auto run = [&](auto decode) -> std::string {
        std::unique_ptr<char[]> out(new char[base64::decoded_capacity(text.size())]);
        try {
            return std::string(out.get(), decode(text, out.get()));
        } catch (const core::Error& e) {
            return "failure: " + e.message();
        }
    };
    const std::string fast = run([](std::string_view t, char* o) { return base64::decode_to(t, o); });
    const std::string reference = run([](std::string_view t, char* o) { return base64::reference::decode_to(t, o); });
    CHECK_EQ(fast, reference);
    if (fast.rfind("failure: ", 0) == 0) throw core::Error(core::ErrorKind::value, fast.substr(9));
    return fast;
}

// EVP_EncodeBlock's Base64 of `bytes`.
std::string evp_base64(std::string_view bytes) {
    std::string text(base64::encoded_size(bytes.size()) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         reinterpret_cast<const unsigned char*>(bytes.data()),
                                                         static_cast<int>(bytes.size()))));
    return text;
}

// Deterministic bytes of every value.
std::string mixed_bytes(std::size_t n) {
    std::string s(n, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

}  // namespace

TEST_CASE("hexadecimal encoding: every byte value, in blocks and in the tail") {
    std::vector<std::uint8_t> bytes(256 + 7);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 167 + 13);
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{17},
                             std::size_t{32}, bytes.size()}) {
        std::string expected;
        for (std::size_t i = 0; i < size; ++i) {
            expected += digits[bytes[i] >> 4];
            expected += digits[bytes[i] & 0x0F];
        }
        CHECK_EQ(hex::encode(bytes.data(), size), expected);
    }
}

TEST_CASE("hexadecimal keys: either case, blanks before pairs") {
    cipher::Key key;
    cipher::Key::from_hex("00ff"
                          "AbCd",
                          key);
    CHECK_EQ(key.size(), 4u);
    CHECK_EQ(int(key.data()[1]), 0xff);
    CHECK_EQ(int(key.data()[3]), 0xcd);
    cipher::Key::from_hex(" 00\t11\n", key);
    CHECK_EQ(key.size(), 2u);
    // a blank inside a pair
    CHECK_THROWS(cipher::Key::from_hex("0 0", key), core::ErrorKind::value,
                 "non-hexadecimal number found in fromhex() arg at position 1");
    // a digit without its partner
    CHECK_THROWS(cipher::Key::from_hex("abc", key), core::ErrorKind::value,
                 "non-hexadecimal number found in fromhex() arg at position 3");
    CHECK_THROWS(cipher::Key::from_hex("zz", key), core::ErrorKind::value,
                 "non-hexadecimal number found in fromhex() arg at position 0");
    CHECK_THROWS(cipher::Key::from_hex(std::string(66, 'a'), key), core::ErrorKind::value,
                 "Invalid key size (more than 256 bits) for AES.");
    // the usual 64 digits, and each way they can go wrong, at the place they do
    const std::string digits = "000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F";
    cipher::Key::from_hex(digits, key);
    CHECK_EQ(key.size(), 32u);
    for (std::size_t i = 0; i < 32; ++i) CHECK_EQ(int(key.data()[i]), int(i));
    for (std::size_t at : {0u, 1u, 31u, 62u, 63u}) {
        for (char wrong : {'g', 'G', '/', ':', '@', '`', '\x80', '\0'}) {
            std::string text = digits;
            text[at] = wrong;
            CHECK_THROWS(cipher::Key::from_hex(text, key), core::ErrorKind::value,
                         "non-hexadecimal number found in fromhex() arg at position " + std::to_string(at));
        }
    }
    std::string blank = digits;
    blank[62] = ' ';  // a blank where a pair starts is skipped; its partner is then alone
    CHECK_THROWS(cipher::Key::from_hex(blank, key), core::ErrorKind::value,
                 "non-hexadecimal number found in fromhex() arg at position 64");
    cipher::Key::from_hex(" " + digits.substr(0, 62), key);
    CHECK_EQ(key.size(), 31u);
}

TEST_CASE("lenient Base64 decoding") {
    CHECK_EQ(decoded("QUJD"), std::string("ABC"));
    CHECK_EQ(decoded("Q U\nJ!D"), std::string("ABC"));
    CHECK_EQ(decoded("QQ=="), std::string("A"));
    CHECK_EQ(decoded("QQ==QUJD"), std::string("A"));  // nothing after the padding counts
    CHECK_EQ(decoded("QUI=\x7f garbage"), std::string("AB"));
    CHECK_EQ(decoded("=QQ=="), std::string("A"));      // padding before two characters is skipped
    CHECK_EQ(decoded("QQ=x="), std::string("A\x0c"));  // an alphabet character resets the padding
    CHECK_EQ(decoded(""), std::string());
    CHECK_THROWS(decoded("Q"), core::ErrorKind::value,
                 "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4");
    CHECK_THROWS(decoded("QUJDQ"), core::ErrorKind::value,
                 "Invalid base64-encoded string: number of data characters (5) cannot be 1 more than a multiple of 4");
    CHECK_THROWS(decoded("QQ"), core::ErrorKind::value, "Incorrect padding");
    CHECK_THROWS(decoded("QQ="), core::ErrorKind::value, "Incorrect padding");
    CHECK_THROWS(decoded("QUJD\xc3\xa9"), core::ErrorKind::value,
                 "string argument should contain only ASCII characters");
    // non-ASCII fails even after the end
    CHECK_THROWS(decoded("QQ==\xc3\xa9"), core::ErrorKind::value,
                 "string argument should contain only ASCII characters");
}

TEST_CASE("lenient Base64 decoding of long texts: the vector path gives the same verdicts") {
    std::string body, bytes;
    for (int i = 0; i < 100; ++i) body += "QUJD", bytes += "ABC";
    CHECK_EQ(decoded(body), bytes);
    CHECK_EQ(decoded(body + "QQ=="), bytes + "A");
    CHECK_EQ(decoded(body + "QQ==QUJD"), bytes + "A");
    CHECK_EQ(decoded(body + "QUI=\x7f garbage"), bytes + "AB");
    CHECK_EQ(decoded(body + "Q U\nJ!D"), bytes + "ABC");
    CHECK_EQ(decoded(body + "QQ=x="), bytes + "A\x0c");
    CHECK_EQ(decoded("QQ==" + body), std::string("A"));
    (void)decoded("QQ" + body + "==");  // groups shifted by two: the decoders agree (checked inside)
    CHECK_EQ(decoded(body.substr(0, 200) + " " + body.substr(200)), bytes);
    CHECK_EQ(decoded(body.substr(0, 201) + "\n" + body.substr(201)), bytes);
    CHECK_THROWS(
        decoded(body + "Q"), core::ErrorKind::value,
        "Invalid base64-encoded string: number of data characters (401) cannot be 1 more than a multiple of 4");
    CHECK_THROWS(
        decoded(body.substr(0, 200) + "!" + body.substr(200) + "Q"), core::ErrorKind::value,
        "Invalid base64-encoded string: number of data characters (401) cannot be 1 more than a multiple of 4");
    CHECK_THROWS(decoded(body + "QQ"), core::ErrorKind::value, "Incorrect padding");
    CHECK_THROWS(decoded(body + "QQ="), core::ErrorKind::value, "Incorrect padding");
    CHECK_EQ(decoded(body.substr(0, 300) + "=" + body.substr(300)), bytes);  // padding before a group is skipped
    CHECK_EQ(decoded(body.substr(0, 302) + "==" + body.substr(302)), bytes.substr(0, 225) + "A");  // it ends there
    CHECK_THROWS(
        decoded(body.substr(0, 301) + "=" + body.substr(300)), core::ErrorKind::value,
        "Invalid base64-encoded string: number of data characters (401) cannot be 1 more than a multiple of 4");
    CHECK_THROWS(decoded(body.substr(0, 300) + "\xc3\xa9" + body.substr(300)), core::ErrorKind::value,
                 "string argument should contain only ASCII characters");
    CHECK_THROWS(decoded(body + "QQ==" + body + "\xc3\xa9"), core::ErrorKind::value,
                 "string argument should contain only ASCII characters");
    // every byte value and length, through both decoders
    for (std::size_t n : {0u, 1u, 2u, 3u, 190u, 191u, 192u, 193u, 255u, 256u, 257u, 1000u, 4099u}) {
        const std::string raw = mixed_bytes(n);
        CHECK_EQ(decoded(evp_base64(raw)), raw);
    }
}

TEST_CASE("Base64 encoding matches OpenSSL's at every length, both paths") {
    for (std::size_t n = 0; n < 700; ++n) {
        const std::string raw = mixed_bytes(n);
        const auto* data = reinterpret_cast<const std::uint8_t*>(raw.data());
        std::string fast(base64::encoded_size(n), '\0'), reference(base64::encoded_size(n), '\0');
        base64::encode_to(data, n, fast.data());
        base64::reference::encode_to(data, n, reference.data());
        CHECK_EQ(fast, evp_base64(raw));
        CHECK_EQ(reference, fast);
    }
}

TEST_CASE("UTF-8 of decryption accepts surrogate forms only") {
    bool ascii = false;
    CHECK(cipher::is_layer_utf8(std::string(100, 'a'), ascii));
    CHECK(ascii);
    CHECK(cipher::is_layer_utf8(std::string(40, 'a') + "\xc3\xa9", ascii));
    CHECK(!ascii);
    CHECK(cipher::is_layer_utf8("plain \xe4\xb8\xad \xf0\x9f\x98\x80 \xed\xa0\x80 \xed\xbf\xbf", ascii));
    for (const char* bad : {"\xff", "\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",
                            "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xed\xa0", "abcdefgh\xe4\xb8"}) {
        CHECK(!cipher::is_layer_utf8(bad, ascii));
    }
}

TEST_CASE("UTF-8 of decryption is measured as it is checked, then decoded unchecked") {
    struct Case {
        std::string bytes;
        std::size_t length;
        unsigned width;
        std::vector<std::uint32_t> code_points;
    };
    const std::vector<Case> cases = {
        {"", 0, 1, {}},
        {"abc", 3, 1, {'a', 'b', 'c'}},
        {"caf\xc3\xa9", 4, 1, {'c', 'a', 'f', 0xE9}},
        {"\xc2\x80\xc3\xbf", 2, 1, {0x80, 0xFF}},
        {"\xc4\x80", 1, 2, {0x100}},
        {"a\xe4\xb8\xad\xe6\x96\x87", 3, 2, {'a', 0x4E2D, 0x6587}},
        {"\xed\xa0\x80\xed\xbf\xbf", 2, 2, {0xD800, 0xDFFF}},  // surrogate forms stay surrogates
        {"\xef\xbf\xbf\xc3\xa9", 2, 2, {0xFFFF, 0xE9}},
        {"x\xf0\x9f\x98\x80\xc3\xa9", 3, 4, {'x', 0x1F600, 0xE9}},
        {"\xf4\x8f\xbf\xbf", 1, 4, {0x10FFFF}},
        {std::string(40, 'a') + "\xe4\xb8\xad" + std::string(20, 'b'), 61, 2, {}},
    };
    for (const Case& c : cases) {
        text::Utf8Shape shape;
        const bool ok = text::check_layer_utf8(c.bytes, shape);
        CHECK(ok);
        if (!ok) continue;
        bool ascii = true;
        for (char b : c.bytes) ascii = ascii && static_cast<unsigned char>(b) < 0x80;
        CHECK_EQ(shape.length, c.length);
        CHECK_EQ(shape.width, c.width);
        CHECK_EQ(shape.ascii, ascii);
        if (c.code_points.empty()) continue;
        std::vector<std::uint32_t> got(shape.length);
        if (shape.width == 1) {
            std::vector<std::uint8_t> units(shape.length);
            text::decode_checked(c.bytes, units.data());
            got.assign(units.begin(), units.end());
        } else if (shape.width == 2) {
            std::vector<std::uint16_t> units(shape.length);
            text::decode_checked(c.bytes, units.data());
            got.assign(units.begin(), units.end());
        } else {
            text::decode_checked(c.bytes, got.data());
        }
        CHECK(got == c.code_points);
    }
}

TEST_CASE("bad padding and bytes that are not text fail alike") {
    cipher::Key key;
    cipher::Key::from_hex(std::string(64, '7'), key);
    // Whole blocks encrypted without padding of their own: the last block decides.
    auto sealed_blocks = [&](std::string blocks) {
        std::string out(cipher::encrypted_text_size(blocks.size()) + 1, '\0');
        cipher::encrypt_to_base64(key, blocks, out.data());
        // drop the block of padding the encryption added: 16 bytes are 20 Base64
        // characters after a multiple of 3 bytes, so decode, cut and re-encode
        const std::string raw = decoded(out.c_str());
        return evp_base64(std::string_view(raw).substr(0, raw.size() - 16));
    };
    auto message_of = [&](const std::string& text) -> std::string {
        try {
            cipher::decrypt_from_base64(key, text);
        } catch (const core::Error& e) {
            return e.message();
        }
        return "no failure";
    };
    const std::string block_of_a(15, 'a');
    for (const std::string& last : {block_of_a + '\0', block_of_a + '\x11', std::string(14, 'a') + "\x01\x02",
                                    std::string(12, 'a') + "\x05\x05\x05\x05",  // claims 5, holds 4
                                    std::string(15, '\xff') + '\x01', "\xc3" + std::string(14, 'a') + '\x01',
                                    std::string(13, 'a') + "\xe4\xb8" + '\x01'}) {
        CHECK_EQ(message_of(sealed_blocks(std::string(16, 'b') + last)),
                 std::string(core::texts::cipher::wrong_key_or_damaged));
    }
    CHECK_EQ(message_of(""), std::string(core::texts::cipher::wrong_key_or_damaged));  // no block, no padding
    CHECK_EQ(message_of(sealed_blocks(std::string(15, 'a') + '\x01')), std::string("no failure"));
    CHECK_EQ(message_of(sealed_blocks(std::string(16, '\x10'))), std::string("no failure"));
    // the form of the ciphertext is still named
    CHECK_EQ(message_of("QUJD"), std::string("The length of the provided data is not a multiple of the block length."));
}

TEST_CASE("AES-CBC round trip and sizes") {
    cipher::Key key;
    cipher::Key::from_hex(std::string(64, '7'), key);
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 147455u, 147456u, 147457u}) {
        const std::string plain(n, 'x');
        std::string out(cipher::encrypted_text_size(n) + 1, '\0');
        cipher::encrypt_to_base64(key, plain, out.data());
        out.pop_back();
        CHECK_EQ(out.find('\0'), std::string::npos);
        CHECK_EQ(std::string(cipher::decrypt_from_base64(key, out).view()), plain);
    }
    CHECK_EQ(cipher::encrypted_text_size(15), 24u);
    CHECK_EQ(cipher::encrypted_text_size(16), 44u);
}

TEST_CASE("long ciphertexts: decrypted as they decode, the same verdicts as decoded whole") {
    cipher::Key key;
    cipher::Key::from_hex(std::string(64, '7'), key);
    cipher::Key other;
    cipher::Key::from_hex(std::string(64, '8'), other);
    auto sealed = [&](const std::string& plain) {
        std::string out(cipher::encrypted_text_size(plain.size()) + 1, '\0');
        cipher::encrypt_to_base64(key, plain, out.data());
        out.pop_back();
        return out;
    };
    auto opened = [&](const cipher::Key& k, std::string_view text) -> std::string {
        try {
            return std::string(cipher::decrypt_from_base64(k, text).view());
        } catch (const core::Error& e) {
            return "failure: " + e.message();
        }
    };
    std::string ascii, mixed;
    while (ascii.size() < 300000) ascii += "0123456789abcdef";
    while (mixed.size() < 300000) mixed += "text \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80 \xed\xa0\x80 ";
    const std::string damaged = "failure: " + std::string(core::texts::cipher::wrong_key_or_damaged);
    for (const std::string& plain : {ascii, mixed}) {
        const std::string text = sealed(plain);
        CHECK_EQ(opened(key, text), plain);
        CHECK_EQ(opened(other, text), damaged);
        // junk far into the text: the pieces already decrypted are dropped and
        // the whole text is read again by the lenient decoder
        for (std::size_t at : {std::size_t{10}, std::size_t{70000}, std::size_t{200000}, text.size() - 30}) {
            CHECK_EQ(opened(key, text.substr(0, at) + "\n \t!" + text.substr(at)), plain);
            CHECK_EQ(opened(key, text.substr(0, at) + "\xc3\xa9" + text.substr(at)),
                     "failure: string argument should contain only ASCII characters");
        }
        CHECK_EQ(opened(key, text.substr(0, text.size() - 4)),
                 "failure: The length of the provided data is not a multiple of the block length.");
        CHECK_EQ(opened(key, text.substr(0, 200000) + "=" + text.substr(200001)).rfind("failure: ", 0), 0u);
    }
    // a plaintext that is ASCII but for its last character, and one whose bytes are not text
    CHECK_EQ(opened(key, sealed(ascii + "\xc3\xa9")), ascii + "\xc3\xa9");
    CHECK_EQ(opened(key, sealed(ascii + "\xc3")), damaged);
    CHECK_EQ(opened(key, sealed("\xff" + ascii)), damaged);
    // a key of a size AES does not take is named after the text is read
    cipher::Key short_key;
    cipher::Key::from_hex(std::string(30, '7'), short_key);
    const std::string text = sealed(ascii);
    CHECK_EQ(opened(short_key, text), "failure: Invalid key size (120) for AES.");
    CHECK_EQ(text.size(), 400024u);
    CHECK_EQ(opened(short_key, text.substr(0, text.size() - 3)),
             "failure: Invalid base64-encoded string: number of data characters (400021) cannot be 1 more than a "
             "multiple of 4");
}

TEST_CASE("credential windows follow the slice rules") {
    const std::string d = "0123456789";
    const credentials::Pair p = credentials::cut(d, 8, 0, -3, 2);
    CHECK_EQ(std::string(p.account.view()), std::string("89") + d);
    CHECK_EQ(std::string(p.password.view()), std::string("89"));  // [7, 4) is empty
    const credentials::Pair far = credentials::cut(d, INT64_MAX, 1, INT64_MIN, INT64_MIN);
    CHECK_EQ(std::string(far.account.view()), std::string("9"));
    CHECK_EQ(std::string(far.password.view()), std::string());
}
