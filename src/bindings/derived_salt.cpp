// zeq.domain.crypto_layer.derived_salt: the ten salts of a personal key and weight.
#include <nanobind/nanobind.h>

#include "core/decimal.hpp"
#include "core/host_texts.hpp"
#include "core/salts.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

PyObject* DerivedSaltError = nullptr;
PyObject* salt_keys[salts::count] = {};  // interned "salt1" .. "salt10"

nb::dict to_dict(const salts::SaltSet& set) {
    nb::dict out;
    for (int i = 0; i < salts::count; ++i) {
        nb::object value = nb::steal(PyLong_FromLong(set[i]));
        if (PyDict_SetItem(out.ptr(), salt_keys[i], value.ptr()) != 0) throw nb::python_error();
    }
    return out;
}

salts::SaltSet extract(host::Text personal_key, const host::Int& weight_param) {
    const SecretBuffer weight = host::decimal_text(weight_param);
    return host::call_core(DerivedSaltError, [&] { return salts::extract(host::Utf8(personal_key), weight); });
}

nb::typed<nb::dict, nb::str, nb::int_> extract_derived_salts(host::Text personal_key, host::Int weight_param) {
    return nb::typed<nb::dict, nb::str, nb::int_>(to_dict(extract(personal_key, weight_param)));
}

// A salt number get_salt accepts: 1 to 5.
std::int64_t checked_number(const host::Int& salt_number) {
    const std::int64_t number = host::clamped(salt_number);
    if (number < 1 || number > 5) host::raise(DerivedSaltError, core::texts::derived_salt::number_out_of_range);
    return number;
}

nb::int_ get_salt(host::Salts salts, host::Int salt_number) {
    const std::int64_t number = checked_number(salt_number);
    const nb::object value = host::dict_item(salts.ptr, salt_keys[number - 1]);
    if (!value.is_valid()) host::raise(DerivedSaltError, salts::missing_salt_message(decimal::from_int(number)));
    return nb::borrow<nb::int_>(host::truncate_number(value));
}

bool validate_salts(host::Salts salts) {
    // Every value is held before any is read: reading one runs host code.
    nb::object values[salts::count];
    for (int i = 0; i < salts::count; ++i) {
        values[i] = host::dict_item(salts.ptr, salt_keys[i]);
        if (!values[i].is_valid()) return false;
    }
    for (const nb::object& value : values) {
        const std::optional<std::int64_t> v = host::salt_value(value);
        if (!v || *v < 1 || *v > 9) return false;
    }
    return true;
}

// get_salt of the whole set, read from the C++ set itself: the other salts never
// enter a host dictionary.
nb::int_ extract_single_salt(host::Text personal_key, host::Int weight_param, host::Int salt_number) {
    const salts::SaltSet all = extract(personal_key, weight_param);
    return nb::steal<nb::int_>(PyLong_FromLong(all[checked_number(salt_number) - 1]));
}

}  // namespace

ZEQ_MODULE(derived_salt, m) {
    m.doc() = "Derived salts: ten digits 1-9 (salt1 .. salt10) from the personal key and the weight parameter.";
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    DerivedSaltError = host::make_error_type(m, "DerivedSaltError", core::texts::derived_salt::error_doc);
    for (int i = 0; i < salts::count; ++i) salt_keys[i] = host::intern_name(salts::key_names[i]);

    m.def("extract_derived_salts", host::scrubbed<&extract_derived_salts>, nb::arg("personal_key"),
          nb::arg("weight_param"),
          "The salt set {salt1: .., salt10: ..} of a personal key of at least 8 characters and a\n"
          "positive weight parameter.");
    m.def("get_salt", &get_salt, nb::arg("salts"), nb::arg("salt_number"),
          "The value of salt ``salt_number`` (1 to 5) in ``salts``.");
    m.def("validate_salts", &validate_salts, nb::arg("salts"),
          "True when ``salts`` holds salt1 .. salt10, each an integer from 1 to 9.");
    m.def("extract_single_salt", host::scrubbed<&extract_single_salt>, nb::arg("personal_key"), nb::arg("weight_param"),
          nb::arg("salt_number"), "One salt (1 to 5) of the salt set of ``personal_key`` and ``weight_param``.");
}
