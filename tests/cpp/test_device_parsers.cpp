// The probes' text readers on their edge cases.
#include "check.hpp"
#include "core/device/parsers.hpp"

using namespace zeq::device;
namespace core = zeq::core;
using std::optional;
using std::string;

namespace {
string or_none(const optional<string>& v) { return v ? "[" + *v + "]" : "none"; }
}  // namespace

TEST_CASE("label\\s+(\\S+): first occurrence that matches; unicode white space") {
    CHECK_EQ(or_none(parse::label_token("SerialNumber  \n  ABC DEF", "SerialNumber")), string("[ABC]"));
    CHECK_EQ(or_none(parse::label_token("SerialNumberX Y", "SerialNumber")), string("none"));
    CHECK_EQ(or_none(parse::label_token("SerialNumber   ", "SerialNumber")), string("none"));
    CHECK_EQ(or_none(parse::label_token("SerialNumber\nSerialNumber  Z9", "SerialNumber")), string("[SerialNumber]"));
    CHECK_EQ(or_none(parse::label_token("Volume UUID:\xE3\x80\x80"
                                        "U\xC2\xA0V",
                                        "Volume UUID:")),
             string("[U]"));
    CHECK_EQ(or_none(parse::label_token("", "x")), string("none"));
}

TEST_CASE("label\\s*(.+): \\s crosses lines, . does not, backtracking onto a blank") {
    CHECK_EQ(or_none(parse::label_rest_of_line("Product Name: B450\nnext", "Product Name:")), string("[B450]"));
    CHECK_EQ(or_none(parse::label_rest_of_line("Product Name:\n\n X\n", "Product Name:")), string("[X]"));
    CHECK_EQ(or_none(parse::label_rest_of_line("Product Name:  \t\n", "Product Name:")), string("[\t]"));
    CHECK_EQ(or_none(parse::label_rest_of_line("Product Name:\n\n", "Product Name:")), string("none"));
    CHECK_EQ(or_none(parse::label_rest_of_line("Product Name:\nProduct Name: Y", "Product Name:")),
             string("[Product Name: Y]"));
    CHECK_EQ(or_none(parse::dmidecode_product_name("Product Name:   \n")), string("[]"));
}

TEST_CASE("\"key\"\\s*=\\s*\"([^\"]+)\"") {
    CHECK_EQ(or_none(parse::quoted_assignment("\"IOPlatformUUID\" = \"AB-CD\"", "IOPlatformUUID")), string("[AB-CD]"));
    CHECK_EQ(or_none(parse::quoted_assignment("\"IOPlatformUUID\"=\n\"A\nB\"", "IOPlatformUUID")), string("[A\nB]"));
    CHECK_EQ(
        or_none(parse::quoted_assignment("\"IOPlatformUUID\" = \"\" \"IOPlatformUUID\" = \"Z\"", "IOPlatformUUID")),
        string("[Z]"));
    CHECK_EQ(or_none(parse::quoted_assignment("\"IOPlatformUUID\" = \"open", "IOPlatformUUID")), string("none"));
    CHECK_EQ(or_none(parse::quoted_assignment("IOPlatformUUID = \"x\"", "IOPlatformUUID")), string("none"));
}

