// The few libcrypto functions that the core's hashing, wiping and error-queue
// draining call, for the
// Windows test binary: Debian has no MinGW build of libcrypto, so here the
// system serves them, SHA-256 through CNG and wiping through
// SecureZeroMemory; CNG keeps no error queue to drain. The core's own sources are compiled unchanged against
// OpenSSL's headers; test_machine.cpp checks the digest against the
// standard's test vector.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include <cstring>

namespace {

// The CNG hash object lives in the context's state words, which nothing but
// these functions reads.
static_assert(sizeof(BCRYPT_HASH_HANDLE) <= sizeof(SHA256_CTX::h));

BCRYPT_HASH_HANDLE hash_of(const SHA256_CTX* c) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::memcpy(&hash, c->h, sizeof hash);
    return hash;
}

BCRYPT_ALG_HANDLE sha256_provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 ? opened : nullptr;
    }();
    return provider;
}

}  // namespace

extern "C" {

int SHA256_Init(SHA256_CTX* c) {
    std::memset(c, 0, sizeof *c);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!sha256_provider() || BCryptCreateHash(sha256_provider(), &hash, nullptr, 0, nullptr, 0, 0) != 0) return 0;
    std::memcpy(c->h, &hash, sizeof hash);
    return 1;
}

int SHA256_Update(SHA256_CTX* c, const void* data, size_t len) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (len > 0) {  // CNG takes at most 4 GiB at a time
        const ULONG n = len > 0x80000000u ? 0x80000000u : static_cast<ULONG>(len);
        if (BCryptHashData(hash_of(c), bytes, n, 0) != 0) return 0;
        bytes += n;
        len -= n;
    }
    return 1;
}

int SHA256_Final(unsigned char* md, SHA256_CTX* c) {
    BCRYPT_HASH_HANDLE hash = hash_of(c);
    const bool ok = BCryptFinishHash(hash, md, SHA256_DIGEST_LENGTH, 0) == 0;
    BCryptDestroyHash(hash);
    std::memset(c->h, 0, sizeof c->h);
    return ok ? 1 : 0;
}

void OPENSSL_cleanse(void* ptr, size_t len) { SecureZeroMemory(ptr, len); }

void ERR_clear_error(void) {}

}  // extern "C"
