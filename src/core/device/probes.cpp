#include "core/device/probes.hpp"

#include "core/host_texts.hpp"

namespace zeq::device {

namespace failure = core::texts::device_failure;
namespace markers = core::texts::markers;

void debug(Probe& p, std::string_view message) { p.log.log(core::LogLevel::debug, p.operation, message); }
void warning(Probe& p, std::string_view message) { p.log.log(core::LogLevel::warning, p.operation, message); }

std::string output_run(Probe& p, const std::vector<std::string>& argv, platform::ErrorStream errors,
                       std::chrono::milliseconds timeout) {
    platform::Completed done = p.os.run(argv, errors, timeout);
    if (done.status != 0)
        core::fail(core::ErrorKind::command_failed, platform::non_zero_status_text(argv, done.status));
    return std::move(done.out);
}

namespace {

using Chain = std::string (*)(Probe&);

std::string dispatch(Probe& p, std::string_view operation, Chain windows, Chain darwin, Chain linux_chain,
                     std::string_view unsupported_suffix) {
    const Operation here(p, operation);
    const std::string name = p.os.system_name();
    if (name == "Windows") return windows(p);
    if (name == "Darwin") return darwin(p);
    if (name == "Linux") return linux_chain(p);
    warning(p, core::texts::joined(core::texts::device_log::unsupported_system, name));
    return core::texts::joined(name, unsupported_suffix);
}

}  // namespace

std::string get_cpu_serial(Probe& p) {
    return dispatch(p, "get_cpu_serial", cpu_serial_windows, cpu_serial_darwin, cpu_serial_linux,
                    markers::cpu_unknown_suffix);
}

std::string get_disk_id(Probe& p) {
    return dispatch(p, "get_disk_id", disk_id_windows, disk_id_darwin, disk_id_linux, markers::disk_unknown_suffix);
}

std::string get_motherboard_serial(Probe& p) {
    return dispatch(p, "get_motherboard_serial", motherboard_serial_windows, motherboard_serial_darwin,
                    motherboard_serial_linux, markers::board_unknown_suffix);
}

Factors get_hardware_info(Probe& p) {
    Factors f;
    f.cpu_serial = get_cpu_serial(p);
    f.disk_id = get_disk_id(p);
    f.motherboard_serial = get_motherboard_serial(p);
    return f;
}

}  // namespace zeq::device
