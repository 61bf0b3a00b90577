#include "core/text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "core/error.hpp"
#include "core/host_texts.hpp"

namespace zeq::text {
namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Byte offset of code point `index` (0 <= index <= length).
std::size_t offset_of(std::string_view s, std::size_t index) noexcept {
    std::size_t pos = 0;
    while (index > 0 && pos < s.size()) {
        ++pos;
        while (pos < s.size() && is_continuation(static_cast<unsigned char>(s[pos]))) ++pos;
        --index;
    }
    return pos;
}

// Normalises a Python slice bound against length L.
std::int64_t clamp_bound(std::int64_t bound, std::int64_t len) noexcept {
    if (bound < 0) {
        bound += len;
        if (bound < 0) bound = 0;
    } else if (bound > len) {
        bound = len;
    }
    return bound;
}

}  // namespace

// Decodes the code point starting at s[pos]; advances pos.
char32_t decode_at(std::string_view s, std::size_t& pos) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = byte(pos);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t cp = c & (0x3F >> extra);
    ++pos;
    for (int i = 0; i < extra && pos < s.size() && is_continuation(byte(pos)); ++i, ++pos) {
        cp = (cp << 6) | (byte(pos) & 0x3F);
    }
    return cp;
}

bool is_space(char32_t c) noexcept {
    // The characters str.isspace() accepts.
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x1C:
        case 0x1D:
        case 0x1E:
        case 0x1F:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return c >= 0x2000 && c <= 0x200A;
    }
}

std::size_t length(std::string_view s) noexcept {
    std::size_t n = 0;
    for (unsigned char c : s) n += !is_continuation(c);
    return n;
}

bool is_ascii(std::string_view s) noexcept {
    // Every cut and digit lookup asks this first, so it goes a word at a time.
    std::size_t i = 0;
    std::uint64_t high = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        high |= word;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

std::string_view cut_view_ascii(std::string_view s, std::int64_t a, std::int64_t b) noexcept {
    const auto len = static_cast<std::int64_t>(s.size());
    a = clamp_bound(a, len);
    b = clamp_bound(b, len);
    if (a >= b) return {};
    return s.substr(static_cast<std::size_t>(a), static_cast<std::size_t>(b - a));
}

std::string_view last_n_view_ascii(std::string_view s, std::int64_t n) noexcept {
    if (n == std::numeric_limits<std::int64_t>::min()) return {};  // -n would overflow; s[huge:] is empty
    return cut_view_ascii(s, -n, std::numeric_limits<std::int64_t>::max());
}

std::string_view cut_view(std::string_view s, std::int64_t a, std::int64_t b) noexcept {
    if (is_ascii(s)) return cut_view_ascii(s, a, b);
    const auto len = static_cast<std::int64_t>(length(s));
    a = clamp_bound(a, len);
    b = clamp_bound(b, len);
    if (a >= b) return {};
    const std::size_t from = offset_of(s, static_cast<std::size_t>(a));
    const std::size_t to = from + offset_of(s.substr(from), static_cast<std::size_t>(b - a));
    return s.substr(from, to - from);
}

std::string cut(std::string_view s, std::int64_t a, std::int64_t b) { return std::string(cut_view(s, a, b)); }

std::string_view last_n_view(std::string_view s, std::int64_t n) noexcept {
    if (n == std::numeric_limits<std::int64_t>::min()) return {};  // -n would overflow; s[huge:] is empty
    return cut_view(s, -n, std::numeric_limits<std::int64_t>::max());
}

std::string last_n(std::string_view s, std::int64_t n) { return std::string(last_n_view(s, n)); }

std::string first_n(std::string_view s, std::int64_t n) { return cut(s, 0, n); }

std::string_view head(std::string_view s, std::size_t n) noexcept { return s.substr(0, offset_of(s, n)); }

namespace {

// Why s * n (n > 0) cannot be made, in the host's terms: it counts code points,
// and refuses a result longer than its index range before it allocates.
[[noreturn]] void cannot_repeat(std::string_view s, std::int64_t n) {
    constexpr std::int64_t max_index = std::numeric_limits<std::ptrdiff_t>::max();
    if (length(s) > static_cast<std::size_t>(max_index / n))
        core::fail(core::ErrorKind::overflow, std::string(core::texts::host_words::repeated_too_long));
    throw std::bad_alloc();
}

}  // namespace

void append_repeated(std::string& out, std::string_view s, std::int64_t n) {
    if (n <= 0 || s.empty()) return;
    const auto count = static_cast<std::uint64_t>(n);
    std::uint64_t added = 0;  // checked by multiplication: a division per call shows in short hashes
    // The host's index range bounds every text, whatever the C++ library's own
    // limit (libc++ allows nearly the whole address space, libstdc++ a quarter).
    const std::uint64_t limit = std::min<std::uint64_t>(out.max_size(), std::numeric_limits<std::ptrdiff_t>::max());
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(s.size()), count, &added) || out.size() > limit ||
        added > limit - out.size()) {
        cannot_repeat(s, n);
    }
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(added));
    repeat_into(out.data() + start, s, count);
}

