#include "bindings/host.hpp"

#include <openssl/crypto.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "core/constant_time.hpp"
#include "core/hex.hpp"
#include "core/host_texts.hpp"
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
    OPENSSL_cleanse(digest.data(), digest.size());
    if (str == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(str);
}

void SecretStr::wipe_if_unshared(PyObject* object) noexcept {
    if (object == nullptr || Py_REFCNT(object) != 1) return;
    if (PyBytes_CheckExact(object)) {
        OPENSSL_cleanse(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return;
    }
    // An interned str sits in the interpreter's table without being counted there.
    if (!PyUnicode_CheckExact(object) || PyUnicode_CHECK_INTERNED(object) || !PyUnicode_IS_COMPACT(object)) return;
    OPENSSL_cleanse(PyUnicode_DATA(object),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) * PyUnicode_KIND(object));
    if (!PyUnicode_IS_ASCII(object)) {
        auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(object);
        if (compact->utf8 != nullptr) OPENSSL_cleanse(compact->utf8, static_cast<std::size_t>(compact->utf8_length));
    }
}

nb::str to_str(std::string_view utf8) {
    PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (s == nullptr) throw nb::python_error();
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

void raise_argument_type(const char* function, const char* argument, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, argument, expected,
                 Py_TYPE(got.ptr())->tp_name);
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

struct LoggingNames {
    PyObject* is_enabled_for = intern_name(replaceable::logger_methods::is_enabled_for);
    PyObject* make_record = intern_name(replaceable::logger_methods::make_record);
    PyObject* handle = intern_name(replaceable::logger_methods::handle);
    PyObject* module = intern_name("module");
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

void Logger::log(core::LogLevel level, std::string_view operation, std::string_view message) {
    nb::gil_scoped_acquire gil;
    const LoggingNames& names = logging_names();
    // Kept aside while the host's logging runs (it must not see it), and put
    // back after; should the logging raise, it becomes that error's context.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const bool logged = [&] {
        nb::object level_number = nb::steal(PyLong_FromLong(static_cast<long>(level)));
        if (!level_number.is_valid()) return false;
        nb::object enabled = nb::steal(PyObject_CallMethodOneArg(logger_, names.is_enabled_for, level_number.ptr()));
        if (!enabled.is_valid()) return false;
        const int on = PyObject_IsTrue(enabled.ptr());
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
        PyErr_Restore(type, value, traceback);
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

// The Signature of one of the layer's functions, or the AttributeError the
// type's own lookup raises for any other function.
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

void install_function_signatures() {
    // nanobind gives every function of a kind the same type: a throwaway function
    // and method name two of them, and binding the method to any object the third.
    const nb::object function = nb::cpp_function([] {});
    const nb::object method = nb::cpp_function([](nb::handle) {}, nb::is_method());
    const nb::object bound = nb::steal(Py_TYPE(method.ptr())->tp_descr_get(method.ptr(), Py_None, nullptr));
    if (!bound.is_valid()) throw nb::python_error();

    const nb::object name = nb::steal(PyUnicode_InternFromString("__signature__"));
    if (!name.is_valid()) throw nb::python_error();
    nb::object descriptor;  // made by the one module that installs it
    for (const nb::object* kind : {&function, &method, &bound}) {
        PyTypeObject* type = Py_TYPE(kind->ptr());
        const int present = PyDict_Contains(type->tp_dict, name.ptr());
        if (present < 0) throw nb::python_error();
        if (present == 1) continue;  // an earlier module gave it (or another library did: left alone)
        if (!descriptor.is_valid()) descriptor = new_signature_descriptor();
        if (PyDict_SetItem(type->tp_dict, name.ptr(), descriptor.ptr()) != 0) throw nb::python_error();
        PyType_Modified(type);  // the type's attribute cache must see the new entry
    }
}

}  // namespace zeq::host

namespace nanobind::detail {

namespace {

// What the number casters accept: anything truncate_number converts, except a
// float with no integer value (inf, nan), which is refused before any work.
bool is_number_argument(PyObject* v) noexcept {
    if (PyLong_CheckExact(v)) return true;
    if (PyFloat_Check(v)) return std::isfinite(PyFloat_AS_DOUBLE(v)) != 0;
    return Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_index != nullptr;
}

}  // namespace

bool zeq_number_from_python(handle src, object& out) {
    if (!is_number_argument(src.ptr())) return false;
    out = zeq::host::truncate_number(src);
    return true;
}

}  // namespace nanobind::detail
