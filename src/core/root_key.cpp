#include "core/root_key.hpp"

#include "core/decimal.hpp"
#include "core/error.hpp"
#include "core/host_texts.hpp"

namespace zeq::root_key {

namespace {
constexpr std::string_view operation = "parse_root_key";
}  // namespace

Parts parse(std::string_view root_key, core::LogSink& log) {
    if (root_key.empty()) return {};
    const std::size_t underscore = root_key.find('_');
    if (underscore == std::string_view::npos) {
        log.log(core::LogLevel::debug, operation, core::texts::master_key_split::missing_weight_log);
        return {root_key, {}};
    }
    Parts parts{root_key.substr(0, underscore), {}};
    try {
        parts.weight_param = decimal::safe_int(root_key.substr(underscore + 1));
    } catch (const core::Error& e) {
        if (e.kind() != core::ErrorKind::value) throw;
        log.log(core::LogLevel::debug, operation, core::texts::master_key_split::non_numeric_weight_log);
    }
    return parts;
}

}  // namespace zeq::root_key
