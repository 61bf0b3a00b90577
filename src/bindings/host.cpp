#include "bindings/host.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <array>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "core/constant_time.hpp"
#include "core/hex.hpp"
#include "core/host_texts.hpp"
#include "core/secret_buffer.hpp"
#include "core/sha256.hpp"

#include <nanobind/stl/string.h>
#include <limits>

namespace zeq::host {

Utf8::Utf8(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        owner_ = nb::borrow(str);
        view_ = std::string_view(data, static_cast<std::size_t>(size));
        return;
    }
    // Lone surrogates: the strict encoder refused, so pass them through.
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (bytes == nullptr) throw nb::python_error();
    owner_ = nb::steal(bytes);
    view_ = std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

Utf8::~Utf8() { SecretStr::wipe_if_unshared(owner_.ptr()); }

nb::str hex_digest_str(std::string_view bytes) {
    sha256::Digest digest;
    {
        ReleaseIfLarge unlocked(bytes.size());
        digest = sha256::digest(bytes);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(2 * digest.size()), 127);
    if (str != nullptr)
        hex::encode_to(digest.data(), digest.size(), reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str)));
    wipe_bytes(digest.data(), digest.size());
    if (str == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(str);
}

void SecretStr::wipe_if_unshared(PyObject* object) noexcept {
    if (object == nullptr || Py_REFCNT(object) != 1) return;
    if (PyBytes_CheckExact(object)) {
        wipe_bytes(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return;
    }
    // An interned str sits in the interpreter's table without being counted there.
    if (!PyUnicode_CheckExact(object) || PyUnicode_CHECK_INTERNED(object) || !PyUnicode_IS_COMPACT(object)) return;
    wipe_bytes(PyUnicode_DATA(object), static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) * PyUnicode_KIND(object));
    if (!PyUnicode_IS_ASCII(object)) {
        auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(object);
        if (compact->utf8 != nullptr) wipe_bytes(compact->utf8, static_cast<std::size_t>(compact->utf8_length));
    }
}

nb::str to_str(std::string_view utf8) {
    if (text::is_ascii(utf8)) {
        // Most results are ASCII (hex digests, their cuts, Base64): copied as they stand.
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127);
        if (s == nullptr) throw nb::python_error();
        if (!utf8.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s), utf8.data(), utf8.size());
        return nb::steal<nb::str>(s);
    }
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::str str_from_checked_utf8(std::string_view utf8, const text::Utf8Shape& shape) {
    static constexpr Py_UCS4 widest[] = {0, 0xFF, 0xFFFF, 0, 0x10FFFF};
    const Py_UCS4 max_char = shape.ascii ? 0x7F : widest[shape.width];
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), max_char);
    if (s == nullptr) throw nb::python_error();
    {
        // Nobody else sees the new str yet: it is filled without the GIL.
        ReleaseIfLarge unlocked(utf8.size());
        if (shape.ascii) std::memcpy(PyUnicode_1BYTE_DATA(s), utf8.data(), utf8.size());
        else if (shape.width == 1) text::decode_checked(utf8, PyUnicode_1BYTE_DATA(s));
        else if (shape.width == 2)
            text::decode_checked(utf8, reinterpret_cast<std::uint16_t*>(PyUnicode_2BYTE_DATA(s)));
        else text::decode_checked(utf8, reinterpret_cast<std::uint32_t*>(PyUnicode_4BYTE_DATA(s)));
    }
    return nb::steal<nb::str>(s);
}

namespace {

// The host's own conversion, for ints beyond 64 bits.
SecretBuffer large_decimal_text(nb::handle integer) {
    PyObject* str = PyObject_Str(integer.ptr());
    if (str == nullptr) throw nb::python_error();
    const SecretStr owner(nb::steal(str));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) throw nb::python_error();
    return SecretBuffer(std::string_view(data, static_cast<std::size_t>(size)));
}

}  // namespace

SecretBuffer decimal_text(nb::handle integer) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow != 0) return large_decimal_text(integer);
    if (small == -1 && PyErr_Occurred()) throw nb::python_error();
    SecretBuffer text(std::size_t{20});  // a sign and 19 digits, written in place
    const char* end = std::to_chars(text.data(), text.data() + text.size(), small).ptr;
    text.shrink(static_cast<std::size_t>(end - text.data()));
    return text;
}

nb::object int_from_decimal(std::string_view canonical) {
    if (canonical.size() <= 18) {
        long long value = 0;
        bool negative = false;
        for (char c : canonical) {
            if (c == '-') negative = true;
            else value = value * 10 + (c - '0');
        }
        return nb::steal(PyLong_FromLongLong(negative ? -value : value));
    }
    SecretBuffer nul_terminated(canonical);
    nul_terminated.push_back('\0');
    PyObject* value = PyLong_FromString(nul_terminated.data(), nullptr, 10);
    if (value == nullptr) throw nb::python_error();
    return nb::steal(value);
}

