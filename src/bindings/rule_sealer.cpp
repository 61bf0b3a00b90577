// zeq.domain.crypto_layer.rule_sealer: turns a cognition rule into the application's
// storage record and verifies records against rules.
//
// The sealer's state lives in the instance dictionary like any host object's, and
// encrypt/verify reach the four internal steps by attribute lookup on the
// instance, so a subclass (or a test) that replaces a step changes both.
#include <nanobind/nanobind.h>

#include <array>
#include <optional>
#include <string>

#include "core/derivation.hpp"
#include "core/host_texts.hpp"
#include "core/rule_seal.hpp"
#include "bindings/host.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::rule_sealer;
namespace host_words = core::texts::host_words;
namespace replaceable = host::replaceable;

struct RuleSealer {};

constexpr int record_field_count = 16;

PyObject* module_dict = nullptr;  // the module's globals: the host components are looked up there
PyObject* uuid_module = nullptr;
PyObject* time_module = nullptr;
PyObject* device_signature_text = nullptr;
PyObject* default_weight_version = nullptr;
PyObject* record_version = nullptr;
PyObject* record_kwnames = nullptr;
PyObject* salt_keys[rule_seal::salt_count] = {};
PyObject* ext_numbers[rule_seal::ext_field_count + 1] = {};

struct Names {
    PyObject *hash_crypto, *user_weight, *weight_params, *salts_attr, *salts, *dimensions, *version, *get_weight, *hash,
        *get, *rule_type, *info_owner, *info_type, *content, *rule_id, *diff1, *diff2, *diff3, *ext_fields,
        *get_ext_field, *extract_account, *extract_password, *hardware_hash, *cognition_rule_id, *weight_version;
} names;

// The sealer's four steps, which encrypt and verify look up on the instance.
struct Steps {
    PyObject *collect, *get_params, *hardware, *derive;
} steps;

nb::object global(const char* name) {
    nb::object value = host::dict_item(module_dict, nb::str(name));
    if (!value.is_valid()) {
        PyErr_Format(PyExc_NameError, host_words::name_not_defined, name);
        throw nb::python_error();
    }
    return value;
}

nb::object getattr(nb::handle obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), name);
    if (v == nullptr) throw nb::python_error();
    return nb::steal(v);
}

nb::object call_method(nb::handle obj, PyObject* name, std::initializer_list<nb::handle> args = {}) {
    PyObject* argv[4] = {obj.ptr()};
    std::size_t n = 1;
    for (nb::handle a : args) argv[n++] = a.ptr();
    PyObject* v = PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (v == nullptr) throw nb::python_error();
    return nb::steal(v);
}

// mapping.get(key, fallback), read directly from a plain dictionary.
nb::object get_or(nb::handle mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::object value = host::dict_item(mapping, key);
        return value.is_valid() ? value : nb::borrow(fallback);
    }
    return call_method(mapping, names.get, {key, fallback});
}

// A field counts as present unless it is None, empty text or the number 0. An
// int subclass answers through its own __bool__, whose errors propagate.
bool present(PyObject* v) {
    if (v == Py_None) return false;
    if (PyUnicode_Check(v)) return PyUnicode_GET_LENGTH(v) != 0;
    if (PyLong_Check(v)) {  // bool included
        const int truth = PyObject_IsTrue(v);
        if (truth < 0) throw nb::python_error();
        return truth == 1;
    }
    if (PyFloat_Check(v)) return PyFloat_AS_DOUBLE(v) != 0.0;
    return true;
}

