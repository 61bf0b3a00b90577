// The Linux probe chains, step by step on a scripted machine.
#include "check.hpp"
#include "fake_platform.hpp"

using namespace zeq;
using namespace zeq::test;

namespace {
const char* cpuinfo = "/proc/cpuinfo";
const char* fstab = "/etc/fstab";
const char* board = "/sys/class/dmi/id/board_name";
const std::string findmnt = "findmnt -n -o UUID /";
const std::string df = "df -h /";
const std::string dmidecode = "dmidecode -t baseboard";
}  // namespace

TEST_CASE("linux cpu: serial, blank serials, model name, missing colon, nothing") {
    {
        Machine m;
        m.os.files[cpuinfo] = "processor\t: 0\nSerial\t\t: NOPE\nserial\t\t: \nserial\t\t: 00000000abcd\n";
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("00000000abcd"));
        CHECK_EQ(joined(m.log.texts()), std::string("Linux CPU serial is empty"));
    }
    {
        Machine m;
        m.os.files[cpuinfo] = "processor\t: 0\nmodel name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n";
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_Intel(R) Xeon(R) CPU @ 2.20GHz_FAIL"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;  // only the text before the model's own ":" counts
        m.os.files[cpuinfo] = "model name\t: Weird: Model\n";
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_Weird_FAIL"));
    }
    {
        Machine m;  // a matching line without ":" fails the step, once per step
        m.os.files[cpuinfo] = "serial\nmodel name\n";
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_UNKNOWN_FAIL"));
        CHECK_EQ(joined(m.log.texts()), std::string("Failed to read Linux CPU serial: list index out of range | "
                                                    "Failed to read Linux CPU model: list index out of range"));
    }
    {
        Machine m;  // unreadable file: two failure lines
        m.os.unreadable.push_back(cpuinfo);
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_UNKNOWN_FAIL"));
        CHECK_EQ(m.log.lines.size(), 2u);
        CHECK(m.log.all_debug());
    }
    {
        Machine m;  // no file at all: nothing logged
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_UNKNOWN_FAIL"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;
        m.os.files[cpuinfo] = "model name\t:   \nmodel name\t: Second\n";
        CHECK_EQ(device::cpu_serial_linux(m.probe), std::string("LINUX_Second_FAIL"));
        CHECK_EQ(joined(m.log.texts()), std::string("Linux CPU model is empty"));
    }
}

TEST_CASE("linux disk: findmnt, then fstab, then the file system of df") {
    {
        Machine m;
        m.os.commands[findmnt] = prints("  1b2c-uuid \n");
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("1b2c-uuid"));
        CHECK(m.os.calls[0].errors == platform::ErrorStream::merged);
        CHECK(m.os.calls[0].timeout == std::chrono::seconds(10));  // no command may hang the chain
    }
    {
        Machine m;  // findmnt missing; tab-separated line skipped; spaced line used
        m.os.files[fstab] = "# comment\nUUID=TABS\t/\text4\tdefaults\t0 1\nUUID=1234-ABCD / ext4 defaults 0 1\n";
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("1234-ABCD"));
        CHECK_EQ(joined(m.log.texts()), std::string("Failed to get Linux root partition UUID: no findmnt"));
    }
    {
        Machine m;  // empty findmnt result (a container), fstab without UUIDs, df's file system only
        m.os.commands[findmnt] = prints("\n");
        m.os.files[fstab] = "/dev/sda1 / ext4 defaults 0 1\n";
        m.os.commands[df] =
            prints("Filesystem      Size  Used Avail Use% Mounted on\n/dev/vda        252G   24G   79G  24% /\n");
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("LINUX_DISK_/dev/vda_FAIL"));
        CHECK_EQ(joined(m.log.texts()), std::string("Linux root partition UUID is empty"));
        CHECK(m.os.calls[1].errors == platform::ErrorStream::inherited);
    }
    {
        Machine m;  // the same disk, fuller: the factor does not move
        m.os.commands[df] = prints("Filesystem Size Used Avail Use% Mounted on\n/dev/vda 252G 200G 52G 80% /\n");
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("LINUX_DISK_/dev/vda_FAIL"));
    }
    for (const char* report : {"Filesystem Size Used\n", "", "Filesystem\n   \nnext\n"}) {
        Machine m;  // one line, nothing, or a blank second line
        m.os.commands[df] = prints(report);
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("LINUX_DISK_UNKNOWN_FAIL"));
    }
    {
        Machine m;  // a hanging findmnt is a failure like any other; df refused
        m.os.commands[findmnt] = hangs();
        m.os.commands[df] = prints("", 1);
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("LINUX_DISK_UNKNOWN_FAIL"));
        CHECK_EQ(
            joined(m.log.texts()),
            std::string("Failed to get Linux root partition UUID: timed out | "
                        "Failed to get Linux disk info: Command '['df', '-h', '/']' returned non-zero exit status 1."));
    }
    {
        Machine m;  // a UUID= line for "/" with no field after "=" fails the fstab step
        m.os.files[fstab] = "UUID=  =x / ext4\n";
        m.os.commands[df] = prints("a\nb c\n");
        CHECK_EQ(device::disk_id_linux(m.probe), std::string("LINUX_DISK_b_FAIL"));
        CHECK_EQ(m.log.texts()[1], std::string("Failed to read Linux fstab: list index out of range"));
    }
}

TEST_CASE("linux board: DMI name, dmidecode product, unknown") {
    {
        Machine m;
        m.os.files[board] = "  X570 AORUS\n";
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_X570 AORUS_FAIL"));
        CHECK(m.os.calls.empty());
    }
    {
        Machine m;
        m.os.files[board] = "\n";
        m.os.commands[dmidecode] = prints("Base Board Information\n\tManufacturer: ACME\n\tProduct Name: B450M PRO\n");
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_B450M PRO_FAIL"));
        CHECK_EQ(joined(m.log.texts()), std::string("Linux motherboard name is empty"));
    }
    {
        Machine m;  // the label at the end of a line: \s* runs on into the next line
        m.os.commands[dmidecode] = prints("Product Name:\n\n   Next Line Value\nmore\n");
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_Next Line Value_FAIL"));
    }
    {
        Machine m;  // label followed only by blanks: an empty product name
        m.os.commands[dmidecode] = prints("Product Name:   \n");
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_UNKNOWN_FAIL"));
        CHECK_EQ(joined(m.log.texts()), std::string("Linux dmidecode product name is empty"));
    }
    {
        Machine m;  // no match: nothing logged
        m.os.commands[dmidecode] = prints("# dmidecode 3.4\n");
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_UNKNOWN_FAIL"));
        CHECK(m.log.lines.empty());
    }
    {
        Machine m;  // no DMI file, dmidecode refused: one failure line
        m.os.commands[dmidecode] = prints("Permission denied\n", 1);
        CHECK_EQ(device::motherboard_serial_linux(m.probe), std::string("LINUX_BOARD_UNKNOWN_FAIL"));
        CHECK_EQ(m.log.lines.size(), 1u);
        CHECK_EQ(m.log.texts()[0].rfind("Failed to execute Linux dmidecode: ", 0), 0u);
    }
}