TEST_CASE("cpuinfo, fstab, df, sysctl and whoami readers") {
    const parse::CpuinfoScan s = parse::cpuinfo_field("serial : \nserial\t: 12:34\n", "serial");
    CHECK_EQ(or_none(s.value), string("[12]"));
    CHECK_EQ(s.empty_lines, 1u);
    CHECK(!parse::cpuinfo_field("Serial : X\n", "serial").value);
    CHECK(parse::cpuinfo_field("serial\n", "serial").failure.has_value());

    CHECK_EQ(or_none(parse::fstab_root_uuid("UUID=abc /boot ext4\nUUID=def / ext4 0 1")), string("[def]"));
    CHECK_EQ(or_none(parse::fstab_root_uuid("uuid=abc / ext4\n")), string("none"));
    CHECK_THROWS(parse::fstab_root_uuid("UUID== / x\n"), core::ErrorKind::parse, "list index out of range");

    CHECK_EQ(or_none(parse::df_filesystem("Filesystem Size\n/dev/sda1 10G\n")), string("[/dev/sda1]"));
    CHECK_EQ(or_none(parse::df_filesystem("\n\nFilesystem Size\n")), string("none"));
    CHECK_EQ(or_none(parse::df_filesystem("Filesystem\n\n/dev/x\n")), string("none"));
    CHECK_EQ(or_none(parse::df_filesystem("Filesystem\noverlay\n")), string("[overlay]"));

    CHECK_EQ(parse::sysctl_model("hw.model: Mac14,2\n"), string("Mac14,2"));
    CHECK_EQ(parse::sysctl_model("  Mac14,2 \n"), string("Mac14,2"));
    CHECK_EQ(parse::sysctl_model("x:"), string());

    CHECK_EQ(or_none(parse::whoami_sid_line("a\r\n b S-1-5-18 \x1c"
                                            "c S-1-2")),
             string("[b S-1-5-18]"));
    CHECK_EQ(or_none(parse::whoami_sid_line("S-1\n")), string("none"));
}

TEST_CASE("splitting rules") {
    CHECK_EQ(parse::split_at("a::b", ':').size(), 3u);
    CHECK_EQ(parse::split_whitespace("  a \xC2\x85 b\t").size(), 2u);
    CHECK_EQ(parse::file_lines("a\nb").size(), 2u);
    CHECK_EQ(parse::file_lines("a\n").size(), 1u);
    CHECK_EQ(parse::splitlines("a\n\nb\r").size(), 3u);
    CHECK_EQ(parse::splitlines("").size(), 0u);
}

TEST_CASE("plist reader: structure, repeated keys, refusals") {
    const string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    CHECK_EQ(
        parse::plist_platform_serial(head + "<dict><key>IOPlatformSerialNumber</key><string>A</string>"
                                            "<key>IOPlatformSerialNumber</key><string>B&amp;C</string></dict></plist>"),
        string("B&C"));
    CHECK_EQ(parse::plist_platform_serial("<plist><dict/></plist>"), string());
    CHECK_EQ(parse::plist_platform_serial(head + "<dict><key>IOPlatformSerialNumber</key><string/></dict></plist>"),
             string());
    const parse::PlistValue v =
        parse::read_plist(head + "<array><integer>-3</integer><real>1.5</real><true/><data>AA==</data>"
                                 "<date>2024-01-01T00:00:00Z</date><dict/></array></plist>");
    CHECK(v.kind == parse::PlistValue::Kind::array);
    CHECK_EQ(v.array.size(), 6u);
    for (const auto& [bad, message] : std::vector<std::pair<string, string>>{
             {string(""), "Invalid file"},
             {string("  <plist/>"), "Invalid file"},
             {string("<plist/>"), "property list holds no value"},
             {head + "<dict>", "no element found: line 1, column 65"},
             {head + "<dict><string>x</string></dict></plist>", "unexpected element"},
             {head + "<dict><key>a</key></dict></plist>", "missing value for key 'a'"},
             {head + "<dict><key>a</key><key>b</key></dict></plist>", "unexpected key"},
             {head + "<array><integer>12a</integer></array></plist>", "invalid integer in property list: '12a'"},
             {head + "<array><real>x</real></array></plist>", "could not convert string to float: 'x'"},
             {head + "<key>a</key></plist>", "unexpected key"},
             {string(
                  "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"boom\">]><plist><string>&e;</string></plist>"),
              "XML entity declarations are not supported in plist files"},
             {head + "<array><dict><key>IOPlatformSerialNumber</key><string>X</string></dict></array></plist>",
              "top level of the property list is not a dictionary"},
             {head + "<dict><key>IOPlatformSerialNumber</key><dict/></dict></plist>",
              "IOPlatformSerialNumber is not a string"}}) {
        CHECK_THROWS(parse::plist_platform_serial(bad), core::ErrorKind::parse, message);
    }
}

