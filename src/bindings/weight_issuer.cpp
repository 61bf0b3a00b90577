// zeq.domain.crypto_layer.weight_issuer: issuing and reading weight parameters.
#include <nanobind/nanobind.h>

#include <nanobind/stl/string.h>

#include "core/host_texts.hpp"
#include "core/weight.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;
namespace replaceable = host::replaceable;

namespace {

PyObject* WeightGenerationError = nullptr;
PyObject* time_module = nullptr;
PyObject* random_module = nullptr;

// Decimal text of the current wall-clock time in milliseconds, truncated.
SecretBuffer clock_ms() {
    static PyObject* const clock = host::intern_name(replaceable::clock.attribute);
    nb::object seconds = nb::borrow(time_module).attr(nb::handle(clock))();
    nb::object ms = seconds * nb::int_(1000);
    return host::decimal_text(host::truncate_number(ms));
}

// A number from 100 to 999 of the host's general-purpose generator, as text.
SecretBuffer random_part() {
    static PyObject* const random_number = host::intern_name(replaceable::random_number.attribute);
    nb::object drawn = nb::borrow(random_module).attr(nb::handle(random_number))(100, 999);
    const host::SecretStr text{nb::str(drawn)};
    return SecretBuffer(host::Utf8(text.ptr()).view());
}

// Every text of the new weight is wiped once the int is made: it is a secret.
nb::object issue(const SecretBuffer* timestamp_ms) {
    SecretBuffer ts, rnd;
    host::wrap_host_failures(WeightGenerationError, core::texts::weight_issuer::issue_failed, [&] {
        ts = timestamp_ms != nullptr ? SecretBuffer(timestamp_ms->view()) : clock_ms();
        rnd = random_part();
    });
    const SecretBuffer weight = host::call_core(WeightGenerationError, [&] { return weight::compose(ts, rnd); });
    return host::int_from_decimal(weight);
}

nb::int_ generate_weight_parameter() { return nb::borrow<nb::int_>(issue(nullptr)); }

nb::int_ generate_weight_parameter_with_timestamp(host::OptInt timestamp_ms) {
    if (timestamp_ms.is_none()) return nb::borrow<nb::int_>(issue(nullptr));
    const SecretBuffer timestamp = host::decimal_text(timestamp_ms.value);
    return nb::borrow<nb::int_>(issue(&timestamp));
}

nb::typed<nb::dict, nb::str, nb::int_> parse_weight_parameter(host::Int weight_param) {
    const SecretBuffer text = host::decimal_text(weight_param);
    const weight::Parsed parsed = host::call_core(WeightGenerationError, [&] { return weight::parse(text); });
    nb::dict out;
    out["timestamp_ms"] = host::int_from_decimal(parsed.timestamp_ms);
    out["random_num"] = host::int_from_decimal(parsed.random_num);
    out["total_length"] = parsed.total_length;
    return nb::typed<nb::dict, nb::str, nb::int_>(out);
}

int get_weight_digit(host::Int weight_param, host::Int position) {
    const SecretBuffer text = host::decimal_text(weight_param);
    const SecretBuffer position_text = host::decimal_text(position);
    return host::call_core(WeightGenerationError,
                           [&] { return weight::digit_from_left(text, host::clamped(position), position_text); });
}

int get_weight_digit_from_end(host::Int weight_param, host::Int position) {
    const SecretBuffer text = host::decimal_text(weight_param);
    const SecretBuffer position_text = host::decimal_text(position);
    return host::call_core(WeightGenerationError,
                           [&] { return weight::digit_from_right(text, host::clamped(position), position_text); });
}

bool validate_weight_parameter(host::Int weight_param) {
    return weight::is_plausible(host::decimal_text(weight_param));
}

}  // namespace

ZEQ_MODULE(weight_issuer, m) {
    m.doc() = "Weight parameters: the millisecond clock followed by three random digits.";
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    WeightGenerationError = host::make_error_type(m, "WeightGenerationError", core::texts::weight_issuer::error_doc);
    time_module = nb::module_::import_(replaceable::clock.module).release().ptr();
    random_module = nb::module_::import_(replaceable::random_number.module).release().ptr();

    m.def("generate_weight_parameter", host::scrubbed<&generate_weight_parameter>,
          "A new weight parameter: the current Unix time in milliseconds followed by a random number 100-999.");
    m.def("generate_weight_parameter_with_timestamp", host::scrubbed<&generate_weight_parameter_with_timestamp>,
          nb::arg("timestamp_ms") = nb::none(),
          "A weight parameter from ``timestamp_ms`` (the current time when None) and a random number 100-999.");
    m.def("parse_weight_parameter", host::scrubbed<&parse_weight_parameter>, nb::arg("weight_param"),
          "{'timestamp_ms': .., 'random_num': .., 'total_length': ..} of a weight parameter.");
    m.def("get_weight_digit", host::scrubbed<&get_weight_digit>, nb::arg("weight_param"), nb::arg("position"),
          "The digit at ``position`` (1-based, from the left) of the weight parameter.");
    m.def("get_weight_digit_from_end", host::scrubbed<&get_weight_digit_from_end>, nb::arg("weight_param"),
          nb::arg("position"), "The digit at ``position`` (1-based, from the right) of the weight parameter.");
    m.def("validate_weight_parameter", host::scrubbed<&validate_weight_parameter>, nb::arg("weight_param"),
          "True for a positive weight parameter of 16 to 20 digits.");
}
