// The Windows probe chains and the restricted-rights fallbacks on a scripted machine.
#include "check.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using namespace zeq::test;

namespace {
const std::string wmic_cpu = "wmic cpu get ProcessorId";
const std::string ps = "powershell -NoProfile -Command ";
const std::string cim_cpu =
    ps + "Get-CimInstance -ClassName Win32_Processor | Select-Object -ExpandProperty ProcessorId";
const std::string cim_disk =
    ps + "Get-CimInstance -ClassName Win32_DiskDrive | Select-Object -First 1 -ExpandProperty SerialNumber";
const std::string reg_system =
    ps + "(Get-ItemProperty -Path 'HKLM:\\HARDWARE\\DESCRIPTION\\System\\BIOS' -Name 'SystemSerialNumber' "
         "-ErrorAction SilentlyContinue).SystemSerialNumber";
const std::string reg_board =
    ps + "(Get-ItemProperty -Path 'HKLM:\\HARDWARE\\DESCRIPTION\\System\\BIOS' -Name 'BaseboardSerialNumber' "
         "-ErrorAction SilentlyContinue).BaseboardSerialNumber";
const std::string product_id = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion|ProductId";
const std::string machine_guid = "SOFTWARE\\Microsoft\\Cryptography|MachineGuid";

void windows(Machine& m) { m.os.system = "Windows"; }
}  // namespace

TEST_CASE("windows: wmic answers first, with its time-out") {
    Machine m;
    windows(m);
    m.os.commands[wmic_cpu] = prints("ProcessorId\n\nBFEBFBFF000906EA  \n\n");
    CHECK_EQ(device::get_cpu_serial(m.probe), std::string("BFEBFBFF000906EA"));
    CHECK(m.os.calls[0].timeout == std::chrono::seconds(5));
    CHECK(m.os.calls[0].errors == platform::ErrorStream::merged);
}

TEST_CASE("windows: wmic missing, timing out, failing or unmatched leads to PowerShell") {
    struct Row {
        FakeCommand wmic;
        const char* line;
    } rows[] = {
        {FakeCommand{FakeCommand::Outcome::not_found}, "wmic command not found, skipping"},
        {hangs(), "wmic command timeout, skipping"},
        {breaks(), "Failed to get Windows CPU serial: broken"},
        {prints("No Instance(s) Available.\n"), "Windows CPU serial regex match failed"},
        {prints("ProcessorId   \n"), "Windows CPU serial regex match failed"},
    };
    for (const Row& r : rows) {
        Machine m;
        windows(m);
        m.os.commands[wmic_cpu] = r.wmic;
        m.os.commands[cim_cpu] = prints(" CIM-ID \r\n");
        CHECK_EQ(device::cpu_serial_windows(m.probe), std::string("CIM-ID"));
        CHECK_EQ(joined(m.log.texts()), std::string(r.line));
        CHECK(m.os.calls[1].timeout == std::chrono::seconds(10));
    }
}

TEST_CASE("windows: PowerShell 'None' or blank falls through silently; BIOS serial shared by cpu and disk") {
    for (const char* cim : {"None\n", "   \n", ""}) {
        Machine m;
        windows(m);
        m.os.commands[cim_cpu] = prints(cim);
        m.os.commands[cim_disk] = prints(cim);
        m.os.commands[reg_system] = prints("To Be Filled By O.E.M.\n");
        CHECK_EQ(device::cpu_serial_windows(m.probe), std::string("REG_To Be Filled By O.E.M."));
        CHECK_EQ(device::disk_id_windows(m.probe), std::string("REG_To Be Filled By O.E.M."));
        // only the two wmic lines: nothing about the PowerShell answers
        CHECK_EQ(joined(m.log.texts()),
                 std::string("wmic command not found, skipping | wmic command not found, skipping"));
        CHECK(m.os.calls[2].timeout == std::chrono::seconds(5));
    }
}