std::int64_t clamped(nb::handle integer) noexcept {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
    if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return value;
}

nb::object truncate_number(nb::handle value) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) return nb::borrow(v);
    if (PyFloat_Check(v)) {
        PyObject* result = PyLong_FromDouble(PyFloat_AS_DOUBLE(v));  // truncates; the host's errors for inf/nan
        if (result == nullptr) throw nb::python_error();
        return nb::steal(result);
    }
    if (Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_index != nullptr) {
        const nb::object held = nb::borrow(v);  // its __index__ may drop every other reference
        PyObject* result = PyNumber_Index(v);
        if (result == nullptr) throw nb::python_error();
        return nb::steal(result);
    }
    PyErr_Format(PyExc_TypeError, core::texts::host_words::not_a_number, Py_TYPE(v)->tp_name);
    throw nb::python_error();
}

std::optional<std::int64_t> salt_value(const nb::object& value) {
    if (value.is_none()) return std::nullopt;
    if (PyLong_CheckExact(value.ptr())) return clamped(value);  // the usual salt, read as it stands
    return clamped(truncate_number(value));
}

derivation::Repeat repeat_value(const nb::object& value) {
    if (value.is_none()) return derivation::Repeat::none();
    const nb::object integer = truncate_number(value);
    const Py_ssize_t times = PyLong_AsSsize_t(integer.ptr());
    if (times == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
        return derivation::Repeat::beyond_index();
    }
    return static_cast<std::int64_t>(times);
}

bool secret_equal(nb::handle a, nb::handle b) {
    return constant_time::equal(Utf8(a.ptr()).view(), Utf8(b.ptr()).view());
}

bool secret_equal(std::string_view computed, nb::handle given) {
    return constant_time::equal(computed, Utf8(given.ptr()).view());
}

PyObject* make_error_type(nb::module_& m, const char* name, const char* doc) {
    std::string full_name = nb::cast<std::string>(m.attr("__name__"));
    full_name += '.';
    full_name += name;
    PyObject* type = PyErr_NewExceptionWithDoc(full_name.c_str(), doc, PyExc_Exception, nullptr);
    if (type == nullptr) throw nb::python_error();
    m.attr(name) = nb::borrow(type);
    return type;  // the creation reference is kept for the life of the process
}

void raise(PyObject* type, std::string_view message) {
    nb::str text = to_str(message);
    PyErr_SetObject(type, text.ptr());
    throw nb::python_error();
}

namespace {

// Sets the TypeError raise_argument_type raises, in the words of the host's own
// functions: None by its name, any other value by the last part of its type's name.
void set_argument_type_error(const char* function, const char* argument, const char* expected, PyObject* got) {
    const char* type_name = Py_TYPE(got)->tp_name;
    if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
    PyErr_Format(PyExc_TypeError, core::texts::host_words::argument_type, function, argument, expected,
                 got == Py_None ? "None" : type_name);
}

}  // namespace

void raise_argument_type(const char* function, const char* argument, const char* expected, nb::handle got) {
    set_argument_type_error(function, argument, expected, got.ptr());
    throw nb::python_error();
}

PyObject* host_type_of(core::ErrorKind kind, PyObject* module_error) noexcept {
    switch (kind) {
        case core::ErrorKind::module: return module_error;
        case core::ErrorKind::value: return PyExc_ValueError;
        case core::ErrorKind::index: return PyExc_IndexError;
        case core::ErrorKind::type: return PyExc_TypeError;
        case core::ErrorKind::generic: return PyExc_Exception;
        case core::ErrorKind::overflow: return PyExc_OverflowError;
        default: return PyExc_RuntimeError;  // as nanobind gives any other C++ failure
    }
}

void raise_core(const core::Error& e, PyObject* module_error) {
    raise(host_type_of(e.kind(), module_error), e.message());
}

namespace {

// The host exception `type(message)`, made as raise() would raise it, but
// handed back instead of raised.
nb::object host_exception(PyObject* type, std::string_view message) {
    PyErr_SetObject(type, to_str(message).ptr());
    const nb::python_error made;
    return nb::borrow(made.value());
}

// type(message) raised with `cause` as its __cause__. The context stays what
// raise() gives it (the exception the host is handling, if any), not the cause.
[[noreturn]] void raise_from_cause(PyObject* type, std::string_view message, nb::handle cause) {
    PyErr_SetObject(type, to_str(message).ptr());
    nb::python_error raised;
    PyException_SetCause(raised.value().ptr(), cause.inc_ref().ptr());  // takes the reference
    throw raised;
}

}  // namespace

