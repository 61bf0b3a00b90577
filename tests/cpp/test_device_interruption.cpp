// The probes and the caller's interruption: a wait the caller stops, or a log
// line whose writing throws, leaves every chain at once; it is never a failure
// of the step, so no failure line and no marker. And each line names the
// operation that writes it.
#include "check.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using namespace zeq::test;

namespace {

using Chain = std::string (*)(device::Probe&);

bool interrupts(Chain chain, device::Probe& p) {
    try {
        chain(p);
    } catch (const core::Interrupted&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("interruption: a stopped wait leaves every chain, unlogged") {
    struct Row {
        const char* system;
        const char* command;  // the chain's first command, whose wait is stopped
        Chain chain;
    } rows[] = {
        {"Linux", "findmnt -n -o UUID /", device::disk_id_linux},
        {"Linux", "dmidecode -t baseboard", device::motherboard_serial_linux},
        {"Linux", "findmnt -n -o UUID /", device::get_disk_id},
        {"Darwin", "ioreg -a -c IOPlatformExpertDevice", device::cpu_serial_darwin},
        {"Darwin", "ioreg -a -c IOPlatformExpertDevice", device::motherboard_serial_darwin},
        {"Darwin", "diskutil info /", device::disk_id_darwin},
        {"Darwin", "ioreg -rd1 -c IOPlatformExpertDevice", device::sandbox_fallback_fingerprint},
        {"Windows", "wmic cpu get ProcessorId", device::cpu_serial_windows},
        {"Windows", "wmic diskdrive get SerialNumber", device::disk_id_windows},
        {"Windows", "wmic baseboard get SerialNumber", device::motherboard_serial_windows},
        {"Windows", "whoami /user", device::cpu_serial_windows_fallback},
        {"Windows", "whoami /user", device::sandbox_fallback_fingerprint},
    };
    for (const Row& r : rows) {
        Machine m;
        m.os.system = r.system;
        m.os.commands[r.command] = interrupted();
        CHECK(interrupts(r.chain, m.probe));
        CHECK_EQ(joined(m.log.texts()), std::string());
        CHECK_EQ(m.os.calls.size(), 1u);  // nothing runs after it
    }
    Machine m;  // the whole collection stops at the first factor's wait
    m.os.system = "Windows";
    m.os.commands["wmic cpu get ProcessorId"] = interrupted();
    bool stopped = false;
    try {
        device::get_hardware_info(m.probe);
    } catch (const core::Interrupted&) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(m.os.calls.size(), 1u);
}

TEST_CASE("interruption: a log line whose writing throws leaves the chain at once") {
    struct Row {
        const char* system;
        bool has_findmnt;  // printing an empty line
        const char* interrupt_at;
        Chain chain;
        std::size_t commands_run;
    } rows[] = {
        {"Linux", false, "Failed to get Linux root partition UUID: ", device::disk_id_linux, 1},  // a failure line
        {"Linux", true, "Linux root partition UUID is empty", device::disk_id_linux, 1},  // inside a guarded step
        {"Linux", true, "Linux CPU serial is empty", device::cpu_serial_linux, 0},
        {"Plan9", true, "Unsupported operating system: ", device::get_cpu_serial, 0},
    };
    for (const Row& r : rows) {
        Machine m;
        m.os.system = r.system;
        m.os.files["/proc/cpuinfo"] = "serial\t: \nserial\t: 0000abcd\n";
        if (r.has_findmnt) m.os.commands["findmnt -n -o UUID /"] = prints("\n");
        m.log.interrupt_at = r.interrupt_at;
        CHECK(interrupts(r.chain, m.probe));
        CHECK_EQ(m.log.lines.size(), 1u);  // the throwing line is the last
        CHECK_EQ(m.os.calls.size(), r.commands_run);
    }
}

TEST_CASE("log lines name the operation that writes them") {
    {
        Machine m;  // a chain called through its dispatcher names itself; the dispatcher's own line names it
        CHECK_EQ(device::get_disk_id(m.probe), std::string("LINUX_DISK_UNKNOWN_FAIL"));
        for (const std::string& operation : m.log.operations) CHECK_EQ(operation, std::string("_get_disk_id_linux"));
        CHECK(!m.log.operations.empty());
        m.os.system = "Plan9";
        device::get_motherboard_serial(m.probe);
        CHECK_EQ(m.log.operations.back(), std::string("get_motherboard_serial"));
    }
    {
        Machine m;  // a chain that ends in its fallback: each names itself
        m.os.system = "Windows";
        device::cpu_serial_windows(m.probe);
        CHECK_EQ(joined(m.log.operations), std::string("_get_cpu_serial_windows | _get_cpu_serial_windows | "
                                                       "_get_cpu_serial_windows | _get_cpu_serial_windows_fallback"));
        CHECK_EQ(m.probe.operation, std::string());  // and the caller's name is back
    }
    {
        Machine m;
        m.os.system = "Darwin";
        m.os.commands["sw_vers -productVersion"] = prints("14.1\n");
        device::cpu_serial_darwin(m.probe);
        CHECK(!m.log.operations.empty());
        for (const std::string& operation : m.log.operations)
            CHECK_EQ(operation, std::string("_get_cpu_serial_darwin"));
        device::device_signature(m.probe, {"CPU_GET_FAILED", "b", "c"});
        CHECK_EQ(m.log.operations.back(), std::string("get_device_signature"));
    }
}
