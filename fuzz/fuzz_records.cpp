// The storage record's JSON text and hex rule over texts of any unit width,
// against a plain unit-by-unit statement of the same rules: the word-at-a-time
// checks and the widening copies must agree with it on every input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/vault_record.hpp"
#include "require.hpp"

namespace {

using namespace zeq;

std::u32string reference_escaped(const std::u32string& s) {
    static const char digits[] = "0123456789abcdef";
    std::u32string out;
    for (const char32_t c : s) {
        switch (c) {
            case '"': out += U"\\\""; break;
            case '\\': out += U"\\\\"; break;
            case '\b': out += U"\\b"; break;
            case '\f': out += U"\\f"; break;
            case '\n': out += U"\\n"; break;
            case '\r': out += U"\\r"; break;
            case '\t': out += U"\\t"; break;
            default:
                if (c < 0x20) {
                    out += U"\\u00";
                    out += static_cast<char32_t>(digits[c >> 4]);
                    out += static_cast<char32_t>(digits[c & 0x0F]);
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::u32string reference_json(const std::vector<std::u32string>& texts) {
    std::u32string out = U"{";
    for (int i = 0; i < vault_record::text_field_count; ++i) {
        const std::string name = vault_record::text_field_names[static_cast<std::size_t>(i)];
        out += U"\"" + std::u32string(name.begin(), name.end()) + U"\": \"" + reference_escaped(texts[i]) + U"\", ";
    }
    return out + U"\"key_version\": 1}";
}

bool reference_hex(const std::u32string& s) {
    std::size_t n = s.size();
    if (n == 65 && s[64] == '\n') n = 64;
    if (n != 64) return false;
    for (std::size_t i = 0; i < 64; ++i) {
        const char32_t c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// The units of `s` at `width` bytes each (each code point cut to what the width holds).
std::vector<std::uint8_t> stored(const std::u32string& s, int width) {
    std::vector<std::uint8_t> bytes(s.size() * static_cast<std::size_t>(width) + 1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::uint32_t c = s[i];
        if (width == 1) bytes[i] = static_cast<std::uint8_t>(c);
        if (width == 2) {
            const auto unit = static_cast<std::uint16_t>(c);
            std::memcpy(&bytes[2 * i], &unit, 2);
        }
        if (width == 4) std::memcpy(&bytes[4 * i], &c, 4);
    }
    return bytes;
}

std::u32string narrowed(const std::u32string& s, int width) {
    std::u32string out;
    for (const char32_t c : s) out += width == 1 ? (c & 0xFF) : width == 2 ? (c & 0xFFFF) : c;
    return out;
}

}  // namespace

// Input: a width byte per text, then the texts' bytes, a 0xFF byte ending each;
// every two bytes of a text make one unit (value, and a high byte that wider
// widths keep), so that every unit value and escape is reachable.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr int count = vault_record::text_field_count;
    if (size < count) return 0;
    std::vector<std::u32string> texts(count);
    int widths[count];
    std::size_t at = count;
    for (int i = 0; i < count; ++i) {
        widths[i] = 1 << (data[i] % 3);
        while (at + 1 < size && data[at] != 0xFF) {
            const std::uint32_t low = data[at], high = data[at + 1];
            texts[i] += static_cast<char32_t>(low | ((high & 0x10) != 0 ? (high << 8) | 0x10000 : high << 8));
            at += 2;
        }
        ++at;
        texts[i] = narrowed(texts[i], widths[i]);
    }
    std::vector<std::vector<std::uint8_t>> storage;
    vault_record::Fields fields;
    fields.key_version = "1";
    int widest = 1;
    for (int i = 0; i < count; ++i) {
        storage.push_back(stored(texts[i], widths[i]));
        fields.texts[i] = {storage.back().data(), texts[i].size(), widths[i]};
        if (widths[i] > widest) widest = widths[i];
        fuzz::require(vault_record::is_hex_digest(fields.texts[i]) == reference_hex(texts[i]),
                      "the hex rule agrees with the unit-by-unit statement");
    }
    const std::u32string expected = reference_json(texts);
    fuzz::require(vault_record::json_size(fields) == expected.size(), "the JSON's size is the written size");
    for (int width = widest; width <= 4; width *= 2) {
        std::vector<std::uint8_t> out(expected.size() * static_cast<std::size_t>(width) + 1);
        vault_record::write_json(fields, out.data(), width);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            std::uint32_t unit = 0;
            std::memcpy(&unit, &out[i * static_cast<std::size_t>(width)], static_cast<std::size_t>(width));
            fuzz::require(unit == expected[i], "the JSON agrees with the unit-by-unit statement");
        }
    }
    return 0;
}
