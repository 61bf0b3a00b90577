// The property-list reader and the "ioreg -a" serial lookup over arbitrary
// text: a parse failure (core::Error) is the only way to refuse, the tree it builds is
// consistent, and the serial lookup agrees with the tree.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/device/parsers.hpp"
#include "require.hpp"

namespace {

using zeq::device::parse::PlistValue;
using zeq::fuzz::require;

void walk(const PlistValue& v) {
    using K = PlistValue::Kind;
    switch (v.kind) {
        case K::dict:
            require(v.array.empty() && v.text.empty(), "a dictionary holds entries only");
            {
                // A repeated key: the last entry counts.
                std::unordered_map<std::string_view, const PlistValue*> last;
                for (const auto& entry : v.dict) last[entry.key] = &entry.value;
                // find is a linear search: every key is looked up only in dictionaries
                // small enough for that to stay cheap.
                const bool look_up_all = v.dict.size() <= 1024;
                for (const auto& entry : v.dict) {
                    if (look_up_all)
                        require(v.find(entry.key) == last[entry.key], "find returns the last entry of a key");
                    walk(entry.value);
                }
            }
            break;
        case K::array:
            require(v.dict.empty() && v.text.empty(), "an array holds elements only");
            for (const PlistValue& e : v.array) walk(e);
            break;
        case K::boolean: require(v.text == "true" || v.text == "false", "a boolean is true or false"); [[fallthrough]];
        default: require(v.dict.empty() && v.array.empty(), "a scalar has no children"); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zeq::device;
    const std::string_view xml(reinterpret_cast<const char*>(data), size);

    std::optional<PlistValue> root;
    try {
        root = parse::read_plist(xml);
    } catch (const zeq::core::Error& e) {
        zeq::fuzz::require_parse_failure(e);
    }
    if (root) walk(*root);

    std::optional<std::string> serial;
    try {
        serial = parse::plist_platform_serial(xml);
    } catch (const zeq::core::Error& e) {
        zeq::fuzz::require_parse_failure(e);
    }

    // The serial lookup reads the same tree.
    const PlistValue* entry = root && root->kind == PlistValue::Kind::dict ? root->find("IOPlatformSerialNumber")
                                                                           : nullptr;
    const bool expected = root && root->kind == PlistValue::Kind::dict &&
                          (entry == nullptr || entry->kind == PlistValue::Kind::string);
    require(serial.has_value() == expected, "the serial lookup succeeds exactly for a dictionary with a string serial");
    if (serial) require(*serial == (entry ? entry->text : std::string()), "the serial is the entry's text");
    return 0;
}
