// The host's string rules and the decimal rules, against what Python does.
#include <limits>

#include "check.hpp"
#include "core/decimal.hpp"
#include "core/derivation.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

using namespace zeq;

TEST_CASE("cut follows slice semantics on code points") {
    const std::string s = "a\xE4\xB8\xAD"
                          "bc";  // "a中bc"
    CHECK_EQ(text::length(s), 4u);
    CHECK_EQ(text::cut(s, 1, 3), std::string("\xE4\xB8\xAD"
                                             "b"));
    CHECK_EQ(text::cut(s, -2, 100), std::string("bc"));
    CHECK_EQ(text::cut(s, 3, 1), std::string());
    CHECK_EQ(text::cut(s, -100, 1), std::string("a"));
    CHECK_EQ(text::last_n(s, 0), s);
    CHECK_EQ(text::last_n(s, 9), s);
    CHECK_EQ(text::last_n(s, -1), std::string("\xE4\xB8\xAD"
                                              "bc"));
    CHECK_EQ(text::last_n(s, std::numeric_limits<std::int64_t>::min()), std::string());
}

TEST_CASE("repeat and char_at") {
    for (std::int64_t n = 1; n <= 17; ++n) {  // every step of the doubling copy
        std::string expected;
        for (std::int64_t i = 0; i < n; ++i) expected += "a\xE4\xB8\xAD";
        CHECK_EQ(text::repeat("a\xE4\xB8\xAD", n), expected);
        std::string out = "x";
        text::append_repeated(out, "yz", n);
        CHECK_EQ(out.size(), static_cast<std::size_t>(1 + 2 * n));
        CHECK_EQ(out.find_first_not_of("yz", 1), std::string::npos);
    }
    CHECK_EQ(text::repeat("ab", 3), std::string("ababab"));
    CHECK_EQ(text::repeat("ab", 0), std::string());
    CHECK_EQ(text::repeat("ab", -2), std::string());
    CHECK_EQ(text::char_at("a\xE4\xB8\xAD", -1), std::string("\xE4\xB8\xAD"));
    try {
        text::char_at("abc", 3);
        CHECK(false);
    } catch (const core::Error& e) {
        CHECK(e.kind() == core::ErrorKind::index);
        CHECK_EQ(e.message(), std::string("string index out of range"));
    }
}

TEST_CASE("repeat fails as the host's repetition fails") {
    // What CPython 3.11 to 3.13 raise for text * n on a 64-bit machine: more code points
    // than the index range holds is OverflowError, fewer that memory cannot hold MemoryError.
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* text;
        std::int64_t times;
        bool too_long;
    } cases[] = {
        {"ab", std::int64_t{1} << 62, true},
        {"ab", max, true},
        {"abc", max / 3 + 1, true},
        {"\xE4\xB8\xAD\xE6\x96\x87", std::int64_t{1} << 62, true},  // two code points, six bytes
        {"\xC3\xA9", std::int64_t{1} << 62, false},                 // one code point of two bytes
        {"a", max, false},
        {"abc", max / 3, false},
    };
    for (const auto& c : cases) {
        if (c.too_long) {
            CHECK_THROWS(text::repeat(c.text, c.times), core::ErrorKind::overflow, "repeated string is too long");
        } else {
            CHECK_THROWS_AS(text::repeat(c.text, c.times), std::bad_alloc);
        }
    }
    std::string out = "kept";
    CHECK_THROWS(text::append_repeated(out, "ab", max), core::ErrorKind::overflow, "repeated string is too long");
    CHECK_EQ(out, std::string("kept"));
}