void translate_failure(const FailurePolicy& policy, const std::exception& failure) {
    const auto* host_failure = dynamic_cast<const nb::python_error*>(&failure);
    const auto* core_failure = dynamic_cast<const core::Error*>(&failure);
    if (host_failure != nullptr) {
        if (!policy.catches_host || !is_ordinary(*host_failure)) throw;
    } else if (core_failure != nullptr ? !policy.catches_core : !policy.catches_other) {
        throw;
    }
    using Into = FailurePolicy::Into;
    if (policy.into == Into::by_kind) {
        if (core_failure == nullptr) throw;
        raise_core(*core_failure, policy.error_type);
    }
    const std::string text = host_failure != nullptr ? exception_text(*host_failure) : std::string(failure.what());
    std::string message(policy.prefix);
    message += text;
    if (policy.into == Into::core_module) throw core::Error(core::ErrorKind::module, std::move(message));
    if (policy.log != nullptr) {
        policy.log->log(core::LogLevel::error, policy.operation, std::string(policy.log_prefix) + text);
    }
    if (policy.with_cause && host_failure == nullptr) {
        // What the failure would have been had it reached the host unwrapped.
        PyObject* cause_type = core_failure != nullptr ? host_type_of(core_failure->kind(), policy.error_type)
                                                       : PyExc_RuntimeError;
        raise_from_cause(policy.error_type, message, host_exception(cause_type, text));
    }
    raise(policy.error_type, message);
}

std::string exception_text(const nb::python_error& e) {
    PyObject* text = PyObject_Str(e.value().ptr());
    if (text == nullptr) throw nb::python_error();  // the error of the host's __str__, as itself
    nb::object owner = nb::steal(text);
    return std::string(Utf8(text).view());
}

bool is_ordinary(const nb::python_error& e) noexcept {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception) != 0;
}

void translate_host_exceptions() {
    static bool registered = false;  // once per module: each has its own copy of this code
    if (registered) return;
    registered = true;
    nb::register_exception_translator([](const std::exception_ptr& thrown, void*) {
        try {
            std::rethrow_exception(thrown);
        } catch (HostException& e) {
            e.error().restore();
        }
    });
}

PyObject* intern_name(const char* name) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (s == nullptr) throw nb::python_error();
    return s;
}

namespace {

// logging.Logger.isEnabledFor as logging defines it, or null when the class
// holds something else already (a host that replaced it before the layer
// loaded): then every logger's method is called.
PyObject* standard_is_enabled_for(PyObject* name) {
    const nb::object logger_class = nb::module_::import_("logging").attr("Logger");
    PyObject* method = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(logger_class.ptr())->tp_dict, name);
    if (method == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nullptr;
    }
    if (!PyFunction_Check(method)) return nullptr;
    PyObject* module = PyFunction_GET_MODULE(method);
    PyObject* qualname = reinterpret_cast<PyFunctionObject*>(method)->func_qualname;
    const bool standard = module != nullptr && PyUnicode_Check(module) && qualname != nullptr &&
                          PyUnicode_Check(qualname) && PyUnicode_CompareWithASCIIString(module, "logging") == 0 &&
                          PyUnicode_CompareWithASCIIString(qualname, "Logger.isEnabledFor") == 0;
    return standard ? Py_NewRef(method) : nullptr;  // kept for the life of the process
}

struct LoggingNames {
    PyObject* is_enabled_for = intern_name(replaceable::logger_methods::is_enabled_for);
    PyObject* make_record = intern_name(replaceable::logger_methods::make_record);
    PyObject* handle = intern_name(replaceable::logger_methods::handle);
    PyObject* module = intern_name("module");
    // What logging's isEnabledFor reads: the logger's own attributes.
    PyObject* disabled = intern_name("disabled");
    PyObject* cache = intern_name("_cache");
    PyObject* standard_method = standard_is_enabled_for(is_enabled_for);
};

// Made at the first Logger, while its module loads (the GIL held).
const LoggingNames& logging_names() {
    static const LoggingNames names;
    return names;
}

}  // namespace

Logger::Logger(nb::module_& m, const char* name) {
    translate_host_exceptions();
    logging_names();
    const replaceable::ModuleAttribute& get_logger = replaceable::at_load::get_logger;
    nb::object logger = nb::module_::import_(get_logger.module).attr(get_logger.attribute)(name);
    m.attr("logger") = logger;
    const char* dot = std::strrchr(name, '.');
    name_ = intern_name(name);
    module_ = intern_name(dot != nullptr ? dot + 1 : name);
    // The import system sets __file__ before it runs the module's body.
    nb::object file = nb::getattr(m, "__file__", nb::none());
    pathname_ = nb::isinstance<nb::str>(file) ? file.release().ptr() : intern_name(core::texts::logging::unknown_file);
    logger_ = logger.release().ptr();
}

