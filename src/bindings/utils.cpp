// zeq.domain.crypto_layer.utils: the integer coercion shared by the modules.
#include <nanobind/nanobind.h>

#include "core/decimal.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

nb::int_ safe_int(host::Text value) {
    return nb::borrow<nb::int_>(host::call_core(
        PyExc_ValueError, [&] { return host::int_from_decimal(decimal::safe_int(host::Utf8(value))); }));
}

}  // namespace

ZEQ_MODULE(utils, m) {
    m.doc() = "Helpers shared by the crypto layer's modules.";
    m.def("safe_int", &safe_int, nb::arg("value"),
          "The integer written in ``value``: an optional sign and ASCII digits, nothing else.\n"
          "Any other text raises ValueError.");
}
