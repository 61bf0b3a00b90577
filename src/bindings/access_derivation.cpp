// zeq.domain.crypto_layer.access_derivation: derived, query and migration
// credentials of stored items, and the text cipher.
#include <nanobind/nanobind.h>

#include "core/credentials.hpp"
#include "core/decimal.hpp"
#include "core/host_texts.hpp"
#include "bindings/host.hpp"
#include "bindings/text_cipher.hpp"

namespace nb = nanobind;
using namespace zeq;

namespace {

namespace texts = core::texts::access_derivation;
using credentials::Salt;

PyObject* CredentialGenerationError = nullptr;
PyObject* required_keys[4] = {};  // interned salt1, salt2, salt4, salt5

enum class Variant { derived, query };

struct Salts {
    Salt salt1, salt2, salt4, salt5;
};

Salts checked_salts(const host::Dict& salts, Variant variant) {
    // Every value is held before any is read: reading one runs host code.
    nb::object values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = host::dict_item(salts.ptr, required_keys[i]);
        if (!values[i].is_valid()) {
            host::raise(CredentialGenerationError,
                        std::string(texts::salts_incomplete) + credentials::required_salts[i]);
        }
    }
    Salt read[4];
    for (int i = 0; i < 4; ++i) read[i] = host::salt_value(values[i]);
    if (variant == Variant::derived) {
        for (const Salt& s : read) {
            if (!s) host::raise(PyExc_TypeError, core::texts::host_words::none_compared);
            if (*s < 1 || *s > 9) host::raise(CredentialGenerationError, texts::salt_out_of_range);
        }
    }
    return {read[0], read[1], read[2], read[3]};
}

bool is_positive(const host::Int& i) {
    const int r = PyObject_RichCompareBool(i.value.ptr(), nb::int_(0).ptr(), Py_GT);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::typed<nb::tuple, nb::str, nb::str> to_tuple(const credentials::Pair& pair) {
    return nb::typed<nb::tuple, nb::str, nb::str>(
        nb::make_tuple(host::to_str(pair.account), host::to_str(pair.password)));
}

credentials::Pair computed(Variant variant, const host::Text& info_type, const host::Text& agent_name,
                           const host::Text& third, const host::Int& weight_param, const host::Salts& salts) {
    const bool stored = variant == Variant::derived;
    if (host::is_empty(info_type) || host::is_empty(agent_name) || host::is_empty(third)) {
        host::raise(CredentialGenerationError, stored ? texts::derived_empty : texts::query_empty);
    }
    if (!is_positive(weight_param)) host::raise(CredentialGenerationError, texts::weight_not_positive);
    const Salts s = checked_salts(salts, variant);

    const std::string_view prefix = stored ? texts::derived_failed : texts::query_failed;
    const SecretBuffer weight =
        host::wrap_host_failures(CredentialGenerationError, prefix, [&] { return host::decimal_text(weight_param); });
    const host::Utf8 info(info_type), agent(agent_name), other(third);
    const credentials::Identity id{info, agent, other, weight};
    return host::call_core(CredentialGenerationError, [&] {
        // Each field is repeated up to nine times before hashing.
        host::ReleaseIfLarge unlocked(9 * (info.size() + agent.size() + other.size()));
        return stored ? credentials::derived(id, *s.salt1, *s.salt2, *s.salt4, *s.salt5)
                      : credentials::query(id, s.salt1, s.salt2, s.salt4, s.salt5);
    });
}

nb::typed<nb::tuple, nb::str, nb::str> credentials_of(Variant variant, const host::Text& info_type,
                                                      const host::Text& agent_name, const host::Text& third,
                                                      const host::Int& weight_param, const host::Salts& salts) {
    return to_tuple(computed(variant, info_type, agent_name, third, weight_param, salts));
}

nb::typed<nb::tuple, nb::str, nb::str> generate_derived_credentials(const host::Text& info_type,
                                                                    const host::Text& agent_name,
                                                                    const host::Text& environment_cipher,
                                                                    const host::Int& weight_param,
                                                                    const host::Salts& salts) {
    return credentials_of(Variant::derived, info_type, agent_name, environment_cipher, weight_param, salts);
}

nb::typed<nb::tuple, nb::str, nb::str> generate_query_credentials(host::Text info_type, host::Text agent_name,
                                                                  host::Text disk_id, host::Int weight_param,
                                                                  host::Salts salts) {
    return credentials_of(Variant::query, info_type, agent_name, disk_id, weight_param, salts);
}

// A computed credential against the one given, in constant time; a replaced
// generator's result that is not exactly text is compared by the host's ==.
bool credential_matches(nb::handle computed, const host::Text& given) {
    if (PyUnicode_CheckExact(computed.ptr())) return host::secret_equal(computed, given.ptr);
    return computed.equal(nb::handle(given.ptr));
}

// Looked up by name at each call, as the module's own callers do.
const host::SiblingFunction own_derived(host::replaceable::derived_credentials);

bool verify_derived_credentials(const host::Text& extract_account, const host::Text& extract_password,
                                const host::Text& info_type, const host::Text& agent_name, const host::Text& disk_id,
                                const host::Int& weight_param, const host::Salts& salts) {
    try {
        nb::object fn = own_derived.current();
        if (own_derived.is_native(fn)) {
            // The true credentials stay in C++ buffers, wiped after the comparison: no
            // str or tuple of them exists for host code (a gc callback) to find.
            const credentials::Pair pair =
                computed(Variant::derived, info_type, agent_name, disk_id, weight_param, salts);
            return host::secret_equal(pair.account, extract_account.ptr) &&
                   host::secret_equal(pair.password, extract_password.ptr);
        }
        const nb::object pair = fn(nb::handle(info_type.ptr), nb::handle(agent_name.ptr), nb::handle(disk_id.ptr),
                                   weight_param.value, nb::handle(salts.ptr));
        const nb::object account = pair[0];
        if (!credential_matches(account, extract_account)) return false;
        const nb::object password = pair[1];
        return credential_matches(password, extract_password);
    } catch (nb::python_error& e) {
        if (!host::is_ordinary(e)) throw;
        return false;
    } catch (const std::exception&) {
        return false;  // a failed computation (out of memory included) is no match
    }
}

nb::typed<nb::tuple, nb::str, nb::str> generate_migration_credentials(host::Text migrate_key, host::Salts salts) {
    if (host::is_empty(migrate_key)) host::raise(CredentialGenerationError, texts::migrate_key_empty);
    if (PyDict_GET_SIZE(salts.ptr) == 0) host::raise(CredentialGenerationError, texts::salts_empty);
    const host::Utf8 key(migrate_key);
    return host::wrap_host_failures(CredentialGenerationError, texts::migration_failed, [&] {
        // Absent, none and 0 all stand for 1; there is no range check.
        auto salt = [&](PyObject* name) -> std::int64_t {
            const nb::object value = host::dict_item(salts.ptr, name);
            if (!value.is_valid()) return 1;
            const std::int64_t v = host::salt_value(value).value_or(1);
            return v == 0 ? 1 : v;
        };
        const std::int64_t salt4 = salt(required_keys[2]), salt1 = salt(required_keys[0]),
                           salt5 = salt(required_keys[3]), salt2 = salt(required_keys[1]);
        credentials::Pair pair;
        {
            host::ReleaseIfLarge unlocked(key.size());
            pair = credentials::migration(key, salt4, salt1, salt5, salt2);
        }
        return to_tuple(pair);
    });
}

nb::object aes_encrypt(host::Text plaintext, host::Text key) {
    return host::text_cipher::aes_encrypt(CredentialGenerationError, plaintext, key);
}

nb::object aes_decrypt(host::Text ciphertext, host::Text key) {
    return host::text_cipher::aes_decrypt(CredentialGenerationError, ciphertext, key);
}

}  // namespace

