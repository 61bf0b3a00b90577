// Linux: /proc/cpuinfo, the root file system's UUID and the DMI board name.
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

constexpr const char* cpuinfo_path = "/proc/cpuinfo";
constexpr const char* fstab_path = "/etc/fstab";
constexpr const char* board_name_path = "/sys/class/dmi/id/board_name";

// One pass over /proc/cpuinfo for the lines beginning with `prefix`.
Reading cpuinfo_step(Probe& p, std::string_view prefix, std::string_view empty_line) {
    if (!p.os.file_exists(cpuinfo_path)) return std::nullopt;
    const parse::CpuinfoScan scan = parse::cpuinfo_field(p.os.read_text_file(cpuinfo_path), prefix);
    for (std::size_t i = 0; i < scan.empty_lines; ++i) debug(p, empty_line);
    if (scan.failure) parse::fail_parse(*scan.failure);
    return scan.value;
}

}  // namespace

std::string cpu_serial_linux(Probe& p) {
    const Operation here(p, "_get_cpu_serial_linux");
    if (Reading serial = guarded(p, lines::linux_cpu_serial_failed,
                                 [&] { return cpuinfo_step(p, "serial", lines::linux_cpu_serial_empty); }))
        return *serial;
    if (Reading model = guarded(p, lines::linux_cpu_model_failed,
                                [&] { return cpuinfo_step(p, "model name", lines::linux_cpu_model_empty); }))
        return core::texts::joined(markers::linux_cpu, *model, markers::failed);
    return std::string(markers::linux_unknown);
}

std::string disk_id_linux(Probe& p) {
    const Operation here(p, "_get_disk_id_linux");
    Reading uuid = guarded(p, lines::linux_root_uuid_failed, [&]() -> Reading {
        std::string found(
            text::strip(output_run(p, {"findmnt", "-n", "-o", "UUID", "/"}, ErrorStream::merged, p.command_limit)));
        if (!found.empty()) return found;
        debug(p, lines::linux_root_uuid_empty);
        return std::nullopt;
    });
    if (uuid) return *uuid;

    uuid = guarded(p, lines::linux_fstab_failed, [&]() -> Reading {
        if (!p.os.file_exists(fstab_path)) return std::nullopt;
        return parse::fstab_root_uuid(p.os.read_text_file(fstab_path));
    });
    if (uuid) return *uuid;

    // Only the file system's name: the rest of the line (sizes, use) changes
    // as the disk fills, and the factor must not.
    Reading degraded = guarded(p, lines::linux_disk_info_failed, [&]() -> Reading {
        const std::string report = output_run(p, {"df", "-h", "/"}, ErrorStream::inherited, p.command_limit);
        if (Reading fs = parse::df_filesystem(report))
            return core::texts::joined(markers::linux_disk, *fs, markers::failed);
        return std::string(markers::linux_disk_unknown);
    });
    if (degraded) return *degraded;
    return std::string(markers::linux_disk_unknown);
}

std::string motherboard_serial_linux(Probe& p) {
    const Operation here(p, "_get_motherboard_serial_linux");
    Reading board = guarded(p, lines::linux_board_name_failed, [&]() -> Reading {
        if (!p.os.file_exists(board_name_path)) return std::nullopt;
        std::string name(text::strip(p.os.read_text_file(board_name_path)));
        if (!name.empty()) return core::texts::joined(markers::linux_board, name, markers::failed);
        debug(p, lines::linux_board_name_empty);
        return std::nullopt;
    });
    if (board) return *board;

    board = guarded(p, lines::linux_dmidecode_failed, [&]() -> Reading {
        const std::string report =
            output_run(p, {"dmidecode", "-t", "baseboard"}, ErrorStream::merged, p.command_limit);
        Reading product = parse::dmidecode_product_name(report);
        if (!product) return std::nullopt;
        if (!product->empty()) return core::texts::joined(markers::linux_board, *product, markers::failed);
        debug(p, lines::linux_dmidecode_empty);
        return std::nullopt;
    });
    if (board) return *board;
    return std::string(markers::linux_board_unknown);
}

}  // namespace zeq::device