char* repeat_into(char* out, std::string_view s, std::size_t times) noexcept {
    if (times == 0 || s.empty()) return out;
    // One copy of `s`, then what is already repeated copied again: doubling, so a
    // count of nine is four copies.
    const std::size_t total = s.size() * times;
    std::memcpy(out, s.data(), s.size());
    for (std::size_t done = s.size(); done < total;) {
        const std::size_t more = std::min(done, total - done);
        std::memcpy(out + done, out, more);
        done += more;
    }
    return out + total;
}

std::string repeat(std::string_view s, std::int64_t n) {
    std::string out;
    append_repeated(out, s, n);
    return out;
}

std::string char_at(std::string_view s, std::int64_t k) {
    const bool ascii = is_ascii(s);
    const auto len = static_cast<std::int64_t>(ascii ? s.size() : length(s));
    if (k < 0) k += len;
    if (k < 0 || k >= len)
        core::fail(core::ErrorKind::index, std::string(core::texts::host_words::string_index_out_of_range));
    if (ascii) return std::string(1, s[static_cast<std::size_t>(k)]);
    const std::size_t from = offset_of(s, static_cast<std::size_t>(k));
    const std::size_t to = from + offset_of(s.substr(from), 1);
    return std::string(s.substr(from, to - from));
}

std::string reversed(std::string_view s) {
    std::string out(s.size(), '\0');
    reversed_to(s, out.data());
    return out;
}

void reversed_to(std::string_view s, char* out) noexcept {
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && is_continuation(static_cast<unsigned char>(s[start]))) --start;
        std::memcpy(out, s.data() + start, end - start);
        out += end - start;
        end = start;
    }
}

std::string_view strip(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        if (!is_space(decode_at(s, next))) break;
        begin = next;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && is_continuation(static_cast<unsigned char>(s[start]))) --start;
        std::size_t probe = start;
        if (!is_space(decode_at(s, probe))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string repr(std::string_view s) {
    const bool has_single = s.find('\'') != std::string_view::npos;
    const bool has_double = s.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    static const char hex[] = "0123456789abcdef";
    std::string out(1, quote);
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t start = pos;
        const char32_t cp = decode_at(s, pos);
        auto escape = [&](char kind, int digits) {
            out += '\\';
            out += kind;
            for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(cp >> shift) & 0xF];
        };
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\n') out += "\\n";
        else if (cp == '\r') out += "\\r";
        else if (cp == '\t') out += "\\t";
        else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) escape('x', 2);
        else if (cp >= 0xD800 && cp < 0xE000) escape('u', 4);
        else out.append(s.substr(start, pos - start));
    }
    out += quote;
    return out;
}

namespace {

// The first position from i on that does not start eight bytes of ASCII: long
// runs are read four words at a time, then word by word.
std::size_t skip_ascii_words(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
    while (i + 32 <= n) {
        std::uint64_t w[4];
        std::memcpy(w, p + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) break;
        i += 32;
    }
    while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
    }
    return i;
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes, bool surrogates, bool* all_ascii) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    bool ascii = true;
    auto fault = [&](std::size_t position, std::size_t end, const char* reason) {
        if (all_ascii != nullptr) *all_ascii = false;
        return Utf8Fault{position, end, p[position], reason};
    };
    while (i < n) {
        i = skip_ascii_words(p, i, n);
        if (i >= n) break;
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        ascii = false;
        std::size_t extra = 0;
        unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) extra = 1;
        else if (c == 0xE0) {
            extra = 2;
            low = 0xA0;
        } else if (c == 0xED && !surrogates) {
            extra = 2;
            high = 0x9F;
        } else if (c >= 0xE1 && c <= 0xEF) extra = 2;
        else if (c == 0xF0) {
            extra = 3;
            low = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) extra = 3;
        else if (c == 0xF4) {
            extra = 3;
            high = 0x8F;
        } else return fault(i, i + 1, core::texts::host_words::utf8_invalid_start);
        // An incomplete surrogate form is reported as the strict decoder sees it:
        // its second byte already ends the sequence.
        const bool surrogate_form = c == 0xED && i + 1 < n && p[i + 1] >= 0xA0;
        for (std::size_t k = 1; k <= extra; ++k) {
            const bool complete = i + k < n;
            if (!complete || p[i + k] < (k == 1 ? low : 0x80) || p[i + k] > (k == 1 ? high : 0xBF)) {
                if (surrogate_form) return fault(i, i + 1, core::texts::host_words::utf8_invalid_continuation);
                return complete ? fault(i, i + k, core::texts::host_words::utf8_invalid_continuation)
                                : fault(i, n, core::texts::host_words::utf8_unexpected_end);
            }
        }
        i += extra + 1;
    }
    if (all_ascii != nullptr) *all_ascii = ascii;
    return std::nullopt;
}

