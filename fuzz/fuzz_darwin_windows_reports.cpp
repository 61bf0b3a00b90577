// The macOS and Windows probes' readers ("sysctl hw.model", "whoami /user",
// "diskutil info /", "wmic ... get ...", "ioreg -rd1") over arbitrary bytes: none
// of them refuses or crashes. On text the platform layer can hand over (strict
// UTF-8, newlines normalized) the results also keep their shape.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/device/parsers.hpp"
#include "core/platform/platform.hpp"
#include "core/text.hpp"
#include "require.hpp"

namespace {

using namespace zeq;
using fuzz::has_space;
using fuzz::require;
using fuzz::stripped;

void readers(std::string_view s, bool checked) {
    const std::string model = device::parse::sysctl_model(s);
    if (checked) {
        require(stripped(model), "the model is trimmed");
        if (s.find(':') != std::string_view::npos)
            require(model.find(':') == std::string::npos, "the model follows the last colon");
    }

    if (auto sid = device::parse::whoami_sid_line(s); sid && checked)
        require(sid->find("S-1-") != std::string::npos && stripped(*sid) && sid->find('\n') == std::string::npos,
                "the SID line is one trimmed line holding a SID");

    for (std::string_view label : {"Volume UUID:", "ProcessorId", "SerialNumber"}) {
        if (auto token = device::parse::label_token(s, label); token && checked)
            require(!token->empty() && !has_space(*token), "a labelled token is one word");
    }

    if (auto rest = device::parse::label_rest_of_line(s, "Product Name:"); rest && checked)
        require(!rest->empty() && rest->find('\n') == std::string::npos, "the rest of the line is non-empty, one line");

    if (auto uuid = device::parse::quoted_assignment(s, "IOPlatformUUID"); uuid && checked)
        require(!uuid->empty() && uuid->find('"') == std::string::npos, "a quoted value is non-empty and unquoted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    readers(raw, false);
    if (fuzz::is_probe_text(raw)) readers(platform::normalize_newlines(raw), true);
    return 0;
}