TEST_CASE("windows: PowerShell missing or hanging; registry step failure line") {
    Machine m;
    windows(m);
    m.os.commands[cim_cpu] = hangs();
    m.os.commands["whoami /user"] = prints("\nUSER INFORMATION\n----------------\n\nUser Name      SID\n"
                                           "============== ========\nbox\\alice      S-1-5-21-1-2-3-1001\n");
    CHECK_EQ(device::cpu_serial_windows(m.probe), std::string("USERSID_box\\alice      S-1-5-21-1-2-3-1001"));
    CHECK_EQ(joined(m.log.texts()),
             std::string("wmic command not found, skipping | PowerShell command timeout, skipping | "
                         "Failed to read CPU serial from registry: no powershell"));
    CHECK(m.os.calls.back().errors == platform::ErrorStream::separate);
}

TEST_CASE("windows: restricted rights end in USERSID_, PRODUCTID_, MACHINEGUID_") {
    Machine m;
    windows(m);
    m.os.commands["whoami /user"] = prints("box\\bob S-1-5-21-9\n");
    m.os.registry[product_id] = "00330-80000-00000-AA123";
    m.os.registry[machine_guid] = "6f1c2d3e-aaaa-bbbb-cccc-1234567890ab";
    const device::Factors f = device::get_hardware_info(m.probe);
    CHECK_EQ(f.cpu_serial, std::string("USERSID_box\\bob S-1-5-21-9"));
    CHECK_EQ(f.disk_id, std::string("PRODUCTID_00330-80000-00000-AA123"));
    CHECK_EQ(f.motherboard_serial, std::string("MACHINEGUID_6f1c2d3e-aaaa-bbbb-cccc-1234567890ab"));
    CHECK(m.log.all_debug());
    // the normal input equals the sandbox input: both signatures agree
    CHECK_EQ(device::device_signature(m.probe, f), device::sandbox_fallback_fingerprint(m.probe));
    CHECK(device::is_sandbox(f));
}

TEST_CASE("windows: total failure markers and their log lines") {
    {
        Machine m;  // whoami exits 1: no log line from the fallback
        windows(m);
        m.os.commands["whoami /user"] = prints("S-1-5-21-9\n", 1);
        CHECK_EQ(device::cpu_serial_windows_fallback(m.probe), std::string("CPU_GET_FAILED"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;  // no line holds a SID
        windows(m);
        m.os.commands["whoami /user"] = prints("nobody\n");
        CHECK_EQ(device::cpu_serial_windows_fallback(m.probe), std::string("CPU_GET_FAILED"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;  // whoami missing; registry values missing
        windows(m);
        CHECK_EQ(device::cpu_serial_windows_fallback(m.probe), std::string("CPU_GET_FAILED"));
        CHECK_EQ(device::disk_id_windows_fallback(m.probe), std::string("DISK_GET_FAILED"));
        CHECK_EQ(device::motherboard_serial_windows_fallback(m.probe), std::string("BOARD_GET_FAILED"));
        CHECK_EQ(joined(m.log.texts()), std::string("User SID fallback failed: no whoami | "
                                                    "ProductId fallback failed: value not found | "
                                                    "MachineGuid fallback failed: value not found"));
    }
    {
        Machine m;  // the SID is on a line ended by U+2028 (a host line boundary)
        windows(m);
        m.os.commands["whoami /user"] = prints("head\xE2\x80\xA8  me S-1-5-18 \xE2\x80\xA8tail");
        CHECK_EQ(device::cpu_serial_windows_fallback(m.probe), std::string("USERSID_me S-1-5-18"));
    }
}

TEST_CASE("windows: board chain reads the baseboard serial") {
    Machine m;
    windows(m);
    m.os.commands["wmic baseboard get SerialNumber"] = prints("SerialNumber\n\n");
    m.os.commands[reg_board] = prints("BSN-77\n");
    CHECK_EQ(device::motherboard_serial_windows(m.probe), std::string("REG_BSN-77"));
    CHECK_EQ(joined(m.log.texts()),
             std::string("Windows motherboard serial regex match failed | PowerShell not found, skipping"));
}
