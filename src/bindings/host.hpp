// What every binding shares at the host boundary: exact argument types, text
// conversion, integers of any size, the modules' error types, the logging bridge
// and calls into sibling modules that the host may have replaced.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/derivation.hpp"
#include "core/error.hpp"
#include "core/interrupted.hpp"
#include "core/log.hpp"
#include "core/secret_buffer.hpp"
#include "core/text.hpp"
#include "bindings/replaceable.hpp"

namespace zeq::host {

namespace nb = nanobind;

// ---------------------------------------------------------------- argument types
// The layer refuses subclasses where it declares text or a dictionary, and
// refuses anything that is not a number where it declares an integer; nanobind
// turns a refused argument into the host's TypeError before the call.

// The host object behind an argument, held (owned) for as long as the C++ value
// lives: host code that runs in the middle of a call (a salt's __index__, a key's
// __eq__) cannot free it, whatever it empties or rewrites.
class Held {
public:
    Held() = default;
    explicit Held(PyObject* object) : ptr(object), owner_(object != nullptr ? nb::borrow(object) : nb::object()) {}
    PyObject* ptr = nullptr;

private:
    nb::object owner_;
};

struct Text : Held {  // exactly str
    using Held::Held;
};
struct OptText : Held {  // exactly str, or None (ptr == nullptr)
    using Held::Held;
    bool is_none() const noexcept { return ptr == nullptr; }
};
struct Dict : Held {  // exactly dict
    using Held::Held;
};
struct OptDict : Held {  // exactly dict, or None (ptr == nullptr)
    using Held::Held;
    bool is_none() const noexcept { return ptr == nullptr; }
};
struct Salts : Dict {  // a salt set: exactly dict, declared to the host as dict[str, int]
    using Dict::Dict;
};
struct Int {  // a number truncated toward zero, held as an exact int
    nb::object value;
};
struct OptInt {  // Int, or None (value is invalid)
    nb::object value;
    bool is_none() const noexcept { return !value.is_valid(); }
};

// ---------------------------------------------------------------- text
// UTF-8 of a str, surrogate code points kept in their three-byte form. Uses the
// string's cached UTF-8 when it has no lone surrogates (no copy for ASCII).
class Utf8 {
public:
    explicit Utf8(PyObject* str);
    explicit Utf8(const Text& t) : Utf8(t.ptr) {}
    ~Utf8();  // the copy made for lone surrogates is wiped: the text may be a key
    Utf8(const Utf8&) = delete;
    Utf8& operator=(const Utf8&) = delete;
    std::string_view view() const noexcept { return view_; }
    operator std::string_view() const noexcept { return view_; }
    std::size_t size() const noexcept { return view_.size(); }

private:
    std::string_view view_;
    // What the view points into, held: the str itself (its cached UTF-8), or the
    // bytes of the surrogate-passing encoder.
    nb::object owner_;
};

// A str from UTF-8 bytes, surrogate three-byte forms decoded back to surrogates.
nb::str to_str(std::string_view utf8);

// The same for bytes text::check_layer_utf8 accepted and measured as `shape`:
// the str is made at its final kind and size and filled without a second check
// (without the GIL when the text is large).
nb::str str_from_checked_utf8(std::string_view utf8, const text::Utf8Shape& shape);

// A str (or the bytes) the layer made of key material for a call of its own (the
// text cipher, a hash), never handed to the host as a result: its characters,
// and the UTF-8 the host may have cached beside them, are wiped when it is
// released. When the callee kept a reference it has become the callee's, and is
// left alone; so is anything that is not an exact str or bytes.
class SecretStr {
public:
    explicit SecretStr(nb::object s) noexcept : object_(std::move(s)) {}
    ~SecretStr() { wipe_if_unshared(object_.ptr()); }
    SecretStr(SecretStr&&) noexcept = default;  // the moved-from holds nothing to wipe
    SecretStr(const SecretStr&) = delete;
    SecretStr& operator=(const SecretStr&) = delete;
    const nb::object& get() const noexcept { return object_; }
    PyObject* ptr() const noexcept { return object_.ptr(); }
    // Hands the object over (a result for the host): it is no longer wiped.
    nb::object release() noexcept { return std::move(object_); }

