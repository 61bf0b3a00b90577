#include <cstdio>

#include "platform.hpp"

namespace zeq::platform {

void check_utf8(std::string_view s) {
    auto bad = [&](std::size_t pos, const char* why) {
        char buffer[160];
        std::snprintf(buffer, sizeof buffer, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                      static_cast<unsigned>(static_cast<unsigned char>(s[pos])), pos, why);
        throw std::runtime_error(buffer);
    };
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) { ++i; continue; }
        std::size_t extra = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) extra = 1;
        else if (c == 0xE0) { extra = 2; lo = 0xA0; }
        else if (c == 0xED) { extra = 2; hi = 0x9F; }  // no surrogates
        else if (c >= 0xE1 && c <= 0xEF) extra = 2;
        else if (c == 0xF0) { extra = 3; lo = 0x90; }
        else if (c >= 0xF1 && c <= 0xF3) extra = 3;
        else if (c == 0xF4) { extra = 3; hi = 0x8F; }
        else bad(i, "invalid start byte");
        for (std::size_t k = 1; k <= extra; ++k) {
            if (i + k >= s.size()) bad(i, "unexpected end of data");
            const auto cc = static_cast<unsigned char>(s[i + k]);
            const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
            if (cc < min || cc > max) bad(i, "invalid continuation byte");
        }
        i += extra + 1;
    }
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
    check_utf8(bytes);
    return normalize_newlines(bytes);
}

}  // namespace zeq::platform
