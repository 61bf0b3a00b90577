// What the fuzz targets share: a broken invariant is reported and aborts, so
// that libFuzzer keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/error.hpp"
#include "core/platform/platform.hpp"
#include "core/text.hpp"

namespace zeq::fuzz {

inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// A refusal of a text reader: core::Error of kind parse, nothing else.
inline void require_parse_failure(const core::Error& e) {
    require(e.kind() == core::ErrorKind::parse, "a reader refuses only with a parse failure");
}

// Text as the probes receive it: the platform layer hands over only strict UTF-8.
inline bool is_probe_text(std::string_view s) {
    try {
        platform::require_strict_utf8(s);
        return true;
    } catch (const core::Error& e) {
        require(e.kind() == core::ErrorKind::system, "text is refused as the platform's failure");
        return false;
    }
}

// Text without white space at either end.
inline bool stripped(std::string_view s) { return text::strip(s) == s; }

// True when the text holds white space anywhere.
inline bool has_space(std::string_view s) {
    for (std::size_t pos = 0; pos < s.size();)
        if (text::is_space(text::decode_at(s, pos))) return true;
    return false;
}

}  // namespace zeq::fuzz