namespace {

// The version tag of a type as it stands, 0 when it has none: any change to the
// type or to a class it derives from takes the tag away, and a new one is
// never one given before.
unsigned int version_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

}  // namespace

bool Logger::class_reads_as_standard(PyTypeObject* type) const {
    const unsigned int tag = version_tag(type);
    if (tag != 0 && type == checked_class_ && tag == checked_tag_) return true;
    const LoggingNames& names = logging_names();
    const bool standard = names.standard_method != nullptr && type->tp_getattro == PyObject_GenericGetAttr &&
                          _PyType_Lookup(type, names.is_enabled_for) == names.standard_method &&
                          _PyType_Lookup(type, names.disabled) == nullptr &&
                          _PyType_Lookup(type, names.cache) == nullptr;
    // The lookups give the type its tag, if it had none.
    checked_class_ = standard ? type : nullptr;
    checked_tag_ = standard ? version_tag(type) : 0;
    return standard;
}

// logging.Logger.isEnabledFor (3.11 to 3.13) answers False when the logger is
// disabled, else what its level cache holds for the level, and only on a miss
// works the answer out (manager.disable, getEffectiveLevel) under logging's
// lock and caches it. setLevel and logging.disable empty every cache, so a hit
// is the method's own answer. The state is read only where no host code can
// stand for it: the method must be logging's own, found through the class
// (nothing of that name on the instance, attribute lookup the generic one),
// `disabled` and `_cache` plain instance attributes (no class attribute, no
// property, of any class of the logger), `disabled` a bool, the cache a dict
// and its entry a bool. Anything else, and every miss, asks the method.
Logger::Verdict Logger::cached_verdict(PyObject* level) const {
    const LoggingNames& names = logging_names();
    if (!class_reads_as_standard(Py_TYPE(logger_))) return Verdict::ask;
    PyObject* dict = PyObject_GenericGetDict(logger_, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();  // the method call reports it, if it fails again
        return Verdict::ask;
    }
    const nb::object owner = nb::steal(dict);
    // Instance dictionaries are keyed by str: these lookups run no host code.
    PyObject* own_method = PyDict_GetItemWithError(dict, names.is_enabled_for);
    PyObject* disabled = own_method == nullptr ? PyDict_GetItemWithError(dict, names.disabled) : nullptr;
    if (disabled == Py_True) return Verdict::off;
    PyObject* cache = disabled == Py_False ? PyDict_GetItemWithError(dict, names.cache) : nullptr;
    PyObject* cached = cache != nullptr && PyDict_CheckExact(cache) ? PyDict_GetItemWithError(cache, level) : nullptr;
    if (PyErr_Occurred()) PyErr_Clear();
    if (cached == Py_True) return Verdict::on;
    if (cached == Py_False) return Verdict::off;
    return Verdict::ask;
}

int Logger::is_enabled_for(PyObject* level) const {
    switch (cached_verdict(level)) {
        case Verdict::off: return 0;
        case Verdict::on: return 1;
        case Verdict::ask: break;
    }
    const nb::object enabled = nb::steal(PyObject_CallMethodOneArg(logger_, logging_names().is_enabled_for, level));
    return enabled.is_valid() ? PyObject_IsTrue(enabled.ptr()) : -1;
}

namespace {

// The GIL for one log line, taken only when this thread lacks it (the device
// probes log while they wait without it): operations that log as they run
// with it pay no second acquisition.
class LoggingGil {
public:
    LoggingGil() {
        PyThreadState* own = PyGILState_GetThisThreadState();
        if (own == nullptr || own != current_thread_state()) {
            state_ = PyGILState_Ensure();
            taken_ = true;
        }
    }
    ~LoggingGil() {
        if (taken_) PyGILState_Release(state_);
    }
    LoggingGil(const LoggingGil&) = delete;
    LoggingGil& operator=(const LoggingGil&) = delete;

private:
    // The thread state running Python code now (none while every thread waits
    // without the GIL); unlike PyThreadState_Get, it tolerates none.
    static PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return PyThreadState_GetUnchecked();
#else
        return _PyThreadState_UncheckedGet();
#endif
    }
    PyGILState_STATE state_{};
    bool taken_ = false;
};

}  // namespace

