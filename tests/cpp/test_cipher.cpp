// The cipher core: hexadecimal keys, lenient Base64, the UTF-8 rule of decryption
// and a round trip through AES-CBC.
#include <string>

#include "check.hpp"
#include "core/cipher.hpp"
#include "core/credentials.hpp"
#include "core/error.hpp"

using namespace zeq;

namespace {

std::string decoded(std::string_view text) { return std::string(cipher::base64_decode(text).view()); }

bool fails(auto&& body) {
    try {
        body();
    } catch (const core::Error&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("hexadecimal keys: either case, blanks before pairs") {
    cipher::Key key;
    cipher::Key::from_hex("00ff" "AbCd", key);
    CHECK_EQ(key.size(), 4u);
    CHECK_EQ(int(key.data()[1]), 0xff);
    CHECK_EQ(int(key.data()[3]), 0xcd);
    cipher::Key::from_hex(" 00\t11\n", key);
    CHECK_EQ(key.size(), 2u);
    CHECK(fails([&] { cipher::Key::from_hex("0 0", key); }));  // a blank inside a pair
    CHECK(fails([&] { cipher::Key::from_hex("abc", key); }));  // a digit without its partner
    CHECK(fails([&] { cipher::Key::from_hex("zz", key); }));
    CHECK(fails([&] { cipher::Key::from_hex(std::string(66, 'a'), key); }));
}

TEST_CASE("lenient Base64 decoding") {
    CHECK_EQ(decoded("QUJD"), std::string("ABC"));
    CHECK_EQ(decoded("Q U\nJ!D"), std::string("ABC"));
    CHECK_EQ(decoded("QQ=="), std::string("A"));
    CHECK_EQ(decoded("QQ==QUJD"), std::string("A"));        // nothing after the padding counts
    CHECK_EQ(decoded("QUI=\x7f garbage"), std::string("AB"));
    CHECK_EQ(decoded("=QQ=="), std::string("A"));           // padding before two characters is skipped
    CHECK_EQ(decoded("QQ=x="), std::string("A\x0c"));       // an alphabet character resets the padding
    CHECK_EQ(decoded(""), std::string());
    CHECK(fails([] { decoded("Q"); }));
    CHECK(fails([] { decoded("QUJDQ"); }));
    CHECK(fails([] { decoded("QQ"); }));
    CHECK(fails([] { decoded("QQ="); }));
    CHECK(fails([] { decoded("QUJD\xc3\xa9"); }));
    CHECK(fails([] { decoded("QQ==\xc3\xa9"); }));          // non-ASCII fails even after the end
}

TEST_CASE("UTF-8 of decryption accepts surrogate forms only") {
    CHECK(cipher::check_utf8(std::string(100, 'a')));
    CHECK(!cipher::check_utf8(std::string(40, 'a') + "\xc3\xa9"));
    CHECK(!fails([] { cipher::check_utf8("plain \xe4\xb8\xad \xf0\x9f\x98\x80 \xed\xa0\x80 \xed\xbf\xbf"); }));
    for (const char* bad : {"\xff", "\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",
                            "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xed\xa0", "abcdefgh\xe4\xb8"}) {
        CHECK(fails([&] { cipher::check_utf8(bad); }));
    }
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
    CHECK_EQ(p.account, std::string("89") + d);
    CHECK_EQ(p.password, std::string("89"));  // [7, 4) is empty
    const credentials::Pair far = credentials::cut(d, INT64_MAX, 1, INT64_MIN, INT64_MIN);
    CHECK_EQ(far.account, std::string("9"));
    CHECK_EQ(far.password, std::string());
}
