// The host's string rules over UTF-8 text. Texts are UTF-8 byte strings in
// which surrogate code points keep their three-byte form, so one code point is
// one lead byte and lengths, positions and cuts count code points.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zeq::text {

// Number of code points.
std::size_t length(std::string_view s) noexcept;

// True when every byte is ASCII (then bytes and code points coincide).
bool is_ascii(std::string_view s) noexcept;

// s[a:b]: negative bounds count from the end, both are clamped, never fails.
std::string cut(std::string_view s, std::int64_t a, std::int64_t b);
// The same as a view into s (for cuts of key material, which is copied only into
// buffers that are wiped).
std::string_view cut_view(std::string_view s, std::int64_t a, std::int64_t b) noexcept;

// s[-n:]: the last n code points; the whole text for n == 0 or n > length,
// the text without its first |n| code points for negative n.
std::string last_n(std::string_view s, std::int64_t n);
std::string_view last_n_view(std::string_view s, std::int64_t n) noexcept;
// The same two cuts of a text known to be ASCII, where code points are bytes.
std::string_view cut_view_ascii(std::string_view s, std::int64_t a, std::int64_t b) noexcept;
std::string_view last_n_view_ascii(std::string_view s, std::int64_t n) noexcept;

// s[:n] for n >= 0.
std::string first_n(std::string_view s, std::int64_t n);
// The same as a view into s.
std::string_view head(std::string_view s, std::size_t n) noexcept;

// s * n: empty for n <= 0. As the host's repetition fails: a result of more code
// points than the host's index range holds is core::Error (overflow) "repeated
// string is too long"; one within it that cannot be allocated is std::bad_alloc.
std::string repeat(std::string_view s, std::int64_t n);
void append_repeated(std::string& out, std::string_view s, std::int64_t n);
// Writes s `times` times from `out` on (room for s.size() * times bytes is the
// caller's to make) and returns the end: the copy append_repeated makes, for
// callers whose counts are already checked.
char* repeat_into(char* out, std::string_view s, std::size_t times) noexcept;

// s[k]: negative k counts from the end; outside the text it is the host's
// IndexError "string index out of range".
std::string char_at(std::string_view s, std::int64_t k);

// The code points of s in reverse order (s[::-1]).
std::string reversed(std::string_view s);
// The same into `out`, which has room for s.size() bytes.
void reversed_to(std::string_view s, char* out) noexcept;

// Python's str.strip() with no argument: removes leading and trailing white space
// (the Unicode white space set the host uses).
std::string_view strip(std::string_view s) noexcept;

// True for the characters str.isspace() accepts (also the regular-expression \s).
bool is_space(char32_t c) noexcept;

// The code point starting at byte s[pos] (pos < s.size()); advances pos past it.
char32_t decode_at(std::string_view s, std::size_t& pos) noexcept;

// Where bytes stop being UTF-8, as the host's decoder reports it.
struct Utf8Fault {
    std::size_t position;  // of the first byte of the faulty sequence
    std::size_t end;       // past its last byte read as valid, as the host counts it
    unsigned char byte;
    const char* reason;  // "invalid start byte", "invalid continuation byte", "unexpected end of data"
};

// Checks UTF-8: well-formed, no overlong forms; the three-byte forms of surrogate
// code points (ED A0 80 .. ED BF BF) are accepted only with `surrogates` (that is
// how the layer writes a text holding lone surrogates). `all_ascii`, when given,
// tells whether every byte is ASCII.
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes, bool surrogates, bool* all_ascii = nullptr) noexcept;

// What a text in the layer's UTF-8 holds: its code points, and the widest of
// them in the units the host stores text in (1: up to U+00FF, 2: up to U+FFFF,
// 4: beyond).
struct Utf8Shape {
    std::size_t length = 0;
    unsigned width = 1;
    bool ascii = true;
};

// The verdict of find_utf8_fault(bytes, /*surrogates=*/true) without its report,
// in one pass that also measures the text (left as it was when it fails).
bool check_layer_utf8(std::string_view bytes, Utf8Shape& shape) noexcept;

// The code points of text check_layer_utf8 accepted, as units of its width
// (shape.length of them; surrogate forms become the surrogates themselves).
// Nothing is checked again.
void decode_checked(std::string_view utf8, std::uint8_t* out) noexcept;
void decode_checked(std::string_view utf8, std::uint16_t* out) noexcept;
void decode_checked(std::string_view utf8, std::uint32_t* out) noexcept;

// "'utf-8' codec can't decode byte 0x.. in position N: <reason>", or "... bytes in
// position N-M: ..." for a sequence of several bytes: the host's words.
std::string describe(const Utf8Fault& fault);

// The host's repr() of a text, used in error messages.
std::string repr(std::string_view s);

}  // namespace zeq::text
