// zeq.domain.crypto_layer.entry_digest: the digest over every identifying field
// of an item, and the virtual account and password cut from it.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "core/derivation.hpp"
#include "core/entry_digest.hpp"
#include "core/host_texts.hpp"
#include "core/salts.hpp"
#include "core/sha256.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

using entry_digest::Salt;
namespace texts = core::texts::entry_digest;
namespace host_words = core::texts::host_words;

// Taken from the package's top level at each call, as the host may replace it there.
const host::SiblingFunction package_sha256(host::replaceable::package_sha256);

PyObject* salt_keys[salts::count] = {};  // interned "salt1" .. "salt10"

// Salt `number` read with the default 1: a number truncated toward zero, none
// kept as none (it fails only where it is used), anything else the host's TypeError.
Salt salt_of(PyObject* salts, int number) {
    const nb::object value = host::dict_item(salts, salt_keys[number - 1]);
    if (!value.is_valid()) return 1;
    return host::salt_value(value);
}

// The same salt as the count of a repetition.
derivation::Repeat repeat_of(PyObject* salts, int number) {
    const nb::object value = host::dict_item(salts, salt_keys[number - 1]);
    if (!value.is_valid()) return 1;
    return host::repeat_value(value);
}

std::int64_t used(Salt salt) {
    if (!salt) host::raise(PyExc_TypeError, host_words::none_added);
    return *salt;
}

std::string_view optional_text(const host::OptText& t, std::optional<host::Utf8>& holder) {
    if (t.is_none()) return {};
    holder.emplace(t.ptr);
    return holder->view();
}

// The (key, value) pairs of the extension fields sorted by key: in code-point
// order for text keys, by the host's own ordering otherwise (which may refuse).
std::vector<std::pair<nb::object, nb::object>> sorted_items(PyObject* ext_fields) {
    std::vector<std::pair<nb::object, nb::object>> items;
    items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(ext_fields)));
    bool all_text = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(ext_fields, &pos, &key, &value)) {
        items.emplace_back(nb::borrow(key), nb::borrow(value));
        all_text = all_text && PyUnicode_Check(key);
    }
    if (all_text) {
        std::sort(items.begin(), items.end(),
                  [](const auto& a, const auto& b) { return PyUnicode_Compare(a.first.ptr(), b.first.ptr()) < 0; });
        return items;
    }
    PyObject* key_list = PyDict_Keys(ext_fields);
    if (key_list == nullptr) throw nb::python_error();
    // Sorted by the host's ordering, which runs host code between the steps.
    const nb::object keys = host::hidden_from_gc(nb::steal(key_list));
    if (PyList_Sort(keys.ptr()) != 0) throw nb::python_error();
    items.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::object k = nb::borrow(PyList_GET_ITEM(keys.ptr(), i));
        nb::object v = host::dict_item(ext_fields, k);
        if (!v.is_valid()) {
            PyErr_SetString(PyExc_RuntimeError, host_words::dict_changed_size);
            throw nb::python_error();
        }
        items.emplace_back(std::move(k), std::move(v));
    }
    return items;
}

// Appends the extension values in key order, each repeated by its cycled salt.
void append_extensions(std::string& out, PyObject* ext_fields, PyObject* salts, Py_ssize_t& item) {
    const auto items = sorted_items(ext_fields);
    PyObject* non_text = nullptr;  // the join refuses it once everything else is read
    Py_ssize_t non_text_item = 0;
    for (std::size_t place = 0; place < items.size(); ++place) {
        PyObject* value = items[place].second.ptr();
        const derivation::Repeat repeat = repeat_of(salts, derivation::ext_salt_number(place));
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) throw nb::python_error();
        if (truth == 0) continue;  // an empty value still uses up its place
        if (!PyUnicode_Check(value)) {
            if (non_text == nullptr) {
                non_text = value;
                non_text_item = item;
            }
            ++item;
            continue;
        }
        host::call_core(PyExc_ValueError, [&] { derivation::append_part(out, host::Utf8(value), repeat); });
        ++item;
    }
    if (non_text != nullptr) {
        PyErr_Format(PyExc_TypeError, host_words::join_item_type, non_text_item, Py_TYPE(non_text)->tp_name);
        throw nb::python_error();
    }
}