TEST_CASE("a repeat count beyond the index range, or none, fails where it repeats a part") {
    std::string out;
    derivation::append_part(out, "", derivation::Repeat::beyond_index());  // an empty part never looks
    derivation::append_part(out, "", derivation::Repeat::none());
    derivation::append_part(out, "ab", std::numeric_limits<std::int64_t>::min());
    CHECK_EQ(out, std::string());
    CHECK_THROWS(derivation::append_part(out, "ab", derivation::Repeat::beyond_index()), core::ErrorKind::overflow,
                 "cannot fit 'int' into an index-sized integer");
    CHECK_THROWS(derivation::append_part(out, "ab", derivation::Repeat::none()), core::ErrorKind::type,
                 "can't multiply sequence by non-int of type 'NoneType'");
    derivation::append_part(out, "ab", 2);
    CHECK_EQ(out, std::string("abab"));
}

TEST_CASE("strip removes the host's white space") {
    CHECK_EQ(text::strip(" \t\n x y \xE3\x80\x80"), std::string_view("x y"));  // U+3000 at the end
    CHECK_EQ(text::strip("   "), std::string_view());
}

TEST_CASE("safe_int and the digit-at-position rule") {
    CHECK_EQ(decimal::safe_int("007").view(), std::string_view("7"));
    CHECK_EQ(decimal::safe_int("-0").view(), std::string_view("0"));
    CHECK_EQ(decimal::safe_int("+12345678901234567890123").view(), std::string_view("12345678901234567890123"));
    CHECK_THROWS(decimal::safe_int(""), core::ErrorKind::value, "invalid literal for int() with base 10: ''");
    CHECK_THROWS(decimal::safe_int("12a"), core::ErrorKind::value, "invalid literal for int() with base 10: '12a'");
    CHECK_THROWS(decimal::safe_int("-"), core::ErrorKind::value, "invalid literal for int() with base 10: '-'");
    CHECK_EQ(decimal::digit_at_position("1000", 2), 0);
    CHECK_EQ(decimal::digit_at_position("1000", 5), 1);
    CHECK_EQ(decimal::digit_at_position("1234", 0), 4);  // position 0 is the last digit
    CHECK_THROWS(decimal::digit_at_position("1234", -4), core::ErrorKind::index, "string index out of range");
}

TEST_CASE("UTF-8 faults are found where the host's decoder finds them") {
    struct Case {
        std::string bytes;
        bool surrogates;
        const char* described;  // nullptr: valid
    };
    const Case cases[] = {
        {std::string(40, 'a') + "\xE4\xB8\xAD", false, nullptr},
        {"\xED\xA0\x80", true, nullptr},  // a lone surrogate as the layer writes it
        {"\xED\xA0\x80", false, "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte"},
        {"ab\xC0\xAF", false, "'utf-8' codec can't decode byte 0xc0 in position 2: invalid start byte"},
        {"ab\xE4\xB8", true, "'utf-8' codec can't decode bytes in position 2-3: unexpected end of data"},
        {"ab\xE4", true, "'utf-8' codec can't decode byte 0xe4 in position 2: unexpected end of data"},
        {"\xE4\x41\x42", true, "'utf-8' codec can't decode byte 0xe4 in position 0: invalid continuation byte"},
        {"\xED\xA0", true, "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte"},
        {"\xED\xA0\x41", true, "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte"},
        {"\xED\x80", true, "'utf-8' codec can't decode bytes in position 0-1: unexpected end of data"},
        {"\xF0\x90\x80\x41", true, "'utf-8' codec can't decode bytes in position 0-2: invalid continuation byte"},
        {"\xF4\x90\x80\x80", true, "'utf-8' codec can't decode byte 0xf4 in position 0: invalid continuation byte"},
        {std::string(33, 'x') + "\xFF", false,
         "'utf-8' codec can't decode byte 0xff in position 33: invalid start byte"},
    };
    for (const Case& c : cases) {
        bool ascii = true;
        const auto fault = text::find_utf8_fault(c.bytes, c.surrogates, &ascii);
        CHECK(!ascii);
        if (c.described == nullptr) {
            CHECK(!fault);
        } else {
            CHECK(fault.has_value());
            if (fault) CHECK_EQ(text::describe(*fault), std::string(c.described));
        }
    }
    bool ascii = false;
    CHECK(!text::find_utf8_fault(std::string(100, 'z'), false, &ascii));
    CHECK(ascii);
}
