// The dispatcher, the device signature, the sandbox fallback signature and the
// three marker tests.
#include "check.hpp"
#include "core/sha256.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using namespace zeq::test;

TEST_CASE("dispatcher: an unsupported system gives its name and a suffix, with a warning each") {
    for (const char* name : {"FreeBSD", "linux", "windows", ""}) {
        Machine m;
        m.os.system = name;
        const device::Factors f = device::get_hardware_info(m.probe);
        CHECK_EQ(f.cpu_serial, std::string(name) + "_UNKNOWN_FAIL");
        CHECK_EQ(f.disk_id, std::string(name) + "_DISK_UNKNOWN_FAIL");
        CHECK_EQ(f.motherboard_serial, std::string(name) + "_BOARD_UNKNOWN_FAIL");
        CHECK_EQ(m.log.lines.size(), 3u);
        for (const auto& [level, text] : m.log.lines) {
            CHECK(level == core::LogLevel::warning);
            CHECK_EQ(text, "Unsupported operating system: " + std::string(name));
        }
        CHECK(m.os.calls.empty());
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("UNKNOWN_testbox"));
    }
}

TEST_CASE(
    "marker tests: signature (_GET_FAILED), status (_FAIL, _UNKNOWN_FAIL), sandbox (markers in the joined text)") {
    struct Row {
        const char* value;
        bool failed, unknown, sandbox;
    } rows[] = {
        {"CPU_GET_FAILED", false, false, false},          {"LINUX_DISK_UNKNOWN_FAIL", true, true, true},
        {"MAC_UNKNOWN_FAIL", true, true, true},           {"LINUX_Intel(R) Xeon(R)_FAIL", true, false, false},
        {"REG_To Be Filled", false, false, false},        {"USERSID_x S-1-5", false, false, true},
        {"FreeBSD_BOARD_UNKNOWN_FAIL", true, true, true}, {"1234-ABCD", false, false, false},
    };
    for (const Row& r : rows) {
        const device::FactorStatus s = device::factor_status(r.value);
        CHECK_EQ(s.value, std::string(r.value));
        CHECK_EQ(s.failed, r.failed);
        CHECK_EQ(s.unknown, r.unknown);
        CHECK_EQ(device::is_sandbox({r.value, "1234-ABCD", "LINUX_BOARD_X_FAIL"}), r.sandbox);
    }
    // a marker completed by the join separator
    CHECK(device::is_sandbox({"ENDS_UNKNOWN", "b", "c"}));
    CHECK(!device::is_sandbox({"a", "b", "c"}));
}

TEST_CASE("signature: normal input, and the sandbox signature on a Windows total-failure marker") {
    {
        Machine m;  // LINUX_UNKNOWN_FAIL is sandbox but still hashed normally
        const device::Factors f{"LINUX_UNKNOWN_FAIL", "1234-ABCD", "LINUX_BOARD_X_FAIL"};
        CHECK_EQ(device::device_signature(m.probe, f),
                 sha256::hash_text("LINUX_UNKNOWN_FAIL_1234-ABCD_LINUX_BOARD_X_FAIL"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;
        m.os.system = "Windows";
        m.os.registry["SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion|ProductId"] = "PID";
        const device::Factors f{"CPU_GET_FAILED", "PRODUCTID_PID", "REG_B"};
        const std::string signature = device::device_signature(m.probe, f);
        CHECK_EQ(signature, sha256::hash_text("CPU_GET_FAILED_PRODUCTID_PID_BOARD_GET_FAILED"));
        CHECK(m.log.lines[0].first == core::LogLevel::warning);
        CHECK_EQ(m.log.lines[0].second,
                 std::string("Hardware collection partial/total failure, using sandbox fallback. "
                             "CPU=CPU_GET_FAILED, Disk=PRODUCTID_PID, Board=REG_B"));
    }
    for (const device::Factors& f :
         {device::Factors{"a", "DISK_GET_FAILED", "c"}, device::Factors{"a", "b", "BOARD_GET_FAILED"}}) {
        Machine m;
        m.os.system = "Linux";
        m.os.files["/etc/machine-id"] = "abc\n";
        CHECK_EQ(device::device_signature(m.probe, f), sha256::hash_text("LINUX_abc_abc_abc"));
    }
}

TEST_CASE("sandbox fallback signature per system") {
    {
        Machine m;  // empty machine-id: "LINUX_" and two underscores
        m.os.files["/etc/machine-id"] = " \n";
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("LINUX___"));
    }
    {
        Machine m;  // missing, or unreadable: the host name, silently
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("LINUX_FALLBACK_testbox"));
        m.os.unreadable.push_back("/etc/machine-id");
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("LINUX_FALLBACK_testbox"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;
        m.os.system = "Darwin";
        m.os.commands["ioreg -rd1 -c IOPlatformExpertDevice"] = prints(
            "+-o J314sAP  <class IOPlatformExpertDevice>\n    {\n      \"IOPlatformUUID\" = \"1F2E-3D\"\n    }\n", 1);
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("MAC_1F2E-3D_1F2E-3D_1F2E-3D"));
        CHECK(m.os.calls[0].errors == platform::ErrorStream::separate);
        CHECK(m.os.calls[0].timeout == std::chrono::seconds(5));
    }
    for (FakeCommand c : {hangs(), prints("\"IOPlatformUUID\" = \"\"\n")}) {
        Machine m;
        m.os.system = "Darwin";
        m.os.commands["ioreg -rd1 -c IOPlatformExpertDevice"] = c;
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("MAC_FALLBACK_testbox"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;  // host name unknown
        m.os.system = "SunOS";
        m.os.host = "";
        CHECK_EQ(device::sandbox_fallback_fingerprint(m.probe), sha256::hash_text("UNKNOWN_"));
    }
}
