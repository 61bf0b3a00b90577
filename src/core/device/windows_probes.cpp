// Windows: wmic, then PowerShell's CIM query, then the BIOS values in the
// registry, then what an ordinary user may read (SID, product ID, machine GUID).
#include <optional>

#include "core/text.hpp"
#include "core/device/parsers.hpp"
#include "core/device/probes.hpp"
#include "core/host_texts.hpp"

namespace zeq::device {
namespace {

namespace lines = core::texts::device_log;
namespace markers = core::texts::markers;

using platform::ErrorStream;
using Reading = std::optional<std::string>;
using std::chrono::seconds;

struct WindowsChain {
    std::vector<std::string> wmic;
    std::string_view wmic_label;
    std::string_view no_match_line;
    std::string_view wmic_failure_line;
    std::string cim_script;
    std::string_view cim_failure_line;
    std::string registry_script;
    std::string_view registry_failure_line;
    std::string (*fallback)(Probe&);
};

constexpr const char* system_serial_script =
    "(Get-ItemProperty -Path 'HKLM:\\HARDWARE\\DESCRIPTION\\System\\BIOS' -Name 'SystemSerialNumber' "
    "-ErrorAction SilentlyContinue).SystemSerialNumber";
constexpr const char* baseboard_serial_script =
    "(Get-ItemProperty -Path 'HKLM:\\HARDWARE\\DESCRIPTION\\System\\BIOS' -Name 'BaseboardSerialNumber' "
    "-ErrorAction SilentlyContinue).BaseboardSerialNumber";

std::string powershell(Probe& p, const std::string& script, seconds timeout) {
    return std::string(
        text::strip(output_run(p, {"powershell", "-NoProfile", "-Command", script}, ErrorStream::merged, timeout)));
}

bool usable(const std::string& output) { return !output.empty() && output != "None"; }

// A guarded step around a command: a missing program and a time-out are
// logged with lines of their own, any other failure as `failure_line` + its text.
template <class Body>
Reading command_step(Probe& p, std::string_view not_found_line, std::string_view timeout_line,
                     std::string_view failure_line, Body&& body) {
    return core::on_failure(std::forward<Body>(body), [&](const std::exception& e) -> Reading {
        const auto* error = dynamic_cast<const core::Error*>(&e);
        const core::ErrorKind kind = error != nullptr ? error->kind() : core::ErrorKind::command_failed;
        if (kind == core::ErrorKind::command_not_found) debug(p, not_found_line);
        else if (kind == core::ErrorKind::command_timeout) debug(p, timeout_line);
        else debug(p, std::string(failure_line) + e.what());
        return std::nullopt;
    });
}

std::string run_chain(Probe& p, const WindowsChain& c) {
    // Method 1: wmic.
    Reading wmic = command_step(p, lines::wmic_not_found, lines::wmic_timeout, c.wmic_failure_line, [&]() -> Reading {
        const std::string out = output_run(p, c.wmic, ErrorStream::merged, seconds(5));
        if (Reading token = parse::label_token(out, c.wmic_label)) return std::string(text::strip(*token));
        debug(p, c.no_match_line);
        return std::nullopt;
    });
    if (wmic) return *wmic;

    // Method 2: PowerShell's CIM query.
    Reading cim =
        command_step(p, lines::powershell_not_found, lines::powershell_timeout, c.cim_failure_line, [&]() -> Reading {
            std::string out = powershell(p, c.cim_script, seconds(10));
            if (usable(out)) return out;
            return std::nullopt;
        });
    if (cim) return *cim;

    // Method 3: the BIOS values in the registry, through PowerShell.
    Reading reg = guarded(p, c.registry_failure_line, [&]() -> Reading {
        const std::string out = powershell(p, c.registry_script, seconds(5));
        if (usable(out)) return core::texts::joined(markers::registry, out);
        return std::nullopt;
    });
    if (reg) return *reg;
    return c.fallback(p);
}

std::string registry_fallback(Probe& p, const char* subkey, const char* name, std::string_view prefix,
                              std::string_view failure_line, std::string_view failure_result) {
    Reading value = guarded(p, failure_line, [&]() -> Reading {
        return core::texts::joined(prefix, p.os.read_machine_registry_value(subkey, name));
    });
    return value ? *value : std::string(failure_result);
}

}  // namespace

std::string cpu_serial_windows(Probe& p) {
    const Operation here(p, "_get_cpu_serial_windows");
    static const WindowsChain chain{
        {"wmic", "cpu", "get", "ProcessorId"},
        "ProcessorId",
        lines::windows_cpu_no_match,
        lines::windows_cpu_failed,
        "Get-CimInstance -ClassName Win32_Processor | Select-Object -ExpandProperty ProcessorId",
        lines::windows_cpu_powershell_failed,
        system_serial_script,
        lines::windows_cpu_registry_failed,
        cpu_serial_windows_fallback};
    return run_chain(p, chain);
}

std::string disk_id_windows(Probe& p) {
    const Operation here(p, "_get_disk_id_windows");
    static const WindowsChain chain{
        {"wmic", "diskdrive", "get", "SerialNumber"},
        "SerialNumber",
        lines::windows_disk_no_match,
        lines::windows_disk_failed,
        "Get-CimInstance -ClassName Win32_DiskDrive | Select-Object -First 1 -ExpandProperty SerialNumber",
        lines::windows_disk_powershell_failed,
        system_serial_script,
        lines::windows_disk_registry_failed,
        disk_id_windows_fallback};
    return run_chain(p, chain);
}

std::string motherboard_serial_windows(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_windows");
    static const WindowsChain chain{
        {"wmic", "baseboard", "get", "SerialNumber"},
        "SerialNumber",
        lines::windows_board_no_match,
        lines::windows_board_failed,
        "Get-CimInstance -ClassName Win32_BaseBoard | Select-Object -ExpandProperty SerialNumber",
        lines::windows_board_powershell_failed,
        baseboard_serial_script,
        lines::windows_board_registry_failed,
        motherboard_serial_windows_fallback};
    return run_chain(p, chain);
}

std::string cpu_serial_windows_fallback(Probe& p) {
    const Operation here(p, "_get_cpu_serial_windows_fallback");
    Reading sid = guarded(p, lines::user_sid_failed, [&]() -> Reading {
        const platform::Completed done = p.os.run({"whoami", "/user"}, ErrorStream::separate, seconds(5));
        if (done.status != 0) return std::nullopt;
        if (Reading line = parse::whoami_sid_line(done.out)) return core::texts::joined(markers::user_sid, *line);
        return std::nullopt;
    });
    return sid ? *sid : std::string(markers::cpu_get_failed);
}

std::string disk_id_windows_fallback(Probe& p) {
    const Operation here(p, "_get_disk_id_windows_fallback");
    return registry_fallback(p, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductId", markers::product_id,
                             lines::product_id_failed, markers::disk_get_failed);
}

std::string motherboard_serial_windows_fallback(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_windows_fallback");
    return registry_fallback(p, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", markers::machine_guid,
                             lines::machine_guid_failed, markers::board_get_failed);
}

}  // namespace zeq::device
