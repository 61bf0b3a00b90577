#include "core/constant_time.hpp"

#include <openssl/crypto.h>

namespace zeq::constant_time {

bool equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace zeq::constant_time
