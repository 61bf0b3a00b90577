#include "core/platform/platform.hpp"
#include "core/text.hpp"

namespace zeq::platform {

void require_strict_utf8(std::string_view s) {
    if (const auto fault = text::find_utf8_fault(s, /*surrogates=*/false))
        core::fail(core::ErrorKind::system, text::describe(*fault));
}

std::string normalize_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string decode_utf8_text(std::string_view bytes) {
    require_strict_utf8(bytes);
    return normalize_newlines(bytes);
}

}  // namespace zeq::platform
