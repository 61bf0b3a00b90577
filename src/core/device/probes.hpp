// The device factors of this machine: per-system probe chains that degrade to
// marked fallback values instead of failing, the device signature over them,
// the sandbox fallback signature and the collection status.
#pragma once

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.hpp"
#include "core/platform/platform.hpp"

namespace zeq::device {

// Everything a probe touches. `command_limit` bounds the commands that have
// no time-out of their own (a hanging command must not block start-up).
// `operation` names the operation whose log lines the probe writes now (see
// Operation below).
struct Probe {
    platform::Platform& os;
    core::LogSink& log;
    std::chrono::milliseconds command_limit = std::chrono::seconds(10);
    std::string_view operation = {};
};

// Names the operation running on a probe, for its log lines, while it runs;
// the caller's name comes back when it returns or throws.
class Operation {
public:
    Operation(Probe& p, std::string_view name) noexcept : probe_(p), caller_(p.operation) { p.operation = name; }
    ~Operation() { probe_.operation = caller_; }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    Probe& probe_;
    std::string_view caller_;
};

struct Factors {
    std::string cpu_serial;
    std::string disk_id;
    std::string motherboard_serial;
};

// ---------------------------------------------------------------- dispatch
std::string get_cpu_serial(Probe& p);
std::string get_disk_id(Probe& p);
std::string get_motherboard_serial(Probe& p);
Factors get_hardware_info(Probe& p);

// ---------------------------------------------------------------- Windows
std::string cpu_serial_windows(Probe& p);
std::string disk_id_windows(Probe& p);
std::string motherboard_serial_windows(Probe& p);
std::string cpu_serial_windows_fallback(Probe& p);
std::string disk_id_windows_fallback(Probe& p);
std::string motherboard_serial_windows_fallback(Probe& p);

// ---------------------------------------------------------------- macOS
std::string cpu_serial_darwin(Probe& p);
std::string disk_id_darwin(Probe& p);
std::string motherboard_serial_darwin(Probe& p);

// ---------------------------------------------------------------- Linux
std::string cpu_serial_linux(Probe& p);
std::string disk_id_linux(Probe& p);
std::string motherboard_serial_linux(Probe& p);

// ---------------------------------------------------------------- signature
// cpu_serial + "_" + disk_id + "_" + motherboard_serial.
std::string signature_input(const Factors& f);
// The device signature of these factors: their hash, or the sandbox fallback
// signature (with a warning) when a factor is a Windows total-failure marker.
std::string device_signature(Probe& p, const Factors& f);
std::string sandbox_fallback_fingerprint(Probe& p);
bool is_sandbox(const Factors& f);

struct FactorStatus {
    std::string value;
    bool failed;   // ends with "_FAIL"
    bool unknown;  // ends with "_UNKNOWN_FAIL"
};
FactorStatus factor_status(std::string value);

// ---------------------------------------------------------------- shared by the chains
// Output run: the captured output of a command that exited with status 0;
// any other outcome is thrown (core::Error of a command kind).
std::string output_run(Probe& p, const std::vector<std::string>& argv, platform::ErrorStream errors,
                       std::chrono::milliseconds timeout);
// A log line of the running operation.
void debug(Probe& p, std::string_view message);
void warning(Probe& p, std::string_view message);

}  // namespace zeq::device

namespace zeq::device {

// A guarded step: any failure inside `body` (out of memory aside) is logged as
// `failure_line` + its text and the chain goes on with its next step. A
// core::Interrupted is no failure and leaves the chain (it is not a std::exception).
template <class Body>
auto guarded(Probe& p, std::string_view failure_line, Body&& body) -> decltype(body()) {
    using Reading = decltype(body());
    return core::on_failure(std::forward<Body>(body), [&](const std::exception& e) -> Reading {
        std::string line(failure_line);
        line += e.what();
        debug(p, line);
        return {};
    });
}

}  // namespace zeq::device
