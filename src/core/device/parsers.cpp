#include "core/device/parsers.hpp"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>

#include "core/host_texts.hpp"
#include "core/text.hpp"

namespace zeq::device::parse {
namespace {

namespace failure = core::texts::device_failure;
using core::texts::joined;

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Byte position just past the code point at `pos`, and that code point.
std::size_t next(std::string_view s, std::size_t pos, char32_t& cp) {
    cp = text::decode_at(s, pos);
    return pos;
}

bool space_at(std::string_view s, std::size_t pos, std::size_t& after) {
    char32_t cp;
    after = next(s, pos, cp);
    return text::is_space(cp);
}

std::string stripped(std::string_view s) { return std::string(text::strip(s)); }

[[noreturn]] void missing_piece() { fail_parse(std::string(failure::list_index_out_of_range)); }

}  // namespace

// ---------------------------------------------------------------- text cuts

std::vector<std::string_view> split_at(std::string_view text, char sep) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(sep, start);
        if (at == std::string_view::npos) break;
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t pos = 0, after = 0;
    while (pos < text.size()) {
        while (pos < text.size() && space_at(text, pos, after)) pos = after;
        if (pos >= text.size()) break;
        const std::size_t start = pos;
        while (pos < text.size() && !space_at(text, pos, after)) pos = after;
        pieces.push_back(text.substr(start, pos - start));
    }
    return pieces;
}

std::vector<std::string_view> file_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t at = text.find('\n', start);
        const std::size_t end = at == std::string_view::npos ? text.size() : at + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::vector<std::string_view> splitlines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0, pos = 0;
    while (pos < text.size()) {
        char32_t cp;
        const std::size_t after = next(text, pos, cp);
        std::size_t boundary_end = after;
        bool boundary = false;
        switch (cp) {
            case '\r':
                boundary = true;
                if (after < text.size() && text[after] == '\n') boundary_end = after + 1;
                break;
            case '\n':
            case 0x0B:
            case 0x0C:
            case 0x1C:
            case 0x1D:
            case 0x1E:
            case 0x85:
            case 0x2028:
            case 0x2029: boundary = true; break;
            default: break;
        }
        if (boundary) {
            lines.push_back(text.substr(start, pos - start));
            start = boundary_end;
        }
        pos = boundary_end;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// ---------------------------------------------------------------- pattern searches

std::optional<std::string> label_token(std::string_view text, std::string_view label) {
    for (std::size_t at = text.find(label); at != std::string_view::npos; at = text.find(label, at + 1)) {
        std::size_t pos = at + label.size(), after = 0;
        bool any_space = false;
        while (pos < text.size() && space_at(text, pos, after)) {
            pos = after;
            any_space = true;
        }
        if (!any_space) continue;
        const std::size_t start = pos;
        while (pos < text.size() && !space_at(text, pos, after)) pos = after;
        if (pos > start) return std::string(text.substr(start, pos - start));
    }
    return std::nullopt;
}

std::optional<std::string> label_rest_of_line(std::string_view text, std::string_view label) {
    for (std::size_t at = text.find(label); at != std::string_view::npos; at = text.find(label, at + 1)) {
        // \s* takes the longest run it can and gives back one character at a
        // time until ".+" finds a first character that is not a line feed.
        std::vector<std::size_t> candidates{at + label.size()};
        std::size_t pos = candidates.back(), after = 0;
        while (pos < text.size() && space_at(text, pos, after)) {
            pos = after;
            candidates.push_back(pos);
        }
        for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
            const std::size_t start = *it;
            if (start >= text.size() || text[start] == '\n') continue;
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            return std::string(text.substr(start, end - start));
        }
    }
    return std::nullopt;
}

