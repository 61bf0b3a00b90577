// zeq.domain.crypto_layer.device_signature: device factors, device signature,
// sandbox fallback, change detection and collection status.
#include <nanobind/nanobind.h>

#include <memory>

#include "core/device/probes.hpp"
#include "core/host_texts.hpp"
#include "core/platform/platform.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::device_signature;

constexpr const char* module_name = host::replaceable::modules::device_signature;

host::Logger* logger = nullptr;
platform::Platform* system_platform = nullptr;

// Runs the host's signal handlers between the slices of a wait for a command,
// with the GIL held for just that moment (CPython runs them on its main thread
// only). A handler's exception stops the wait and leaves the operation.
// A handler may call the layer again, and its wait run the handlers again, one
// level deeper each time: each level counts against the host's recursion
// limit as a call of the handler does, so that endless nesting ends in the
// host's RecursionError rather than at the end of the stack.
class HostSignals final : public platform::Interruption {
public:
    void check() override {
        nb::gil_scoped_acquire gil;
        if (Py_EnterRecursiveCall(core::texts::host_words::calling_python_object) != 0) throw host::HostException();
        const int raised = PyErr_CheckSignals();
        Py_LeaveRecursiveCall();
        if (raised != 0) throw host::HostException();
    }
};

// Copies the environment for each command the probes start, with the GIL held
// for just that moment: a host thread that sets os.environ holds it too, so the
// copy is whole, and the spawn, which runs without the GIL, reads the copy only.
class HostEnvironment final : public platform::EnvironmentSource {
public:
    platform::Environment copy() override {
        nb::gil_scoped_acquire gil;
        return platform::Environment::of_this_process();
    }
};

// A host that replaces these module functions (in its tests, say) is obeyed
// by the operations that call them.
host::SiblingFunction own_get_hardware_info(host::replaceable::hardware_info);
host::SiblingFunction own_get_device_signature(host::replaceable::device_signature);

// Runs a probe without the GIL: it waits for processes and reads files.
template <class Body>
auto unlocked(Body&& body) {
    nb::gil_scoped_release release;
    device::Probe probe{*system_platform, *logger};
    return body(probe);
}

nb::str run_text(std::string (*chain)(device::Probe&)) {
    const std::string value = unlocked([&](device::Probe& p) { return chain(p); });
    return host::to_str(value);
}

device::Factors collect() {
    nb::object current = own_get_hardware_info.current();
    if (own_get_hardware_info.is_native(current)) {
        return unlocked([](device::Probe& p) { return device::get_hardware_info(p); });
    }
    nb::object result = current();
    nb::tuple items = nb::tuple(result);
    if (items.size() != 3) {
        host::raise(PyExc_ValueError, core::texts::joined(texts::not_three_values, std::to_string(items.size())));
    }
    std::string values[3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (!PyUnicode_Check(items[i].ptr())) {
            PyErr_Format(PyExc_TypeError, texts::factors_not_text, Py_TYPE(items[i].ptr())->tp_name);
            throw nb::python_error();
        }
        values[i] = std::string(host::Utf8(items[i].ptr()).view());
    }
    return {values[0], values[1], values[2]};
}

nb::typed<nb::tuple, nb::str, nb::str, nb::str> get_hardware_info() {
    const device::Factors f = unlocked([](device::Probe& p) { return device::get_hardware_info(p); });
    return nb::typed<nb::tuple, nb::str, nb::str, nb::str>(
        nb::make_tuple(host::to_str(f.cpu_serial), host::to_str(f.disk_id), host::to_str(f.motherboard_serial)));
}

nb::str get_device_signature() {
    const device::Factors f = collect();
    const std::string signature = unlocked([&](device::Probe& p) { return device::device_signature(p, f); });
    return host::to_str(signature);
}

nb::str get_sandbox_fallback_fingerprint() { return run_text(device::sandbox_fallback_fingerprint); }

bool is_sandbox_mode() { return device::is_sandbox(collect()); }

bool check_hardware_change(host::Text stored_hash) {
    if (host::is_empty(stored_hash)) return true;
    nb::object current = own_get_device_signature.current();
    nb::object signature = own_get_device_signature.is_native(current) ? nb::object(get_device_signature()) : current();
    if (PyUnicode_CheckExact(signature.ptr())) return !host::secret_equal(signature, stored_hash.ptr);
    const int equal = PyObject_RichCompareBool(signature.ptr(), stored_hash.ptr, Py_EQ);  // a replacement's result
    if (equal < 0) throw nb::python_error();
    return equal == 0;
}

nb::dict get_hardware_collection_status() {
    const device::Factors f = collect();
    nb::dict status;
    const std::pair<const char*, const std::string*> entries[] = {
        {"cpu", &f.cpu_serial}, {"disk", &f.disk_id}, {"motherboard", &f.motherboard_serial}};
    for (const auto& [key, value] : entries) {
        const device::FactorStatus s = device::factor_status(*value);
        nb::dict item;
        item["value"] = host::to_str(s.value);
        item["failed"] = s.failed;
        item["unknown"] = s.unknown;
        status[key] = item;
    }
    return status;
}

}  // namespace