// The count of `text * count` as the host takes it.
std::int64_t repeat_count(nb::handle count) {
    PyObject* c = count.ptr();
    if (!PyLong_Check(c) && (Py_TYPE(c)->tp_as_number == nullptr || Py_TYPE(c)->tp_as_number->nb_index == nullptr)) {
        PyErr_Format(PyExc_TypeError, host_words::repeat_count_type, Py_TYPE(c)->tp_name);
        throw nb::python_error();
    }
    const Py_ssize_t n = PyNumber_AsSsize_t(c, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

// A salt that positions a window or sizes a tail: an integer (clamped, which
// cuts and positions treat exactly like the host's unbounded value).
std::int64_t window_salt(nb::handle value, int index) {
    PyObject* v = value.ptr();
    if (!PyLong_Check(v) && (Py_TYPE(v)->tp_as_number == nullptr || Py_TYPE(v)->tp_as_number->nb_index == nullptr)) {
        PyErr_Format(PyExc_TypeError, texts::salt_not_integer, index + 1, Py_TYPE(v)->tp_name);
        throw nb::python_error();
    }
    PyObject* i = PyNumber_Index(v);
    if (i == nullptr) throw nb::python_error();
    return host::clamped(nb::steal(i));
}

// The hash input, joined as the host joins a list of parts: every part must end
// up text; the first that does not is reported once all parts are gathered.
class HashInput {
public:
    void add_text(std::string_view text, std::int64_t times) {
        host::call_core(PyExc_ValueError, [&] { derivation::append_part(text_, text, times); });
        ++items_;
    }

    // value * count, or the value itself when count is empty.
    void add(nb::handle value, nb::handle count) {
        if (PyUnicode_Check(value.ptr())) {
            const std::int64_t times = count.is_valid() ? repeat_count(count) : 1;
            add_text(host::Utf8(value.ptr()), times);
            return;
        }
        nb::object product = nb::borrow(value);
        if (count.is_valid()) {
            PyObject* p = PyNumber_Multiply(value.ptr(), count.ptr());
            if (p == nullptr) throw nb::python_error();
            product = nb::steal(p);
        }
        if (PyUnicode_Check(product.ptr())) {
            add_text(host::Utf8(product.ptr()), 1);
            return;
        }
        if (!bad_type_) {
            bad_index_ = items_;
            bad_type_ = Py_TYPE(product.ptr())->tp_name;
        }
        ++items_;
    }

    const std::string& joined() const {
        if (bad_type_) {
            PyErr_Format(PyExc_TypeError, host_words::join_item_type, static_cast<Py_ssize_t>(bad_index_),
                         bad_type_->c_str());
            throw nb::python_error();
        }
        return text_;
    }

private:
    std::string text_;
    std::size_t items_ = 0;
    std::size_t bad_index_ = 0;
    std::optional<std::string> bad_type_;
};

// rule.get_ext_field(index), the method looked up on the rule at each call.
nb::object ext_field(nb::handle rule, int index) {
    return call_method(rule, names.get_ext_field, {ext_numbers[index]});
}

// Reads a rule attribute for the presence test, and again for its value.
void add_rule_part(HashInput& input, nb::handle rule, PyObject* attribute, nb::handle count) {
    if (!present(getattr(rule, attribute).ptr())) return;
    input.add(getattr(rule, attribute), count);
}

// ---------------------------------------------------------------- the four steps
void sealer_init(nb::pointer_and_handle<RuleSealer> self, nb::handle salts) {
    if (!salts.is_none() && !PyDict_CheckExact(salts.ptr()))
        host::raise_argument_type("RuleSealer", "salts", "dict or None", salts);
    if (salts.is_none() || PyDict_GET_SIZE(salts.ptr()) == 0) host::raise(PyExc_ValueError, texts::empty_salts);
    new (self.p) RuleSealer();
    nb::object hash_crypto = global(replaceable::sealer_globals::hash_service)();
    if (PyObject_SetAttr(self.h.ptr(), names.hash_crypto, hash_crypto.ptr()) != 0) throw nb::python_error();
    nb::object user_weight = global(replaceable::sealer_globals::weight_service)();
    if (PyObject_SetAttr(self.h.ptr(), names.user_weight, user_weight.ptr()) != 0) throw nb::python_error();
    if (PyObject_SetAttr(self.h.ptr(), names.weight_params, Py_None) != 0) throw nb::python_error();
    if (PyObject_SetAttr(self.h.ptr(), names.salts_attr, salts.ptr()) != 0) throw nb::python_error();
}

nb::object collect_device_signature(nb::handle) { return nb::borrow(device_signature_text); }

nb::object get_weight_params(nb::handle self) {
    nb::object params = getattr(self, names.weight_params);
    if (params.is_none()) {
        params = call_method(getattr(self, names.user_weight), names.get_weight);
        if (PyObject_SetAttr(self.ptr(), names.weight_params, params.ptr()) != 0) throw nb::python_error();
    }
    const int has_salts = PySequence_Contains(params.ptr(), names.salts);
    if (has_salts < 0) throw nb::python_error();
    if (!has_salts) {
        nb::object salts = getattr(self, names.salts_attr);
        if (!salts.is_none() && PyObject_SetItem(params.ptr(), names.salts, salts.ptr()) != 0) throw nb::python_error();
    }
    return params;
}

nb::object calculate_hardware_hash(nb::handle self, nb::handle device_signature) {
    if (!PyUnicode_CheckExact(device_signature.ptr()))
        host::raise_argument_type("_calculate_hardware_hash", "device_signature", "str", device_signature);
    return call_method(getattr(self, names.hash_crypto), names.hash, {device_signature});
}

nb::object derive_credentials(nb::handle self, nb::handle rule, nb::handle device_signature, nb::handle weight_params) {
    if (!PyUnicode_CheckExact(device_signature.ptr()))
        host::raise_argument_type("_derive_credentials", "device_signature", "str", device_signature);
    if (!PyDict_CheckExact(weight_params.ptr()))
        host::raise_argument_type("_derive_credentials", "weight_params", "dict", weight_params);

    const std::string disk_id(rule_seal::disk_id(host::Utf8(device_signature.ptr())));

    // The weight's digits, and the str the host's conversion made of them, are wiped
    // once the credentials are cut.
    SecretBuffer weight_str;
    {
        const nb::object dimensions = host::dict_item(weight_params, names.dimensions);
        if (!dimensions.is_valid()) {
            weight_str.append(rule_seal::default_dimensions);
        } else {
            PyObject* s = PyObject_Str(dimensions.ptr());
            if (s == nullptr) throw nb::python_error();
            const host::SecretStr weight_text(nb::steal(s));
            weight_str.append(host::Utf8(s).view());
        }
    }

    nb::object salt_set = host::dict_item(weight_params, names.salts);
    if (!salt_set.is_valid()) salt_set = nb::dict();
    std::array<nb::object, rule_seal::salt_count> salts;
    nb::object one = nb::int_(1);
    for (int i = 0; i < rule_seal::salt_count; ++i) salts[i] = get_or(salt_set, salt_keys[i], one.ptr());

    const std::int64_t type_repeats =
        host::call_core(PyExc_ValueError, [&] { return rule_seal::rule_type_repeats(weight_str); });
    nb::object type_count = nb::int_(type_repeats);

    HashInput input;
    add_rule_part(input, rule, names.rule_type, type_count);
    if (!disk_id.empty()) input.add_text(disk_id, repeat_count(salts[1]));
    add_rule_part(input, rule, names.info_owner, nb::handle());
    add_rule_part(input, rule, names.diff1, salts[2]);
    add_rule_part(input, rule, names.diff2, salts[3]);
    add_rule_part(input, rule, names.diff3, salts[4]);
    for (int i = 1; i <= rule_seal::ext_field_count; ++i) {
        // Read twice like every rule attribute: once for the presence test, once for the value.
        if (!present(ext_field(rule, i).ptr())) continue;
        input.add(ext_field(rule, i), salts[rule_seal::ext_salt_index(i)]);
    }

    // The digest the credentials are cut from: wiped when given up, unless the hash
    // service still holds it.
    const host::SecretStr hash_value(
        call_method(getattr(self, names.hash_crypto), names.hash, {host::to_str(input.joined())}));
    if (!present(hash_value.ptr())) host::raise(PyExc_ValueError, texts::hash_failed);
    if (!PyUnicode_Check(hash_value.ptr())) {
        PyErr_Format(PyExc_TypeError, texts::hash_not_text, Py_TYPE(hash_value.ptr())->tp_name);
        throw nb::python_error();
    }
    const host::Utf8 hash_text(hash_value.ptr());
    host::call_core(PyExc_ValueError, [&] { rule_seal::check_hash_value(hash_text); });

    const rule_seal::WindowSalts window{window_salt(salts[0], 0), window_salt(salts[1], 1), window_salt(salts[3], 3),
                                        window_salt(salts[4], 4)};
    const rule_seal::Credentials c =
        host::call_core(PyExc_ValueError, [&] { return rule_seal::cut_credentials(hash_text, weight_str, window); });
    return nb::make_tuple(host::to_str(c.account), host::to_str(c.password));
}

// ---------------------------------------------------------------- encrypt / verify
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(value.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(value.ptr(), 1))};
    PyObject* it = PyObject_GetIter(value.ptr());
    if (it == nullptr) {
        PyErr_Format(PyExc_TypeError, host_words::not_iterable, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object items[3];
    int n = 0;
    for (; n < 3; ++n) {
        PyObject* item = PyIter_Next(it);
        if (item == nullptr) break;
        items[n] = nb::steal(item);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, host_words::not_enough_values_2, n);
        throw nb::python_error();
    }
    if (n > 2) host::raise(PyExc_ValueError, host_words::too_many_values_2);
    return {items[0], items[1]};
}

nb::object encrypt(nb::handle self, nb::handle rule, nb::handle agent_uuid) {
    if (!PyUnicode_CheckExact(agent_uuid.ptr())) host::raise_argument_type("encrypt", "agent_uuid", "str", agent_uuid);
    nb::object signature = call_method(self, steps.collect);
    nb::object weight_params = call_method(self, steps.get_params);
    nb::object hardware_hash = call_method(self, steps.hardware, {signature});
    auto [account, password] = unpack_pair(call_method(self, steps.derive, {rule, signature, weight_params}));

    static PyObject* const clock = host::intern_name(replaceable::clock.attribute);
    static PyObject* const uuid4 = host::intern_name(replaceable::unit_id.attribute);
    nb::object now = nb::borrow(time_module).attr(nb::handle(clock))();
    nb::object record_type = global(replaceable::sealer_globals::storage_record);
    nb::object unit_id = nb::str(nb::borrow(uuid_module).attr(nb::handle(uuid4))());
    nb::object info_type = getattr(rule, names.info_type);
    nb::object info_owner = getattr(rule, names.info_owner);
    nb::object content = getattr(rule, names.content);
    nb::dict metadata;
    metadata[names.cognition_rule_id] = getattr(rule, names.rule_id);
    metadata[names.weight_version] = get_or(weight_params, names.version, default_weight_version);
    nb::object diff1 = getattr(rule, names.diff1);
    nb::object diff2 = getattr(rule, names.diff2);
    nb::object diff3 = getattr(rule, names.diff3);
    nb::object ext_fields = getattr(rule, names.ext_fields);

    PyObject* args[record_field_count + 1] = {
        nullptr,         unit_id.ptr(),    record_version, account.ptr(), password.ptr(),  hardware_hash.ptr(),
        info_type.ptr(), info_owner.ptr(), content.ptr(),  now.ptr(),     now.ptr(),       agent_uuid.ptr(),
        metadata.ptr(),  diff1.ptr(),      diff2.ptr(),    diff3.ptr(),   ext_fields.ptr()};
    PyObject* record =
        PyObject_Vectorcall(record_type.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, record_kwnames);
    if (record == nullptr) throw nb::python_error();
    return nb::steal(record);
}

// a == b as the host answers it; two exact texts (credentials, digests) are
// compared in constant time, which gives the same answer.
bool equal(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return host::secret_equal(a, b);
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (r == nullptr) throw nb::python_error();
    const int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

bool verify(nb::handle self, nb::handle storage_unit, nb::handle rule) {
    nb::object signature = call_method(self, steps.collect);
    nb::object weight_params = call_method(self, steps.get_params);
    auto [derived_account, derived_password] =
        unpack_pair(call_method(self, steps.derive, {rule, signature, weight_params}));
    // The true credentials are compared, never handed out: wiped when given up
    // (unless the host still holds them, as a replaced step may).
    const host::SecretStr account(std::move(derived_account)), password(std::move(derived_password));
    nb::object hardware_hash = call_method(self, steps.hardware, {signature});
    return equal(getattr(storage_unit, names.extract_account), account.get()) &&
           equal(getattr(storage_unit, names.extract_password), password.get()) &&
           equal(getattr(storage_unit, names.hardware_hash), hardware_hash);
}

}  // namespace

ZEQ_MODULE(rule_sealer, m) {
    m.doc() = "Rule sealer of version 1: turns a cognition rule into the application's storage record,\n"
              "protecting only extract_account, extract_password (windows of the SHA-256 of the rule's\n"
              "fields, the weight parameter and the salts) and hardware_hash (the hash of the device\n"
              "signature); the rule's business content passes through in plain text.";

    nb::module_::import_("zeq.domain.crypto_layer.utils");
    for (const replaceable::ModuleAttribute& component :
         {replaceable::at_load::cognition_rule, replaceable::at_load::storage_record,
          replaceable::at_load::hash_service, replaceable::at_load::weight_service}) {
        m.attr(component.attribute) = nb::module_::import_(component.module).attr(component.attribute);
    }
    module_dict = Py_NewRef(PyModule_GetDict(m.ptr()));
    uuid_module = nb::module_::import_(replaceable::unit_id.module).release().ptr();
    time_module = nb::module_::import_(replaceable::clock.module).release().ptr();

    device_signature_text = host::to_str(rule_seal::device_signature).release().ptr();
    default_weight_version = host::to_str(rule_seal::default_weight_version).release().ptr();
    record_version = host::to_str(rule_seal::record_version).release().ptr();
    for (int i = 0; i < rule_seal::salt_count; ++i)
        salt_keys[i] = host::intern_name(("salt" + std::to_string(i + 1)).c_str());
    for (int i = 1; i <= rule_seal::ext_field_count; ++i) ext_numbers[i] = PyLong_FromLong(i);
    names = Names{host::intern_name("hash_crypto"),
                  host::intern_name("user_weight"),
                  host::intern_name("_weight_params"),
                  host::intern_name("_salts"),
                  host::intern_name("salts"),
                  host::intern_name("dimensions"),
                  host::intern_name("version"),
                  host::intern_name("get_weight"),
                  host::intern_name("hash"),
                  host::intern_name("get"),
                  host::intern_name("rule_type"),
                  host::intern_name("info_owner"),
                  host::intern_name("info_type"),
                  host::intern_name("content"),
                  host::intern_name("rule_id"),
                  host::intern_name("diff1"),
                  host::intern_name("diff2"),
                  host::intern_name("diff3"),
                  host::intern_name("ext_fields"),
                  host::intern_name("get_ext_field"),
                  host::intern_name("extract_account"),
                  host::intern_name("extract_password"),
                  host::intern_name("hardware_hash"),
                  host::intern_name("cognition_rule_id"),
                  host::intern_name("weight_version")};
    namespace step = replaceable::sealer_steps;
    steps = Steps{host::intern_name(step::collect_device_signature), host::intern_name(step::get_weight_params),
                  host::intern_name(step::calculate_hardware_hash), host::intern_name(step::derive_credentials)};
    static const char* record_fields[record_field_count] = {
        "unit_id",    "version", "extract_account", "extract_password", "hardware_hash", "info_type",
        "info_owner", "content", "created_at",      "updated_at",       "agent_uuid",    "metadata",
        "diff1",      "diff2",   "diff3",           "ext_fields"};
    record_kwnames = PyTuple_New(record_field_count);
    for (int i = 0; i < record_field_count; ++i)
        PyTuple_SET_ITEM(record_kwnames, i, host::intern_name(record_fields[i]));

    nb::class_<RuleSealer> sealer(
        m, "RuleSealer", nb::dynamic_attr(), nb::is_weak_referenceable(),
        "规则加密器（1.0 版本）：CognitionRule -> 存储模型 VaultEntry。\n\n"
        "Only extract_account, extract_password and hardware_hash are protected, each cut\n"
        "from or equal to a 64-character hexadecimal SHA-256 digest of the hash service;\n"
        "the rule's content passes through. Holds the salt set and, after the first use, the\n"
        "user's weight mapping for its lifetime.");
    host::def_plain_state(sealer);
    sealer
        .def("__init__", &sealer_init, nb::arg("salts").none() = nb::none(),
             nb::sig("def __init__(self, salts: dict[str, int] | None = None) -> None"),
             "A sealer for the salt set ``salts`` (computed from root key and weight parameter);\n"
             "None or an empty dictionary raises ValueError.")
        .def("encrypt", &encrypt, nb::arg("cognition_rule"), nb::arg("agent_uuid").none() = "",
             nb::sig("def encrypt(self, cognition_rule: object, agent_uuid: str = '') -> VaultEntry"),
             "A new storage-model VaultEntry for ``cognition_rule``, with a fresh unit_id and the\n"
             "current time.")
        .def("verify", host::scrubbed<&verify>, nb::arg("storage_unit"), nb::arg("cognition_rule"),
             "True when the record's extract_account, extract_password and hardware_hash equal\n"
             "those derived for ``cognition_rule`` (compared in that order).")
        .def("_collect_device_signature", &collect_device_signature,
             nb::sig("def _collect_device_signature(self) -> str"),
             "The device signature: CPU serial, disk id and board serial joined by '|'.")
        .def("_get_weight_params", &get_weight_params, nb::sig("def _get_weight_params(self) -> dict[str, typing.Any]"),
             "The user's weight mapping, fetched once; the sealer's salts are added when it has none.")
        .def("_calculate_hardware_hash", &calculate_hardware_hash, nb::arg("device_signature").none(),
             nb::sig("def _calculate_hardware_hash(self, device_signature: str) -> str"),
             "The hash service's digest of ``device_signature``.")
        .def("_derive_credentials", host::scrubbed<&derive_credentials>, nb::arg("cognition_rule"),
             nb::arg("device_signature").none(), nb::arg("weight_params").none(),
             nb::sig("def _derive_credentials(self, cognition_rule: object, device_signature: str, "
                     "weight_params: dict[str, typing.Any]) -> tuple[str, str]"),
             "(extract_account, extract_password) of ``cognition_rule``.");
}
