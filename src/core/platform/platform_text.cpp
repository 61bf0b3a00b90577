#include <cstdio>

#include "core/host_texts.hpp"
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

namespace {

namespace failure = core::texts::device_failure;

// The argument list as the host prints a list of texts: ['df', '-h', '/'].
std::string argument_list_text(const std::vector<std::string>& argv) {
    std::string out = "[";
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i) out += ", ";
        out += "'" + argv[i] + "'";
    }
    return out + "]";
}

// Seconds as the host prints the time-out it was given: 10, 0.5.
std::string seconds_text(std::chrono::milliseconds t) {
    if (t.count() % 1000 == 0) return std::to_string(t.count() / 1000);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(t.count()) / 1000.0);
    return buffer;
}

}  // namespace

std::string timed_out_text(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    return core::texts::joined(failure::command_open, argument_list_text(argv), failure::timed_out,
                               seconds_text(timeout), failure::timed_out_end);
}

std::string non_zero_status_text(const std::vector<std::string>& argv, int status) {
    return core::texts::joined(failure::command_open, argument_list_text(argv), failure::non_zero_status,
                               std::to_string(status), failure::sentence_end);
}

}  // namespace zeq::platform
