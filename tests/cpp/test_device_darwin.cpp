// The macOS probe chains on a scripted machine.
#include "check.hpp"
#include "core/text.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using namespace zeq::test;

namespace {
const std::string ioreg = "ioreg -a -c IOPlatformExpertDevice";
const std::string plist_head =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
std::string plist(const std::string& body) { return plist_head + body + "\n</plist>\n"; }

void mac(Machine& m) { m.os.system = "Darwin"; }
}  // namespace

TEST_CASE("macos: platform serial from the top-level dictionary, for cpu and board alike") {
    Machine m;
    mac(m);
    m.os.commands[ioreg] = prints(plist(
        "<dict><key>IORegistryEntryChildren</key><array><dict><key>IOPlatformSerialNumber</key>"
        "<string>NESTED</string></dict></array>"
        "<key>IOPlatformSerialNumber</key><string>C02XK0AAJGH5</string><key>n</key><integer>0x1F</integer></dict>"));
    CHECK_EQ(device::get_cpu_serial(m.probe), std::string("C02XK0AAJGH5"));
    CHECK_EQ(device::get_motherboard_serial(m.probe), std::string("C02XK0AAJGH5"));
    CHECK(m.log.lines.empty());
}

TEST_CASE("macos: missing key, array at the top, unparsable output, failing ioreg") {
    struct Row {
        FakeCommand ioreg;
        const char* cpu_log;
        const char* board_log;
    } rows[] = {
        {prints(plist("<dict><key>other</key><string>x</string></dict>")), "macOS CPU serial from plist is empty",
         "macOS motherboard serial from plist is empty"},
        {prints(plist("<dict><key>IOPlatformSerialNumber</key><string></string></dict>")),
         "macOS CPU serial from plist is empty", "macOS motherboard serial from plist is empty"},
        {prints(plist("<array><dict><key>IOPlatformSerialNumber</key><string>X</string></dict></array>")),
         "Failed to parse ioreg output: ", "Failed to parse ioreg output: "},
        {prints(plist("<dict><key>IOPlatformSerialNumber</key><integer>7</integer></dict>")),
         "Failed to parse ioreg output: ", "Failed to parse ioreg output: "},
        {prints("+-o Root  <class IORegistryEntry>\n"),
         "Failed to parse ioreg output: ", "Failed to parse ioreg output: "},
        {prints(plist_head + "<dict><key>a</key>"), "Failed to parse ioreg output: ", "Failed to parse ioreg output: "},
        {prints("", 1), "Failed to get macOS CPU serial: ", "Failed to get macOS motherboard serial: "},
    };
    for (const Row& r : rows) {
        Machine m;
        mac(m);
        m.os.commands[ioreg] = r.ioreg;
        m.os.commands["sw_vers -productVersion"] = prints("14.4.1\n");
        m.os.commands["sysctl hw.model"] = prints("hw.model: MacBookPro18,3\n");
        CHECK_EQ(device::cpu_serial_darwin(m.probe), std::string("MAC_14.4.1_FAIL"));
        CHECK_EQ(device::motherboard_serial_darwin(m.probe), std::string("MAC_BOARD_MacBookPro18,3_FAIL"));
        CHECK_EQ(m.log.lines.size(), 2u);
        CHECK_EQ(m.log.texts()[0].rfind(r.cpu_log, 0), 0u);
        CHECK_EQ(m.log.texts()[1].rfind(r.board_log, 0), 0u);
    }
}

TEST_CASE("macos: version and model fallbacks") {
    {
        Machine m;  // sw_vers printing nothing
        mac(m);
        m.os.commands["sw_vers -productVersion"] = prints("");
        CHECK_EQ(device::cpu_serial_darwin(m.probe), std::string("MAC__FAIL"));
    }
    {
        Machine m;
        mac(m);
        CHECK_EQ(device::cpu_serial_darwin(m.probe), std::string("MAC_UNKNOWN_FAIL"));
        CHECK_EQ(device::motherboard_serial_darwin(m.probe), std::string("MAC_BOARD_UNKNOWN_FAIL"));
        CHECK_EQ(device::disk_id_darwin(m.probe), std::string("MAC_DISK_UNKNOWN_FAIL"));
        for (const auto& c : m.os.calls) CHECK(c.timeout == std::chrono::seconds(10));
    }
    for (auto [out, model] : {std::pair{"Mac14,2\n", "Mac14,2"}, std::pair{"a:b: Mac15,3 \n", "Mac15,3"}}) {
        Machine m;  // with and without ":"
        mac(m);
        m.os.commands["sysctl hw.model"] = prints(out);
        CHECK_EQ(device::motherboard_serial_darwin(m.probe), "MAC_BOARD_" + std::string(model) + "_FAIL");
    }
    {
        Machine m;
        mac(m);
        m.os.commands["sysctl hw.model"] = prints("hw.model:  \n");
        CHECK_EQ(device::motherboard_serial_darwin(m.probe), std::string("MAC_BOARD_UNKNOWN_FAIL"));
        CHECK_EQ(m.log.texts().back(), std::string("macOS system model is empty"));
    }
}

TEST_CASE("macos: boot volume UUID, then the first 100 characters of the disk list") {
    {
        Machine m;
        mac(m);
        m.os.commands["diskutil info /"] = prints("   Volume Name:  Macintosh HD\n   Volume UUID:   4A2B-99\n");
        CHECK_EQ(device::disk_id_darwin(m.probe), std::string("4A2B-99"));
    }
    {
        Machine m;
        mac(m);
        m.os.commands["diskutil info /"] = prints("Could not find disk\n");
        // 30 two-byte characters and line feeds: the cut counts characters, not bytes
        std::string listing = "/dev/disk0 (internal):\n";
        for (int i = 0; i < 30; ++i) listing += "\xC3\xA9";
        listing += "\n   #:  TYPE NAME  SIZE  IDENTIFIER\n   0:  GUID_partition_scheme  *500.3 GB  disk0\n";
        m.os.commands["diskutil list"] = prints(listing);
        const std::string expected = "MAC_DISK_" + text::first_n(listing, 100) + "_FAIL";
        CHECK_EQ(device::disk_id_darwin(m.probe), expected);
        CHECK_EQ(text::length(expected), std::size_t(100 + 14));
        CHECK_EQ(joined(m.log.texts()), std::string("macOS boot disk UUID regex match failed"));
    }
    {
        Machine m;  // a short listing is used whole
        mac(m);
        m.os.commands["diskutil list"] = prints(" short\n");
        CHECK_EQ(device::disk_id_darwin(m.probe), std::string("MAC_DISK_ short\n_FAIL"));
    }
}
