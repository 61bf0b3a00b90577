// Windows: wmic, then PowerShell's CIM query, then the BIOS values in the
// registry, then what an ordinary user may read (SID, product ID, machine GUID).
#include <optional>

#include "core/text.hpp"
#include "core/device/parsers.hpp"
#include "core/device/probes.hpp"

namespace zeq::device {
namespace {

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
    Reading wmic = command_step(p, "wmic command not found, skipping", "wmic command timeout, skipping",
                                c.wmic_failure_line, [&]() -> Reading {
        const std::string out = output_run(p, c.wmic, ErrorStream::merged, seconds(5));
        if (Reading token = parse::label_token(out, c.wmic_label)) return std::string(text::strip(*token));
        debug(p, c.no_match_line);
        return std::nullopt;
    });
    if (wmic) return *wmic;

    // Method 2: PowerShell's CIM query.
    Reading cim = command_step(p, "PowerShell not found, skipping", "PowerShell command timeout, skipping",
                               c.cim_failure_line, [&]() -> Reading {
        std::string out = powershell(p, c.cim_script, seconds(10));
        if (usable(out)) return out;
        return std::nullopt;
    });
    if (cim) return *cim;

    // Method 3: the BIOS values in the registry, through PowerShell.
    Reading reg = guarded(p, c.registry_failure_line, [&]() -> Reading {
        const std::string out = powershell(p, c.registry_script, seconds(5));
        if (usable(out)) return "REG_" + out;
        return std::nullopt;
    });
    if (reg) return *reg;
    return c.fallback(p);
}

std::string registry_fallback(Probe& p, const char* subkey, const char* name, std::string_view prefix,
                              std::string_view failure_line, const char* failure_result) {
    Reading value = guarded(p, failure_line, [&]() -> Reading {
        return std::string(prefix) + p.os.read_machine_registry_value(subkey, name);
    });
    return value ? *value : std::string(failure_result);
}

}  // namespace

std::string cpu_serial_windows(Probe& p) {
    const Operation here(p, "_get_cpu_serial_windows");
    static const WindowsChain chain{
        {"wmic", "cpu", "get", "ProcessorId"},
        "ProcessorId",
        "Windows CPU serial regex match failed",
        "Failed to get Windows CPU serial: ",
        "Get-CimInstance -ClassName Win32_Processor | Select-Object -ExpandProperty ProcessorId",
        "Failed to get CPU serial via PowerShell: ",
        system_serial_script,
        "Failed to read CPU serial from registry: ",
        cpu_serial_windows_fallback};
    return run_chain(p, chain);
}

std::string disk_id_windows(Probe& p) {
    const Operation here(p, "_get_disk_id_windows");
    static const WindowsChain chain{
        {"wmic", "diskdrive", "get", "SerialNumber"},
        "SerialNumber",
        "Windows disk ID regex match failed",
        "Failed to get Windows disk ID: ",
        "Get-CimInstance -ClassName Win32_DiskDrive | Select-Object -First 1 -ExpandProperty SerialNumber",
        "Failed to get disk ID via PowerShell: ",
        system_serial_script,
        "Failed to read disk ID from registry: ",
        disk_id_windows_fallback};
    return run_chain(p, chain);
}

std::string motherboard_serial_windows(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_windows");
    static const WindowsChain chain{
        {"wmic", "baseboard", "get", "SerialNumber"},
        "SerialNumber",
        "Windows motherboard serial regex match failed",
        "Failed to get Windows motherboard serial: ",
        "Get-CimInstance -ClassName Win32_BaseBoard | Select-Object -ExpandProperty SerialNumber",
        "Failed to get motherboard serial via PowerShell: ",
        baseboard_serial_script,
        "Failed to read motherboard serial from registry: ",
        motherboard_serial_windows_fallback};
    return run_chain(p, chain);
}

std::string cpu_serial_windows_fallback(Probe& p) {
    const Operation here(p, "_get_cpu_serial_windows_fallback");
    Reading sid = guarded(p, "User SID fallback failed: ", [&]() -> Reading {
        const platform::Completed done = p.os.run({"whoami", "/user"}, ErrorStream::separate, seconds(5));
        if (done.status != 0) return std::nullopt;
        if (Reading line = parse::whoami_sid_line(done.out)) return "USERSID_" + *line;
        return std::nullopt;
    });
    return sid ? *sid : std::string("CPU_GET_FAILED");
}

std::string disk_id_windows_fallback(Probe& p) {
    const Operation here(p, "_get_disk_id_windows_fallback");
    return registry_fallback(p, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductId", "PRODUCTID_",
                             "ProductId fallback failed: ", "DISK_GET_FAILED");
}

std::string motherboard_serial_windows_fallback(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_windows_fallback");
    return registry_fallback(p, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "MACHINEGUID_",
                             "MachineGuid fallback failed: ", "BOARD_GET_FAILED");
}

}  // namespace zeq::device