    static void wipe_if_unshared(PyObject* object) noexcept;

private:
    nb::object object_;
};

// The SHA-256 hex digest of bytes, written straight into a new str (no
// intermediate copy: digests are the layer's most frequent results). The raw
// digest is wiped: many of these digests are keys.
nb::str hex_digest_str(std::string_view bytes);

// Number of code points of a str.
inline std::size_t length(const Text& t) noexcept { return static_cast<std::size_t>(PyUnicode_GET_LENGTH(t.ptr)); }
inline bool is_empty(const Text& t) noexcept { return PyUnicode_GET_LENGTH(t.ptr) == 0; }

// ---------------------------------------------------------------- integers
// Decimal text of an int of any size (the host's ValueError past its digit limit),
// in a SecretBuffer: weights travel as such texts.
SecretBuffer decimal_text(nb::handle integer);
inline SecretBuffer decimal_text(const Int& i) { return decimal_text(i.value); }

// An int from canonical decimal text of any size.
nb::object int_from_decimal(std::string_view canonical);

// The value of an int, clamped to the 64-bit range (positions and counts beyond
// it behave like the clamped value wherever the layer uses them).
std::int64_t clamped(nb::handle integer) noexcept;
inline std::int64_t clamped(const Int& i) noexcept { return clamped(i.value); }

// A number converted to an int by truncation toward zero; raises the host's
// TypeError for anything that is not a number (text and None included). The
// value is held while its __index__ runs.
nb::object truncate_number(nb::handle value);

// ---------------------------------------------------------------- containers of the layer's own
// A list or tuple the layer makes for its own use and never hands out (keys to
// sort, say), hidden from the host's gc (a dict would be tracked again as soon as
// a container went into it): gc.get_objects() and gc.get_referrers()
// never give it out, so host code that runs at an allocation (a gc callback, a
// __del__, a weakref callback) can neither read nor change it. Nothing of the
// host refers to it, so it is in no reference cycle the gc would have to break.
inline nb::object hidden_from_gc(nb::object container) noexcept {
    PyObject_GC_UnTrack(container.ptr());
    return container;
}

// ---------------------------------------------------------------- dictionaries
// dict[key] as an owned reference, or an invalid object when the key is absent;
// the host's error when the lookup itself fails (a key's __eq__ or __hash__).
// Owned, because whatever runs next (a value's __index__, the next lookup) may
// empty or rewrite the dictionary and free what it held.
inline nb::object dict_item(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);  // invalid when absent
}

// A salt value as the layer reads it: None stays none (each operation decides
// what none means), a number is truncated toward zero and clamped, anything else
// is the host's TypeError.
std::optional<std::int64_t> salt_value(const nb::object& value);

// A salt that repeats a text, as the host repeats it by the salt's int: None
// stays none, a number is truncated toward zero, an int beyond the host's
// index range is kept as such (each of these fails only where it repeats a
// part); anything else is the host's TypeError.
derivation::Repeat repeat_value(const nb::object& value);

// ---------------------------------------------------------------- secrets
// Equality of two exact str objects (credentials, digests) that takes the same
// time wherever they differ: their UTF-8 lengths, then every byte.
bool secret_equal(nb::handle a, nb::handle b);
// The same for a secret the layer computed (and never makes a str of) against the
// host's exact str.
bool secret_equal(std::string_view computed, nb::handle given);

// The operation F, after which the stack it used and the vector registers are
// scrubbed (scrubbing_stack): what every operation that handles keys, key
// sources, credentials or weight texts is bound as.
template <auto F>
struct Scrubbed;
template <class R, class... Args, R (*F)(Args...)>
struct Scrubbed<F> {
    static R call(Args... args) {
        return scrubbing_stack([&]() -> R { return F(std::forward<Args>(args)...); });
    }
};
template <auto F>
inline constexpr auto scrubbed = &Scrubbed<F>::call;

// `name` as an interned str, kept for the life of the process; raises the
// host's error when it cannot be made. Every name the bindings look up or
// key by again and again is made once through it (a str made per call would
// miss the attribute cache).
PyObject* intern_name(const char* name);

// ---------------------------------------------------------------- errors
// Creates `name` deriving from Exception, with its documentation text, as an
// attribute of the module. The returned reference lives as long as the process.
PyObject* make_error_type(nb::module_& m, const char* name, const char* doc);

