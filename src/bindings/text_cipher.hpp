// The cipher of the per-info key layer and the text cipher built on it, callable
// from any binding: per_info_key and access_derivation expose them, and modules
// that bound access_derivation's aes_encrypt/aes_decrypt at load call them here
// without a round trip through the host.
#pragma once

#include "bindings/host.hpp"

namespace zeq::host::text_cipher {

// encrypt_with_per_info_key / decrypt_with_per_info_key, guard included: every
// failure comes out as a core module error carrying the per-info layer's prefix
// ("AES_KYE_N 加密失败: " / "AES_KYE_N decrypt failed: "). Decryption decodes
// with surrogates passed through, so every text that encrypts decrypts back.
nb::str encrypt_with_hex_key(const Text& plaintext, const Text& key_n);
nb::str decrypt_with_hex_key(const Text& ciphertext, const Text& key_n);

// aes_encrypt / aes_decrypt of access_derivation: the key is the SHA-256 of the
// key text; the per-info layer's functions are looked up at each call, and when
// they are still the layer's own the cipher above runs directly. Failures raise
// `error_type` (CredentialGenerationError) with the text cipher's prefixes.
nb::object aes_encrypt(PyObject* error_type, const Text& plaintext, const Text& key);
nb::object aes_decrypt(PyObject* error_type, const Text& ciphertext, const Text& key);

}  // namespace zeq::host::text_cipher