void Logger::log(core::LogLevel level, std::string_view operation, std::string_view message) {
    const LoggingGil gil;
    const LoggingNames& names = logging_names();
    // Kept aside while the host's logging runs (it must not see it), and put
    // back after; should the logging raise, it becomes that error's context.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    if (PyErr_Occurred() != nullptr) PyErr_Fetch(&type, &value, &traceback);
    const bool logged = [&] {
        nb::object level_number = nb::steal(PyLong_FromLong(static_cast<long>(level)));
        if (!level_number.is_valid()) return false;
        const int on = is_enabled_for(level_number.ptr());
        if (on <= 0) return on == 0;
        nb::object text =
            nb::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
        nb::object function = nb::steal(
            PyUnicode_DecodeUTF8(operation.data(), static_cast<Py_ssize_t>(operation.size()), "surrogatepass"));
        if (!text.is_valid() || !function.is_valid()) return false;
        nb::object no_line = nb::steal(PyLong_FromLong(0));
        nb::object no_args = nb::steal(PyTuple_New(0));
        if (!no_line.is_valid() || !no_args.is_valid()) return false;
        // makeRecord(name, level, fn, lno, msg, args, exc_info, func), as Logger._log calls it
        nb::object record = nb::steal(PyObject_CallMethodObjArgs(logger_, names.make_record, name_, level_number.ptr(),
                                                                 pathname_, no_line.ptr(), text.ptr(), no_args.ptr(),
                                                                 Py_None, function.ptr(), nullptr));
        // LogRecord takes `module` from the file's name, which for an
        // extension module carries the platform's tags.
        if (!record.is_valid() || PyObject_SetAttr(record.ptr(), names.module, module_) != 0) return false;
        return nb::steal(PyObject_CallMethodOneArg(logger_, names.handle, record.ptr())).is_valid();
    }();
    if (logged) {
        if (type != nullptr) PyErr_Restore(type, value, traceback);
        return;
    }
    HostException raised;
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyException_SetContext(raised.error().value().ptr(), value);  // takes `value`
        Py_DECREF(type);
        Py_XDECREF(traceback);
    }
    throw raised;
}

nb::object SiblingFunction::current() const {
    // Interned once: a fresh str per call would be hashed again at every lookup.
    if (name_key_ == nullptr) {
        module_key_ = intern_name(module_);
        name_key_ = intern_name(name_);
    }
    // sys.modules first: PyImport_GetModule would also ask the module's __spec__
    // whether it is still initialising, which costs more than the rest of the lookup.
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_key_);
    if (module != nullptr) {
        Py_INCREF(module);
    } else {
        if (PyErr_Occurred()) throw nb::python_error();
        module = PyImport_ImportModule(module_);
        if (module == nullptr) throw nb::python_error();
    }
    nb::object owner = nb::steal(module);
    PyObject* f = PyObject_GetAttr(module, name_key_);
    if (f == nullptr) throw nb::python_error();
    return nb::steal(f);
}

bool SiblingFunction::is_native(nb::handle f) const {
    if (f.ptr() == native_) return true;
    if (native_ != nullptr) return false;
    if (std::strcmp(Py_TYPE(f.ptr())->tp_name, "nanobind.nb_func") != 0) return false;
    // Only a missing attribute means "not ours"; any other error of the object propagates.
    auto attribute = [&](const char* attr) {
        PyObject* value = PyObject_GetAttrString(f.ptr(), attr);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
        }
        return nb::steal(value);
    };
    const nb::object module = attribute("__module__");
    const nb::object name = attribute("__name__");
    const bool native = module.is_valid() && name.is_valid() && PyUnicode_Check(module.ptr()) &&
                        PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(module.ptr(), home_) == 0 &&
                        PyUnicode_CompareWithASCIIString(name.ptr(), name_) == 0;
    if (native) native_ = Py_NewRef(f.ptr());
    return native;
}

nb::object plain_state(nb::handle self) {
    static PyObject* object_getstate = nullptr;  // lives as long as the process
    if (object_getstate == nullptr) {
        object_getstate = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getstate__");
        if (object_getstate == nullptr) throw nb::python_error();
    }
    PyObject* state = PyObject_CallOneArg(object_getstate, self.ptr());
    if (state == nullptr) throw nb::python_error();
    return nb::steal(state);
}

namespace {

// The Signature of one of the layer's functions or classes, or the
// AttributeError the type's own lookup raises for any other.
PyObject* function_signature(PyObject* function) {
    static const SiblingFunction signature_of(replaceable::signature_of);
    try {
        nb::object signature = signature_of.current()(nb::handle(function));
        if (!signature.is_none()) return signature.release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    if (PyType_Check(function)) {  // a class of another library, through the metaclass
        PyErr_Format(PyExc_AttributeError, core::texts::host_words::type_no_signature,
                     reinterpret_cast<PyTypeObject*>(function)->tp_name);
        return nullptr;
    }
    PyErr_Format(PyExc_AttributeError, core::texts::host_words::no_signature, Py_TYPE(function)->tp_name);
    return nullptr;
}

// The descriptor's __get__. Read on the type itself it raises what a type
// without the attribute raises: a getset descriptor would hand itself out there,
// which inspect.signature(type) would take for a malformed signature.
PyObject* signature_descriptor_get(PyObject*, PyObject* function, PyObject* type) {
    if (function != nullptr) return function_signature(function);
    PyErr_Format(PyExc_AttributeError, core::texts::host_words::type_no_signature,
                 reinterpret_cast<PyTypeObject*>(type)->tp_name);
    return nullptr;
}

PyType_Slot signature_descriptor_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(signature_descriptor_get)},
    {Py_tp_doc, const_cast<char*>("The inspect.Signature of the crypto layer's functions and methods.")},
    {0, nullptr},
};