[[noreturn]] void raise(PyObject* type, std::string_view message);
// The host's TypeError for an argument of the wrong kind, naming it as the
// host's own functions do: "<function>() argument '<argument>' must be
// <expected>, not <type of got>" (None by its name, a type by its last part).
[[noreturn]] void raise_argument_type(const char* function, const char* argument, const char* expected, nb::handle got);
// The host's error type that stands for a core failure of `kind`; module_error for `module`.
PyObject* host_type_of(core::ErrorKind kind, PyObject* module_error) noexcept;
[[noreturn]] void raise_core(const core::Error& e, PyObject* module_error);

// ---------------------------------------------------------------- failures at the host boundary
// What an operation makes of the failures of its body: which failures it
// catches (ordinary host exceptions, core failures, any other C++ failure)
// and what each caught one becomes. Every failure guard of the bindings is a
// policy run by translate_failures. No policy touches what is no ordinary
// failure: out of memory (the host's MemoryError), host exceptions outside the
// Exception family (KeyboardInterrupt, SystemExit, ...) and a HostException
// (the host's own exception out of its logging or signal handlers) all leave
// as themselves; so does whatever a policy does not catch.
struct FailurePolicy {
    enum class Into {
        by_kind,      // core failures only: the host's type of their kind (module: module_error)
        host_error,   // error_type(prefix + text of the failure)
        core_module,  // core::Error(module, prefix + text): the caller's own policy decides
    };
    Into into = Into::by_kind;
    bool catches_host = false;   // ordinary host exceptions (the Exception family)
    bool catches_core = true;    // core::Error
    bool catches_other = false;  // C++ failures that are not core::Error
    PyObject* error_type = nullptr;
    std::string_view prefix;
    // The original failure, as the host exception it would have been, becomes
    // the __cause__ of the error raised (C++ failures only).
    bool with_cause = false;
    // Logged at error level as log_prefix + text before the error is raised.
    core::LogSink* log = nullptr;
    std::string_view operation;
    std::string_view log_prefix;

    // Core failures as the host's error of their kind; anything else passes.
    static FailurePolicy by_kind(PyObject* module_error) noexcept {
        FailurePolicy p;
        p.error_type = module_error;
        return p;
    }
    // Every ordinary failure, the host's or the core's, as error_type(prefix + text).
    static FailurePolicy wrap_all(PyObject* error_type, std::string_view prefix) noexcept {
        FailurePolicy p;
        p.into = Into::host_error;
        p.catches_host = p.catches_other = true;
        p.error_type = error_type;
        p.prefix = prefix;
        return p;
    }
    // Every ordinary failure as core::Error(module, prefix + text), for an
    // outer policy to translate.
    static FailurePolicy wrap_into_core(std::string_view prefix) noexcept {
        FailurePolicy p = wrap_all(nullptr, prefix);
        p.into = Into::core_module;
        return p;
    }
    // C++ failures as error_type(prefix + text) raised from the original;
    // the host's own exceptions pass.
    static FailurePolicy wrap_with_cause(PyObject* error_type, std::string_view prefix) noexcept {
        FailurePolicy p = wrap_all(error_type, prefix);
        p.catches_host = false;
        p.with_cause = true;
        return p;
    }
    // Ordinary host exceptions logged for `operation` as log_prefix + text,
    // then raised as error_type(prefix + text); C++ failures pass.
    static FailurePolicy log_and_wrap(core::LogSink& sink, std::string_view operation, std::string_view log_prefix,
                                      PyObject* error_type, std::string_view prefix) noexcept {
        FailurePolicy p = wrap_all(error_type, prefix);
        p.catches_core = p.catches_other = false;
        p.log = &sink;
        p.operation = operation;
        p.log_prefix = log_prefix;
        return p;
    }
};

// Called inside a catch block with the failure being handled: translates it
// as `policy` says, or throws it on untouched.
[[noreturn]] void translate_failure(const FailurePolicy& policy, const std::exception& failure);

// Runs `body` under `policy`.
template <class Body>
decltype(auto) translate_failures(const FailurePolicy& policy, Body&& body) {
    using Result = decltype(body());
    return core::on_failure(std::forward<Body>(body),
                            [&](const std::exception& failure) -> Result { translate_failure(policy, failure); });
}

