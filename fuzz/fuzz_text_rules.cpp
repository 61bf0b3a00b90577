// The host's text rules and the integer coercion over arbitrary bytes: no crash,
// no out-of-bounds read, and the invariants the callers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zeq;
    if (size < 2) return 0;
    const auto a = static_cast<std::int8_t>(data[0]);
    const auto b = static_cast<std::int8_t>(data[1]);
    const std::string_view s(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::size_t length = text::length(s);
    const std::string piece = text::cut(s, a, b);
    if (text::length(piece) > length) std::abort();
    if (text::length(text::last_n(s, a)) > length) std::abort();
    if (text::reversed(text::reversed(s)).size() != s.size()) std::abort();
    (void)text::strip(s);
    (void)text::repr(s);
    const int times = b & 3;
    if (text::repeat(s, times).size() != s.size() * static_cast<std::size_t>(times)) std::abort();
    try {
        (void)text::char_at(s, a);
    } catch (const core::Error&) {}
    try {
        const SecretBuffer canonical = decimal::safe_int(s);
        if (canonical.empty() || canonical.view() == "-0") std::abort();
    } catch (const core::Error& e) {
        if (e.kind() != core::ErrorKind::value) std::abort();
    }
    try {
        (void)decimal::digit_at_position(s, a);
    } catch (const core::Error&) {}
    return 0;
}