nb::object generate_entry_digest(host::Text info_type, host::Text info_owner, host::OptText diff_1,
                                 host::OptText diff_2, host::OptText diff_3, host::OptDict ext_fields,
                                 host::OptText environment_cipher, host::OptInt weight_param, host::OptDict salts) {
    nb::object sha256_hash = package_sha256.current();
    if (environment_cipher.is_none() || PyUnicode_GET_LENGTH(environment_cipher.ptr) == 0) {
        host::raise(PyExc_ValueError, texts::cipher_missing);
    }
    if (weight_param.is_none() || salts.is_none() || PyDict_GET_SIZE(salts.ptr) == 0 ||
        PyObject_Not(weight_param.value.ptr()) == 1) {
        host::raise(PyExc_ValueError, texts::weight_or_salts_missing);
    }
    const SecretBuffer weight = host::decimal_text(weight_param.value);
    auto core = [](auto&& body) { return host::call_core(PyExc_ValueError, body); };

    std::string joined;
    joined.reserve(1024);  // the usual item fits; fewer regrowths while appending
    Py_ssize_t item = 0;   // components so far, as the join counts them
    const std::int64_t repeat_9 =
        core([&] { return derivation::type_repeats(weight, derivation::ZeroRepeat::counts_as_one); });
    core([&] { derivation::append_part(joined, host::Utf8(info_type), repeat_9); });
    const derivation::Repeat repeat_salt2 = repeat_of(salts.ptr, 2);
    core([&] { derivation::append_part(joined, host::Utf8(environment_cipher.ptr), repeat_salt2); });
    joined.append(host::Utf8(info_owner).view());
    const derivation::Repeat repeat_salt3 = repeat_of(salts.ptr, 3);
    const derivation::Repeat repeat_salt4 = repeat_of(salts.ptr, 4);
    const derivation::Repeat repeat_salt5 = repeat_of(salts.ptr, 5);
    std::optional<host::Utf8> d1, d2, d3;
    core([&] { derivation::append_part(joined, optional_text(diff_1, d1), repeat_salt3); });
    core([&] { derivation::append_part(joined, optional_text(diff_2, d2), repeat_salt4); });
    core([&] { derivation::append_part(joined, optional_text(diff_3, d3), repeat_salt5); });
    item = 6;
    if (!ext_fields.is_none() && PyDict_GET_SIZE(ext_fields.ptr) > 0)
        append_extensions(joined, ext_fields.ptr, salts.ptr, item);

    if (!package_sha256.is_native(sha256_hash)) return sha256_hash(host::to_str(joined));
    if (joined.empty()) return nb::str("");  // the empty text hashes to the empty text
    return host::hex_digest_str(joined);
}

nb::typed<nb::tuple, nb::str, nb::str> extract_account_password(host::Text entry_digest, host::Salts salts) {
    auto read = [&](int number) {
        const std::int64_t v = used(salt_of(salts.ptr, number));
        return v == 0 ? std::int64_t{1} : v;
    };
    const std::int64_t salt4 = read(4), salt5 = read(5), salt1 = read(1), salt2 = read(2);
    const credentials::Pair pair =
        entry_digest::account_password(host::Utf8(entry_digest).view(), salt4, salt5, salt1, salt2);
    return nb::typed<nb::tuple, nb::str, nb::str>(
        nb::make_tuple(host::to_str(pair.account), host::to_str(pair.password)));
}

}  // namespace

ZEQ_MODULE(entry_digest, m) {
    m.doc() = "Entry digest of an item and the virtual account and password cut from it.";
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    for (int i = 0; i < salts::count; ++i) salt_keys[i] = host::intern_name(salts::key_names[i]);

    m.def("generate_entry_digest", host::scrubbed<&generate_entry_digest>, nb::arg("info_type"), nb::arg("info_owner"),
          nb::arg("diff_1") = nb::none(), nb::arg("diff_2") = nb::none(), nb::arg("diff_3") = nb::none(),
          nb::arg("ext_fields") = nb::none(), nb::arg("environment_cipher") = nb::none(),
          nb::arg("weight_param") = nb::none(), nb::arg("salts") = nb::none(),
          nb::sig("def generate_entry_digest(info_type: str, info_owner: str, diff_1: str | None = None, "
                  "diff_2: str | None = None, diff_3: str | None = None, "
                  "ext_fields: dict[str, str | None] | None = None, environment_cipher: str | None = None, "
                  "weight_param: int | float | typing.SupportsIndex | None = None, "
                  "salts: dict[str, int] | None = None) -> str"),
          "The entry digest: SHA-256 (the package's ``sha256_hash``) of the item's fields, each repeated\n"
          "by a weight digit or a salt, extension values in key order with the salts cycled.");
    m.def("extract_account_password", &extract_account_password, nb::arg("entry_digest"), nb::arg("salts"),
          "(account, password) cut from an entry digest at the windows salt4 and salt5 (0-based).");
}