// Runs core code, turning core failures into the host's error types.
// (call_core and wrap_host_failures are the two most used policies by name.)
template <class Body>
decltype(auto) call_core(PyObject* module_error, Body&& body) {
    return translate_failures(FailurePolicy::by_kind(module_error), std::forward<Body>(body));
}

// Runs `body` with the host's failures caught: every Exception becomes
// module_error(prefix + str(exception)); core failures likewise.
template <class Body>
decltype(auto) wrap_host_failures(PyObject* module_error, std::string_view prefix, Body&& body) {
    return translate_failures(FailurePolicy::wrap_all(module_error, prefix), std::forward<Body>(body));
}

// Text of the exception being handled, as str(exception) gives it.
std::string exception_text(const nb::python_error& e);

// True for errors of the host's ordinary family (Exception and its subclasses).
bool is_ordinary(const nb::python_error& e) noexcept;

// ---------------------------------------------------------------- host exceptions through the core
// An exception the host raised while core code ran: out of its logging, or
// from a signal handler while a command was awaited. It crosses the core as a
// core::Interrupted, which no failure handling there absorbs, and leaves the
// operation as the very exception the host raised.
class HostException final : public core::Interrupted {
public:
    HostException() = default;  // takes the host's pending exception; needs the GIL
    nb::python_error& error() noexcept { return error_; }

private:
    nb::python_error error_;
};

// Lets a HostException that reaches nanobind leave the operation as the
// exception it carries. Called by every module whose core code may throw one.
void translate_host_exceptions();

// ---------------------------------------------------------------- logging
// Forwards core log lines to logging.getLogger(name) as records of the layer's
// own code: funcName is the operation that logged, module the module's short
// name, pathname the module's file, lineno 0 (compiled code has no line of
// Python; 0 is what logging itself gives an unknown line). Everything else is
// the logger's own doing (isEnabledFor, makeRecord, handle). While the logger's
// isEnabledFor is logging's own, its answer is read where that method reads it
// (the logger's `disabled` and its level cache), without the call; when the
// cache has no answer yet, or the method was replaced on the logger, its class
// or a subclass, the method is called. Safe to call with or without the GIL
// held. Lives as long as the process.
class Logger final : public core::LogSink {
public:
    // Creates the logger and binds it to the module's `logger` attribute.
    Logger(nb::module_& m, const char* name);
    // What escapes the host's logging (a handler's KeyboardInterrupt, a
    // filter's error, ...) is thrown as a HostException.
    void log(core::LogLevel level, std::string_view operation, std::string_view message) override;

private:
    enum class Verdict { off, on, ask };
    // isEnabledFor(level) as logging's own method would answer it from the
    // logger's state alone, or `ask` when only calling the method can tell.
    // Runs no host code; needs the GIL and no pending exception.
    Verdict cached_verdict(PyObject* level) const;
    // Whether the logger's class leaves isEnabledFor, `disabled` and `_cache`
    // as logging has them (see cached_verdict); remembered for the class as
    // long as its version tag, which any change to it or its bases takes away.
    bool class_reads_as_standard(PyTypeObject* type) const;
    // isEnabledFor(level) as a truth value: 1, 0, or -1 with the host's error set.
    int is_enabled_for(PyObject* level) const;

    PyObject* logger_;
    PyObject* name_;                                 // the logger's name, for its records
    PyObject* module_;                               // the module's short name
    PyObject* pathname_;                             // the module's __file__
    mutable PyTypeObject* checked_class_ = nullptr;  // the class last found to read as standard (not held:
    mutable unsigned int checked_tag_ = 0;           // only compared, with its version tag)
};

// ---------------------------------------------------------------- siblings
// A function of a sibling module looked up at each call, so that a host which
// replaces it (in its tests, say) is obeyed; replaceable.hpp names every such
// lookup. When the attribute is still the layer's own function, callers may run
// the C++ code directly instead.
class SiblingFunction {
public:
    explicit SiblingFunction(const replaceable::ModuleAttribute& function)
        : module_(function.module),
          name_(function.attribute),
          home_(function.home != nullptr ? function.home : function.module) {}
    // The current attribute (imports the module if needed).
    nb::object current() const;
    // True when `f` is the layer's own function of that name in that module.
    bool is_native(nb::handle f) const;

private:
    const char* module_;
    const char* name_;
    const char* home_;
    mutable PyObject* module_key_ = nullptr;  // interned names, made at first use
    mutable PyObject* name_key_ = nullptr;
    mutable PyObject* native_ = nullptr;  // strong reference once seen
};

