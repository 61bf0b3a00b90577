#include "core/vault_record.hpp"

#include <cstring>

namespace zeq::vault_record {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Calls f with the text's units as an array of their own width.
template <class F>
decltype(auto) with_units(const Units& text, F&& f) {
    switch (text.width) {
        case 2: return f(static_cast<const std::uint16_t*>(text.data), text.size);
        case 4: return f(static_cast<const std::uint32_t*>(text.data), text.size);
        default: return f(static_cast<const std::uint8_t*>(text.data), text.size);
    }
}

// ---------------------------------------------------------------- JSON strings
template <class Unit>
bool needs_escape(Unit c) noexcept {
    return c < 0x20 || c == '"' || c == '\\';
}

// Characters written as a backslash and one letter; the other controls take \u00xx.
char short_escape(std::uint32_t c) noexcept {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '\b': return 'b';
        case '\f': return 'f';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        default: return 0;
    }
}

// ---- 1-byte units, eight at a time (SWAR): texts are mostly of 1-byte units.
constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

std::uint64_t load8(const std::uint8_t* s) noexcept {
    std::uint64_t word;
    std::memcpy(&word, s, sizeof word);
    return word;
}

// Nonzero when some byte of `word` is zero (exact as to whether any is).
constexpr std::uint64_t some_zero_byte(std::uint64_t word) noexcept { return (word - ones) & ~word & highs; }

// Nonzero when some byte of `word` needs an escape: below 0x20, '"' or '\\'.
constexpr std::uint64_t some_escape_byte(std::uint64_t word) noexcept {
    const std::uint64_t below_space = (word - ones * 0x20) & ~word & highs;  // exact as to whether any is
    return below_space | some_zero_byte(word ^ (ones * '"')) | some_zero_byte(word ^ (ones * '\\'));
}

// Whether any unit needs an escape: none in nearly every text.
template <class Unit>
bool has_escape(const Unit* s, std::size_t n) noexcept {
    bool any = false;  // without a branch, so that the compiler runs it over whole vectors of units
    for (std::size_t i = 0; i < n; ++i) any |= (s[i] < 0x20) | (s[i] == '"') | (s[i] == '\\');
    return any;
}

template <>
bool has_escape(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
    std::uint64_t found = 0;
    for (; i + 8 <= n; i += 8) found |= some_escape_byte(load8(s + i));
    for (; i < n; ++i) found |= needs_escape(s[i]);
    return found != 0;
}

template <class Unit>
std::size_t escaped_size(const Unit* s, std::size_t n) noexcept {
    if (!has_escape(s, n)) return n;
    std::size_t size = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (needs_escape(s[i])) size += short_escape(s[i]) != 0 ? 1 : 5;
    }
    return size;
}

template <class Out, class In>
Out* copy_units(Out* out, const In* s, std::size_t n) noexcept {
    if constexpr (sizeof(Out) == sizeof(In)) {
        if (n != 0) std::memcpy(out, s, n * sizeof(In));
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<Out>(s[i]);
    }
    return out + n;
}

template <class Out, class In>
Out* write_escaped(Out* out, const In* s, std::size_t n) noexcept {
    if (!has_escape(s, n)) return copy_units(out, s, n);
    for (std::size_t i = 0; i < n; ++i) {
        const In c = s[i];
        if (!needs_escape(c)) {
            *out++ = static_cast<Out>(c);
            continue;
        }
        *out++ = '\\';
        if (const char letter = short_escape(c)) {
            *out++ = static_cast<Out>(letter);
            continue;
        }
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = static_cast<Out>(hex_digits[c >> 4]);
        *out++ = static_cast<Out>(hex_digits[c & 0x0F]);
    }
    return out;
}

// ---------------------------------------------------------------- the record's JSON
// One walk over the record's layout serves both for measuring and for writing,
// so that the two cannot disagree.
template <class Sink>
void emit_json(const Fields& fields, Sink& sink) {
    sink.literal("{");
    for (int i = 0; i < text_field_count; ++i) {
        sink.literal("\"");
        sink.literal(text_field_names[i]);
        sink.literal("\": \"");
        sink.text(fields.texts[i]);
        sink.literal("\", ");
    }
    sink.literal("\"");
    sink.literal(key_version_name);
    sink.literal("\": ");
    sink.literal(fields.key_version);
    sink.literal("}");
}

