// The version-1 storage record: its JSON text and its validity rules. Texts
// come as code units of one width, each unit one character: 1 byte (ASCII,
// Latin-1, or UTF-8 bytes with surrogate code points in their three-byte form),
// 2 or 4 bytes. The rules look only at units below 0x80, which are the same
// characters in every one of these forms. The key version travels as canonical
// decimal text in the JSON and as a number in validation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zeq::vault_record {

inline constexpr int text_field_count = 6;

// Field names in record order; key_version comes last.
inline constexpr std::array<const char*, text_field_count> text_field_names = {
    "info_type", "info_owner", "info_plaintext", "extract_account", "extract_password", "hardware_hash"};
inline constexpr const char* key_version_name = "key_version";
inline constexpr std::int64_t current_key_version = 1;

// A text as `size` code units of `width` bytes (1, 2 or 4) at `data`.
struct Units {
    const void* data = "";
    std::size_t size = 0;
    int width = 1;

    Units() = default;
    Units(const void* units, std::size_t count, int unit_width) noexcept
        : data(units), size(count), width(unit_width) {}
    Units(std::string_view bytes) noexcept : data(bytes.data()), size(bytes.size()) {}  // NOLINT: UTF-8 as 1-byte units
    Units(const char* bytes) noexcept : Units(std::string_view(bytes)) {}
    Units(const std::string& bytes) noexcept : Units(std::string_view(bytes)) {}
};

using Texts = std::array<Units, text_field_count>;  // in record order

struct Fields {
    Texts texts;
    std::string_view key_version;  // canonical decimal text
};

// The record as JSON, the way the host's JSON writer gives its dictionary with
// ensure_ascii off: {"info_type": "...", ..., "key_version": N} on one line,
// ", " and ": " separators; inside strings '"' and '\\' escaped, \b \f \n \r \t
// by name, every other character below U+0020 as \u00xx (lowercase), everything
// else (non-ASCII, lone surrogates) unchanged.
//
// json_size gives the text's length in units; write_json writes exactly that
// many units of `width` bytes, which must be at least every text's width.
std::size_t json_size(const Fields& fields) noexcept;
void write_json(const Fields& fields, void* out, int width) noexcept;

// The same as bytes, for texts of 1-byte units (UTF-8 in, UTF-8 out).
std::string to_json(const Fields& fields);
// One text as a JSON string literal, quotes included (1-byte units).
void append_json_string(std::string& out, std::string_view s);

// 64 hexadecimal digits of either case, optionally followed by one line feed
// (the '$' anchor of the record's hex pattern also matches before a final "\n").
bool is_hex_digest(const Units& text) noexcept;

// Every text non-empty, the three digests hex, key version 1.
bool is_valid(const Texts& texts, std::int64_t key_version) noexcept;

}  // namespace zeq::vault_record
