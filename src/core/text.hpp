// The host's string rules over UTF-8 text. Texts are UTF-8 byte strings in
// which surrogate code points keep their three-byte form, so one code point is
// one lead byte and lengths, positions and cuts count code points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeq::text {

// Number of code points.
std::size_t length(std::string_view s) noexcept;

// True when every byte is ASCII (then bytes and code points coincide).
bool is_ascii(std::string_view s) noexcept;

// s[a:b]: negative bounds count from the end, both are clamped, never fails.
std::string cut(std::string_view s, std::int64_t a, std::int64_t b);

// s[-n:]: the last n code points; the whole text for n == 0 or n > length,
// the text without its first |n| code points for negative n.
std::string last_n(std::string_view s, std::int64_t n);

// s[:n] for n >= 0.
std::string first_n(std::string_view s, std::int64_t n);

// s * n: empty for n <= 0. Throws std::bad_alloc when the result cannot exist.
std::string repeat(std::string_view s, std::int64_t n);
void append_repeated(std::string& out, std::string_view s, std::int64_t n);

// s[k]: negative k counts from the end; outside the text it is the host's
// IndexError "string index out of range".
std::string char_at(std::string_view s, std::int64_t k);

// The code points of s in reverse order (s[::-1]).
std::string reversed(std::string_view s);

// Python's str.strip() with no argument: removes leading and trailing white space
// (the Unicode white space set the host uses).
std::string_view strip(std::string_view s) noexcept;

// True for the characters str.isspace() accepts (also the regular-expression \s).
bool is_space(char32_t c) noexcept;

// The code point starting at byte s[pos] (pos < s.size()); advances pos past it.
char32_t decode_at(std::string_view s, std::size_t& pos) noexcept;

// The host's repr() of a text, used in error messages.
std::string repr(std::string_view s);

}  // namespace zeq::text