struct Measure {
    std::size_t size = 0;
    void literal(std::string_view s) noexcept { size += s.size(); }
    void text(const Units& t) noexcept {
        size += with_units(t, [](const auto* s, std::size_t n) { return escaped_size(s, n); });
    }
};

template <class Out>
struct Write {
    Out* out;
    void literal(std::string_view s) noexcept {
        out = copy_units(out, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    }
    void text(const Units& t) noexcept {
        out = with_units(t, [this](const auto* s, std::size_t n) { return write_escaped(out, s, n); });
    }
};

template <class Out>
void write_json_as(const Fields& fields, Out* out) noexcept {
    Write<Out> sink{out};
    emit_json(fields, sink);
}

// ---------------------------------------------------------------- hex
// A hex digit, without a branch: a decimal digit, or a letter a-f of either case.
template <class Unit>
bool is_hex_unit(Unit c) noexcept {
    const std::uint32_t u = c;
    return (u - '0' < 10) | ((u | 0x20) - 'a' < 6);
}

template <class Unit>
bool all_hex(const Unit* s) noexcept {
    bool all = true;
    for (std::size_t i = 0; i < 64; ++i) all &= is_hex_unit(s[i]);
    return all;
}

// Eight ASCII bytes at a time: a byte b below 0x80 plus (0x80 - k) sets its high
// bit exactly when b >= k, and carries into no other byte.
template <>
bool all_hex(const std::uint8_t* s) noexcept {
    auto at_least = [](std::uint64_t word, std::uint8_t k) { return word + ones * (0x80 - k); };
    std::uint64_t non_ascii = 0;
    std::uint64_t hex = highs;
    for (std::size_t i = 0; i < 64; i += 8) {
        const std::uint64_t word = load8(s + i);
        const std::uint64_t lower = word | ones * 0x20;
        const std::uint64_t digit = at_least(word, '0') & ~at_least(word, '9' + 1);
        const std::uint64_t letter = at_least(lower, 'a') & ~at_least(lower, 'f' + 1);
        non_ascii |= word;
        hex &= digit | letter;
    }
    return (non_ascii & highs) == 0 && hex == highs;
}

template <class Unit>
bool is_hex_digest_of(const Unit* s, std::size_t n) noexcept {
    if (n == 65 && s[64] == '\n') n = 64;
    return n == 64 && all_hex(s);
}

}  // namespace

std::size_t json_size(const Fields& fields) noexcept {
    Measure sink;
    emit_json(fields, sink);
    return sink.size;
}

void write_json(const Fields& fields, void* out, int width) noexcept {
    switch (width) {
        case 2: write_json_as(fields, static_cast<std::uint16_t*>(out)); break;
        case 4: write_json_as(fields, static_cast<std::uint32_t*>(out)); break;
        default: write_json_as(fields, static_cast<std::uint8_t*>(out));
    }
}

std::string to_json(const Fields& fields) {
    std::string out(json_size(fields), '\0');
    write_json(fields, out.data(), 1);
    return out;
}

void append_json_string(std::string& out, std::string_view s) {
    const std::size_t start = out.size();
    out.resize(start + 2 + escaped_size(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    auto* p = reinterpret_cast<std::uint8_t*>(out.data() + start);
    *p++ = '"';
    p = write_escaped(p, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    *p = '"';
}

bool is_hex_digest(const Units& text) noexcept {
    return with_units(text, [](const auto* s, std::size_t n) { return is_hex_digest_of(s, n); });
}

bool is_valid(const Texts& texts, std::int64_t key_version) noexcept {
    for (const Units& text : texts) {
        if (text.size == 0) return false;
    }
    for (int i = 3; i < text_field_count; ++i) {
        if (!is_hex_digest(texts[i])) return false;
    }
    return key_version == current_key_version;
}

}  // namespace zeq::vault_record
