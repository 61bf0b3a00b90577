// zeq.domain.crypto_layer.master_key_seal: AES keys 1 to 3 and the sealing of the
// root key data and of the weight parameter with the text cipher.
#include <nanobind/nanobind.h>

#include <array>
#include <optional>

#include "core/host_texts.hpp"
#include "core/root_key_seal.hpp"
#include "core/sha256.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::master_key_seal;
namespace host_words = core::texts::host_words;
namespace replaceable = host::replaceable;

host::Logger* logger = nullptr;
// The text cipher as the module found it when it loaded.
PyObject* aes_encrypt = nullptr;
PyObject* aes_decrypt = nullptr;
// The device factors, looked up at each call so that a host which replaces them is obeyed.
const host::SiblingFunction get_hardware_info(replaceable::hardware_info);

// The layer's hex digest, without the GIL for a large input.
SecretBuffer hash_text(std::string_view utf8) {
    host::ReleaseIfLarge unlocked(utf8.size());
    return sha256::secret_hash_text(utf8);
}

// AES key 3 of a key source (AES key 2 of it, cut and reversed), without the GIL
// for a large source.
SecretBuffer key_3_of_source(std::string_view source) {
    host::ReleaseIfLarge unlocked(source.size());
    return root_key_seal::aes_key_3(root_key_seal::aes_key_2(source));
}

// The layer's hex digest of key material: the empty text for the empty text.
nb::str digest(std::string_view utf8) {
    if (utf8.empty()) return nb::str("");
    return host::hex_digest_str(utf8);
}

nb::str key_3_of(host::Text aes_key_2) { return host::to_str(root_key_seal::aes_key_3(host::Utf8(aes_key_2))); }

// Python's unpacking of exactly three values, with its messages.
std::array<nb::object, 3> unpack_three(nb::handle iterable) {
    std::array<nb::object, 3> items;
    nb::object iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    std::size_t count = 0;
    while (true) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        if (count == 3) {
            Py_DECREF(item);
            PyErr_SetString(PyExc_ValueError, host_words::too_many_values_3);
            throw nb::python_error();
        }
        items[count++] = nb::steal(item);
    }
    if (count < 3) {
        PyErr_Format(PyExc_ValueError, host_words::not_enough_values_3, count);
        throw nb::python_error();
    }
    return items;
}

nb::object sum_of(nb::handle a, nb::handle b) {
    PyObject* result = PyNumber_Add(a.ptr(), b.ptr());
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

nb::str get_aes_key_1() {
    auto [cpu_serial, disk_id, mobo_serial] = unpack_three(get_hardware_info.current()());
    // The joined factors are the key's source: the strs made here are wiped.
    const host::SecretStr first_two(sum_of(cpu_serial, disk_id));
    const host::SecretStr joined(sum_of(first_two.get(), mobo_serial));
    if (!PyUnicode_CheckExact(joined.ptr())) {
        PyErr_Format(PyExc_TypeError, texts::factors_not_text, Py_TYPE(joined.ptr())->tp_name);
        throw nb::python_error();
    }
    return digest(host::Utf8(joined.ptr()));
}

nb::str get_aes_key_2(host::Text personal_key, host::Text weight_param) {
    const host::Utf8 key(personal_key), weight(weight_param);
    SecretBuffer source;
    source.reserve(key.size() + weight.size());
    source.append(key).append(weight);
    return digest(source);
}

nb::str hash_migrate_key(host::Text migrate_key) { return digest(host::Utf8(migrate_key)); }

nb::typed<nb::object, nb::str> encrypt_root_key_data(host::Text root_key, host::Text migrate_key,
                                                     host::Text device_signature) {
    const host::Utf8 key(root_key);
    const host::Utf8 migrate(migrate_key);
    const SecretBuffer migrate_key_hash = hash_text(migrate);
    const SecretBuffer combined = root_key_seal::combined_data(key, migrate_key_hash, host::Utf8(device_signature));
    const SecretBuffer source = host::call_core(PyExc_Exception, [&] { return root_key_seal::key_2_source(key); });
    const host::SecretStr plaintext(host::to_str(combined));
    const host::SecretStr aes_key_3(host::to_str(key_3_of_source(source)));
    return nb::typed<nb::object, nb::str>(nb::borrow(aes_encrypt)(plaintext.get(), aes_key_3.get()));
}

// Runs `body` for `operation`; an ordinary failure of the host's is logged at
// error level as log_prefix + text and raised as Exception(raise_prefix + text).
template <class Body>
decltype(auto) opening(std::string_view operation, std::string_view log_prefix, std::string_view raise_prefix,
                       Body&& body) {
    return host::translate_failures(
        host::FailurePolicy::log_and_wrap(*logger, operation, log_prefix, PyExc_Exception, raise_prefix),
        std::forward<Body>(body));
}

// Where `c` is in text[from:], or -1; the host's error when the search fails.
Py_ssize_t find(PyObject* text, Py_UCS4 c, Py_ssize_t from, Py_ssize_t length) {
    const Py_ssize_t at = from > length ? -1 : PyUnicode_FindChar(text, c, from, length, 1);
    if (at == -2) throw nb::python_error();
    return at;
}

using Pieces = std::array<std::optional<host::SecretStr>, 3>;

// text.split("|") when it gives three pieces (else the host's Exception of a bad
// combination). The pieces are held here and nowhere else: host code that runs at
// the next allocation (a gc callback walking gc.get_objects(), a __del__) finds
// no container of the opened data to read or to empty. Until they are handed
// over, they are wiped when given up.
Pieces split_in_three(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) throw nb::python_error();
    const Py_ssize_t first = find(text, '|', 0, length);
    const Py_ssize_t second = first < 0 ? -1 : find(text, '|', first + 1, length);
    if (second < 0 || find(text, '|', second + 1, length) >= 0) host::raise(PyExc_Exception, texts::bad_combined);
    const Py_ssize_t bounds[3][2] = {{0, first}, {first + 1, second}, {second + 1, length}};
    Pieces pieces;
    for (int i = 0; i < 3; ++i) {
        PyObject* piece = PyUnicode_Substring(text, bounds[i][0], bounds[i][1]);
        if (piece == nullptr) throw nb::python_error();
        pieces[i].emplace(nb::steal(piece));
    }
    return pieces;
}

