// The property-list reader and the "ioreg -a" serial lookup over arbitrary
// text: std::runtime_error is the only way to refuse, the tree it builds is
// consistent, and the serial lookup agrees with the tree.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

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
            for (std::size_t i = 0; i < v.dict.size(); ++i) {
                const PlistValue* found = v.find(v.dict[i].key);
                require(found != nullptr, "every key is found");
                // A repeated key: the last entry counts.
                std::size_t last = i;
                for (std::size_t j = i + 1; j < v.dict.size(); ++j)
                    if (v.dict[j].key == v.dict[i].key) last = j;
                require(found == &v.dict[last].value, "find returns the last entry of a key");
                walk(v.dict[i].value);
            }
            break;
        case K::array:
            require(v.dict.empty() && v.text.empty(), "an array holds elements only");
            for (const PlistValue& e : v.array) walk(e);
            break;
        case K::boolean:
            require(v.text == "true" || v.text == "false", "a boolean is true or false");
            [[fallthrough]];
        default:
            require(v.dict.empty() && v.array.empty(), "a scalar has no children");
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zeq::device;
    const std::string_view xml(reinterpret_cast<const char*>(data), size);

    std::optional<PlistValue> root;
    try {
        root = parse::read_plist(xml);
    } catch (const std::runtime_error&) {
    }
    if (root) walk(*root);

    std::optional<std::string> serial;
    try {
        serial = parse::plist_platform_serial(xml);
    } catch (const std::runtime_error&) {
    }

    // The serial lookup reads the same tree.
    const PlistValue* entry = root && root->kind == PlistValue::Kind::dict ? root->find("IOPlatformSerialNumber") : nullptr;
    const bool expected = root && root->kind == PlistValue::Kind::dict &&
                          (entry == nullptr || entry->kind == PlistValue::Kind::string);
    require(serial.has_value() == expected, "the serial lookup succeeds exactly for a dictionary with a string serial");
    if (serial) require(*serial == (entry ? entry->text : std::string()), "the serial is the entry's text");
    return 0;
}
