// The text readers of the device probes, free of any process or file access,
// so that they can be tested and fuzzed on their own. Every function accepts
// any UTF-8 text; a reading that the probe must treat as a failure is thrown
// as core::Error of kind parse.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace zeq::device::parse {

// A reading that the probe must treat as a failure.
[[noreturn]] inline void fail_parse(std::string message) { core::fail(core::ErrorKind::parse, std::move(message)); }

// ---------------------------------------------------------------- text cuts
// Pieces between every occurrence of `sep`, empty pieces kept.
std::vector<std::string_view> split_at(std::string_view text, char sep);
// Pieces between runs of white space (str.isspace), empty pieces dropped.
std::vector<std::string_view> split_whitespace(std::string_view text);
// Lines of a text file, each with its "\n" (the last one may lack it).
std::vector<std::string_view> file_lines(std::string_view text);
// str.splitlines(): every line boundary the host knows, boundaries dropped.
std::vector<std::string_view> splitlines(std::string_view text);

// ---------------------------------------------------------------- pattern searches
// First match of `label\s+(\S+)`: the group.
std::optional<std::string> label_token(std::string_view text, std::string_view label);
// First match of `label\s*(.+)` ("." not matching "\n"): the group, untrimmed.
std::optional<std::string> label_rest_of_line(std::string_view text, std::string_view label);
// First match of `"key"\s*=\s*"([^"]+)"`: the group.
std::optional<std::string> quoted_assignment(std::string_view text, std::string_view key);

// ---------------------------------------------------------------- probe readers
// Scan of /proc/cpuinfo for the lines beginning with `prefix`: the first
// non-blank value after ":" (trimmed); `empty_lines` counts the blank values
// seen before it; `failure` is set when a matching line has no ":" (the scan
// stops there).
struct CpuinfoScan {
    std::optional<std::string> value;
    std::size_t empty_lines = 0;
    std::optional<std::string> failure;
};
CpuinfoScan cpuinfo_field(std::string_view cpuinfo, std::string_view prefix);

// The UUID of the first "UUID=" line mounted on " / ". Throws (parse) when
// that line has no field after "=".
std::optional<std::string> fstab_root_uuid(std::string_view fstab);

// The file system (first field of the second line) of a "df" report.
std::optional<std::string> df_filesystem(std::string_view report);

// The "Product Name:" of a "dmidecode -t baseboard" report, trimmed (may be empty).
std::optional<std::string> dmidecode_product_name(std::string_view report);

// The model of a "sysctl hw.model" output, trimmed (may be empty).
std::string sysctl_model(std::string_view output);

// The first line of "whoami /user" that holds a SID, trimmed.
std::optional<std::string> whoami_sid_line(std::string_view output);

// ---------------------------------------------------------------- XML property lists
struct PlistEntry;

struct PlistValue {
    enum class Kind { dict, array, string, integer, real, boolean, date, data };
    Kind kind = Kind::string;
    std::string text;              // string, integer, real, date, data: the element's text
    std::vector<PlistEntry> dict;  // in document order; a repeated key: the last one counts
    std::vector<PlistValue> array;
    const PlistValue* find(std::string_view key) const;
};

struct PlistEntry {
    std::string key;
    PlistValue value;
};

// The root object of an XML property list. Throws (parse) for
// anything that is not a well-formed XML property list.
PlistValue read_plist(std::string_view xml);

// "IOPlatformSerialNumber" of the top-level dictionary of "ioreg -a" output;
// empty when absent. Throws when the output is not a property list, the top
// level is not a dictionary or the value is not a string.
std::string plist_platform_serial(std::string_view xml);

}  // namespace zeq::device::parse
