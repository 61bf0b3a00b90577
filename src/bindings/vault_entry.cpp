// zeq.domain.crypto_layer.vault_entry: the version-1 storage record and its builder.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "core/host_texts.hpp"
#include "core/vault_record.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::vault_entry;
namespace replaceable = host::replaceable;

constexpr int text_count = vault_record::text_field_count;
constexpr int field_count = text_count + 1;  // key_version last

// Records and builders keep their fields in their instance dictionary, as the
// plain objects they stand for do: vars(), pickle and copy see them there, and
// nothing lives in C++. Their methods therefore take the instance as it comes
// (Instance below) rather than nanobind's C++ view, which a record made by
// pickle or copy (VaultEntry.__new__, without __init__) would not have.
struct Entry {};
struct Builder {};

// A record's fields as the host holds them: exact str objects and an exact int
// (str is immutable, so holding the object is owning the text).
struct Fields {
    std::array<nb::object, text_count> texts;
    nb::object key_version;
    nb::object& operator[](int i) { return i < text_count ? texts[static_cast<std::size_t>(i)] : key_version; }
};

PyObject* field_keys[field_count] = {};  // interned field names, key_version last
PyObject* fields_template = nullptr;     // {field: None, ...} in field order, copied into new records
PyObject* field_kwnames = nullptr;       // the same names as a tuple, for calls by name
PyObject* data_key = nullptr;            // "data", the builder's one attribute
PyObject* entry_type = nullptr;          // VaultEntry
PyObject* builder_type = nullptr;        // VaultEntryBuilder
PyObject* native_to_dict = nullptr;      // VaultEntry.to_dict as defined here
PyObject* json_loads = nullptr;
PyObject* json_dumps = nullptr;
PyObject* empty_text = nullptr;
PyObject* one = nullptr;

const char* field_name(int i) {
    return i < text_count ? vault_record::text_field_names[static_cast<std::size_t>(i)]
                          : vault_record::key_version_name;
}

// An instance of *Type (or of a subclass), borrowed for the duration of a call.
template <PyObject** Type>
struct Instance {
    PyObject* ptr = nullptr;
};
using EntryObject = Instance<&entry_type>;
using BuilderObject = Instance<&builder_type>;

}  // namespace

namespace nanobind::detail {
template <PyObject** Type>
struct type_caster<Instance<Type>> {
    NB_TYPE_CASTER(Instance<Type>, const_name("object"))
    bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
        if (!PyObject_TypeCheck(src.ptr(), reinterpret_cast<PyTypeObject*>(*Type))) return false;
        value.ptr = src.ptr();
        return true;
    }
};
}  // namespace nanobind::detail

namespace {

// ---------------------------------------------------------------- instance dictionary
nb::dict instance_dict(PyObject* self) {
    PyObject* d = PyObject_GenericGetDict(self, nullptr);
    if (d == nullptr) throw nb::python_error();
    return nb::steal<nb::dict>(d);
}

// The attribute `key` as the instance dictionary holds it; AttributeError when gone.
nb::object attribute(PyObject* self, const nb::dict& dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key);
    if (v == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, core::texts::host_words::no_attribute, Py_TYPE(self)->tp_name, key);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

void store(const nb::dict& dict, PyObject* key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) != 0) throw nb::python_error();
}

// ---------------------------------------------------------------- typing
bool is_number(PyObject* v) noexcept {
    return PyLong_Check(v) || PyFloat_Check(v) ||
           (Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_index != nullptr);
}

void check_text(nb::handle value, int field, const char* function) {
    if (!PyUnicode_CheckExact(value.ptr())) host::raise_argument_type(function, field_name(field), "str", value);
}

// key_version as an exact int: numbers truncate toward zero, non-finite floats
// fail with the host's conversion error, anything else is a TypeError.
nb::object version_from(nb::handle value, const char* function) {
    if (!is_number(value.ptr())) host::raise_argument_type(function, vault_record::key_version_name, "a number", value);
    return host::truncate_number(value);
}

// The version first, then the texts in field order; the first failure wins.
Fields make_entry(const std::array<nb::handle, field_count>& values, const char* function) {
    Fields e;
    e.key_version = version_from(values[text_count], function);
    for (int i = 0; i < text_count; ++i) {
        check_text(values[i], i, function);
        e.texts[i] = nb::borrow(values[i]);
    }
    return e;
}

