// SHA-256 for the Windows test binary. libcrypto has no MinGW build on the CI
// machine, so here the core's hash interface is served by the system's own
// CNG; test_machine.cpp checks it against the standard's test vector.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

#include "core/hex.hpp"
#include "core/sha256.hpp"

namespace zeq::sha256 {

Digest digest(std::string_view bytes) {
    Digest out{};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const bool ok =
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
        BCryptHashData(hash, reinterpret_cast<UCHAR*>(const_cast<char*>(bytes.data())),
                       static_cast<ULONG>(bytes.size()), 0) == 0 &&
        BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) throw std::runtime_error("SHA-256 computation failed in CNG");
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
