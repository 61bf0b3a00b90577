// Where the core writes its log lines; the bindings forward them to the host's
// named loggers. Levels carry the host's numeric values.
#pragma once

#include <string_view>

namespace zeq::core {

enum class LogLevel { debug = 10, info = 20, warning = 30, error = 40 };

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log(LogLevel level, std::string_view message) = 0;
};

// A sink that drops everything, for callers that do not log.
class NullLog final : public LogSink {
public:
    void log(LogLevel, std::string_view) override {}
};

}  // namespace zeq::core
