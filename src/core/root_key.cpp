#include "core/root_key.hpp"

#include "core/decimal.hpp"
#include "core/error.hpp"

namespace zeq::root_key {

namespace {
constexpr std::string_view operation = "parse_root_key";
}  // namespace

Parts parse(std::string_view root_key, core::LogSink& log) {
    if (root_key.empty()) return {SecretBuffer(), SecretBuffer(default_weight_param)};
    const std::size_t underscore = root_key.find('_');
    if (underscore == std::string_view::npos) {
        log.log(core::LogLevel::debug, operation, "root_key format missing weight parameter, using default value 1000");
        return {SecretBuffer(root_key), SecretBuffer(default_weight_param)};
    }
    Parts parts{SecretBuffer(root_key.substr(0, underscore)), {}};
    try {
        parts.weight_param = decimal::safe_int(root_key.substr(underscore + 1));
    } catch (const core::Error& e) {
        if (e.kind() != core::ErrorKind::value) throw;
        log.log(core::LogLevel::debug, operation,
                "root_key format contains non-numeric weight parameter, using default value 1000");
        parts.weight_param = SecretBuffer(default_weight_param);
    }
    return parts;
}

}  // namespace zeq::root_key
