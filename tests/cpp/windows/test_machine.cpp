// The whole Windows chain on the machine the test runs on (Wine's, in CI):
// every factor is a value or a marked fallback, the chain ends in bounded
// time, and the sandbox checks agree with the factors.
#include <chrono>
#include <cstdio>

#include "check.hpp"
#include "core/device/probes.hpp"
#include "core/sha256.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using Clock = std::chrono::steady_clock;

namespace {

struct RealMachine {
    std::unique_ptr<platform::Platform> os = platform::make_system_platform();
    test::RecordingLog log;
    device::Probe probe{*os, log};
};

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
bool trimmed(const std::string& s) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    return !s.empty() && !space(s.front()) && !space(s.back());
}

// One factor: the value the chain gave, and what its restricted-rights
// fallback gives on its own.
struct Factor {
    const char* name;
    std::string value;
    std::string fallback;
    const char* restricted_prefix;
    const char* failure_marker;
};

}  // namespace

TEST_CASE("windows machine: SHA-256 of the test binary is the standard's") {
    CHECK_EQ(sha256::hash_text("abc"), std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    CHECK_EQ(sha256::hash_text(""), std::string());
}

TEST_CASE("windows machine: every factor is a value or a marked fallback, and the chain ends in time") {
    RealMachine m;
    const auto start = Clock::now();
    const device::Factors f = device::get_hardware_info(m.probe);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("this machine: cpu_serial=%s disk_id=%s motherboard_serial=%s (%.1f s)\n", f.cpu_serial.c_str(),
                f.disk_id.c_str(), f.motherboard_serial.c_str(), seconds);
    for (const std::string& line : m.log.texts()) std::printf("  log: %s\n", line.c_str());
    CHECK(seconds < 60.0);
    CHECK(m.log.all_debug());

    const Factor factors[] = {
        {"cpu_serial", f.cpu_serial, device::cpu_serial_windows_fallback(m.probe), "USERSID_", "CPU_GET_FAILED"},
        {"disk_id", f.disk_id, device::disk_id_windows_fallback(m.probe), "PRODUCTID_", "DISK_GET_FAILED"},
        {"motherboard_serial", f.motherboard_serial, device::motherboard_serial_windows_fallback(m.probe),
         "MACHINEGUID_", "BOARD_GET_FAILED"},
    };
    for (const Factor& x : factors) {
        CHECK(trimmed(x.value));
        CHECK(x.fallback == x.failure_marker || (starts_with(x.fallback, x.restricted_prefix) && trimmed(x.fallback)));
        // a restricted-rights value or a failure marker only ever comes from the fallback
        if (starts_with(x.value, x.restricted_prefix) || x.value == x.failure_marker) CHECK_EQ(x.value, x.fallback);
        CHECK(!ends_with(x.value, "_FAIL"));  // the macOS and Linux forms never appear here
        if (!(x.value == x.fallback)) std::printf("%s: read by the chain itself\n", x.name);
    }
    // Two readings of the same machine agree: nothing is cached, nothing random.
    const device::Factors again = device::get_hardware_info(m.probe);
    CHECK_EQ(device::signature_input(again), device::signature_input(f));
}

TEST_CASE("windows machine: sandbox checks agree with the factors") {
    RealMachine m;
    const device::Factors f = device::get_hardware_info(m.probe);
    const std::string fallbacks = device::cpu_serial_windows_fallback(m.probe) + "_" +
                                  device::disk_id_windows_fallback(m.probe) + "_" +
                                  device::motherboard_serial_windows_fallback(m.probe);
    const std::string sandbox = device::sandbox_fallback_fingerprint(m.probe);
    CHECK_EQ(sandbox, sha256::hash_text(fallbacks));
    CHECK_EQ(sandbox.size(), 64u);

    const bool restricted = starts_with(f.cpu_serial, "USERSID_") || starts_with(f.disk_id, "PRODUCTID_") ||
                            starts_with(f.motherboard_serial, "MACHINEGUID_");
    CHECK_EQ(device::is_sandbox(f), restricted || device::signature_input(f).find("UNKNOWN_") != std::string::npos);

    m.log.lines.clear();
    const bool total_failure = ends_with(f.cpu_serial, "_GET_FAILED") || ends_with(f.disk_id, "_GET_FAILED") ||
                               ends_with(f.motherboard_serial, "_GET_FAILED");
    const std::string signature = device::device_signature(m.probe, f);
    if (total_failure) {
        CHECK_EQ(signature, sandbox);
        std::vector<std::string> warnings;
        for (const auto& [level, text] : m.log.lines)
            if (level != core::LogLevel::debug) warnings.push_back(text);
        CHECK_EQ(test::joined(warnings), "Hardware collection partial/total failure, using sandbox fallback. CPU=" +
                                             f.cpu_serial + ", Disk=" + f.disk_id + ", Board=" + f.motherboard_serial);
    } else {
        CHECK_EQ(signature, sha256::hash_text(device::signature_input(f)));
    }
    std::printf("this machine: sandbox=%s, signature %s\n", device::is_sandbox(f) ? "yes" : "no",
                total_failure ? "from the sandbox fallback" : "over the factors");
}
