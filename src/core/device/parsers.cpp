#include "parsers.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "../text.hpp"

namespace zeq::device::parse {
namespace {

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

[[noreturn]] void missing_piece() { throw ParseError("list index out of range"); }

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
            case '\n': case 0x0B: case 0x0C: case 0x1C: case 0x1D: case 0x1E:
            case 0x85: case 0x2028: case 0x2029:
                boundary = true;
                break;
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
            scan.failure = "list index out of range";
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

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

bool named(const xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The character data of an element after its last child element.
std::string element_text(const xmlNode* element) {
    std::string out;
    for (const xmlNode* c = element->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) out.clear();
        else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content != nullptr)
            out += reinterpret_cast<const char*>(c->content);
    }
    return out;
}

// Walks the elements in document order the way an event-driven plist reader
// does: value elements are built into the current container, other elements
// are passed through.
class Builder {
public:
    std::optional<PlistValue> root;

    void element(const xmlNode* n) {
        using K = PlistValue::Kind;
        if (named(n, "dict") || named(n, "array")) {
            PlistValue container;
            container.kind = named(n, "dict") ? K::dict : K::array;
            stack_.push_back({std::move(container), std::nullopt});
            children(n);
            Frame frame = std::move(stack_.back());
            stack_.pop_back();
            if (frame.key) throw std::runtime_error("missing value for key '" + *frame.key + "'");
            add(std::move(frame.value));
        } else if (named(n, "key")) {
            if (stack_.empty() || stack_.back().value.kind != K::dict || stack_.back().key)
                throw std::runtime_error("unexpected key");
            stack_.back().key = element_text(n);
        } else if (named(n, "string")) {
            add(scalar(K::string, element_text(n)));
        } else if (named(n, "integer")) {
            add(scalar(K::integer, checked_integer(element_text(n))));
        } else if (named(n, "real")) {
            add(scalar(K::real, checked_real(element_text(n))));
        } else if (named(n, "true") || named(n, "false")) {
            add(scalar(K::boolean, named(n, "true") ? "true" : "false"));
        } else if (named(n, "date")) {
            add(scalar(K::date, element_text(n)));
        } else if (named(n, "data")) {
            add(scalar(K::data, element_text(n)));
        } else {
            children(n);
        }
    }

private:
    struct Frame {
        PlistValue value;
        std::optional<std::string> key;
    };
    std::vector<Frame> stack_;

    void children(const xmlNode* n) {
        for (const xmlNode* c = n->children; c != nullptr; c = c->next) {
            if (c->type == XML_ELEMENT_NODE) element(c);
        }
    }

    static PlistValue scalar(PlistValue::Kind kind, std::string text) {
        PlistValue v;
        v.kind = kind;
        v.text = std::move(text);
        return v;
    }

    static std::string checked_integer(std::string raw) {
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
        if (!ok) throw std::runtime_error("invalid integer in property list: '" + raw + "'");
        return raw;
    }

    static std::string checked_real(std::string raw) {
        const std::string trimmed(text::strip(raw));
        char* end = nullptr;
        std::strtod(trimmed.c_str(), &end);
        if (trimmed.empty() || end != trimmed.c_str() + trimmed.size())
            throw std::runtime_error("could not convert string to float: '" + raw + "'");
        return raw;
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
            throw std::runtime_error("unexpected element");
        }
    }
};

}  // namespace

PlistValue read_plist(std::string_view xml) {
    std::string_view head = xml;
    if (starts_with(head, "\xEF\xBB\xBF")) head.remove_prefix(3);
    if (!starts_with(head, "<?xml") && !starts_with(head, "<plist")) throw std::runtime_error("Invalid file");
    if (xml.size() > static_cast<std::size_t>(INT_MAX)) throw std::runtime_error("property list too large");

    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) throw std::bad_alloc();
    // No network, no external DTD, no entity substitution; errors go to the
    // context instead of standard error.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlCtxtReadMemory(ctxt.get(), xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, options));
    if (!doc) {
        const xmlError* error = xmlCtxtGetLastError(ctxt.get());
        std::string message = error != nullptr && error->message != nullptr ? error->message : "not well-formed XML";
        while (!message.empty() && message.back() == '\n') message.pop_back();
        throw std::runtime_error(message + (error != nullptr ? ": line " + std::to_string(error->line) : ""));
    }
    if (doc->intSubset != nullptr && doc->intSubset->entities != nullptr)
        throw std::runtime_error("XML entity declarations are not supported in plist files");

    Builder builder;
    const xmlNode* top = xmlDocGetRootElement(doc.get());
    if (top != nullptr) builder.element(top);
    if (!builder.root) throw std::runtime_error("property list holds no value");
    return std::move(*builder.root);
}

std::string plist_platform_serial(std::string_view xml) {
    const PlistValue root = read_plist(xml);
    if (root.kind != PlistValue::Kind::dict) throw std::runtime_error("top level of the property list is not a dictionary");
    const PlistValue* serial = root.find("IOPlatformSerialNumber");
    if (serial == nullptr) return {};
    if (serial->kind != PlistValue::Kind::string) throw std::runtime_error("IOPlatformSerialNumber is not a string");
    return serial->text;
}

}  // namespace zeq::device::parse
