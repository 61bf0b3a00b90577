// The device signature over the three factors, the sandbox fallback signature
// built from values an ordinary user can read, and the collection status.
#include <optional>

#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/device/parsers.hpp"
#include "core/device/probes.hpp"
#include "core/host_texts.hpp"

namespace zeq::device {
namespace {

namespace markers = core::texts::markers;

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string thrice(std::string_view prefix, std::string_view value) {
    std::string out(prefix);
    out += value;
    out += '_';
    out += value;
    out += '_';
    out += value;
    return out;
}

}  // namespace

std::string signature_input(const Factors& f) { return f.cpu_serial + "_" + f.disk_id + "_" + f.motherboard_serial; }

std::string device_signature(Probe& p, const Factors& f) {
    const Operation here(p, "get_device_signature");
    if (ends_with(f.cpu_serial, markers::total_failure) || ends_with(f.disk_id, markers::total_failure) ||
        ends_with(f.motherboard_serial, markers::total_failure)) {
        namespace lines = core::texts::device_log;
        warning(p, core::texts::joined(lines::partial_failure, f.cpu_serial, lines::partial_failure_disk, f.disk_id,
                                       lines::partial_failure_board, f.motherboard_serial));
        return sandbox_fallback_fingerprint(p);
    }
    return sha256::hash_text(signature_input(f));
}

std::string sandbox_fallback_fingerprint(Probe& p) {
    const std::string name = p.os.system_name();
    if (name == "Windows") {
        const std::string sid = cpu_serial_windows_fallback(p);
        const std::string pid = disk_id_windows_fallback(p);
        const std::string guid = motherboard_serial_windows_fallback(p);
        return sha256::hash_text(sid + "_" + pid + "_" + guid);
    }
    // The sandbox branches fail silently: the host name is what is left.
    auto silently = [](auto&& body) -> std::optional<std::string> {
        return core::on_failure(body, [](const std::exception&) -> std::optional<std::string> { return std::nullopt; });
    };
    if (name == "Darwin") {
        std::optional<std::string> input = silently([&]() -> std::optional<std::string> {
            const platform::Completed done = p.os.run({"ioreg", "-rd1", "-c", "IOPlatformExpertDevice"},
                                                      platform::ErrorStream::separate, std::chrono::seconds(5));
            if (auto uuid = parse::quoted_assignment(done.out, "IOPlatformUUID"))
                return thrice(markers::sandbox_mac, *uuid);
            return std::nullopt;
        });
        return sha256::hash_text(input ? *input : core::texts::joined(markers::sandbox_mac_fallback, p.os.host_name()));
    }
    if (name == "Linux") {
        std::optional<std::string> input = silently([&]() -> std::optional<std::string> {
            if (!p.os.file_exists("/etc/machine-id")) return std::nullopt;
            return thrice(markers::sandbox_linux, text::strip(p.os.read_text_file("/etc/machine-id")));
        });
        return sha256::hash_text(input ? *input
                                       : core::texts::joined(markers::sandbox_linux_fallback, p.os.host_name()));
    }
    return sha256::hash_text(core::texts::joined(markers::sandbox_unknown, p.os.host_name()));
}

bool is_sandbox(const Factors& f) {
    const std::string combined = signature_input(f);
    for (std::string_view marker : markers::sandbox) {
        if (combined.find(marker) != std::string::npos) return true;
    }
    return false;
}

FactorStatus factor_status(std::string value) {
    const bool failed = ends_with(value, markers::failed);
    const bool unknown = ends_with(value, markers::unknown);
    return {std::move(value), failed, unknown};
}

}  // namespace zeq::device