// ---------------------------------------------------------------- plain objects
// The state object.__getstate__ gives a plain object: its instance dictionary
// (and a subclass's slot values). The layer's classes keep all they hold there,
// so that is all pickle and copy need; object's own default refuses them only
// because a nanobind instance is larger than a plain object.
nb::object plain_state(nb::handle self);

template <class T, class... Options>
void def_plain_state(nb::class_<T, Options...>& cls) {
    cls.def("__getstate__", &plain_state, nb::sig("def __getstate__(self) -> object"),
            "The instance's attributes, as object.__getstate__ gives a plain object's.");
}

// ---------------------------------------------------------------- signatures
// inspect.signature reads `__signature__` from a function's type. nanobind's
// three function types (functions, methods, bound methods) are shared by every
// nanobind module of the process and refuse new attributes from Python, so this
// puts a `__signature__` descriptor into each of them from C++. Its getter asks
// the package's _function_signatures module: the layer's functions answer with
// their Signature; any other function raises AttributeError as it did before.
// Calls never look the attribute up, so they cost what they did. Every module
// calls this when it loads (ZEQ_MODULE); the first call of the process installs it.
void install_function_signatures();

// ---------------------------------------------------------------- loading a module
// What every module of the layer does when it loads, around its body (ZEQ_MODULE
// below): the function signatures first; after the body, its classes get their
// constructor's signature (inspect.signature(cls), help()) and its functions and
// methods refuse arguments as the host's own functions do. A host exception
// raised while the module loads (a missing host module, say) leaves the import as
// itself, as it would leave a plain module's; nanobind would hide it under an
// ImportError of its own.
int load_module(PyObject* module, void (*body)(nb::module_)) noexcept;

// ---------------------------------------------------------------- GIL
// Releases the GIL around work on inputs large enough to be worth it.
inline constexpr std::size_t large_input = 64 * 1024;

class ReleaseIfLarge {
public:
    explicit ReleaseIfLarge(std::size_t size) {
        if (size >= large_input) release_.emplace();
    }

private:
    std::optional<nb::gil_scoped_release> release_;
};

}  // namespace zeq::host

