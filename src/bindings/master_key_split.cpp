// zeq.domain.crypto_layer.master_key_split: root key -> (personal key, weight parameter).
#include <nanobind/nanobind.h>

#include "core/root_key.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

host::Logger* logger = nullptr;

root_key::Parts parse(host::Text root_key) {
    return host::call_core(PyExc_ValueError, [&] { return root_key::parse(host::Utf8(root_key), *logger); });
}

nb::typed<nb::tuple, nb::str, nb::int_> parse_root_key(host::Text root_key) {
    const root_key::Parts parts = parse(root_key);
    return nb::typed<nb::tuple, nb::str, nb::int_>(
        nb::make_tuple(host::to_str(parts.personal_key), host::int_from_decimal(parts.weight_param)));
}

nb::str get_personal_key(host::Text root_key) { return host::to_str(parse(root_key).personal_key); }

nb::int_ get_weight_param(host::Text root_key) {
    return nb::borrow<nb::int_>(host::int_from_decimal(parse(root_key).weight_param));
}

}  // namespace

NB_MODULE(master_key_split, m) {
    host::install_function_signatures();
    m.doc() = "Root key parsing: a root key is a personal key, optionally followed by '_' and the weight digits.";
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    logger = new host::Logger(m, "zeq.domain.crypto_layer.master_key_split");
    m.attr("DEFAULT_WEIGHT_PARAM") = 1000;

    m.def("parse_root_key", host::scrubbed<&parse_root_key>, nb::arg("root_key"),
          "Split ``root_key`` at its first '_' into (personal_key, weight_param); a missing or\n"
          "non-numeric weight gives DEFAULT_WEIGHT_PARAM and a debug log line.");
    m.def("get_personal_key", host::scrubbed<&get_personal_key>, nb::arg("root_key"),
          "The personal key of ``root_key``.");
    m.def("get_weight_param", host::scrubbed<&get_weight_param>, nb::arg("root_key"),
          "The weight parameter of ``root_key``.");
}
