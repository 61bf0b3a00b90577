// What the core shares over libcrypto: its algorithms, fetched once; the
// per-thread contexts that carry them; and the rule for libcrypto's error
// queue. libcrypto leaves an entry on the calling thread's queue for most
// failures, and that queue is shared with everything else in the process that
// uses the same libcrypto (the host's ssl and hashlib, the cryptography
// package): a stale entry there is taken for a failure of their next call. So
// every failure the core meets in libcrypto drains the queue before it is
// thrown. (The verdicts on ciphertexts, a bad padding or bad Base64, are the
// core's own and never pass through libcrypto's error paths.)
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/error.hpp"

namespace zeq::openssl {

// Empties the calling thread's error queue: what a failed call left there has
// been answered by the core and must not reach anyone else.
inline void drain_errors() noexcept { ERR_clear_error(); }

// A libcrypto failure: the queue drained, then core::Error(kind, message).
[[noreturn]] inline void fail(core::ErrorKind kind, std::string message) {
    drain_errors();
    core::fail(kind, std::move(message));
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};

// The calling thread's own contexts, made at its first use and freed when the
// thread ends; callers initialise them for each use and reset them after.
// std::bad_alloc when libcrypto cannot make one.
EVP_MD_CTX* thread_digest_context();
EVP_CIPHER_CTX* thread_cipher_context();

// Looking an algorithm up costs more than hashing or encrypting a short text,
// so each is fetched when first needed and kept for the life of the process.
// An algorithm the library lacks fails with core::Error "<name> is not
// available in libcrypto" (SHA-256: runtime, a cipher: value).
const EVP_MD* sha256();
// AES-CBC for a key of 16, 24 or 32 bytes (any other size: nullptr).
const EVP_CIPHER* aes_cbc(std::size_t key_size);
// One fetch by name, not kept: what the two above are made of.
const EVP_CIPHER* fetch_cipher(const char* name);

}  // namespace zeq::openssl