nb::typed<nb::dict, nb::str, nb::str> decrypt_root_key_data(host::Text encrypted_data, host::Text aes_key_2) {
    const host::SecretStr aes_key_3(key_3_of(aes_key_2));
    const Pieces pieces = opening("decrypt_root_key_data", texts::root_key_log, texts::decryption_failed, [&] {
        const host::SecretStr decrypted(nb::borrow(aes_decrypt)(nb::handle(encrypted_data.ptr), aes_key_3.get()));
        if (!PyUnicode_Check(decrypted.ptr())) {
            PyErr_Format(PyExc_TypeError, texts::decrypted_not_text, Py_TYPE(decrypted.ptr())->tp_name);
            throw nb::python_error();
        }
        return split_in_three(decrypted.ptr());
    });
    nb::dict out;
    out["root_key"] = pieces[0]->get();
    out["migrate_key_hash"] = pieces[1]->get();
    out["device_signature"] = pieces[2]->get();
    return nb::typed<nb::dict, nb::str, nb::str>(out);
}

nb::str expand_weight_param(host::Text weight_param) {
    return host::to_str(root_key_seal::expand_weight_param(host::Utf8(weight_param)));
}

nb::typed<nb::object, nb::str> encrypt_weight_param(host::Text weight_param, host::Text aes_key_2) {
    const host::SecretStr expanded(expand_weight_param(weight_param));
    const host::SecretStr aes_key_3(key_3_of(aes_key_2));
    return nb::typed<nb::object, nb::str>(nb::borrow(aes_encrypt)(expanded.get(), aes_key_3.get()));
}

nb::typed<nb::object, nb::str> decrypt_weight_param(host::Text encrypted_weight_param, host::Text aes_key_2) {
    const host::SecretStr aes_key_3(key_3_of(aes_key_2));
    return nb::typed<nb::object, nb::str>(
        opening("decrypt_weight_param", texts::weight_failed, texts::weight_failed,
                [&] { return nb::borrow(aes_decrypt)(nb::handle(encrypted_weight_param.ptr), aes_key_3.get()); }));
}

}  // namespace

ZEQ_MODULE(master_key_seal, m) {
    m.doc() = "Root key sealing: AES keys 1 to 3, sealing and opening of the root key data and the weight parameter.";
    nb::module_::import_("zeq.domain.crypto_layer.digest_base");
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    const replaceable::ModuleAttribute& encrypt = replaceable::at_load::text_cipher_encrypt;
    const replaceable::ModuleAttribute& decrypt = replaceable::at_load::text_cipher_decrypt;
    aes_encrypt = nb::object(nb::module_::import_(encrypt.module).attr(encrypt.attribute)).release().ptr();
    aes_decrypt = nb::object(nb::module_::import_(decrypt.module).attr(decrypt.attribute)).release().ptr();
    logger = new host::Logger(m, "zeq.domain.crypto_layer.master_key_seal");

    m.def("_get_aes_key_3", host::scrubbed<&key_3_of>, nb::arg("aes_key_2"),
          "AES key 3: the first 30 characters of AES key 2 in reverse order.");
    m.def("get_aes_key_1", host::scrubbed<&get_aes_key_1>,
          "AES key 1: the digest of the three device factors joined without separator.");
    m.def("get_aes_key_2", host::scrubbed<&get_aes_key_2>, nb::arg("personal_key"), nb::arg("weight_param"),
          "AES key 2: the digest of the personal key followed by the weight parameter text.");
    m.def("encrypt_root_key_data", host::scrubbed<&encrypt_root_key_data>, nb::arg("root_key"), nb::arg("migrate_key"),
          nb::arg("device_signature"),
          "Seal root_key|sha256(migrate_key)|device_signature under AES key 3 of the root key.\n"
          "A root key without '_' and weight cannot be sealed and raises Exception.");
    m.def("decrypt_root_key_data", host::scrubbed<&decrypt_root_key_data>, nb::arg("encrypted_data"),
          nb::arg("aes_key_2"),
          "Open sealed root key data: {'root_key': .., 'migrate_key_hash': .., 'device_signature': ..}.");
    m.def("expand_weight_param", host::scrubbed<&expand_weight_param>, nb::arg("weight_param"),
          "The rotation of '123456789' starting at the first digit of ``weight_param``.");
    m.def("encrypt_weight_param", host::scrubbed<&encrypt_weight_param>, nb::arg("weight_param"), nb::arg("aes_key_2"),
          "Seal the expanded weight parameter under AES key 3.");
    m.def("decrypt_weight_param", host::scrubbed<&decrypt_weight_param>, nb::arg("encrypted_weight_param"),
          nb::arg("aes_key_2"), "Open a sealed weight parameter: its nine-digit expansion.");
    m.def("hash_migrate_key", host::scrubbed<&hash_migrate_key>, nb::arg("migrate_key"),
          "The digest of the migrate key.");
}
