// A small unit-test harness for the core: TEST_CASE registers, CHECK records.
// Each test binary prints "N passed, N failed" and exits non-zero on a failure.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace zeq::test {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void report(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

template <class A, class B>
void check_equal(const A& a, const B& b, const char* sa, const char* sb, const char* file, int line) {
    if (!(a == b)) {
        std::ostringstream out;
        out << sa << " == " << sb << "\n    left:  " << a << "\n    right: " << b;
        report(file, line, out.str());
    }
}

inline const char* kind_name(core::ErrorKind kind) {
    switch (kind) {
        case core::ErrorKind::module: return "module";
        case core::ErrorKind::value: return "value";
        case core::ErrorKind::index: return "index";
        case core::ErrorKind::type: return "type";
        case core::ErrorKind::generic: return "generic";
        case core::ErrorKind::overflow: return "overflow";
        case core::ErrorKind::runtime: return "runtime";
        case core::ErrorKind::command_not_found: return "command_not_found";
        case core::ErrorKind::command_timeout: return "command_timeout";
        case core::ErrorKind::command_failed: return "command_failed";
        case core::ErrorKind::system: return "system";
        case core::ErrorKind::parse: return "parse";
    }
    return "(unknown kind)";
}

// Runs `body`, which must throw core::Error of `kind` with exactly `message`:
// the messages are what the host sees.
template <class Body>
void check_throws(Body&& body, core::ErrorKind kind, const std::string& message, const char* expr, const char* file,
                  int line) {
    try {
        body();
    } catch (const core::Error& e) {
        if (e.kind() == kind && e.message() == message) return;
        report(file, line,
               std::string("throw of ") + expr + "\n    expected: " + kind_name(kind) + " \"" + message +
                   "\"\n    thrown:   " + kind_name(e.kind()) + " \"" + e.message() + "\"");
        return;
    } catch (const std::exception& e) {
        report(file, line, std::string("throw of ") + expr + ": not a core::Error: " + e.what());
        return;
    }
    report(file, line, std::string("expected a throw: ") + expr);
}

inline int run_all() {
    int passed = 0, failed = 0;
    for (const Case& c : registry()) {
        const int before = failures();
        try {
            c.body();
        } catch (const std::exception& e) {
            report(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        if (failures() == before) ++passed;
        else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace zeq::test

#define ZEQ_CAT2(a, b) a##b
#define ZEQ_CAT(a, b) ZEQ_CAT2(a, b)
#define TEST_CASE(name)                                                                            \
    static void ZEQ_CAT(test_fn_, __LINE__)();                                                     \
    static ::zeq::test::Register ZEQ_CAT(test_reg_, __LINE__)(name, &ZEQ_CAT(test_fn_, __LINE__)); \
    static void ZEQ_CAT(test_fn_, __LINE__)()
#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) ::zeq::test::report(__FILE__, __LINE__, #cond); \
    } while (0)
#define CHECK_EQ(a, b) ::zeq::test::check_equal((a), (b), #a, #b, __FILE__, __LINE__)
// expr must throw core::Error of `kind` (a core::ErrorKind) with exactly `message`.
#define CHECK_THROWS(expr, kind, message) \
    ::zeq::test::check_throws([&] { (void)(expr); }, (kind), (message), #expr, __FILE__, __LINE__)
// expr must throw an exception of type `type` (std::bad_alloc, say).
#define CHECK_THROWS_AS(expr, type)                                                                     \
    do {                                                                                                \
        bool thrown_ = false;                                                                           \
        try {                                                                                           \
            (void)(expr);                                                                               \
        } catch (const type&) {                                                                         \
            thrown_ = true;                                                                             \
        } catch (...) {}                                                                                \
        if (!thrown_) ::zeq::test::report(__FILE__, __LINE__, "expected a throw of " #type ": " #expr); \
    } while (0)
