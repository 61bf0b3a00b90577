// zeq.domain.crypto_layer.db_account_pass: the password of the database account zeq_user_1.
#include <nanobind/nanobind.h>

#include <optional>

#include "core/db_password.hpp"
#include "core/host_texts.hpp"
#include "core/salts.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::db_account_pass;

PyObject* PasswordGenerationError = nullptr;
PyObject* salt_keys[3] = {};  // interned "salt1", "salt2", "salt3"

// The value under salt key `index`, held (reading a value runs host code that
// may rewrite the dictionary); invalid when the key is absent.
nb::object lookup(const host::Salts& salts, int index) { return host::dict_item(salts.ptr, salt_keys[index]); }

SecretBuffer strict_password(const host::Text& cpu_serial, const host::Text& disk_id, const host::Salts& salts) {
    if (host::is_empty(cpu_serial) || host::is_empty(disk_id)) {
        host::raise(PasswordGenerationError, texts::empty_factor);
    }
    // Every value is held before any is read.
    nb::object values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = lookup(salts, i);
        if (!values[i].is_valid()) host::raise(PasswordGenerationError, texts::incomplete_salts);
    }
    // None passes the reading and is refused by the range check.
    std::optional<std::int64_t> read[3];
    for (int i = 0; i < 3; ++i) read[i] = host::salt_value(values[i]);
    for (const auto& salt : read) {
        if (!salt) {
            PyErr_SetString(PyExc_TypeError, core::texts::host_words::none_compared);
            throw nb::python_error();
        }
        if (*salt < 1 || *salt > 9) host::raise(PasswordGenerationError, texts::salt_out_of_range);
    }
    const host::Utf8 cpu(cpu_serial), disk(disk_id);
    return host::call_core(PasswordGenerationError, [&] {
        return db_password::strict(cpu, disk, {*read[0], *read[1], *read[2]});
    });
}

nb::str generate_strict(const host::Text& cpu_serial, const host::Text& disk_id, const host::Salts& salts) {
    return host::to_str(strict_password(cpu_serial, disk_id, salts));
}

nb::str generate_with_fallback(const host::Text& cpu_serial, const host::Text& disk_id, const host::Salts& salts) {
    const host::Utf8 cpu(cpu_serial), disk(disk_id);
    if (!db_password::carries_fallback_marker(cpu, disk)) return generate_strict(cpu_serial, disk_id, salts);
    derivation::Repeat repeats[2] = {1, 1};  // salt1 and salt2 repeat texts
    std::int64_t salt3 = 1;
    for (int i = 0; i < 3; ++i) {
        const nb::object value = lookup(salts, i);
        if (!value.is_valid()) continue;
        const nb::object number = host::truncate_number(value);  // None included: the host's TypeError here
        if (i < 2) repeats[i] = host::repeat_value(number);
        else salt3 = host::clamped(number);
    }
    const SecretBuffer password = host::call_core(PasswordGenerationError, [&] {
        return db_password::fallback(cpu, disk, {repeats[0], repeats[1], salt3});
    });
    return host::to_str(password);
}

bool verify(const host::Text& password, const host::Text& cpu_serial, const host::Text& disk_id,
            const host::Salts& salts) {
    try {
        // The true password stays in a C++ buffer, wiped after the comparison.
        return host::secret_equal(strict_password(cpu_serial, disk_id, salts), password.ptr);
    } catch (nb::python_error& e) {
        if (!host::is_ordinary(e)) throw;
        return false;
    }
}

}  // namespace

ZEQ_MODULE(db_account_pass, m) {
    m.doc() = "The password of the database account zeq_user_1, bound to the machine's CPU serial and disk identifier.";
    nb::module_::import_("zeq.domain.crypto_layer.digest_base");
    PasswordGenerationError = host::make_error_type(m, "PasswordGenerationError", texts::error_doc);
    for (int i = 0; i < 3; ++i) salt_keys[i] = host::intern_name(salts::key_names[i]);

    m.def("generate_zeq_user1_password", host::scrubbed<&generate_strict>, nb::arg("cpu_serial"), nb::arg("disk_id"),
          nb::arg("salts"),
          "The password of zeq_user_1 from the CPU serial, the disk identifier and salt1..salt3 (each 1-9).");
    m.def("generate_zeq_user1_password_with_fallback", host::scrubbed<&generate_with_fallback>, nb::arg("cpu_serial"),
          nb::arg("disk_id"), nb::arg("salts"),
          "As generate_zeq_user1_password, but device factors carrying a fallback marker ('_FAIL') are\n"
          "hashed as they are, without checks.");
    m.def("verify_zeq_user1_password", host::scrubbed<&verify>, nb::arg("password"), nb::arg("cpu_serial"),
          nb::arg("disk_id"), nb::arg("salts"),
          "True when ``password`` is the strict password of these factors; never raises.");
}
