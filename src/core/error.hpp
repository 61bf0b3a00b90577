// The one failure type of the core. The bindings turn each host-facing kind
// into the host's matching error type; `module` means "the error type of the
// calling module". The device kinds stay inside the probe chains, which log
// each of them their own way; should one reach the host it is the host's
// RuntimeError, as any other C++ failure. Besides core::Error the core lets
// only std::bad_alloc and core::Interrupted out.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace zeq::core {

enum class ErrorKind {
    module,    // the module's own error type (HashingError, DerivedSaltError, ...)
    value,     // the host's ValueError
    index,     // the host's IndexError
    type,      // the host's TypeError
    generic,   // the host's base Exception
    overflow,  // the host's OverflowError: a result too long for the host's index range
    runtime,   // the host's RuntimeError: a failure of the machinery (libcrypto), not of the input

    // The device probes' own kinds.
    command_not_found,  // the program of a command does not exist
    command_timeout,    // a command outlived its time-out and was stopped
    command_failed,     // any other command that gave no result (start, wait, output, exit status)
    system,             // a file or registry value that could not be read or decoded
    parse,              // a reading whose text the probe must treat as a failure
};

class Error : public std::exception {
public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ErrorKind kind_;
    std::string message_;
};

[[noreturn]] inline void fail(ErrorKind kind, std::string message) { throw Error(kind, std::move(message)); }
[[noreturn]] inline void fail_module(std::string message) { throw Error(ErrorKind::module, std::move(message)); }
[[noreturn]] inline void fail_value(std::string message) { throw Error(ErrorKind::value, std::move(message)); }

// Runs `body`; an ordinary failure goes to `handle(const std::exception&)`,
// whose result (or throw) stands for the body's. Out of memory is no ordinary
// failure: it is never dressed up, logged away or answered, it leaves as
// itself. Neither does core::Interrupted, which is no std::exception. Every
// failure guard of the layer, core and bindings, is built on this one.
template <class Body, class Handler>
auto on_failure(Body&& body, Handler&& handle) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        return handle(e);
    }
}

// Runs `body`; any failure becomes the module's error "prefix + text of the failure".
template <class Body>
auto wrap_failures(std::string_view prefix, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    return on_failure(std::forward<Body>(body), [&](const std::exception& e) -> Result {
        std::string message(prefix);
        message += e.what();
        throw Error(ErrorKind::module, std::move(message));
    });
}

}  // namespace zeq::core
