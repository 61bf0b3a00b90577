// What the device probes need from the operating system, behind one small
// interface: the real implementations live in src/core/platform/ (one per
// system family) and the tests drive the probes through a fake.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/interrupted.hpp"

namespace zeq::platform {

// Where the child's standard error goes.
enum class ErrorStream {
    merged,     // into the captured standard output
    separate,   // captured on its own (Completed::err)
    inherited,  // the process's own standard error, not captured
};

// A command that ran to its end. Texts are decoded from the system's default
// encoding to UTF-8, with CRLF and lone CR turned into LF.
struct Completed {
    int status = 0;
    std::string out;
    std::string err;
};

// Lets the caller stop a wait for a command. The runners ask check() at least
// once per `interruption_slice` while they wait for a command; a caller stops
// the wait by throwing core::Interrupted from it. The runner then kills and
// reaps the command, closes its pipes and lets that exception through as it is.
class Interruption {
public:
    virtual ~Interruption() = default;
    virtual void check() = 0;
};

inline constexpr std::chrono::milliseconds interruption_slice{50};

// Never stops a wait.
class NoInterruption final : public Interruption {
public:
    void check() override {}
};

class Platform {
public:
    virtual ~Platform() = default;

    // "Windows", or the kernel's name as uname() reports it; empty when unknown.
    virtual std::string system_name() = 0;
    // The network node name; empty when unknown.
    virtual std::string host_name() = 0;

    // Starts argv[0] (looked up on the executable search path, no shell) and
    // waits for it. The child is killed when it has not finished within
    // `timeout`. Throws core::Error of kind command_not_found when the program
    // does not exist, command_timeout, or command_failed (cannot start,
    // unreadable output, ...); the probes log each kind differently. A
    // non-zero exit status is returned, not thrown. While it waits it asks the
    // platform's Interruption, and lets what that throws through.
    virtual Completed run(const std::vector<std::string>& argv, ErrorStream errors,
                          std::chrono::milliseconds timeout) = 0;

    // True when the path exists (any kind of file); false on any error.
    virtual bool file_exists(const std::string& path) = 0;
    // The whole file decoded as text like a command's output; throws
    // core::Error (system) when it cannot be opened, read or decoded.
    virtual std::string read_text_file(const std::string& path) = 0;

    // The text form of a value under HKEY_LOCAL_MACHINE\subkey; throws
    // core::Error (system) when the key or the value cannot be read (always
    // on systems without a registry).
    virtual std::string read_machine_registry_value(const std::string& subkey, const std::string& name) = 0;
};

// A private copy of this process's environment, which a command gets in place
// of the live one. Whoever changes the environment while the command starts
// (another thread of the host, setting os.environ) changes the live one only:
// the copy is taken where nothing changes it at the same time (the bindings
// take it with the GIL held, which every change through os.environ holds
// too), and the spawn reads nothing else, the executable search path included.
class Environment {
public:
#ifdef _WIN32
    using Char = wchar_t;  // the system's own form of an environment block
#else
    using Char = char;
#endif
    // The entries as they are now.
    static Environment of_this_process();
    // Every entry "NAME=value" ended by a NUL, and one more NUL after the last.
    const std::basic_string<Char>& block() const noexcept { return block_; }

private:
    std::basic_string<Char> block_;
};

// Hands a platform the environment of each command it starts.
class EnvironmentSource {
public:
    virtual ~EnvironmentSource() = default;
    // The environment as it is now, copied where nothing changes it meanwhile.
    virtual Environment copy() = 0;
};

// The platform of the running system; its waits for commands ask `interruption`
// (which must outlive it). Each command starts with the environment `source`
// copies for it at its start, or (without a source) with this process's
// environment as the spawn finds it.
std::unique_ptr<Platform> make_system_platform(Interruption& interruption);
std::unique_ptr<Platform> make_system_platform(Interruption& interruption, EnvironmentSource& source);
// ... and one whose waits nothing interrupts.
inline std::unique_ptr<Platform> make_system_platform() {
    static NoInterruption none;
    return make_system_platform(none);
}

// ---------------------------------------------------------------- helpers shared by the implementations

// Strict UTF-8 (no surrogates, no overlong forms), as the host's decoder
// accepts it; throws core::Error (system) naming the first bad byte.
void require_strict_utf8(std::string_view bytes);

// CRLF and lone CR become LF.
std::string normalize_newlines(std::string_view text);

// require_strict_utf8 + normalize_newlines.
std::string decode_utf8_text(std::string_view bytes);

// The failure texts of a command, in the host's words for them (its
// subprocess errors), the same from every runner.
std::string timed_out_text(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);
std::string non_zero_status_text(const std::vector<std::string>& argv, int status);

// The runners' side of an Interruption: when the next check() of a wait is due.
class InterruptionSchedule {
public:
    explicit InterruptionSchedule(Interruption& interruption)
        : interruption_(interruption), due_(std::chrono::steady_clock::now() + interruption_slice) {}
    // `wait` in milliseconds (at least 0), cut short to end when the next check is due.
    int bounded_ms(int wait) const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - std::chrono::steady_clock::now()).count();
        const int until_due = left < 0 ? 0 : static_cast<int>(left);
        return wait < until_due ? wait : until_due;
    }
    // Asks check() when it is due.
    void check_if_due() {
        if (std::chrono::steady_clock::now() >= due_) check_now();
    }
    // Asks check() at once (a signal has just interrupted the wait).
    void check_now() {
        due_ = std::chrono::steady_clock::now() + interruption_slice;
        interruption_.check();
    }

private:
    Interruption& interruption_;
    std::chrono::steady_clock::time_point due_;
};

// Output larger than this is not a device reading; the command is stopped.
inline constexpr std::size_t max_output_bytes = 16u << 20;

}  // namespace zeq::platform