namespace {

// True when the eight bytes from p[i] are there and all ASCII: worth going back
// to reading words.
bool ascii_word_at(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
    if (i + 8 > n) return false;
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    return (word & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool check_layer_utf8(std::string_view bytes, Utf8Shape& shape) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    std::size_t continuation = 0;  // bytes that do not start a code point
    unsigned widest = 0;           // the largest lead byte of a multi-byte form
    while (i < n) {
        i = skip_ascii_words(p, i, n);
        // Code point by code point until the next run of ASCII.
        while (i < n) {
            const unsigned c = p[i];
            if (c < 0x80) {
                ++i;
                if (ascii_word_at(p, i, n)) break;
                continue;
            }
            if (c < 0xE0) {
                if (c < 0xC2 || i + 1 >= n || !is_continuation(p[i + 1])) return false;
                i += 2;
                continuation += 1;
            } else if (c < 0xF0) {
                // Every three-byte form but the overlong ones (E0 80..9F); the
                // surrogate forms (ED A0..BF) are the layer's own.
                if (i + 2 >= n) return false;
                const unsigned char b1 = p[i + 1], b2 = p[i + 2];
                if (!is_continuation(b1) || !is_continuation(b2) || (c == 0xE0 && b1 < 0xA0)) return false;
                i += 3;
                continuation += 2;
            } else {
                if (c > 0xF4 || i + 3 >= n) return false;
                const unsigned char b1 = p[i + 1], b2 = p[i + 2], b3 = p[i + 3];
                if (!is_continuation(b1) || !is_continuation(b2) || !is_continuation(b3) || (c == 0xF0 && b1 < 0x90) ||
                    (c == 0xF4 && b1 > 0x8F)) {
                    return false;
                }
                i += 4;
                continuation += 3;
            }
            if (c > widest) widest = c;
        }
    }
    shape.length = n - continuation;
    shape.ascii = widest == 0;
    shape.width = widest < 0xC4 ? 1 : widest < 0xF0 ? 2 : 4;
    return true;
}

namespace {

template <class Unit>
void decode_checked_units(std::string_view utf8, Unit* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ULL) break;
            for (std::size_t k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[i + k]);
            out += 8;
            i += 8;
        }
        while (i < n) {
            const std::uint32_t c = p[i];
            if (c < 0x80) {
                *out++ = static_cast<Unit>(c);
                ++i;
                if (ascii_word_at(p, i, n)) break;
            } else if (c < 0xE0) {
                *out++ = static_cast<Unit>((c & 0x1F) << 6 | (p[i + 1] & 0x3Fu));
                i += 2;
            } else if (c < 0xF0) {
                *out++ = static_cast<Unit>((c & 0x0F) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu));
                i += 3;
            } else {
                *out++ = static_cast<Unit>((c & 0x07) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 |
                                           (p[i + 3] & 0x3Fu));
                i += 4;
            }
        }
    }
}

}  // namespace

void decode_checked(std::string_view utf8, std::uint8_t* out) noexcept { decode_checked_units(utf8, out); }
void decode_checked(std::string_view utf8, std::uint16_t* out) noexcept { decode_checked_units(utf8, out); }
void decode_checked(std::string_view utf8, std::uint32_t* out) noexcept { decode_checked_units(utf8, out); }

std::string describe(const Utf8Fault& fault) {
    char buffer[160];
    if (fault.end - fault.position > 1) {
        std::snprintf(buffer, sizeof buffer, core::texts::host_words::utf8_bytes, fault.position, fault.end - 1,
                      fault.reason);
    } else {
        std::snprintf(buffer, sizeof buffer, core::texts::host_words::utf8_byte, static_cast<unsigned>(fault.byte),
                      fault.position, fault.reason);
    }
    return buffer;
}

}  // namespace zeq::text
