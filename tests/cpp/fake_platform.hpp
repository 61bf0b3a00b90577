// A scripted machine for the device probes: commands, files and registry
// values are set per test; every command run is recorded.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/device/probes.hpp"
#include "core/interrupted.hpp"
#include "core/log.hpp"
#include "core/platform/platform.hpp"

namespace zeq::test {

struct FakeCommand {
    // interrupted: the caller stopped the wait (what a host's signal handler does)
    enum class Outcome { completed, not_found, timeout, other, interrupted } outcome = Outcome::completed;
    int status = 0;
    std::string out;
    std::string err;
};

inline FakeCommand prints(std::string out, int status = 0) {
    return {FakeCommand::Outcome::completed, status, std::move(out), {}};
}
inline FakeCommand hangs() { return {FakeCommand::Outcome::timeout, 0, {}, {}}; }
inline FakeCommand breaks() { return {FakeCommand::Outcome::other, 0, {}, {}}; }
inline FakeCommand interrupted() { return {FakeCommand::Outcome::interrupted, 0, {}, {}}; }

class FakePlatform final : public platform::Platform {
public:
    std::string system = "Linux";
    std::string host = "testbox";
    std::map<std::string, FakeCommand> commands;  // "argv joined by spaces" -> outcome; absent = not found
    std::map<std::string, std::string> files;     // readable files
    std::vector<std::string> unreadable;          // files that exist but fail to read
    std::map<std::string, std::string> registry;  // "subkey|name" -> value
    struct Call {
        std::string command;
        platform::ErrorStream errors;
        std::chrono::milliseconds timeout;
    };
    std::vector<Call> calls;

    std::string system_name() override { return system; }
    std::string host_name() override { return host; }

    platform::Completed run(const std::vector<std::string>& argv, platform::ErrorStream errors,
                            std::chrono::milliseconds timeout) override {
        std::string key;
        for (const auto& a : argv) key += (key.empty() ? "" : " ") + a;
        calls.push_back({key, errors, timeout});
        auto it = commands.find(key);
        if (it == commands.end()) throw core::Error(core::ErrorKind::command_not_found, "no " + argv[0]);
        switch (it->second.outcome) {
            case FakeCommand::Outcome::not_found: throw core::Error(core::ErrorKind::command_not_found, "gone");
            case FakeCommand::Outcome::timeout: throw core::Error(core::ErrorKind::command_timeout, "timed out");
            case FakeCommand::Outcome::other: throw core::Error(core::ErrorKind::command_failed, "broken");
            case FakeCommand::Outcome::interrupted: throw core::Interrupted();
            case FakeCommand::Outcome::completed: break;
        }
        return {it->second.status, it->second.out, it->second.err};
    }
    bool file_exists(const std::string& path) override {
        if (files.count(path)) return true;
        for (const auto& u : unreadable)
            if (u == path) return true;
        return false;
    }
    std::string read_text_file(const std::string& path) override {
        auto it = files.find(path);
        if (it == files.end()) throw core::Error(core::ErrorKind::system, "cannot read " + path);
        return it->second;
    }
    std::string read_machine_registry_value(const std::string& subkey, const std::string& name) override {
        auto it = registry.find(subkey + "|" + name);
        if (it == registry.end()) throw core::Error(core::ErrorKind::system, "value not found");
        return it->second;
    }
};

// Records every line; throws core::Interrupted (as the host's logging may)
// when a line starting with `interrupt_at` is written.
class RecordingLog final : public core::LogSink {
public:
    std::vector<std::pair<core::LogLevel, std::string>> lines;
    std::vector<std::string> operations;  // of each line
    std::string interrupt_at;
    void log(core::LogLevel level, std::string_view operation, std::string_view message) override {
        lines.emplace_back(level, std::string(message));
        operations.emplace_back(operation);
        if (!interrupt_at.empty() && message.substr(0, interrupt_at.size()) == interrupt_at) throw core::Interrupted();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(l.second);
        return out;
    }
    bool all_debug() const {
        for (const auto& l : lines)
            if (l.first != core::LogLevel::debug) return false;
        return true;
    }
};

// One machine and its log.
struct Machine {
    FakePlatform os;
    RecordingLog log;
    device::Probe probe{os, log};
};

}  // namespace zeq::test

namespace zeq::test {
inline std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += (out.empty() ? "" : " | ") + l;
    return out;
}
}  // namespace zeq::test
