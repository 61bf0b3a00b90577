#include "sha256.hpp"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "hex.hpp"

namespace zeq::sha256 {
namespace {

const EVP_MD* algorithm() {
    // Looking the algorithm up at every call costs more than hashing a short text.
    static const EVP_MD* md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) throw std::runtime_error("SHA-256 is not available in libcrypto");
        return fetched;
    }();
    return md;
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

EVP_MD_CTX* thread_context() {
    thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::bad_alloc();
    return ctx.get();
}

}  // namespace

Digest digest(std::string_view bytes) {
    EVP_MD_CTX* ctx = thread_context();
    Digest out{};
    unsigned int size = 0;
    if (EVP_DigestInit_ex2(ctx, algorithm(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx, out.data(), &size) != 1 || size != out.size()) {
        throw std::runtime_error("SHA-256 computation failed in libcrypto");
    }
    return out;
}

std::string hex_digest(std::string_view bytes) {
    const Digest d = digest(bytes);
    return hex::encode(d.data(), d.size());
}

std::string hash_text(std::string_view utf8) {
    if (utf8.empty()) return {};
    return hex_digest(utf8);
}

}  // namespace zeq::sha256