[[noreturn]] void raise_field_type(int field, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, texts::field_type, field_name(field), expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// Fields are checked again where they are used: the instance dictionary is the
// host's to change, so a field may have gone or been given another kind of value.
nb::object checked(int i, nb::object v) {
    if (i < text_count ? !PyUnicode_CheckExact(v.ptr()) : !PyLong_CheckExact(v.ptr()))
        raise_field_type(i, i < text_count ? "str" : "int", v);
    return v;
}

nb::object field(EntryObject self, const nb::dict& dict, int i) {
    return checked(i, attribute(self.ptr, dict, field_keys[i]));
}

// A record's dictionary normally begins with its fields in field order (the
// constructor puts them there), so one walk over it finds them sooner than seven
// lookups would; whatever the walk does not find in place is looked up.
Fields fields_of(EntryObject self) {
    const nb::dict dict = instance_dict(self.ptr);
    Fields f;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int i = 0;
    for (; i < field_count && PyDict_Next(dict.ptr(), &pos, &key, &value) && key == field_keys[i]; ++i)
        f[i] = checked(i, nb::borrow(value));
    for (; i < field_count; ++i) f[i] = field(self, dict, i);
    return f;
}

// Puts the fields into the instance dictionary in field order, as the plain
// class's __init__ does. A record without attributes yet gets a copy of the
// template, which is cheaper than growing a new dictionary key by key.
void store_fields(PyObject* self, Fields&& f) {
    nb::dict dict = instance_dict(self);
    const bool fresh = PyDict_Size(dict.ptr()) == 0;
    if (fresh) {
        PyObject* copy = PyDict_Copy(fields_template);
        if (copy == nullptr) throw nb::python_error();
        dict = nb::steal<nb::dict>(copy);
    }
    for (int i = 0; i < field_count; ++i) store(dict, field_keys[i], f[i]);
    if (fresh && PyObject_GenericSetDict(self, dict.ptr(), nullptr) != 0) throw nb::python_error();
}

// ---------------------------------------------------------------- VaultEntry
void entry_init(EntryObject self, nb::handle info_type, nb::handle info_owner, nb::handle info_plaintext,
                nb::handle extract_account, nb::handle extract_password, nb::handle hardware_hash,
                nb::handle key_version) {
    store_fields(self.ptr, make_entry({info_type, info_owner, info_plaintext, extract_account, extract_password,
                                       hardware_hash, key_version},
                                      "VaultEntry"));
}

nb::dict to_dict(EntryObject self) {
    const Fields e = fields_of(self);
    nb::dict out;
    for (int i = 0; i < text_count; ++i) {
        if (PyDict_SetItem(out.ptr(), field_keys[i], e.texts[i].ptr()) != 0) throw nb::python_error();
    }
    if (PyDict_SetItem(out.ptr(), field_keys[text_count], e.key_version.ptr()) != 0) throw nb::python_error();
    return out;
}

// A str's characters as the record's rules read them: the host's own storage,
// one unit per character, of the str's width. Valid while the str is held.
vault_record::Units units_of(const nb::object& text) {
    PyObject* s = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) != 0) throw nb::python_error();  // a str of the legacy API, made ready once
#endif
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)), static_cast<int>(PyUnicode_KIND(s))};
}

vault_record::Texts texts_of(const Fields& e) {
    vault_record::Texts texts;
    for (int i = 0; i < text_count; ++i) texts[i] = units_of(e.texts[i]);
    return texts;
}

// True when `self` still serialises through the to_dict defined here (always
// for VaultEntry itself; a subclass may have replaced it).
bool uses_native_to_dict(nb::handle self) {
    if (Py_TYPE(self.ptr()) == reinterpret_cast<PyTypeObject*>(entry_type)) return true;
    nb::object method = nb::getattr(self, replaceable::record_methods::to_dict);
    PyObject* func = PyObject_GetAttrString(method.ptr(), "__func__");
    if (func == nullptr) {
        // Only a missing attribute means "not a method"; any other host error propagates.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    const bool native = func == native_to_dict;
    Py_DECREF(func);
    return native;
}

// The record's JSON written straight into a str of the width its widest text
// needs (every other character of the JSON is ASCII), which is the str the
// host's json.dumps(to_dict(), ensure_ascii=False) gives. The texts are held
// here, so their characters stay valid while large ones are measured and
// written without the GIL.
nb::object native_json(EntryObject self) {
    const Fields e = fields_of(self);
    const SecretBuffer version = host::decimal_text(e.key_version);
    vault_record::Fields fields{texts_of(e), version};
    Py_UCS4 max_char = 127;
    std::size_t text_size = 0;
    for (int i = 0; i < text_count; ++i) {
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(e.texts[i].ptr()));
        text_size += fields.texts[i].size;
    }
    std::size_t size = 0;
    {
        host::ReleaseIfLarge unlocked(text_size);
        size = vault_record::json_size(fields);
    }
    PyObject* json = PyUnicode_New(static_cast<Py_ssize_t>(size), max_char);
    if (json == nullptr) throw nb::python_error();
    {
        host::ReleaseIfLarge unlocked(text_size);
        vault_record::write_json(fields, PyUnicode_DATA(json), static_cast<int>(PyUnicode_KIND(json)));
    }
    return nb::steal(json);
}

