#include "core/vault_record.hpp"

namespace zeq::vault_record {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

bool is_hex_char(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    std::size_t run = 0;  // start of the pending unescaped run
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (!needs_escape(c)) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += hex_digits[c >> 4];
                out += hex_digits[c & 0x0F];
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

std::string to_json(const Fields& fields) {
    std::size_t size = 32 + fields.key_version.size();
    for (int i = 0; i < text_field_count; ++i) size += 24 + fields.texts[i].size();
    std::string out;
    out.reserve(size);
    out += '{';
    for (int i = 0; i < text_field_count; ++i) {
        out += '"';
        out += text_field_names[i];
        out += "\": ";
        append_json_string(out, fields.texts[i]);
        out += ", ";
    }
    out += '"';
    out += key_version_name;
    out += "\": ";
    out += fields.key_version;
    out += '}';
    return out;
}

bool is_hex_digest(std::string_view s) noexcept {
    if (s.size() == 65 && s.back() == '\n') s.remove_suffix(1);
    if (s.size() != 64) return false;
    for (char c : s) {
        if (!is_hex_char(c)) return false;
    }
    return true;
}

bool is_valid(const Fields& fields) noexcept {
    for (std::string_view text : fields.texts) {
        if (text.empty()) return false;
    }
    for (int i = 3; i < text_field_count; ++i) {
        if (!is_hex_digest(fields.texts[i])) return false;
    }
    return fields.key_version == "1";
}

}  // namespace zeq::vault_record
