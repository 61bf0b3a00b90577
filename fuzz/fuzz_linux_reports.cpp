// The Linux probes' readers (/proc/cpuinfo, /etc/fstab, "df -h /", "dmidecode
// -t baseboard") and the text cuts under them, over arbitrary bytes: a parse
// failure (core::Error) is the only way to refuse. On text the platform layer can hand over (strict
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
using fuzz::require_parse_failure;
using fuzz::stripped;

bool joined_back(const std::vector<std::string_view>& pieces, std::string_view s, std::string_view sep) {
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) joined += sep;
        joined += pieces[i];
    }
    return joined == s;
}

void cuts(std::string_view s, bool checked) {
    const auto colon = device::parse::split_at(s, ':');
    const auto words = device::parse::split_whitespace(s);
    const auto lines = device::parse::file_lines(s);
    const auto host_lines = device::parse::splitlines(s);
    require(joined_back(colon, s, ":"), "split_at pieces join back with the separator");
    require(joined_back(lines, s, ""), "file_lines concatenate back to the text");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        require(lines[i].back() == '\n', "each line but the last ends in a line feed");
    for (std::string_view line : host_lines)
        require(line.find('\n') == std::string_view::npos, "splitlines drops line feeds");
    if (!checked) return;
    for (std::string_view w : words)
        require(!w.empty() && !has_space(w), "words are non-empty and hold no white space");
}

void readers(std::string_view s, bool checked) {
    for (std::string_view prefix : {"serial", "model name"}) {
        const device::parse::CpuinfoScan scan = device::parse::cpuinfo_field(s, prefix);
        require(!(scan.value && scan.failure), "a cpuinfo scan ends with a value or a failure, not both");
        if (checked && scan.value)
            require(!scan.value->empty() && stripped(*scan.value) &&
                        scan.value->find_first_of(":\n") == std::string::npos,
                    "a cpuinfo value is one trimmed field of one line");
    }

    try {
        if (auto uuid = device::parse::fstab_root_uuid(s); uuid && checked)
            require(!uuid->empty() && !has_space(*uuid), "the fstab UUID is one word");
    } catch (const core::Error& e) {
        require_parse_failure(e);
    }

    if (auto fs = device::parse::df_filesystem(s); fs && checked)
        require(!fs->empty() && !has_space(*fs), "the df file system is one word");

    if (auto product = device::parse::dmidecode_product_name(s); product && checked)
        require(stripped(*product) && product->find('\n') == std::string::npos, "the product name is one trimmed line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    cuts(raw, false);
    readers(raw, false);
    if (fuzz::is_probe_text(raw)) {
        const std::string s = platform::normalize_newlines(raw);
        cuts(s, true);
        readers(s, true);
    }
    return 0;
}
