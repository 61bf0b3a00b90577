// The cipher core: hexadecimal keys, lenient Base64, the UTF-8 rule of decryption
// and a round trip through AES-CBC.
#include <openssl/evp.h>

#include <string>

#include "check.hpp"
#include "core/cipher.hpp"
#include "core/credentials.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"

using namespace zeq;

namespace {

std::string decoded(std::string_view text) { return std::string(cipher::base64_decode(text).view()); }

}  // namespace

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

TEST_CASE("bad padding and bytes that are not text fail alike") {
    cipher::Key key;
    cipher::Key::from_hex(std::string(64, '7'), key);
    // Whole blocks encrypted without padding of their own: the last block decides.
    auto sealed_blocks = [&](std::string blocks) {
        std::string out(cipher::encrypted_text_size(blocks.size()) + 1, '\0');
        cipher::encrypt_to_base64(key, blocks, out.data());
        // drop the block of padding the encryption added: 16 bytes are 20 Base64
        // characters after a multiple of 3 bytes, so decode, cut and re-encode
        cipher::Bytes raw = cipher::base64_decode(std::string_view(out.c_str()));
        const std::string cut(raw.data.get(), raw.size - 16);
        std::string text(cipher::base64_size(cut.size()) + 1, '\0');
        text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                             reinterpret_cast<const unsigned char*>(cut.data()),
                                                             static_cast<int>(cut.size()))));
        return text;
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

TEST_CASE("credential windows follow the slice rules") {
    const std::string d = "0123456789";
    const credentials::Pair p = credentials::cut(d, 8, 0, -3, 2);
    CHECK_EQ(std::string(p.account.view()), std::string("89") + d);
    CHECK_EQ(std::string(p.password.view()), std::string("89"));  // [7, 4) is empty
    const credentials::Pair far = credentials::cut(d, INT64_MAX, 1, INT64_MIN, INT64_MIN);
    CHECK_EQ(std::string(far.account.view()), std::string("9"));
    CHECK_EQ(std::string(far.password.view()), std::string());
}
