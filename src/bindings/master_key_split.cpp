// zeq.domain.crypto_layer.master_key_split: root key -> (personal key, weight parameter).
#include <nanobind/nanobind.h>

#include "core/root_key.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

host::Logger* logger = nullptr;
PyObject* default_weight_param = nullptr;  // DEFAULT_WEIGHT_PARAM, the int every defaulted weight is

root_key::Parts parse(const host::Utf8& root_key) {
    return host::call_core(PyExc_ValueError, [&] { return root_key::parse(root_key, *logger); });
}

nb::str substring(const host::Text& text, Py_ssize_t length) {
    PyObject* s = PyUnicode_Substring(text.ptr, 0, length);
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// The personal key is the root key's text before its first '_' (all of it when
// there is none): a slice of the host's str, the str itself when whole.
nb::str personal_key_of(const host::Text& root_key, const host::Utf8& utf8, const root_key::Parts& parts) {
    const std::string_view key = parts.personal_key;
    if (key.size() == utf8.size()) return nb::borrow<nb::str>(root_key.ptr);
    if (PyUnicode_IS_ASCII(root_key.ptr)) return substring(root_key, static_cast<Py_ssize_t>(key.size()));
    // Code points of the UTF-8 prefix: every byte that does not continue a sequence.
    Py_ssize_t length = 0;
    for (const char c : key) length += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return substring(root_key, length);
}

nb::object weight_param_of(const root_key::Parts& parts) {
    if (parts.default_weight()) return nb::borrow(default_weight_param);
    return host::int_from_decimal(parts.weight_param);
}

nb::typed<nb::tuple, nb::str, nb::int_> parse_root_key(host::Text root_key) {
    const host::Utf8 utf8(root_key);
    const root_key::Parts parts = parse(utf8);
    nb::str personal_key = personal_key_of(root_key, utf8, parts);
    nb::object weight_param = weight_param_of(parts);
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) throw nb::python_error();
    PyTuple_SET_ITEM(pair, 0, personal_key.release().ptr());
    PyTuple_SET_ITEM(pair, 1, weight_param.release().ptr());
    return nb::steal<nb::typed<nb::tuple, nb::str, nb::int_>>(pair);
}

nb::str get_personal_key(host::Text root_key) {
    const host::Utf8 utf8(root_key);
    return personal_key_of(root_key, utf8, parse(utf8));
}

nb::int_ get_weight_param(host::Text root_key) {
    return nb::borrow<nb::int_>(weight_param_of(parse(host::Utf8(root_key))));
}

}  // namespace

ZEQ_MODULE(master_key_split, m) {
    m.doc() = "Root key parsing: a root key is a personal key, optionally followed by '_' and the weight digits.";
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    logger = new host::Logger(m, "zeq.domain.crypto_layer.master_key_split");
    default_weight_param = host::int_from_decimal(root_key::default_weight_param).release().ptr();  // never freed
    m.attr("DEFAULT_WEIGHT_PARAM") = nb::borrow(default_weight_param);

    // Not scrubbed: parsing makes nothing the host does not receive (the personal key
    // and the weight come back to it, and their text is the host's own root key).
    m.def("parse_root_key", &parse_root_key, nb::arg("root_key"),
          "Split ``root_key`` at its first '_' into (personal_key, weight_param); a missing or\n"
          "non-numeric weight gives DEFAULT_WEIGHT_PARAM and a debug log line.");
    m.def("get_personal_key", &get_personal_key, nb::arg("root_key"), "The personal key of ``root_key``.");
    m.def("get_weight_param", &get_weight_param, nb::arg("root_key"), "The weight parameter of ``root_key``.");
}