TEST_CASE("plist reader: declarations, entities and nesting depth") {
    const string apple_dtd =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">";
    const string serial = "<dict><key>IOPlatformSerialNumber</key><string>S&#x41;</string></dict></plist>";
    // An undeclared entity in a document whose DTD is never read reads as nothing.
    CHECK_EQ(parse::plist_platform_serial(apple_dtd + "<plist><dict><key>IOPlatformSerialNumber</key>"
                                                      "<string>a&undeclared;b</string></dict></plist>"),
             string("ab"));
    CHECK_EQ(parse::plist_platform_serial("<?xml version=\"1.1\"?><plist>" + serial), string("SA"));
    CHECK_EQ(
        parse::plist_platform_serial("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ELEMENT plist ANY>]><plist>" + serial),
        string("SA"));
    for (
        const auto& [bad, message] : std::vector<std::pair<string, string>>{
            {string("<?xml version=\"2.0\"?><plist>") + serial, "unsupported XML version '2.0'"},
            {string("<?xml version=\"1.x\"?><plist>") + serial, "unsupported XML version '1.x'"},
            {string("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><plist>") +
                 serial,
             "XML entity declarations are not supported in plist files"},
            {string("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY % p \"x\">]><plist>") + serial,
             "XML entity declarations are not supported in plist files"},
            {string(
                 "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY % p SYSTEM \"http://example.invalid/p\"> %p;]><plist>") +
                 serial,
             "XML entity declarations are not supported in plist files"},
            {string(
                 "<?xml version=\"1.0\"?><!DOCTYPE plist [ %p; <!ENTITY e \"boom\">]><plist><string>&e;</string></plist>"),
             "top level of the property list is not a dictionary"},
            {string("<?xml version=\"1.0\"?><plist><string>&undeclared;</string></plist>"),
             "undefined entity: line 1, column 36"},
            {string("<plist><dict></plist>"), "mismatched tag: line 1, column 15"},
            {string("<plist><dict/></plist><plist/>"), "junk after document element: line 1, column 22"},
            {string("<plist><dict/>\x01</plist>"), "not well-formed (invalid token): line 1, column 14"}}) {
        CHECK_THROWS(parse::plist_platform_serial(bad), core::ErrorKind::parse, message);
    }

    // The document element and 256 levels beneath it.
    auto nested = [](int arrays) {
        string xml = "<plist>";
        for (int i = 0; i < arrays; ++i) xml += "<array>";
        for (int i = 0; i < arrays; ++i) xml += "</array>";
        return xml + "</plist>";
    };
    CHECK(parse::read_plist(nested(256)).kind == parse::PlistValue::Kind::array);
    CHECK_THROWS(parse::read_plist(nested(257)), core::ErrorKind::parse, "property list nested too deeply");
    CHECK_THROWS(parse::read_plist(nested(100000)), core::ErrorKind::parse, "property list nested too deeply");
}

TEST_CASE("plist reader: a scalar's text follows its last child element, whose content is not read") {
    const string head = "<plist version=\"1.0\">";
    const parse::PlistValue v = parse::read_plist(
        head +
        "<array><string>a<b>x</b>c<!--note-->d<![CDATA[<e>]]></string><string>a<dict><key>k</key></dict></string>"
        "<true><string>ignored</string></true><integer>1<x/>2</integer><unknown><string>z</string></unknown>"
        "<data>\r\nAA==\r\n</data></array></plist>");
    CHECK(v.kind == parse::PlistValue::Kind::array);
    CHECK_EQ(v.array.size(), 6u);
    CHECK_EQ(v.array[0].text, string("cd<e>"));
    CHECK_EQ(v.array[1].text, string());
    CHECK(v.array[2].kind == parse::PlistValue::Kind::boolean);
    CHECK_EQ(v.array[2].text, string("true"));
    CHECK_EQ(v.array[3].text, string("2"));
    CHECK_EQ(v.array[4].text, string("z"));
    CHECK_EQ(v.array[5].text, string("\nAA==\n"));
}
