// The storage record's JSON text and hex rule, and the rule sealer's windows.
#include <string>

#include "check.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"
#include "core/rule_seal.hpp"
#include "core/vault_record.hpp"

using namespace zeq;

namespace {

std::string json_string(std::string_view s) {
    std::string out;
    vault_record::append_json_string(out, s);
    return out;
}

const std::string hex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

}  // namespace

TEST_CASE("JSON strings escape like the host's writer with ensure_ascii off") {
    CHECK_EQ(json_string("plain"), std::string("\"plain\""));
    CHECK_EQ(json_string("a\"b\\c"), std::string("\"a\\\"b\\\\c\""));
    CHECK_EQ(json_string("\b\f\n\r\t"), std::string("\"\\b\\f\\n\\r\\t\""));
    CHECK_EQ(json_string(std::string("\x00\x01\x1f", 3)), std::string("\"\\u0000\\u0001\\u001f\""));
    CHECK_EQ(json_string("\x7f"), std::string("\"\x7f\""));
    CHECK_EQ(json_string("\xE4\xB8\xAD\xE6\x96\x87"), std::string("\"\xE4\xB8\xAD\xE6\x96\x87\""));  // 中文
    CHECK_EQ(json_string("\xED\xA0\x80"), std::string("\"\xED\xA0\x80\""));  // lone surrogate passes through
}

TEST_CASE("record JSON: field order, separators, bare version") {
    vault_record::Fields f{{"a", "b", "c", "d", "e", "f"}, "1"};
    CHECK_EQ(vault_record::to_json(f),
             std::string("{\"info_type\": \"a\", \"info_owner\": \"b\", \"info_plaintext\": \"c\", "
                         "\"extract_account\": \"d\", \"extract_password\": \"e\", \"hardware_hash\": \"f\", "
                         "\"key_version\": 1}"));
}

TEST_CASE("hex digests: 64 digits of either case, one trailing line feed allowed") {
    CHECK(vault_record::is_hex_digest(hex64));
    CHECK(vault_record::is_hex_digest("ABCDEF" + hex64.substr(6)));
    CHECK(vault_record::is_hex_digest(hex64 + "\n"));
    CHECK(!vault_record::is_hex_digest(hex64 + "\n\n"));
    CHECK(!vault_record::is_hex_digest(hex64 + "0"));
    CHECK(!vault_record::is_hex_digest(hex64.substr(1)));
    CHECK(!vault_record::is_hex_digest(hex64.substr(1) + "\n"));
    CHECK(!vault_record::is_hex_digest("g" + hex64.substr(1)));
    vault_record::Texts texts{"t", "o", "p", hex64, hex64, hex64};
    CHECK(vault_record::is_valid(texts, 1));
    CHECK(!vault_record::is_valid(texts, 2));
    CHECK(!vault_record::is_valid(texts, 0));
    texts[2] = "";
    CHECK(!vault_record::is_valid(texts, 1));
}

namespace {

template <class Unit>
std::basic_string<Unit> widened(std::string_view ascii) {
    return std::basic_string<Unit>(ascii.begin(), ascii.end());
}

}  // namespace

TEST_CASE("hex digests in 2- and 4-byte units: only the ASCII digits count") {
    const auto h16 = widened<char16_t>(hex64);
    const auto h32 = widened<char32_t>(hex64);
    CHECK(vault_record::is_hex_digest({h16.data(), h16.size(), 2}));
    CHECK(vault_record::is_hex_digest({h32.data(), h32.size(), 4}));
    for (const char32_t intruder : {U'\u0130', U'\u0161', U'\uff10', U'\U00010030', U'G', U'@', U'`', U'/', U':'}) {
        auto bad16 = h16;
        auto bad32 = h32;
        bad16[10] = static_cast<char16_t>(intruder);
        bad32[10] = intruder;
        CHECK(!vault_record::is_hex_digest({bad32.data(), bad32.size(), 4}));
        if (intruder <= 0xFFFF) CHECK(!vault_record::is_hex_digest({bad16.data(), bad16.size(), 2}));
    }
    const auto lf = widened<char16_t>(hex64 + "\n");
    CHECK(vault_record::is_hex_digest({lf.data(), lf.size(), 2}));
}

