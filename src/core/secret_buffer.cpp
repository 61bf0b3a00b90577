#include "secret_buffer.hpp"

#include <openssl/crypto.h>

namespace zeq {

void wipe_bytes(void* p, std::size_t size) noexcept { OPENSSL_cleanse(p, size); }

}  // namespace zeq
