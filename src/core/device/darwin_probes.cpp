// macOS: the I/O registry's platform serial, the boot volume UUID and the model.
#include <optional>

#include "core/text.hpp"
#include "core/device/parsers.hpp"
#include "core/device/probes.hpp"

namespace zeq::device {
namespace {

using platform::ErrorStream;
using Reading = std::optional<std::string>;

// Step 1 of the processor and the board probe: both read the same key.
Reading platform_serial_step(Probe& p, std::string_view failure_line, std::string_view empty_line) {
    return guarded(p, failure_line, [&]() -> Reading {
        const std::string output =
            output_run(p, {"ioreg", "-a", "-c", "IOPlatformExpertDevice"}, ErrorStream::merged, p.command_limit);
        return guarded(p, "Failed to parse ioreg output: ", [&]() -> Reading {
            std::string serial = parse::plist_platform_serial(output);
            if (!serial.empty()) return serial;
            debug(p, empty_line);
            return std::nullopt;
        });
    });
}

}  // namespace

std::string cpu_serial_darwin(Probe& p) {
    const Operation here(p, "_get_cpu_serial_darwin");
    if (Reading serial =
            platform_serial_step(p, "Failed to get macOS CPU serial: ", "macOS CPU serial from plist is empty"))
        return *serial;
    Reading version = guarded(p, "Failed to get macOS system version: ", [&]() -> Reading {
        const std::string out = output_run(p, {"sw_vers", "-productVersion"}, ErrorStream::inherited, p.command_limit);
        return "MAC_" + std::string(text::strip(out)) + "_FAIL";
    });
    if (version) return *version;
    return "MAC_UNKNOWN_FAIL";
}

std::string disk_id_darwin(Probe& p) {
    const Operation here(p, "_get_disk_id_darwin");
    Reading uuid = guarded(p, "Failed to get macOS boot disk UUID: ", [&]() -> Reading {
        const std::string out = output_run(p, {"diskutil", "info", "/"}, ErrorStream::merged, p.command_limit);
        if (Reading found = parse::label_token(out, "Volume UUID:")) return found;
        debug(p, "macOS boot disk UUID regex match failed");
        return std::nullopt;
    });
    if (uuid) return *uuid;
    Reading listing = guarded(p, "Failed to get macOS disk list: ", [&]() -> Reading {
        const std::string out = output_run(p, {"diskutil", "list"}, ErrorStream::inherited, p.command_limit);
        return "MAC_DISK_" + text::first_n(out, 100) + "_FAIL";
    });
    if (listing) return *listing;
    return "MAC_DISK_UNKNOWN_FAIL";
}

std::string motherboard_serial_darwin(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_darwin");
    if (Reading serial = platform_serial_step(p, "Failed to get macOS motherboard serial: ",
                                              "macOS motherboard serial from plist is empty"))
        return *serial;
    Reading model = guarded(p, "Failed to get macOS system model: ", [&]() -> Reading {
        const std::string out = output_run(p, {"sysctl", "hw.model"}, ErrorStream::inherited, p.command_limit);
        std::string found = parse::sysctl_model(out);
        if (!found.empty()) return "MAC_BOARD_" + found + "_FAIL";
        debug(p, "macOS system model is empty");
        return std::nullopt;
    });
    if (model) return *model;
    return "MAC_BOARD_UNKNOWN_FAIL";
}

}  // namespace zeq::device