// NB_MODULE of nanobind 3.1, with its body run by host::load_module. Every module
// of the layer is defined with it.
#if NB_VERSION_MAJOR != 3 || NB_VERSION_MINOR != 1
#error "ZEQ_MODULE repeats NB_MODULE of nanobind 3.1: compare it with this version's"
#endif
#define ZEQ_MODULE(name, variable) ZEQ_MODULE_IMPL(name, variable)
#define ZEQ_MODULE_IMPL(name, variable)                                                                            \
    static void zeq_##name##_body(::nanobind::module_);                                                            \
    static int zeq_##name##_exec(PyObject* m) {                                                                    \
        ::nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                                 \
        if (!::nanobind::detail::internals) return -1;                                                             \
        return ::zeq::host::load_module(m, zeq_##name##_body);                                                     \
    }                                                                                                              \
    static PyObject* zeq_##name##_def = nullptr;                                                                   \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                                           \
    extern "C" PyObject* PyInit_##name(void) {                                                                     \
        ::nanobind::detail::init_singletons();                                                                     \
        if (!::nanobind::detail::nb_backend_init(#name)) return nullptr;                                           \
        if (!zeq_##name##_def)                                                                                     \
            zeq_##name##_def =                                                                                     \
                NB_CALL(module_new)(#name, nullptr, reinterpret_cast<void*>(zeq_##name##_exec), NB_ABI_MINOR_TAG); \
        return zeq_##name##_def;                                                                                   \
    }                                                                                                              \
    void zeq_##name##_body(::nanobind::module_ variable)

// ---------------------------------------------------------------- casters
// The names below are what signatures and the generated stubs show. A number
// argument takes int, float and anything with __index__, and comes back as int.
// The Opt* casters name only the value type: nanobind appends " | None" to every
// argument that accepts None, and has_arg_defaults makes each of them do so.
namespace nanobind::detail {

template <>
struct has_arg_defaults<zeq::host::OptText> : std::true_type {};
template <>
struct has_arg_defaults<zeq::host::OptDict> : std::true_type {};
template <>
struct has_arg_defaults<zeq::host::OptInt> : std::true_type {};

inline constexpr auto zeq_number_name = io_name("int | float | typing.SupportsIndex", "int");

template <>
struct type_caster<zeq::host::Text> {
    NB_TYPE_CASTER(zeq::host::Text, const_name("str"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (!PyUnicode_CheckExact(src.ptr())) return false;
        value = zeq::host::Text(src.ptr());
        return true;
    }
    static handle from_cpp(const zeq::host::Text& v, rv_policy, cleanup_list*) noexcept { return Py_NewRef(v.ptr); }
};

template <>
struct type_caster<zeq::host::OptText> {
    NB_TYPE_CASTER(zeq::host::OptText, const_name("str"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (src.is_none()) {
            value = zeq::host::OptText();
            return true;
        }
        if (!PyUnicode_CheckExact(src.ptr())) return false;
        value = zeq::host::OptText(src.ptr());
        return true;
    }
    static handle from_cpp(const zeq::host::OptText& v, rv_policy, cleanup_list*) noexcept {
        return Py_NewRef(v.ptr ? v.ptr : Py_None);
    }
};

template <>
struct type_caster<zeq::host::Dict> {
    NB_TYPE_CASTER(zeq::host::Dict, const_name("dict[str, typing.Any]"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (!PyDict_CheckExact(src.ptr())) return false;
        value = zeq::host::Dict(src.ptr());
        return true;
    }
    static handle from_cpp(const zeq::host::Dict& v, rv_policy, cleanup_list*) noexcept { return Py_NewRef(v.ptr); }
};

template <>
struct type_caster<zeq::host::Salts> {
    NB_TYPE_CASTER(zeq::host::Salts, const_name("dict[str, int]"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (!PyDict_CheckExact(src.ptr())) return false;
        value = zeq::host::Salts(src.ptr());
        return true;
    }
    static handle from_cpp(const zeq::host::Salts& v, rv_policy, cleanup_list*) noexcept { return Py_NewRef(v.ptr); }
};

template <>
struct type_caster<zeq::host::OptDict> {
    NB_TYPE_CASTER(zeq::host::OptDict, const_name("dict[str, typing.Any]"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (src.is_none()) {
            value = zeq::host::OptDict();
            return true;
        }
        if (!PyDict_CheckExact(src.ptr())) return false;
        value = zeq::host::OptDict(src.ptr());
        return true;
    }
    static handle from_cpp(const zeq::host::OptDict& v, rv_policy, cleanup_list*) noexcept {
        return Py_NewRef(v.ptr ? v.ptr : Py_None);
    }
};

// What the number casters accept: anything truncate_number converts, except a
// float with no integer value (inf, nan), which is refused before any work.
bool zeq_is_number_argument(PyObject* v) noexcept;

// Accepts int (bool and subclasses normalised to int), float (truncated; finite
// only) and objects with __index__. Anything else is refused (false: the host's
// TypeError for the call); an error of the host's own __index__ propagates as
// itself (python_error), whatever its type.
bool zeq_number_from_python(handle src, object& out);

template <>
struct type_caster<zeq::host::Int> {
    NB_TYPE_CASTER(zeq::host::Int, zeq_number_name)
    bool from_python(handle src, uint8_t, cleanup_list*) { return zeq_number_from_python(src, value.value); }
    static handle from_cpp(const zeq::host::Int& v, rv_policy, cleanup_list*) noexcept { return v.value.inc_ref(); }
};

template <>
struct type_caster<zeq::host::OptInt> {
    NB_TYPE_CASTER(zeq::host::OptInt, zeq_number_name)
    bool from_python(handle src, uint8_t, cleanup_list*) {
        if (src.is_none()) {
            value.value = object();
            return true;
        }
        return zeq_number_from_python(src, value.value);
    }
    static handle from_cpp(const zeq::host::OptInt& v, rv_policy, cleanup_list*) noexcept {
        return v.value.is_valid() ? v.value.inc_ref() : none().release();
    }
};

}  // namespace nanobind::detail
