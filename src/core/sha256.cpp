#include "core/sha256.hpp"

// SHA256_Init and friends are deprecated in OpenSSL 3 but kept through its 3.x line.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/sha.h>

#include "core/hex.hpp"
#include "core/host_texts.hpp"
#include "core/openssl.hpp"

namespace zeq::sha256 {
#if OPENSSL_VERSION_MAJOR < 4
// The low-level SHA-256 functions skip the provider dispatch of EVP, which costs
// more than the hashing itself on the short texts the layer hashes all day long
// (a 55-byte text: about 57 ns against 100 ns). Same libcrypto code underneath.
Digest digest(std::string_view bytes) {
    SHA256_CTX ctx;
    Digest out{};
    if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, bytes.data(), bytes.size()) != 1 ||
        SHA256_Final(out.data(), &ctx) != 1) {
        wipe_bytes(&ctx, sizeof ctx);
        openssl::fail(core::ErrorKind::runtime, std::string(core::texts::digest_base::computation_failed));
    }
    wipe_bytes(&ctx, sizeof ctx);
    return out;
}
#else
Digest digest(std::string_view bytes) {
    EVP_MD_CTX* ctx = openssl::thread_digest_context();
    Digest out{};
    unsigned int size = 0;
    if (EVP_DigestInit_ex2(ctx, openssl::sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) != 1 || EVP_DigestFinal_ex(ctx, out.data(), &size) != 1 ||
        size != out.size()) {
        openssl::fail(core::ErrorKind::runtime, std::string(core::texts::digest_base::computation_failed));
    }
    return out;
}
#endif

std::string hex_digest(std::string_view bytes) {
    const Digest d = digest(bytes);
    return hex::encode(d.data(), d.size());
}

std::string hash_text(std::string_view utf8) {
    if (utf8.empty()) return {};
    return hex_digest(utf8);
}

SecretBuffer secret_hash_text(std::string_view utf8) {
    if (utf8.empty()) return {};
    Digest d = digest(utf8);
    SecretBuffer hex = hex::encode_secret(d.data(), d.size());
    wipe_bytes(d.data(), d.size());
    return hex;
}

}  // namespace zeq::sha256
