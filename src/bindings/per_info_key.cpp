// zeq.domain.crypto_layer.per_info_key: the first encryption layer, each item
// under a key of its own (the digest of its plaintext) or a one-time random key.
#include <nanobind/nanobind.h>

#include <openssl/rand.h>

#include "core/hex.hpp"
#include "core/host_texts.hpp"
#include "core/secret_buffer.hpp"
#include "core/openssl.hpp"
#include "bindings/host.hpp"
#include "bindings/text_cipher.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::per_info_key;
namespace replaceable = host::replaceable;

PyObject* PerInfoKeyError = nullptr;

// The convenience operations call the module's operations by name, so a host
// that replaces one of them is obeyed; while they are the module's own, the C++
// runs directly.
const host::SiblingFunction own_hash(replaceable::info_hash_cipher);
const host::SiblingFunction own_encrypt(replaceable::per_info_encrypt);
const host::SiblingFunction own_decrypt(replaceable::per_info_decrypt);
const host::SiblingFunction own_key_4(replaceable::one_time_key);

nb::str generate_info_hash_cipher(host::Text plaintext) {
    return host::hex_digest_str(host::Utf8(plaintext));  // the empty text too: its key is the digest of no bytes
}

nb::str encrypt_with_per_info_key(host::Text plaintext, host::Text key_n) {
    return host::call_core(PerInfoKeyError, [&] { return host::text_cipher::encrypt_with_hex_key(plaintext, key_n); });
}

nb::str decrypt_with_per_info_key(host::Text ciphertext, host::Text key_n) {
    return host::call_core(PerInfoKeyError, [&] { return host::text_cipher::decrypt_with_hex_key(ciphertext, key_n); });
}

nb::object hash_by_name(host::Text plaintext) {
    nb::object fn = own_hash.current();
    if (own_hash.is_native(fn)) return generate_info_hash_cipher(plaintext);
    return fn(nb::handle(plaintext.ptr));
}

nb::object encrypt_by_name(host::Text plaintext, nb::handle key) {
    nb::object fn = own_encrypt.current();
    if (own_encrypt.is_native(fn) && PyUnicode_CheckExact(key.ptr())) {
        return encrypt_with_per_info_key(plaintext, host::Text{key.ptr()});
    }
    return fn(nb::handle(plaintext.ptr), key);
}

nb::object decrypt_by_name(host::Text ciphertext, host::Text key_n) {
    nb::object fn = own_decrypt.current();
    if (own_decrypt.is_native(fn)) return decrypt_with_per_info_key(ciphertext, key_n);
    return fn(nb::handle(ciphertext.ptr), nb::handle(key_n.ptr));
}

nb::tuple encrypt_info(host::Text plaintext) {
    nb::object key_n = hash_by_name(plaintext);
    nb::object ciphertext = encrypt_by_name(plaintext, key_n);
    return nb::make_tuple(ciphertext, key_n);
}

nb::object decrypt_info(host::Text ciphertext, host::Text key_n) { return decrypt_by_name(ciphertext, key_n); }

nb::str generate_aes_key_4() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        // The generator has no entropy source: nothing the caller can do but know it.
        openssl::drain_errors();
        PyErr_SetString(PyExc_OSError, texts::no_random_source);
        throw nb::python_error();
    }
    const SecretBuffer hex = hex::encode_secret(bytes, sizeof bytes);
    wipe_bytes(bytes, sizeof bytes);
    return nb::str(hex.data(), hex.size());
}

nb::tuple encrypt_with_aes_key_4(host::Text plaintext, host::OptText key) {
    nb::object used;
    if (key.is_none() || PyUnicode_GET_LENGTH(key.ptr) == 0) {
        nb::object fn = own_key_4.current();
        used = own_key_4.is_native(fn) ? nb::object(generate_aes_key_4()) : fn();
    } else {
        used = nb::borrow(key.ptr);
    }
    nb::object ciphertext = encrypt_by_name(plaintext, used);
    return nb::make_tuple(ciphertext, used);
}

nb::object decrypt_with_aes_key_4(host::Text ciphertext, host::Text key) { return decrypt_by_name(ciphertext, key); }

}  // namespace

ZEQ_MODULE(per_info_key, m) {
    m.doc() = "First encryption layer: AES-256-CBC (zero IV, PKCS#7) under per-info or one-time keys, Base64 out.";
    PerInfoKeyError = host::make_error_type(m, "PerInfoKeyError", texts::error_doc);

    m.def("generate_info_hash_cipher", &generate_info_hash_cipher, nb::arg("plaintext"),
          "The per-info key of ``plaintext``: SHA-256 of its UTF-8 bytes (lone surrogates passed\n"
          "through) as 64 lowercase hexadecimal characters.");
    m.def("encrypt_with_per_info_key", host::scrubbed<&encrypt_with_per_info_key>, nb::arg("plaintext"),
          nb::arg("key_n"),
          "Base64 of AES-CBC (all-zero IV, PKCS#7) of the UTF-8 of ``plaintext`` under the key whose\n"
          "64 hexadecimal characters are ``key_n``. Failures raise PerInfoKeyError.");
    m.def("decrypt_with_per_info_key", host::scrubbed<&decrypt_with_per_info_key>, nb::arg("ciphertext"),
          nb::arg("key_n"),
          "The text that ``encrypt_with_per_info_key`` turned into ``ciphertext`` under ``key_n``.\n"
          "Failures raise PerInfoKeyError.");
    m.def("encrypt_info", host::scrubbed<&encrypt_info>, nb::arg("plaintext"),
          nb::sig("def encrypt_info(plaintext: str) -> tuple[str, str]"),
          "(ciphertext, key_n): ``plaintext`` encrypted under its own per-info key.");
    m.def("decrypt_info", host::scrubbed<&decrypt_info>, nb::arg("ciphertext"), nb::arg("key_n"),
          nb::sig("def decrypt_info(ciphertext: str, key_n: str) -> str"),
          "The plaintext of ``ciphertext`` under the per-info key ``key_n``.");
    m.def("generate_aes_key_4", host::scrubbed<&generate_aes_key_4>,
          "A one-time key: 32 bytes of the cryptographically secure random source as 64 lowercase\n"
          "hexadecimal characters.");
    m.def("encrypt_with_aes_key_4", host::scrubbed<&encrypt_with_aes_key_4>, nb::arg("plaintext"),
          nb::arg("key") = nb::none(),
          nb::sig("def encrypt_with_aes_key_4(plaintext: str, key: str | None = None) -> tuple[str, str]"),
          "(ciphertext, key): ``plaintext`` encrypted under ``key``, or under a new one-time key when\n"
          "``key`` is None or empty.");
    m.def("decrypt_with_aes_key_4", host::scrubbed<&decrypt_with_aes_key_4>, nb::arg("ciphertext"), nb::arg("key"),
          nb::sig("def decrypt_with_aes_key_4(ciphertext: str, key: str) -> str"),
          "The plaintext of ``ciphertext`` under the one-time key ``key``.");
}
