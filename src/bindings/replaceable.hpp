// The calls a host may replace, and the calls the layer binds once.
//
// Some operations reach another function by looking it up as an attribute at
// each call, so that a host which replaces the attribute (a test's monkeypatch,
// an application's own hash or clock) is obeyed from its next call on. These
// lookups must stay per call: bound when the module loads, they would go on
// calling the original and silently ignore the replacement. While an attribute
// is still the layer's own function, the caller runs the C++ directly instead
// (SiblingFunction::is_native), which keeps the lookup cheap.
//
// Other calls are bound when their module loads, deliberately: a replacement
// made later is not seen. They are listed below too, so that the difference shows.
#pragma once

namespace zeq::host::replaceable {

// An attribute of a module. `home` is the module that defines the layer's own
// function when `module` only re-exports it. The names of the namespaces below
// are const char arrays: nanobind keeps one str for such a name, where a plain
// pointer would get a fresh str at every lookup (and miss the interpreter's
// attribute cache); an attribute of a ModuleAttribute looked up at each call
// goes through host::intern_name once.
struct ModuleAttribute {
    const char* module;
    const char* attribute;
    const char* home = nullptr;
};

namespace modules {
inline constexpr char package[] = "zeq.domain.crypto_layer";
inline constexpr char digest_base[] = "zeq.domain.crypto_layer.digest_base";
inline constexpr char device_signature[] = "zeq.domain.crypto_layer.device_signature";
inline constexpr char access_derivation[] = "zeq.domain.crypto_layer.access_derivation";
inline constexpr char per_info_key[] = "zeq.domain.crypto_layer.per_info_key";
inline constexpr char function_signatures[] = "zeq.domain.crypto_layer._function_signatures";
}  // namespace modules

// ---------------------------------------------------------------- looked up at each call
// device_signature: get_device_signature, is_sandbox_mode and
// get_hardware_collection_status read the factors through it; master_key_seal:
// get_aes_key_1.
inline constexpr ModuleAttribute hardware_info{modules::device_signature, "get_hardware_info"};
// device_signature: check_hardware_change.
inline constexpr ModuleAttribute device_signature{modules::device_signature, "get_device_signature"};
// access_derivation: verify_derived_credentials.
inline constexpr ModuleAttribute derived_credentials{modules::access_derivation, "generate_derived_credentials"};
// access_derivation: aes_encrypt and aes_decrypt (the text cipher); per_info_key:
// encrypt_info, encrypt_with_aes_key_4, decrypt_info and decrypt_with_aes_key_4.
inline constexpr ModuleAttribute per_info_encrypt{modules::per_info_key, "encrypt_with_per_info_key"};
inline constexpr ModuleAttribute per_info_decrypt{modules::per_info_key, "decrypt_with_per_info_key"};
// per_info_key: encrypt_info (the per-info key) and encrypt_with_aes_key_4 (a new one-time key).
inline constexpr ModuleAttribute info_hash_cipher{modules::per_info_key, "generate_info_hash_cipher"};
inline constexpr ModuleAttribute one_time_key{modules::per_info_key, "generate_aes_key_4"};
// entry_digest: generate_entry_digest hashes with the package's sha256_hash, looked
// up before its checks run.
inline constexpr ModuleAttribute package_sha256{modules::package, "sha256_hash", modules::digest_base};
// weight_issuer: the clock and the random number of a new weight parameter;
// rule_sealer: the clock and the unit id of a new record. The modules are bound
// at load, their attributes looked up at each call.
inline constexpr ModuleAttribute clock{"time", "time"};
inline constexpr ModuleAttribute random_number{"random", "randint"};
inline constexpr ModuleAttribute unit_id{"uuid", "uuid4"};
// The __signature__ of the layer's functions (inspect.signature).
inline constexpr ModuleAttribute signature_of{modules::function_signatures, "signature_of"};
// What the host says of a call whose arguments a function refused (its TypeError).
inline constexpr ModuleAttribute argument_refusal{modules::function_signatures, "refusal"};

// rule_sealer: the host application's components, looked up in the module's own
// globals at each call (RuleSealer() makes the services, encrypt the record).
namespace sealer_globals {
inline constexpr char hash_service[] = "HashCrypto";
inline constexpr char weight_service[] = "UserWeight";
inline constexpr char storage_record[] = "VaultEntry";
}  // namespace sealer_globals

// rule_sealer: encrypt and verify reach the sealer's four steps through the
// instance, so a subclass (or a test) that replaces one changes both.
namespace sealer_steps {
inline constexpr char collect_device_signature[] = "_collect_device_signature";
inline constexpr char get_weight_params[] = "_get_weight_params";
inline constexpr char calculate_hardware_hash[] = "_calculate_hardware_hash";
inline constexpr char derive_credentials[] = "_derive_credentials";
}  // namespace sealer_steps

// vault_entry: to_json goes through a subclass's own to_dict; from_json and
// VaultEntryBuilder.build build through the class's from_dict.
namespace record_methods {
inline constexpr char to_dict[] = "to_dict";
inline constexpr char from_dict[] = "from_dict";
}  // namespace record_methods

// Every module that logs: its logger's methods, called as Logger._log calls them.
namespace logger_methods {
inline constexpr char is_enabled_for[] = "isEnabledFor";
inline constexpr char make_record[] = "makeRecord";
inline constexpr char handle[] = "handle";
}  // namespace logger_methods

// ---------------------------------------------------------------- bound at load
namespace at_load {
// master_key_seal seals and opens with the text cipher as access_derivation had it
// when master_key_seal loaded.
inline constexpr ModuleAttribute text_cipher_encrypt{modules::access_derivation, "aes_encrypt"};
inline constexpr ModuleAttribute text_cipher_decrypt{modules::access_derivation, "aes_decrypt"};
// device_signature re-exports digest_base's sha256_hash; its operations hash in C++.
inline constexpr ModuleAttribute digest{modules::digest_base, "sha256_hash"};
// Every module that logs: its logger, bound to the module's `logger` attribute.
inline constexpr ModuleAttribute get_logger{"logging", "getLogger"};
// vault_entry: the host's JSON coding.
inline constexpr ModuleAttribute json_loads{"json", "loads"};
inline constexpr ModuleAttribute json_dumps{"json", "dumps"};
// rule_sealer: the host application's classes, imported into the module's
// globals (where each call looks them up, see sealer_globals).
inline constexpr ModuleAttribute cognition_rule{"zeq.models.cognition_model", "CognitionRule"};
inline constexpr ModuleAttribute storage_record{"zeq.models.storage_model", sealer_globals::storage_record};
inline constexpr ModuleAttribute hash_service{"zeq.core.crypto.hash_crypto", sealer_globals::hash_service};
inline constexpr ModuleAttribute weight_service{"zeq.core.weight.user_weight", sealer_globals::weight_service};
}  // namespace at_load

}  // namespace zeq::host::replaceable
