// zeq.domain.crypto_layer.digest_base: SHA-256 hex digests of texts and bytes.
#include <nanobind/nanobind.h>

#include "core/host_texts.hpp"
#include "core/sha256.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::digest_base;

PyObject* HashingError = nullptr;

// A failure of the hashing itself becomes the module's error, raised from it.
nb::str digest_of(std::string_view bytes) {
    return host::translate_failures(host::FailurePolicy::wrap_with_cause(HashingError, texts::failed),
                                    [&] { return host::hex_digest_str(bytes); });
}

nb::str sha256_hash(host::Text data) {
    if (host::is_empty(data)) return nb::str("");
    return digest_of(host::Utf8(data));
}

nb::str sha256_hash_bytes(nb::bytes data) {
    if (data.size() == 0) return nb::str("");
    return digest_of(std::string_view(data.c_str(), data.size()));
}

bool verify_sha256_hash(host::Text data, host::Text expected_hash) {
    if (host::is_empty(data) || host::is_empty(expected_hash)) return false;
    nb::str actual;
    try {
        actual = sha256_hash(data);
    } catch (nb::python_error& e) {
        if (e.matches(HashingError)) return false;
        throw;
    }
    return host::secret_equal(actual, expected_hash.ptr);
}

}  // namespace

ZEQ_MODULE(digest_base, m) {
    m.doc() = "SHA-256 core: texts and bytes to 64 lowercase hexadecimal characters.";
    HashingError = host::make_error_type(m, "HashingError", texts::error_doc);

    m.def("sha256_hash", &sha256_hash, nb::arg("data"),
          "SHA-256 of the UTF-8 bytes of ``data`` (lone surrogates passed through) as 64\n"
          "lowercase hexadecimal characters; the empty text hashes to the empty text.");
    m.def("sha256_hash_bytes", &sha256_hash_bytes, nb::arg("data"),
          "SHA-256 of ``data`` as 64 lowercase hexadecimal characters; empty bytes give the empty text.");
    m.def("verify_sha256_hash", &verify_sha256_hash, nb::arg("data"), nb::arg("expected_hash"),
          "True when ``sha256_hash(data)`` equals ``expected_hash`` exactly; false for empty arguments.");
}
