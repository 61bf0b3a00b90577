// The version-1 storage record: its JSON text and its validity rules. Texts are
// UTF-8 (surrogate code points in their three-byte form); the key version
// travels as canonical decimal text.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace zeq::vault_record {

inline constexpr int text_field_count = 6;

// Field names in record order; key_version comes last.
inline constexpr std::array<const char*, text_field_count> text_field_names = {
    "info_type", "info_owner", "info_plaintext", "extract_account", "extract_password", "hardware_hash"};
inline constexpr const char* key_version_name = "key_version";

struct Fields {
    std::array<std::string_view, text_field_count> texts;  // in record order
    std::string_view key_version;                          // canonical decimal text
};

// Appends `s` as a JSON string literal the way the host's JSON writer does with
// ensure_ascii off: '"' and '\\' escaped, \b \f \n \r \t by name, every other
// character below U+0020 as \u00xx (lowercase), everything else unchanged.
void append_json_string(std::string& out, std::string_view s);

// {"info_type": "...", ..., "key_version": N} on one line, ", " and ": " separators.
std::string to_json(const Fields& fields);

// 64 hexadecimal digits of either case, optionally followed by one line feed
// (the '$' anchor of the record's hex pattern also matches before a final "\n").
bool is_hex_digest(std::string_view s) noexcept;

// Every text non-empty, the three digests hex, key version 1.
bool is_valid(const Fields& fields) noexcept;

}  // namespace zeq::vault_record
