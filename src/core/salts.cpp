#include "core/salts.hpp"

#include <cstdint>
#include <string>

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"

namespace zeq::salts {
namespace {

namespace texts = core::texts::derived_salt;

struct KeyFacts {
    std::uint64_t length = 0;    // code points
    std::uint64_t code_sum = 0;  // sum of code points
};

KeyFacts key_facts(std::string_view utf8) {
    KeyFacts facts;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[pos]);
        const int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        ++pos;
        for (int i = 0; i < extra && pos < utf8.size(); ++i, ++pos) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[pos]) & 0x3F);
        }
        ++facts.length;
        facts.code_sum += cp;
    }
    return facts;
}

int or_substitute(std::uint64_t raw, int substitute) { return raw == 0 ? substitute : static_cast<int>(raw); }

}  // namespace

SaltSet extract(std::string_view personal_key, std::string_view weight_param) {
    const KeyFacts key = key_facts(personal_key);
    if (key.length < 8) core::fail_module(std::string(texts::key_too_short));
    if (!decimal::is_positive(weight_param)) core::fail_module(std::string(texts::weight_not_positive));

    // Every product and sum below is only needed modulo 10, so the weight enters
    // through its last digit and may have any number of digits.
    const std::uint64_t L = key.length;
    const std::uint64_t A = key.code_sum;
    const std::uint64_t w = static_cast<std::uint64_t>(decimal::last_digit(weight_param));
    const std::uint64_t tens =
        weight_param.size() >= 2
            ? static_cast<std::uint64_t>(decimal::digit_value(weight_param.substr(weight_param.size() - 2, 1)))
            : 1;
    return SaltSet{
        or_substitute(L % 10, 1),
        or_substitute(w, 1),
        or_substitute(A % 10, 1),
        or_substitute((L % 10 + w) % 10, 1),
        or_substitute(tens, 1),
        or_substitute((A % 10 + w) % 10, 2),
        or_substitute(((L % 10) * ((L / 10) % 10)) % 10, 4),
        or_substitute(((L % 10) * w) % 10, 1),
        or_substitute((A ^ L) % 10, 5),
        or_substitute((w * (A % 10)) % 10, 3),
    };
}

std::string missing_salt_message(std::string_view number_text) {
    return core::texts::joined(texts::missing_salt, number_text, texts::missing_salt_end);
}

}  // namespace zeq::salts