PyType_Spec signature_descriptor_spec = {
    "zeq.domain.crypto_layer.signature_descriptor", static_cast<int>(sizeof(PyObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, signature_descriptor_slots};

nb::object new_signature_descriptor() {
    const nb::object type = nb::steal(PyType_FromSpec(&signature_descriptor_spec));
    if (!type.is_valid()) throw nb::python_error();
    PyObject* descriptor = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.ptr()), 0);  // holds its type
    if (descriptor == nullptr) throw nb::python_error();
    return nb::steal(descriptor);
}

}  // namespace

namespace {

// nanobind gives every function of a kind the same type: a throwaway function
// and method name two of them, and binding the method to any object the third.
struct FunctionTypes {
    PyTypeObject* function;
    PyTypeObject* method;
    PyTypeObject* bound;
};

const FunctionTypes& function_types() {
    static const FunctionTypes types = [] {
        const nb::object function = nb::cpp_function([] {});
        const nb::object method = nb::cpp_function([](nb::handle) {}, nb::is_method());
        const nb::object bound = nb::steal(Py_TYPE(method.ptr())->tp_descr_get(method.ptr(), Py_None, nullptr));
        if (!bound.is_valid()) throw nb::python_error();
        return FunctionTypes{Py_TYPE(function.ptr()), Py_TYPE(method.ptr()), Py_TYPE(bound.ptr())};
    }();
    return types;
}

PyObject* signature_name() {
    static PyObject* const name = intern_name("__signature__");
    return name;
}

// Puts the signature descriptor into `type`'s dictionary, unless an earlier
// module gave it (or another library did: left alone). `descriptor` is made by
// the first that needs it.
void give_signature_descriptor(PyTypeObject* type, nb::object& descriptor) {
    const int present = PyDict_Contains(type->tp_dict, signature_name());
    if (present < 0) throw nb::python_error();
    if (present == 1) return;
    if (!descriptor.is_valid()) descriptor = new_signature_descriptor();
    if (PyDict_SetItem(type->tp_dict, signature_name(), descriptor.ptr()) != 0) throw nb::python_error();
    PyType_Modified(type);  // the type's attribute cache must see the new entry
}

}  // namespace

void install_function_signatures() {
    const FunctionTypes& types = function_types();
    nb::object descriptor;
    for (PyTypeObject* type : {types.function, types.method, types.bound}) give_signature_descriptor(type, descriptor);
}

