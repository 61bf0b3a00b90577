#include "bindings/text_cipher.hpp"

#include "core/base64.hpp"
#include "core/cipher.hpp"
#include "core/hex.hpp"
#include "core/host_texts.hpp"
#include "core/secret_buffer.hpp"
#include "core/sha256.hpp"

namespace zeq::host::text_cipher {
namespace {

namespace texts = core::texts::access_derivation;
namespace per_info_texts = core::texts::per_info_key;

void check_key_length(const Text& key_n) {
    if (length(key_n) != 64) core::fail_module(std::string(per_info_texts::key_length));
}

nb::str encrypt(const Text& plaintext, const cipher::Key& key) {
    const Utf8 plain(plaintext);
    const std::size_t size = cipher::encrypted_text_size(plain.size());
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (out == nullptr) throw nb::python_error();
    nb::str result = nb::steal<nb::str>(out);
    // A fresh compact ASCII str owns size + 1 bytes; nobody else sees it yet, so
    // the Base64 goes straight into it (the encoder's NUL lands on the terminator).
    char* buffer = static_cast<char*>(PyUnicode_DATA(out));
    {
        ReleaseIfLarge unlocked(plain.size());
        cipher::encrypt_to_base64(key, plain, buffer);
    }
    return result;
}

// Plaintexts up to this size are decrypted on the stack and copied into a str of
// their exact size; larger ones inside the str that becomes the result.
constexpr std::size_t small_plaintext = 512;

// The plaintext may be key material (sealed root key data): every buffer that
// held it, or the garbage of a failed decryption, is wiped before release.
// The decryption checks the plaintext's UTF-8 and measures it in one pass; the
// str is then made at its final kind and filled without checking it again.
nb::str decrypt(const Text& ciphertext, const cipher::Key& key) {
    const Utf8 text(ciphertext);  // ASCII text: the str's own buffer, no copy
    const std::size_t capacity = base64::decoded_capacity(text.size());
    text::Utf8Shape shape;
    if (capacity <= small_plaintext) {
        char buffer[small_plaintext];
        struct Wipe {
            char* p;
            std::size_t n;
            ~Wipe() { wipe_bytes(p, n); }
        } wipe{buffer, capacity};
        const std::size_t size = cipher::decrypt_from_base64_to(key, text, buffer, shape);
        return str_from_checked_utf8(std::string_view(buffer, size), shape);
    }
    // Decoded and decrypted inside a fresh ASCII str; when the plaintext is ASCII
    // that str is the result, trimmed in place (a large block shrinks where it
    // is), and no further copy is made.
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
    if (out == nullptr) throw nb::python_error();
    SecretStr holder(nb::steal(out));
    char* buffer = static_cast<char*>(PyUnicode_DATA(out));
    std::size_t size = 0;
    {
        ReleaseIfLarge unlocked(text.size());
        size = cipher::decrypt_from_base64_to(key, text, buffer, shape);
    }
    if (!shape.ascii) return str_from_checked_utf8(std::string_view(buffer, size), shape);
    PyObject* result = holder.release().release().ptr();
    if (PyUnicode_Resize(&result, static_cast<Py_ssize_t>(size)) != 0) {
        Py_DECREF(result);
        throw nb::python_error();
    }
    return nb::steal<nb::str>(result);
}

}  // namespace

nb::str encrypt_with_hex_key(const Text& plaintext, const Text& key_n) {
    return translate_failures(FailurePolicy::wrap_into_core(per_info_texts::encrypt_failed), [&] {
        check_key_length(key_n);
        cipher::Key key;
        cipher::Key::from_hex(Utf8(key_n), key);
        return encrypt(plaintext, key);
    });
}

nb::str decrypt_with_hex_key(const Text& ciphertext, const Text& key_n) {
    return translate_failures(FailurePolicy::wrap_into_core(per_info_texts::decrypt_failed), [&] {
        check_key_length(key_n);
        cipher::Key key;
        cipher::Key::from_hex(Utf8(key_n), key);
        return decrypt(ciphertext, key);
    });
}

namespace {

sha256::Digest key_digest(const Text& key) {
    const Utf8 bytes(key);
    ReleaseIfLarge unlocked(bytes.size());
    return sha256::digest(bytes);
}

// The per-info function `fn` (a replacement) called with the hex form of the key.
nb::object call_replacement(const nb::object& fn, const Text& text, sha256::Digest& digest) {
    const SecretBuffer hex = hex::encode_secret(digest.data(), digest.size());
    wipe_bytes(digest.data(), digest.size());
    nb::str key_hash(hex.data(), hex.size());  // the replacement's, once handed over
    return fn(nb::handle(text.ptr), key_hash);
}

}  // namespace

nb::object aes_encrypt(PyObject* error_type, const Text& plaintext, const Text& key) {
    if (is_empty(plaintext) || is_empty(key)) raise(error_type, texts::plaintext_or_key_empty);
    static const SiblingFunction per_info_encrypt(replaceable::per_info_encrypt);
    return wrap_host_failures(error_type, texts::aes_encrypt_failed, [&]() -> nb::object {
        sha256::Digest digest = key_digest(key);
        nb::object fn = per_info_encrypt.current();
        if (!per_info_encrypt.is_native(fn)) return call_replacement(fn, plaintext, digest);
        const cipher::Key aes_key(digest);
        wipe_bytes(digest.data(), digest.size());
        return translate_failures(FailurePolicy::wrap_into_core(per_info_texts::encrypt_failed),
                                  [&] { return encrypt(plaintext, aes_key); });
    });
}

nb::object aes_decrypt(PyObject* error_type, const Text& ciphertext, const Text& key) {
    if (is_empty(ciphertext) || is_empty(key)) raise(error_type, texts::ciphertext_or_key_empty);
    static const SiblingFunction per_info_decrypt(replaceable::per_info_decrypt);
    return wrap_host_failures(error_type, texts::aes_decrypt_failed, [&]() -> nb::object {
        sha256::Digest digest = key_digest(key);
        nb::object fn = per_info_decrypt.current();
        if (!per_info_decrypt.is_native(fn)) return call_replacement(fn, ciphertext, digest);
        const cipher::Key aes_key(digest);
        wipe_bytes(digest.data(), digest.size());
        return translate_failures(FailurePolicy::wrap_into_core(per_info_texts::decrypt_failed),
                                  [&] { return decrypt(ciphertext, aes_key); });
    });
}

}  // namespace zeq::host::text_cipher