ZEQ_MODULE(device_signature, m) {
    m.doc() = "Device fingerprint: the processor, system-disk and main-board factors read through\n"
              "per-system probe chains that degrade to marked fallback values, their SHA-256\n"
              "signature, the sandbox fallback signature, change detection and the collection status.";
    const host::replaceable::ModuleAttribute& digest = host::replaceable::at_load::digest;
    m.attr(digest.attribute) = nb::module_::import_(digest.module).attr(digest.attribute);
    logger = new host::Logger(m, module_name);
    static HostSignals host_signals;
    static HostEnvironment host_environment;
    host::translate_host_exceptions();
    // stateless; lives as long as the process
    system_platform = platform::make_system_platform(host_signals, host_environment).release();
    host::make_error_type(m, "HardwareCollectionError", texts::collection_error_doc);
    host::make_error_type(m, "HardwareChangeDetected", texts::change_detected_doc);

    m.def(
        "get_cpu_serial", [] { return run_text(device::get_cpu_serial); },
        "The processor factor of this machine: a platform value or a marked fallback value.");
    m.def(
        "get_disk_id", [] { return run_text(device::get_disk_id); },
        "The system-disk factor of this machine: a platform value or a marked fallback value.");
    m.def(
        "get_motherboard_serial", [] { return run_text(device::get_motherboard_serial); },
        "The main-board factor of this machine: a platform value or a marked fallback value.");
    m.def("get_hardware_info", &get_hardware_info,
          "The device factors (cpu_serial, disk_id, motherboard_serial), collected afresh, unhashed.");
    m.def("get_device_signature", &get_device_signature,
          "SHA-256 of the three factors joined by '_'; the sandbox fallback signature when a\n"
          "factor is a Windows total-failure marker (ends with '_GET_FAILED').");
    m.def("get_sandbox_fallback_fingerprint", &get_sandbox_fallback_fingerprint,
          "The signature built from values an ordinary user can read (user SID, product ID and\n"
          "machine GUID on Windows; platform UUID on macOS; machine-id on Linux; else the host name).");
    m.def("is_sandbox_mode", &is_sandbox_mode,
          "True when the joined factors contain a sandbox marker (restricted-rights values,\n"
          "unknown markers).");
    m.def("check_hardware_change", &check_hardware_change, nb::arg("stored_hash"),
          "True when ``stored_hash`` is empty or differs from the current device signature.");
    m.def("get_hardware_collection_status", &get_hardware_collection_status,
          nb::sig("def get_hardware_collection_status() -> dict[str, dict[str, str | bool]]"),
          "For 'cpu', 'disk' and 'motherboard': the factor's 'value' and whether it 'failed'\n"
          "(ends with '_FAIL') or is 'unknown' (ends with '_UNKNOWN_FAIL').");

    m.def(
        "_get_cpu_serial_windows", [] { return run_text(device::cpu_serial_windows); },
        "Windows processor chain: wmic, PowerShell CIM, BIOS registry values, then the user-SID fallback.");
    m.def(
        "_get_disk_id_windows", [] { return run_text(device::disk_id_windows); },
        "Windows disk chain: wmic, PowerShell CIM, BIOS registry values, then the product-ID fallback.");
    m.def(
        "_get_motherboard_serial_windows", [] { return run_text(device::motherboard_serial_windows); },
        "Windows board chain: wmic, PowerShell CIM, BIOS registry values, then the machine-GUID fallback.");
    m.def(
        "_get_cpu_serial_windows_fallback", [] { return run_text(device::cpu_serial_windows_fallback); },
        "'USERSID_' + the SID line of 'whoami /user', or 'CPU_GET_FAILED'.");
    m.def(
        "_get_disk_id_windows_fallback", [] { return run_text(device::disk_id_windows_fallback); },
        "'PRODUCTID_' + the Windows product ID, or 'DISK_GET_FAILED'.");
    m.def(
        "_get_motherboard_serial_windows_fallback",
        [] { return run_text(device::motherboard_serial_windows_fallback); },
        "'MACHINEGUID_' + the machine GUID, or 'BOARD_GET_FAILED'.");
    m.def(
        "_get_cpu_serial_darwin", [] { return run_text(device::cpu_serial_darwin); },
        "macOS processor chain: platform serial from ioreg, then the system version.");
    m.def(
        "_get_disk_id_darwin", [] { return run_text(device::disk_id_darwin); },
        "macOS disk chain: boot volume UUID, then the start of the disk list.");
    m.def(
        "_get_motherboard_serial_darwin", [] { return run_text(device::motherboard_serial_darwin); },
        "macOS board chain: platform serial from ioreg, then the model identifier.");
    m.def(
        "_get_cpu_serial_linux", [] { return run_text(device::cpu_serial_linux); },
        "Linux processor chain: the 'serial' of /proc/cpuinfo, then its 'model name'.");
    m.def(
        "_get_disk_id_linux", [] { return run_text(device::disk_id_linux); },
        "Linux disk chain: root UUID from findmnt, then /etc/fstab, then the file system from df.");
    m.def(
        "_get_motherboard_serial_linux", [] { return run_text(device::motherboard_serial_linux); },
        "Linux board chain: DMI board name, then the dmidecode product name.");
}