namespace {

// ---------------------------------------------------------------- argument refusals
// nanobind refuses a call whose arguments fit no overload with a TypeError of
// several lines that lists the function's signature and the types it was given.
// The host's own functions say it in one line, naming the function and the
// argument; so do the layer's. Each of the layer's functions is called through
// a wrapper of nanobind's dispatcher that leaves a successful call as it is and,
// when the call failed with nanobind's refusal, puts the host's words in its
// place: the package's _function_signatures.refusal binds the arguments as a
// plain def with the same signature would, and gives the host's error for a
// wrong count or an unknown keyword; the argument the casters refused is
// found by the rules of the casters below.

using Vectorcall = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

// nanobind picks one of a few dispatchers for each function; each one the layer
// meets gets a wrapper of its own, which calls it directly.
constexpr std::size_t dispatcher_slots = 8;
Vectorcall dispatchers[dispatcher_slots] = {};

PyObject* refused_as_the_host(PyObject* function, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept;

template <std::size_t Slot>
PyObject* call_refusing_as_the_host(PyObject* function, PyObject* const* args, std::size_t nargsf,
                                    PyObject* kwnames) noexcept {
    PyObject* result = dispatchers[Slot](function, args, nargsf, kwnames);
    if (result == nullptr) [[unlikely]]
        return refused_as_the_host(function, args, nargsf, kwnames);
    return result;
}

template <std::size_t... Slot>
constexpr std::array<Vectorcall, sizeof...(Slot)> refusing_wrappers(std::index_sequence<Slot...>) {
    return {&call_refusing_as_the_host<Slot>...};
}
constexpr std::array<Vectorcall, dispatcher_slots> wrappers =
    refusing_wrappers(std::make_index_sequence<dispatcher_slots>());

Vectorcall& vectorcall_of(PyObject* function) noexcept {
    return *reinterpret_cast<Vectorcall*>(reinterpret_cast<char*>(function) + Py_TYPE(function)->tp_vectorcall_offset);
}

void refuse_arguments_as_the_host(PyObject* function) {
    Vectorcall& vectorcall = vectorcall_of(function);
    if (std::find(wrappers.begin(), wrappers.end(), vectorcall) != wrappers.end()) return;
    std::size_t slot = 0;
    while (slot < dispatcher_slots && dispatchers[slot] != nullptr && dispatchers[slot] != vectorcall) ++slot;
    if (slot == dispatcher_slots) throw std::logic_error("nanobind uses more dispatchers than the layer wraps");
    dispatchers[slot] = vectorcall;
    vectorcall = wrappers[slot];
}

// What each caster of the bindings (and nanobind's own) accepts, by the name it
// shows in signatures; nanobind appends " | None" to those that take None.
// A parameter not named here (self, cls, object) takes anything.
bool is_text(PyObject* v) noexcept { return PyUnicode_CheckExact(v); }
bool is_dict(PyObject* v) noexcept { return PyDict_CheckExact(v); }
bool is_bytes(PyObject* v) noexcept { return PyBytes_Check(v); }

struct ArgumentKind {
    std::string_view shown;
    bool (*accepts)(PyObject*) noexcept;
    const char* expected;
    const char* expected_or_none;
};

constexpr ArgumentKind argument_kinds[] = {
    {"str", is_text, "str", "str or None"},
    {"bytes", is_bytes, "bytes", "bytes or None"},
    {"dict[str, int]", is_dict, "dict", "dict or None"},
    {"dict[str, typing.Any]", is_dict, "dict", "dict or None"},
    {"dict[str, str | None]", is_dict, "dict", "dict or None"},
    {"int | float | typing.SupportsIndex", nb::detail::zeq_is_number_argument, "a number", "a number or None"},
};

// Sets the error for `value` refused as an argument shown as `shown`; false when
// the caster of that name takes it.
bool refuse_argument(const char* function, const char* argument, std::string_view shown, PyObject* value) {
    constexpr std::string_view or_none = " | None";
    const bool takes_none = shown.size() > or_none.size() && shown.ends_with(or_none);
    if (takes_none) shown.remove_suffix(or_none.size());
    for (const ArgumentKind& kind : argument_kinds) {
        if (kind.shown != shown) continue;
        if (kind.accepts(value) || (takes_none && value == Py_None)) return false;
        const char* expected = takes_none ? kind.expected_or_none : kind.expected;
        if (PyFloat_Check(value) && kind.accepts == nb::detail::zeq_is_number_argument)  // inf or nan
            expected = takes_none ? "a finite number or None" : "a finite number";
        set_argument_type_error(function, argument, expected, value);
        return true;
    }
    return false;
}

// True when the pending error is nanobind's refusal of the call.
bool is_nanobind_refusal(PyObject* function, PyObject* error) {
    const nb::object name = nb::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name.is_valid() || !PyUnicode_Check(name.ptr())) return false;
    const nb::object text = nb::steal(PyUnicode_Check(error) ? Py_NewRef(error) : PyObject_Str(error));
    if (!text.is_valid()) return false;
    const nb::object prefix = nb::steal(PyUnicode_FromFormat("%U(): incompatible function arguments", name.ptr()));
    return prefix.is_valid() && PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1) == 1;
}

// Sets the host's error for the refused call and answers true; false (with no
// error set) when the arguments are not what nanobind refused.
bool explain_refusal(PyObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    // nanobind keeps a flag of its own beside the vector call's offset flag.
    constexpr std::size_t flags = PY_VECTORCALL_ARGUMENTS_OFFSET | (PY_VECTORCALL_ARGUMENTS_OFFSET >> 1);
    const auto nargs = static_cast<Py_ssize_t>(nargsf & ~flags);
    const nb::object positional = nb::steal(PyTuple_New(nargs));
    const nb::object keywords = nb::steal(PyDict_New());
    if (!positional.is_valid() || !keywords.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0)
            throw nb::python_error();

    static const SiblingFunction refusal(replaceable::argument_refusal);
    const nb::object answer = refusal.current()(nb::handle(function), positional, keywords);
    if (PyUnicode_Check(answer.ptr())) {  // the host's own words for the call
        PyErr_SetObject(PyExc_TypeError, answer.ptr());
        return true;
    }
    if (!PyTuple_Check(answer.ptr()) || PyTuple_GET_SIZE(answer.ptr()) != 2) return false;
    // (the name errors give the function, [(parameter, shown type, value), ...])
    const nb::object name_text = nb::borrow(PyTuple_GET_ITEM(answer.ptr(), 0));
    if (!PyUnicode_CheckExact(name_text.ptr())) return false;
    const std::string function_name(Utf8(name_text.ptr()).view());
    const nb::object given = nb::borrow(PyTuple_GET_ITEM(answer.ptr(), 1));
    for (nb::handle item : given) {
        if (!PyTuple_CheckExact(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 3 ||
            !PyUnicode_CheckExact(PyTuple_GET_ITEM(item.ptr(), 0)) ||
            !PyUnicode_CheckExact(PyTuple_GET_ITEM(item.ptr(), 1)))
            return false;
        const Utf8 parameter(nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)).ptr());
        const Utf8 shown(nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1)).ptr());
        const std::string parameter_name(parameter.view());
        if (refuse_argument(function_name.c_str(), parameter_name.c_str(), shown.view(),
                            PyTuple_GET_ITEM(item.ptr(), 2)))
            return true;
    }
    return false;
}

