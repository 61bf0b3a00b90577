#include "core/openssl.hpp"

#include <new>

#include "core/host_texts.hpp"

namespace zeq::openssl {

EVP_MD_CTX* thread_digest_context() {
    thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx) {
        drain_errors();
        throw std::bad_alloc();
    }
    return ctx.get();
}

EVP_CIPHER_CTX* thread_cipher_context() {
    thread_local std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        drain_errors();
        throw std::bad_alloc();
    }
    return ctx.get();
}

const EVP_MD* sha256() {
    static const EVP_MD* md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr)
            openssl::fail(core::ErrorKind::runtime, std::string(core::texts::digest_base::unavailable));
        return fetched;
    }();
    return md;
}

const EVP_CIPHER* fetch_cipher(const char* name) {
    const EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (c == nullptr)
        openssl::fail(core::ErrorKind::value, core::texts::joined(name, core::texts::cipher::not_available));
    return c;
}

const EVP_CIPHER* aes_cbc(std::size_t key_size) {
    switch (key_size) {
        case 32: {
            static const EVP_CIPHER* c = fetch_cipher("AES-256-CBC");
            return c;
        }
        case 24: {
            static const EVP_CIPHER* c = fetch_cipher("AES-192-CBC");
            return c;
        }
        case 16: {
            static const EVP_CIPHER* c = fetch_cipher("AES-128-CBC");
            return c;
        }
        default: return nullptr;
    }
}

}  // namespace zeq::openssl
