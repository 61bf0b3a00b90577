// Failures raised by the core. The bindings turn each kind into the host's
// matching error type; `module` means "the error type of the calling module".
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace zeq::core {

enum class ErrorKind {
    module,   // the module's own error type (HashingError, DerivedSaltError, ...)
    value,    // the host's ValueError
    index,    // the host's IndexError
    type,     // the host's TypeError
    generic,  // the host's base Exception
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

// Text of a caught failure, as the host would print it after a wrapping prefix.
inline std::string failure_text(const std::exception& e) { return e.what(); }

// Runs `body`; any failure becomes the module's error "prefix + text of the failure".
template <class Body>
auto wrap_failures(std::string_view prefix, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        throw;  // out of memory is never dressed up as a module error
    } catch (const std::exception& e) {
        std::string message(prefix);
        message += e.what();
        throw Error(ErrorKind::module, std::move(message));
    }
}

}  // namespace zeq::core