std::optional<std::string> quoted_assignment(std::string_view text, std::string_view key) {
    std::string needle = "\"";
    needle += key;
    needle += '"';
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) {
        std::size_t pos = at + needle.size(), after = 0;
        while (pos < text.size() && space_at(text, pos, after)) pos = after;
        if (pos >= text.size() || text[pos] != '=') continue;
        ++pos;
        while (pos < text.size() && space_at(text, pos, after)) pos = after;
        if (pos >= text.size() || text[pos] != '"') continue;
        const std::size_t start = pos + 1;
        const std::size_t close = text.find('"', start);
        if (close == std::string_view::npos || close == start) continue;
        return std::string(text.substr(start, close - start));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- probe readers

CpuinfoScan cpuinfo_field(std::string_view cpuinfo, std::string_view prefix) {
    CpuinfoScan scan;
    for (std::string_view line : file_lines(cpuinfo)) {
        if (!starts_with(line, prefix)) continue;
        const auto pieces = split_at(line, ':');
        if (pieces.size() < 2) {
            scan.failure = std::string(failure::list_index_out_of_range);
            return scan;
        }
        std::string value = stripped(pieces[1]);
        if (!value.empty()) {
            scan.value = std::move(value);
            return scan;
        }
        ++scan.empty_lines;
    }
    return scan;
}

std::optional<std::string> fstab_root_uuid(std::string_view fstab) {
    for (std::string_view line : file_lines(fstab)) {
        if (!starts_with(line, "UUID=") || line.find(" / ") == std::string_view::npos) continue;
        const auto fields = split_whitespace(split_at(line, '=')[1]);
        if (fields.empty()) missing_piece();
        return std::string(fields[0]);
    }
    return std::nullopt;
}

std::optional<std::string> df_filesystem(std::string_view report) {
    const auto lines = split_at(text::strip(report), '\n');
    if (lines.size() < 2) return std::nullopt;
    const auto fields = split_whitespace(lines[1]);
    if (fields.empty()) return std::nullopt;
    return std::string(fields[0]);
}

std::optional<std::string> dmidecode_product_name(std::string_view report) {
    auto name = label_rest_of_line(report, "Product Name:");
    if (!name) return std::nullopt;
    return stripped(*name);
}

std::string sysctl_model(std::string_view output) {
    if (output.find(':') != std::string_view::npos) return stripped(split_at(output, ':').back());
    return stripped(output);
}

std::optional<std::string> whoami_sid_line(std::string_view output) {
    for (std::string_view line : splitlines(output)) {
        if (line.find("S-1-") != std::string_view::npos) return stripped(line);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- XML property lists

const PlistValue* PlistValue::find(std::string_view key) const {
    for (auto it = dict.rbegin(); it != dict.rend(); ++it) {
        if (it->key == key) return &it->value;
    }
    return nullptr;
}

namespace {

// The document element and at most 256 levels of elements beneath it.
constexpr std::size_t max_open_elements = 257;

// Builds the value tree from the parser's element events. Value elements are
// built into the current container, other elements are passed through. A
// scalar element's text is the character data after its last child element;
// what lies inside such a child is not read at all.
class Builder {
public:
    std::optional<PlistValue> root;

    void start(std::string_view name) {
        using K = PlistValue::Kind;
        if (open_.size() == max_open_elements) fail_parse(std::string(failure::plist_too_deep));
        if (!open_.empty() && (open_.back().role == Role::scalar || open_.back().role == Role::ignored)) {
            if (open_.back().role == Role::scalar) text_.clear();
            open_.push_back({Role::ignored, K::string});
            return;
        }
        if (name == "dict" || name == "array") {
            PlistValue container;
            container.kind = name == "dict" ? K::dict : K::array;
            open_.push_back({Role::container, container.kind});
            stack_.push_back({std::move(container), std::nullopt});
        } else if (name == "key") {
            if (stack_.empty() || stack_.back().value.kind != K::dict || stack_.back().key)
                fail_parse(std::string(failure::plist_unexpected_key));
            open_scalar(K::string, true);
        } else if (name == "string" || name == "date" || name == "data") {
            open_scalar(name == "string" ? K::string : name == "date" ? K::date : K::data);
        } else if (name == "integer" || name == "real") {
            open_scalar(name == "integer" ? K::integer : K::real);
        } else if (name == "true" || name == "false") {
            open_scalar(K::boolean);
            open_.back().truth = name == "true";
        } else {
            open_.push_back({Role::passed, K::string});
        }
    }

    void end() {
        using K = PlistValue::Kind;
        const Open element = open_.back();
        open_.pop_back();
        if (element.role == Role::container) {
            Frame frame = std::move(stack_.back());
            stack_.pop_back();
            if (frame.key) fail_parse(joined(failure::plist_missing_value, *frame.key, failure::quote_end));
            add(std::move(frame.value));
        } else if (element.role == Role::scalar) {
            std::string text = std::move(text_);
            text_.clear();
            if (element.is_key) {
                stack_.back().key = std::move(text);
                return;
            }
            if (element.kind == K::boolean) text = element.truth ? "true" : "false";
            if (element.kind == K::integer) checked_integer(text);
            if (element.kind == K::real) checked_real(text);
            add(scalar(element.kind, std::move(text)));
        }
    }

    void characters(std::string_view data) {
        if (!open_.empty() && open_.back().role == Role::scalar && open_.back().kind != PlistValue::Kind::boolean)
            text_ += data;
    }

private:
    // passed: not a value element, its children are read; ignored: inside a
    // scalar element, not read.
    enum class Role { container, scalar, passed, ignored };
    struct Open {
        Role role;
        PlistValue::Kind kind;
        bool is_key = false;
        bool truth = false;  // of a boolean
    };
    struct Frame {
        PlistValue value;
        std::optional<std::string> key;
    };
    std::vector<Open> open_;
    std::vector<Frame> stack_;
    std::string text_;  // of the innermost open scalar element

    void open_scalar(PlistValue::Kind kind, bool is_key = false) {
        text_.clear();
        open_.push_back({Role::scalar, kind, is_key});
    }

    static PlistValue scalar(PlistValue::Kind kind, std::string text) {
        PlistValue v;
        v.kind = kind;
        v.text = std::move(text);
        return v;
    }

    static void checked_integer(const std::string& raw) {
        std::string_view digits = text::strip(raw);
        bool hex = starts_with(digits, "0x") || starts_with(digits, "0X");
        if (hex) digits.remove_prefix(2);
        else if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
        bool ok = !digits.empty();
        for (char c : digits) {
            const bool digit = (c >= '0' && c <= '9') || c == '_' ||
                               (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
            ok = ok && digit;
        }
        if (!ok) fail_parse(joined(failure::plist_bad_integer, raw, failure::quote_end));
    }

    static void checked_real(const std::string& raw) {
        const std::string trimmed(text::strip(raw));
        char* end = nullptr;
        std::strtod(trimmed.c_str(), &end);
        if (trimmed.empty() || end != trimmed.c_str() + trimmed.size())
            fail_parse(joined(failure::plist_bad_real, raw, failure::quote_end));
    }

    void add(PlistValue v) {
        if (stack_.empty()) {
            root = std::move(v);  // a later top-level value replaces an earlier one
            return;
        }
        Frame& top = stack_.back();
        if (top.key) {
            top.value.dict.push_back(PlistEntry{std::move(*top.key), std::move(v)});
            top.key.reset();
        } else if (top.value.kind == PlistValue::Kind::array) {
            top.value.array.push_back(std::move(v));
        } else {
            fail_parse(std::string(failure::plist_unexpected_element));
        }
    }
};

// One parse: Expat's callbacks are C, so a failure inside them is kept here
// and the parser stopped, then rethrown once Expat has returned.
struct Reading {
    XML_Parser parser;
    Builder builder;
    std::exception_ptr failure;

    template <typename Step>
    static void guarded(void* user_data, Step step) {
        auto* reading = static_cast<Reading*>(user_data);
        if (reading->failure) return;
        try {
            step(*reading);
        } catch (...) {
            reading->failure = std::current_exception();
            XML_StopParser(reading->parser, XML_FALSE);
        }
    }

    static void on_start(void* data, const XML_Char* name, const XML_Char**) {
        guarded(data, [name](Reading& r) { r.builder.start(name); });
    }
    static void on_end(void* data, const XML_Char*) {
        guarded(data, [](Reading& r) { r.builder.end(); });
    }
    static void on_characters(void* data, const XML_Char* s, int len) {
        guarded(data,
                [s, len](Reading& r) { r.builder.characters(std::string_view(s, static_cast<std::size_t>(len))); });
    }
    // No entity is ever declared, so none is ever expanded.
    static void on_entity_declaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                      const XML_Char*, const XML_Char*, const XML_Char*) {
        guarded(data, [](Reading&) -> void { fail_parse(std::string(failure::plist_entities)); });
    }
    // XML 1.x only ("1." and digits), as the declaration of every plist says.
    static bool xml_1_version(std::string_view version) {
        if (!starts_with(version, "1.")) return false;
        for (char c : version.substr(2))
            if (c < '0' || c > '9') return false;
        return true;
    }
    static void on_xml_declaration(void* data, const XML_Char* version, const XML_Char*, int) {
        if (version == nullptr || xml_1_version(version)) return;
        guarded(data, [version](Reading&) -> void {
            fail_parse(joined(failure::plist_xml_version, version, failure::quote_end));
        });
    }
    // A parameter entity that is not read (every one: no DTD is ever loaded)
    // would hide the declarations after it; a general entity that is not
    // declared reads as nothing.
    static void on_skipped_entity(void* data, const XML_Char*, int is_parameter_entity) {
        if (!is_parameter_entity) return;
        guarded(data, [](Reading&) -> void { fail_parse(std::string(failure::plist_parameter_entities)); });
    }
};

struct ParserFree {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

}  // namespace

PlistValue read_plist(std::string_view xml) {
    std::string_view head = xml;
    if (starts_with(head, "\xEF\xBB\xBF")) head.remove_prefix(3);
    if (!starts_with(head, "<?xml") && !starts_with(head, "<plist")) fail_parse(std::string(failure::plist_not_a_file));
    if (xml.size() > static_cast<std::size_t>(INT_MAX)) fail_parse(std::string(failure::plist_too_large));

    // Expat loads no external DTD or entity unless asked to, and reads no
    // network at all.
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) throw std::bad_alloc();
    Reading reading{parser.get(), {}, nullptr};
    XML_SetUserData(parser.get(), &reading);
    XML_SetElementHandler(parser.get(), Reading::on_start, Reading::on_end);
    XML_SetCharacterDataHandler(parser.get(), Reading::on_characters);
    XML_SetEntityDeclHandler(parser.get(), Reading::on_entity_declaration);
    XML_SetSkippedEntityHandler(parser.get(), Reading::on_skipped_entity);
    XML_SetXmlDeclHandler(parser.get(), Reading::on_xml_declaration);

    const XML_Status status = XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE);
    if (reading.failure) std::rethrow_exception(reading.failure);
    if (status != XML_STATUS_OK) {
        const XML_Error error = XML_GetErrorCode(parser.get());
        if (error == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
        fail_parse(joined(XML_ErrorString(error), failure::plist_at_line,
                          std::to_string(XML_GetCurrentLineNumber(parser.get())), failure::plist_at_column,
                          std::to_string(XML_GetCurrentColumnNumber(parser.get()))));
    }
    if (!reading.builder.root) fail_parse(std::string(failure::plist_no_value));
    return std::move(*reading.builder.root);
}

std::string plist_platform_serial(std::string_view xml) {
    const PlistValue root = read_plist(xml);
    if (root.kind != PlistValue::Kind::dict) fail_parse(std::string(failure::plist_top_not_dict));
    const PlistValue* serial = root.find("IOPlatformSerialNumber");
    if (serial == nullptr) return {};
    if (serial->kind != PlistValue::Kind::string) fail_parse(std::string(failure::plist_serial_not_string));
    return serial->text;
}

}  // namespace zeq::device::parse
