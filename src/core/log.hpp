// Where the core writes its log lines; the bindings forward them to the host's
// named loggers. Levels carry the host's numeric values.
//
// Writing a line may throw core::Interrupted: the host's logging can raise an
// exception of its own (a user's interrupt, say), which must leave the
// operation at once, as it would leave the host's own code. Code that logs is
// therefore exception-safe (it owns what it holds) and never takes such a
// throw for a failure of its own work.
#pragma once

#include <string_view>

namespace zeq::core {

enum class LogLevel { debug = 10, info = 20, warning = 30, error = 40 };

class LogSink {
public:
    virtual ~LogSink() = default;
    // `operation` names the system's operation that writes the line (the
    // host's records show it as the function that logged).
    virtual void log(LogLevel level, std::string_view operation, std::string_view message) = 0;
};

// A sink that drops everything, for callers that do not log.
class NullLog final : public LogSink {
public:
    void log(LogLevel, std::string_view, std::string_view) override {}
};

}  // namespace zeq::core