ZEQ_MODULE(access_derivation, m) {
    m.doc() = "Derived, query and migration credentials of stored items, and the text cipher.";
    nb::module_::import_("zeq.domain.crypto_layer.digest_base");
    nb::module_::import_("zeq.domain.crypto_layer.utils");
    CredentialGenerationError = host::make_error_type(m, "CredentialGenerationError", texts::error_doc);
    for (int i = 0; i < 4; ++i) required_keys[i] = host::intern_name(credentials::required_salts[i]);

    m.def("generate_derived_credentials", host::scrubbed<&generate_derived_credentials>, nb::arg("info_type"),
          nb::arg("agent_name"), nb::arg("environment_cipher"), nb::arg("weight_param"), nb::arg("salts"),
          "(extract_account, extract_password) stored beside an item: two windows of the digest of its\n"
          "information type, environment cipher and agent name, repeated by weight digits.");
    m.def("generate_query_credentials", host::scrubbed<&generate_query_credentials>, nb::arg("info_type"),
          nb::arg("agent_name"), nb::arg("disk_id"), nb::arg("weight_param"), nb::arg("salts"),
          "(extract_account, extract_password) for querying and extracting items, from the disk identifier;\n"
          "salts are used without a range check.");
    m.def("verify_derived_credentials", host::scrubbed<&verify_derived_credentials>, nb::arg("extract_account"),
          nb::arg("extract_password"), nb::arg("info_type"), nb::arg("agent_name"), nb::arg("disk_id"),
          nb::arg("weight_param"), nb::arg("salts"),
          "True when the pair equals generate_derived_credentials(info_type, agent_name, disk_id, ...);\n"
          "false on any failure.");
    m.def("generate_migration_credentials", host::scrubbed<&generate_migration_credentials>, nb::arg("migrate_key"),
          nb::arg("salts"), "(migration_account, migration_password): two windows of the digest of ``migrate_key``.");
    m.def("aes_encrypt", host::scrubbed<&aes_encrypt>, nb::arg("plaintext"), nb::arg("key"),
          nb::sig("def aes_encrypt(plaintext: str, key: str) -> str"),
          "Base64 of AES-256-CBC (all-zero IV, PKCS#7) of ``plaintext`` under the SHA-256 of ``key``.");
    m.def("aes_decrypt", host::scrubbed<&aes_decrypt>, nb::arg("ciphertext"), nb::arg("key"),
          nb::sig("def aes_decrypt(ciphertext: str, key: str) -> str"),
          "The text that ``aes_encrypt`` turned into ``ciphertext`` under ``key``.");
}
