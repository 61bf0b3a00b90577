// macOS: the I/O registry's platform serial, the boot volume UUID and the model.
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

// Step 1 of the processor and the board probe: both read the same key.
Reading platform_serial_step(Probe& p, std::string_view failure_line, std::string_view empty_line) {
    return guarded(p, failure_line, [&]() -> Reading {
        const std::string output =
            output_run(p, {"ioreg", "-a", "-c", "IOPlatformExpertDevice"}, ErrorStream::merged, p.command_limit);
        return guarded(p, lines::mac_ioreg_parse_failed, [&]() -> Reading {
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
    if (Reading serial = platform_serial_step(p, lines::mac_cpu_failed, lines::mac_cpu_empty)) return *serial;
    Reading version = guarded(p, lines::mac_version_failed, [&]() -> Reading {
        const std::string out = output_run(p, {"sw_vers", "-productVersion"}, ErrorStream::inherited, p.command_limit);
        return core::texts::joined(markers::mac, text::strip(out), markers::failed);
    });
    if (version) return *version;
    return std::string(markers::mac_unknown);
}

std::string disk_id_darwin(Probe& p) {
    const Operation here(p, "_get_disk_id_darwin");
    Reading uuid = guarded(p, lines::mac_disk_uuid_failed, [&]() -> Reading {
        const std::string out = output_run(p, {"diskutil", "info", "/"}, ErrorStream::merged, p.command_limit);
        if (Reading found = parse::label_token(out, "Volume UUID:")) return found;
        debug(p, lines::mac_disk_uuid_no_match);
        return std::nullopt;
    });
    if (uuid) return *uuid;
    Reading listing = guarded(p, lines::mac_disk_list_failed, [&]() -> Reading {
        const std::string out = output_run(p, {"diskutil", "list"}, ErrorStream::inherited, p.command_limit);
        return core::texts::joined(markers::mac_disk, text::first_n(out, 100), markers::failed);
    });
    if (listing) return *listing;
    return std::string(markers::mac_disk_unknown);
}

std::string motherboard_serial_darwin(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_darwin");
    if (Reading serial = platform_serial_step(p, lines::mac_board_failed, lines::mac_board_empty)) return *serial;
    Reading model = guarded(p, lines::mac_model_failed, [&]() -> Reading {
        const std::string out = output_run(p, {"sysctl", "hw.model"}, ErrorStream::inherited, p.command_limit);
        std::string found = parse::sysctl_model(out);
        if (!found.empty()) return core::texts::joined(markers::mac_board, found, markers::failed);
        debug(p, lines::mac_model_empty);
        return std::nullopt;
    });
    if (model) return *model;
    return std::string(markers::mac_board_unknown);
}

}  // namespace zeq::device