PyObject* refused_as_the_host(PyObject* function, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    bool explained = false;
    try {
        explained = value != nullptr && traceback == nullptr && is_nanobind_refusal(function, value) &&
                    explain_refusal(function, args, nargsf, kwnames);
    } catch (const std::exception&) {
        explained = false;
    }
    if (explained) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    } else {
        PyErr_Clear();  // what the explanation itself raised: nanobind's refusal stands
        PyErr_Restore(type, value, traceback);
    }
    return nullptr;
}

// ---------------------------------------------------------------- classes
// inspect.signature(cls) of Python 3.11.2 to 3.11.6 takes a class's __init__
// only when the class has no __new__ of its own, and nanobind's classes have
// one; it then raises "no signature found for builtin type" and help() shows no
// constructor. The metaclass of nanobind's classes gets the function types'
// __signature__ descriptor, which answers for the layer's classes with their
// constructor's signature (looked up on the class, before its __new__ and
// __init__, on every Python); an instance never sees it.
void give_class_signatures(PyObject* cls) {
    nb::object descriptor;
    give_signature_descriptor(Py_TYPE(cls), descriptor);
}

// Walks what the module defines: its functions, and its classes' methods,
// class methods and property functions.
bool defined_in(PyObject* object, PyObject* module_name) {
    const nb::object module = nb::steal(PyObject_GetAttrString(object, "__module__"));
    if (!module.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.ptr()) && PyUnicode_Compare(module.ptr(), module_name) == 0;
}

void adopt_callable(PyObject* object) {
    const FunctionTypes& types = function_types();
    if (Py_TYPE(object) == types.function || Py_TYPE(object) == types.method) {
        refuse_arguments_as_the_host(object);
        return;
    }
    for (const char* part : {"__func__", "fget", "fset"}) {  // class methods, properties
        if (!PyObject_TypeCheck(object, &PyClassMethod_Type) && !PyObject_TypeCheck(object, &PyStaticMethod_Type) &&
            !PyObject_TypeCheck(object, &PyProperty_Type))
            return;
        const nb::object inner = nb::steal(PyObject_GetAttrString(object, part));
        if (!inner.is_valid()) {
            PyErr_Clear();
            continue;
        }
        if (Py_TYPE(inner.ptr()) == types.function || Py_TYPE(inner.ptr()) == types.method)
            refuse_arguments_as_the_host(inner.ptr());
    }
}

void adopt_module(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) throw nb::python_error();
    const nb::object name_owner = nb::steal(module_name);
    const nb::object items = nb::steal(PyDict_Values(PyModule_GetDict(module)));
    if (!items.is_valid()) throw nb::python_error();
    const FunctionTypes& types = function_types();
    for (nb::handle item : items) {
        PyObject* object = item.ptr();
        if (Py_TYPE(object) == types.function) {
            if (defined_in(object, module_name)) refuse_arguments_as_the_host(object);
        } else if (PyType_Check(object) && Py_TYPE(object) != &PyType_Type && defined_in(object, module_name)) {
            // a nanobind class (the error types are plain types)
            give_class_signatures(object);
            const nb::object members = nb::steal(PyDict_Values(reinterpret_cast<PyTypeObject*>(object)->tp_dict));
            if (!members.is_valid()) throw nb::python_error();
            for (nb::handle member : members) adopt_callable(member.ptr());
        }
    }
}

}  // namespace

int load_module(PyObject* module, void (*body)(nb::module_)) noexcept {
    try {
        install_function_signatures();
        body(nb::borrow<nb::module_>(module));
        adopt_module(module);
        return 0;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

}  // namespace zeq::host

namespace nanobind::detail {

bool zeq_is_number_argument(PyObject* v) noexcept {
    if (PyLong_CheckExact(v)) return true;
    if (PyFloat_Check(v)) return std::isfinite(PyFloat_AS_DOUBLE(v)) != 0;
    return Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_index != nullptr;
}

bool zeq_number_from_python(handle src, object& out) {
    if (!zeq_is_number_argument(src.ptr())) return false;
    out = zeq::host::truncate_number(src);
    return true;
}

}  // namespace nanobind::detail