TEST_CASE("record JSON in 2- and 4-byte units: texts of any width, escapes as in 1-byte units") {
    const std::u16string wide = u"\u4e2d\"\n\u0001\xe9\xd800";
    const std::u32string wider = U"\U0001F600\t\\";
    vault_record::Fields f{{"a", {wide.data(), wide.size(), 2}, "c", {wider.data(), wider.size(), 4}, "e", "f"}, "12"};
    const std::string expected_ascii =
        "{\"info_type\": \"a\", \"info_owner\": \"#\", \"info_plaintext\": \"c\", "
        "\"extract_account\": \"$\", \"extract_password\": \"e\", \"hardware_hash\": \"f\", "
        "\"key_version\": 12}";
    std::u32string expected;
    for (const char c : expected_ascii) {
        if (c == '#') expected += U"\u4e2d\\\"\\n\\u0001\xe9\xd800";
        else if (c == '$') expected += U"\U0001F600\\t\\\\";
        else expected += static_cast<char32_t>(c);
    }
    CHECK_EQ(vault_record::json_size(f), expected.size());
    std::u32string out(expected.size(), U'\0');
    vault_record::write_json(f, out.data(), 4);
    CHECK(out == expected);
    // Only 1-byte texts: the same JSON in 2-byte units.
    vault_record::Fields narrow{{"a", "\x01", "c", "d", "e", "f"}, "1"};
    std::u16string out16(vault_record::json_size(narrow), u'\0');
    vault_record::write_json(narrow, out16.data(), 2);
    CHECK(out16 == widened<char16_t>(vault_record::to_json(narrow)));
}

TEST_CASE("rule sealer: disk id, extension cycle, rule type repeats") {
    CHECK_EQ(rule_seal::disk_id(rule_seal::device_signature), std::string_view("DISK_ID_PLACEHOLDER"));
    CHECK_EQ(rule_seal::disk_id("only"), std::string_view());
    CHECK_EQ(rule_seal::disk_id("a||c"), std::string_view());
    CHECK_EQ(rule_seal::disk_id("a|b"), std::string_view("b"));
    const int expected[] = {2, 3, 4, 5, 6, 7, 8, 9, 1, 0};
    for (int i = 1; i <= 30; ++i) CHECK_EQ(rule_seal::ext_salt_index(i), expected[(i - 1) % 10]);
    CHECK_EQ(rule_seal::rule_type_repeats("12345678"), 1);
    CHECK_EQ(rule_seal::rule_type_repeats("123456789"), 9);
    CHECK_EQ(rule_seal::rule_type_repeats(rule_seal::default_dimensions), 0);
    CHECK_THROWS(rule_seal::rule_type_repeats("12345678x"), core::ErrorKind::value,
                 "invalid literal for int() with base 10: 'x'");
}

TEST_CASE("rule sealer: credential windows") {
    // weight digit at salt4 = 3 is 0 -> account window starts at 0
    auto c = rule_seal::cut_credentials(hex64, "1203456789", {2, 3, 3, 4});
    CHECK_EQ(std::string(c.account.view()), hex64.substr(0, 5) + hex64.substr(62));
    CHECK_EQ(std::string(c.password.view()), hex64.substr(2, 7) + hex64.substr(61));
    // salt1 0: the whole hash is the account's tail
    c = rule_seal::cut_credentials(hex64, "9", {0, 1, 5, 5});
    CHECK_EQ(std::string(c.account.view()), hex64.substr(0, 5) + hex64);
    try {
        rule_seal::cut_credentials(hex64.substr(1), "1", {1, 1, 1, 1});
        CHECK(false);
    } catch (const core::Error& e) {
        CHECK(e.kind() == core::ErrorKind::value);
        CHECK_EQ(e.message(), std::string(core::texts::rule_sealer::hash_failed));
    }
}