nb::object to_json(EntryObject self) {
    if (!uses_native_to_dict(self.ptr)) {
        nb::object d = nb::getattr(self.ptr, replaceable::record_methods::to_dict)();
        nb::dict kwargs;
        kwargs["ensure_ascii"] = false;
        return nb::borrow(json_dumps)(d, **kwargs);
    }
    return native_json(self);
}

// The digests are checked on the strs' own characters; the version by its
// value, so that no size of int makes validation fail.
bool validate(EntryObject self) {
    const Fields e = fields_of(self);
    return vault_record::is_valid(texts_of(e), host::clamped(e.key_version));
}

nb::dict parts(EntryObject self, int from) {
    const nb::dict dict = instance_dict(self.ptr);
    nb::dict out;
    for (int i = from; i < from + 3; ++i) store(out, field_keys[i], field(self, dict, i));
    return out;
}

nb::str printable(EntryObject self) {
    const nb::dict dict = instance_dict(self.ptr);
    const nb::object type = field(self, dict, 0), owner = field(self, dict, 1), version = field(self, dict, text_count);
    PyObject* s = PyUnicode_FromFormat(texts::printable, type.ptr(), owner.ptr(), version.ptr());
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// ---------------------------------------------------------------- factories
nb::object from_dict(nb::handle cls, nb::handle data) {
    if (!PyDict_CheckExact(data.ptr())) host::raise_argument_type("from_dict", "data", "dict", data);
    std::array<nb::object, field_count> held;  // keeps values alive should a key's hash run host code
    std::array<nb::handle, field_count> values;
    for (int i = 0; i < field_count; ++i) {
        PyObject* v = PyDict_GetItemWithError(data.ptr(), field_keys[i]);
        if (v == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            v = i < text_count ? empty_text : one;
        }
        held[i] = nb::borrow(v);
        values[i] = v;
    }
    if (cls.ptr() == entry_type) {
        Fields e = make_entry(values, "VaultEntry");
        nb::object inst = nb::inst_alloc(cls);
        store_fields(inst.ptr(), std::move(e));
        return inst;
    }
    // A subclass is built through its own constructor, by name.
    PyObject* args[field_count + 1] = {nullptr};
    for (int i = 0; i < field_count; ++i) args[i + 1] = values[i].ptr();
    PyObject* result = PyObject_Vectorcall(cls.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, field_kwnames);
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

nb::object from_json(nb::handle cls, nb::handle json_str) {
    if (!PyUnicode_CheckExact(json_str.ptr())) host::raise_argument_type("from_json", "json_str", "str", json_str);
    nb::object parsed = nb::borrow(json_loads)(json_str);
    return nb::getattr(cls, replaceable::record_methods::from_dict)(parsed);
}

// ---------------------------------------------------------------- builder
void builder_init(BuilderObject self) {
    nb::dict data;
    for (int i = 0; i < field_count; ++i) store(data, field_keys[i], i < text_count ? empty_text : one);
    store(instance_dict(self.ptr), data_key, data);
}

void check_data(nb::handle value) {
    if (!PyDict_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, texts::builder_data_type, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
}

nb::object builder_data(BuilderObject self) {
    nb::object data = attribute(self.ptr, instance_dict(self.ptr), data_key);
    check_data(data);
    return data;
}

void set_builder_data(BuilderObject self, nb::handle value) {
    check_data(value);
    store(instance_dict(self.ptr), data_key, value);
}

template <int Field>
nb::object builder_set(BuilderObject self, nb::handle value) {
    static const std::string function = std::string("with_") + field_name(Field);
    nb::object stored;
    if constexpr (Field < text_count) {
        if (!PyUnicode_CheckExact(value.ptr()))
            host::raise_argument_type(function.c_str(), field_name(Field), "str", value);
        stored = nb::borrow(value);
    } else {
        stored = version_from(value, function.c_str());
    }
    const nb::object data = builder_data(self);
    store(nb::borrow<nb::dict>(data), field_keys[Field], stored);
    return nb::borrow(self.ptr);
}

nb::object build(BuilderObject self) {
    return nb::borrow(entry_type).attr(replaceable::record_methods::from_dict)(builder_data(self));
}

// What the host sees of a field: str for the texts, int for key_version, and for
// writing the same kinds the constructor takes.
template <int Field>
const char* field_type(bool writing) {
    if constexpr (Field < text_count) return "str";
    else return writing ? "int | float | typing.SupportsIndex" : "int";
}

template <int Field>
void def_field(nb::class_<Entry>& cls) {
    static const std::string getter_sig =
        std::string("def ") + field_name(Field) + "(self) -> " + field_type<Field>(false);
    static const std::string setter_sig =
        std::string("def ") + field_name(Field) + "(self, value: " + field_type<Field>(true) + ") -> None";
    // A data descriptor over the instance dictionary: reads give what is stored,
    // writes are checked as the constructor checks them.
    cls.def_prop_rw(
        field_name(Field),
        [](EntryObject self) { return attribute(self.ptr, instance_dict(self.ptr), field_keys[Field]); },
        [](EntryObject self, nb::handle value) {
            nb::object accepted;
            if constexpr (Field < text_count) {
                if (!PyUnicode_CheckExact(value.ptr())) raise_field_type(Field, "str", value);
                accepted = nb::borrow(value);
            } else {
                if (!is_number(value.ptr())) raise_field_type(Field, "a number", value);
                accepted = host::truncate_number(value);
            }
            store(instance_dict(self.ptr), field_keys[Field], accepted);
        },
        nb::for_getter(nb::sig(getter_sig.c_str())), nb::for_setter(nb::sig(setter_sig.c_str())),
        nb::arg("value").none());
}

template <int... I>
void def_fields(nb::class_<Entry>& cls, std::integer_sequence<int, I...>) {
    (def_field<I>(cls), ...);
}

template <int Field>
void def_setter(nb::class_<Builder>& cls, const char* doc) {
    static const std::string name = std::string("with_") + field_name(Field);
    static const std::string sig =
        "def " + name + "(self, " + field_name(Field) + ": " + field_type<Field>(true) + ") -> typing.Self";
    cls.def(name.c_str(), &builder_set<Field>, nb::arg(field_name(Field)).none(), nb::sig(sig.c_str()), doc);
}

}  // namespace

ZEQ_MODULE(vault_entry, m) {
    m.doc() = "The version-1 storage record: an item's plaintext parts beside its derived credentials\n"
              "and hardware hash, with dictionary and JSON forms, validation and a builder.";

    for (int i = 0; i < field_count; ++i) field_keys[i] = host::intern_name(field_name(i));
    field_kwnames = PyTuple_New(field_count);
    for (int i = 0; i < field_count; ++i) PyTuple_SET_ITEM(field_kwnames, i, Py_NewRef(field_keys[i]));
    data_key = host::intern_name("data");
    fields_template = PyDict_New();
    for (int i = 0; i < field_count; ++i) PyDict_SetItem(fields_template, field_keys[i], Py_None);
    empty_text = PyUnicode_FromString("");
    one = PyLong_FromLong(1);
    const replaceable::ModuleAttribute& loads = replaceable::at_load::json_loads;
    const replaceable::ModuleAttribute& dumps = replaceable::at_load::json_dumps;
    json_loads = nb::object(nb::module_::import_(loads.module).attr(loads.attribute)).release().ptr();
    json_dumps = nb::object(nb::module_::import_(dumps.module).attr(dumps.attribute)).release().ptr();
    m.attr("HEX_PATTERN") = nb::module_::import_("re").attr("compile")("^[0-9a-fA-F]{64}$");

    nb::class_<Entry> entry(m, "VaultEntry", nb::dynamic_attr(), nb::is_weak_referenceable(),
                            "Storage record of version 1: info_type, info_owner and info_plaintext in plain\n"
                            "text, extract_account, extract_password and hardware_hash as hex digests, and\n"
                            "key_version (1). Fields are writable; subclasses are built by the factories.");
    entry_type = entry.ptr();
    host::def_plain_state(entry);
    entry.def(
        "__init__", &entry_init, nb::arg("info_type").none(), nb::arg("info_owner").none(),
        nb::arg("info_plaintext").none(), nb::arg("extract_account").none(), nb::arg("extract_password").none(),
        nb::arg("hardware_hash").none(), nb::arg("key_version").none() = 1,
        nb::sig(
            "def __init__(self, info_type: str, info_owner: str, info_plaintext: str, extract_account: str, "
            "extract_password: str, hardware_hash: str, key_version: int | float | typing.SupportsIndex = 1) -> None"),
        "A record of the given values; the six texts must be str, key_version a number\n"
        "(truncated toward zero).");
    def_fields(entry, std::make_integer_sequence<int, field_count>());
    entry.def("to_dict", &to_dict, nb::sig("def to_dict(self) -> dict[str, str | int]"),
              "The seven fields as a dictionary, in field order.");
    native_to_dict = nb::getattr(entry, "__dict__")["to_dict"].ptr();
    entry.def("to_json", &to_json, nb::sig("def to_json(self) -> str"),
              "The record as one line of JSON: keys in field order, ', ' and ': ' separators,\n"
              "non-ASCII characters unescaped.");
    entry.def(
        "get_ciphertext_parts", [](EntryObject e) { return nb::typed<nb::dict, nb::str, nb::str>(parts(e, 3)); },
        "{'extract_account': .., 'extract_password': .., 'hardware_hash': ..}.");
    entry.def(
        "get_plaintext_parts", [](EntryObject e) { return nb::typed<nb::dict, nb::str, nb::str>(parts(e, 0)); },
        "{'info_type': .., 'info_owner': .., 'info_plaintext': ..}.");
    entry.def("validate", &validate,
              "True when every text is non-empty, the three digests are 64 hex digits and\n"
              "key_version is 1.");
    entry.def("__str__", &printable, "VaultEntry(type=.., owner=.., version=..), without the sensitive fields.");
    entry.def("__repr__", &printable, "The same text as str().");

    // Class-level factories: they build through the class they are called on.
    nb::object from_dict_fn =
        nb::cpp_function(&from_dict, nb::name("from_dict"), nb::scope(entry), nb::arg("cls"), nb::arg("data").none(),
                         nb::sig("def from_dict(cls, data: dict[str, typing.Any]) -> typing.Self"),
                         "A record of the class from a dictionary; missing keys take \"\" (texts)\n"
                         "or 1 (key_version), other keys are ignored.");
    nb::object from_json_fn = nb::cpp_function(&from_json, nb::name("from_json"), nb::scope(entry), nb::arg("cls"),
                                               nb::arg("json_str").none(),
                                               nb::sig("def from_json(cls, json_str: str) -> typing.Self"),
                                               "A record of the class from JSON text (the host's json rules).");
    for (auto& [name, fn] :
         {std::pair<const char*, nb::object&>{"from_dict", from_dict_fn}, {"from_json", from_json_fn}}) {
        PyObject* cm = PyClassMethod_New(fn.ptr());
        if (cm == nullptr || PyObject_SetAttrString(entry.ptr(), name, cm) != 0) throw nb::python_error();
        Py_DECREF(cm);
    }

    nb::class_<Builder> builder(m, "VaultEntryBuilder", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                "Chaining builder of VaultEntry records.");
    builder_type = builder.ptr();
    host::def_plain_state(builder);
    builder.def("__init__", &builder_init,
                "A builder whose data holds the defaults: \"\" for the texts, key_version 1.");
    builder.def_prop_rw("data", &builder_data, &set_builder_data,
                        nb::for_getter(nb::sig("def data(self) -> dict[str, typing.Any]")),
                        nb::for_setter(nb::sig("def data(self, arg: dict[str, typing.Any], /) -> None")),
                        "The values the next build() uses, in field order.");
    def_setter<0>(builder, "Set info_type; returns the builder.");
    def_setter<1>(builder, "Set info_owner; returns the builder.");
    def_setter<2>(builder, "Set info_plaintext; returns the builder.");
    def_setter<3>(builder, "Set extract_account; returns the builder.");
    def_setter<4>(builder, "Set extract_password; returns the builder.");
    def_setter<5>(builder, "Set hardware_hash; returns the builder.");
    def_setter<6>(builder, "Set key_version (a number, truncated toward zero); returns the builder.");
    builder.def("build", &build, nb::sig("def build(self) -> VaultEntry"),
                "VaultEntry.from_dict(data): a new record; the builder keeps its values.");
}
