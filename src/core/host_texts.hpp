// Every fixed text of the layer that a host sees: error messages and their
// prefixes, the documentation of the error types, log lines, the device
// fallback markers, and the host's own words where the layer raises an error
// the host would raise itself.
//
// These texts are frozen. Hosts compare messages, search their logs for these
// lines and test factors for these markers, and stored device signatures and
// zeq_user_1 passwords were computed from the markers. Nothing here may change,
// not a character, not a space, not a spelling mistake ("AES_KYE_N" is how the
// hosts know it). A new text is added as a new entry; an entry that looks wrong
// is left as it stands.
//
// A text ending in ": " is a prefix: the text of the underlying failure follows.
// Other composed texts are given as their named pieces, joined where they are
// used (see joined below). Entries are std::string_view; const char* where a C
// API takes the text (printf-style formats of the host's error texts, the
// documentation of a new error type).
//
// Identifiers stay where they are used: module, function and attribute names,
// dictionary keys, commands and their arguments, file and registry paths; so
// does the documentation of modules, functions and classes (the type stubs are
// generated from it). The calls a host may replace are named in
// src/bindings/replaceable.hpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zeq::core::texts {

// The pieces of a composed text, and the details between them, as one string.
template <class... Pieces>
std::string joined(const Pieces&... pieces) {
    const std::string_view views[] = {std::string_view(pieces)...};
    std::size_t size = 0;
    for (std::string_view v : views) size += v.size();
    std::string out;
    out.reserve(size);
    for (std::string_view v : views) out.append(v);
    return out;
}

// ---------------------------------------------------------------- shared by several modules
// Texts that several modules raise alike: one entry, so they cannot drift apart.
namespace shared {
inline constexpr std::string_view hash_failed = "哈希计算失败";  // credentials, zeq_user_1 password, rule sealer
inline constexpr std::string_view weight_not_positive = "权重参数必须是正整数";  // salts, credentials
inline constexpr std::string_view salt_out_of_range = "动态盐值必须在1-9之间";   // credentials, zeq_user_1 password
// A replaced get_hardware_info whose factors are not text (device signature, AES key 1).
inline constexpr const char* factors_not_text = "device factors must be text, not '%.200s'";
}  // namespace shared

// ---------------------------------------------------------------- digest_base
namespace digest_base {
inline constexpr const char* error_doc = "SHA-256哈希计算异常";  // HashingError
inline constexpr std::string_view failed = "SHA-256哈希计算失败: ";
// What libcrypto's failures read as, after that prefix.
inline constexpr std::string_view computation_failed = "SHA-256 computation failed in libcrypto";
inline constexpr std::string_view unavailable = "SHA-256 is not available in libcrypto";
}  // namespace digest_base

// ---------------------------------------------------------------- master_key_split
namespace master_key_split {
// Debug log lines of parse_root_key.
inline constexpr std::string_view missing_weight_log =
    "root_key format missing weight parameter, using default value 1000";
inline constexpr std::string_view non_numeric_weight_log =
    "root_key format contains non-numeric weight parameter, using default value 1000";
}  // namespace master_key_split

// ---------------------------------------------------------------- derived_salt
namespace derived_salt {
inline constexpr const char* error_doc = "动态盐提取异常";  // DerivedSaltError
inline constexpr std::string_view key_too_short = "个人密钥必须至少8位字符";
inline constexpr std::string_view weight_not_positive = shared::weight_not_positive;
inline constexpr std::string_view number_out_of_range = "动态盐编号必须在1-5之间";
// "动态盐" + number + "不存在"
inline constexpr std::string_view missing_salt = "动态盐";
inline constexpr std::string_view missing_salt_end = "不存在";
}  // namespace derived_salt

// ---------------------------------------------------------------- weight_issuer
namespace weight_issuer {
inline constexpr const char* error_doc = "权重参数生成异常";  // WeightGenerationError
inline constexpr std::string_view issue_failed = "权重参数生成失败: ";
inline constexpr std::string_view bad_format = "权重参数格式无效";
// "位置" + position + "超出权重参数长度范围"
inline constexpr std::string_view position = "位置";
inline constexpr std::string_view position_out_of_range = "超出权重参数长度范围";
}  // namespace weight_issuer

// ---------------------------------------------------------------- device_signature: markers
// The fallback markers of the device factors. A degraded value is a platform
// prefix, the substitute reading and `failed`; a Windows restricted-rights
// value a prefix and the reading.
namespace markers {
inline constexpr std::string_view registry = "REG_";
inline constexpr std::string_view user_sid = "USERSID_";
inline constexpr std::string_view product_id = "PRODUCTID_";
inline constexpr std::string_view machine_guid = "MACHINEGUID_";
inline constexpr std::string_view cpu_get_failed = "CPU_GET_FAILED";
inline constexpr std::string_view disk_get_failed = "DISK_GET_FAILED";
inline constexpr std::string_view board_get_failed = "BOARD_GET_FAILED";

inline constexpr std::string_view mac = "MAC_";
inline constexpr std::string_view mac_disk = "MAC_DISK_";
inline constexpr std::string_view mac_board = "MAC_BOARD_";
inline constexpr std::string_view mac_unknown = "MAC_UNKNOWN_FAIL";
inline constexpr std::string_view mac_disk_unknown = "MAC_DISK_UNKNOWN_FAIL";
inline constexpr std::string_view mac_board_unknown = "MAC_BOARD_UNKNOWN_FAIL";

inline constexpr std::string_view linux_cpu = "LINUX_";
inline constexpr std::string_view linux_disk = "LINUX_DISK_";
inline constexpr std::string_view linux_board = "LINUX_BOARD_";
inline constexpr std::string_view linux_unknown = "LINUX_UNKNOWN_FAIL";
inline constexpr std::string_view linux_disk_unknown = "LINUX_DISK_UNKNOWN_FAIL";
inline constexpr std::string_view linux_board_unknown = "LINUX_BOARD_UNKNOWN_FAIL";

// An unsupported system: its name followed by these.
inline constexpr std::string_view cpu_unknown_suffix = "_UNKNOWN_FAIL";
inline constexpr std::string_view disk_unknown_suffix = "_DISK_UNKNOWN_FAIL";
inline constexpr std::string_view board_unknown_suffix = "_BOARD_UNKNOWN_FAIL";

// The tests that recognise markers: a factor ending in `total_failure` makes
// the signature fall back; ending in `failed` or `unknown` sets the status
// flags; containing `failed` anywhere sends the zeq_user_1 password down its
// fallback branch.
inline constexpr std::string_view failed = "_FAIL";
inline constexpr std::string_view unknown = "_UNKNOWN_FAIL";
inline constexpr std::string_view total_failure = "_GET_FAILED";

// What the sandbox fallback signature hashes: a prefix and the reading three
// times, or a fallback prefix and the host name.
inline constexpr std::string_view sandbox_mac = "MAC_";
inline constexpr std::string_view sandbox_linux = "LINUX_";
inline constexpr std::string_view sandbox_mac_fallback = "MAC_FALLBACK_";
inline constexpr std::string_view sandbox_linux_fallback = "LINUX_FALLBACK_";
inline constexpr std::string_view sandbox_unknown = "UNKNOWN_";

// The joined factors containing one of these mark a sandbox, tested in this
// order (the fallback prefixes without their last "_").
inline constexpr std::string_view sandbox[] = {user_sid,       product_id,       machine_guid,
                                               "MAC_FALLBACK", "LINUX_FALLBACK", sandbox_unknown};
}  // namespace markers

// ---------------------------------------------------------------- device_signature: log lines
// Lines ending in ": " are followed by the text of the failure.
namespace device_log {
// The dispatchers (warning).
inline constexpr std::string_view unsupported_system = "Unsupported operating system: ";
// The signature (warning): prefix + cpu + disk_part + disk + board_part + board.
inline constexpr std::string_view partial_failure =
    "Hardware collection partial/total failure, using sandbox fallback. CPU=";
inline constexpr std::string_view partial_failure_disk = ", Disk=";
inline constexpr std::string_view partial_failure_board = ", Board=";

// Windows chains (debug).
inline constexpr std::string_view wmic_not_found = "wmic command not found, skipping";
inline constexpr std::string_view wmic_timeout = "wmic command timeout, skipping";
inline constexpr std::string_view powershell_not_found = "PowerShell not found, skipping";
inline constexpr std::string_view powershell_timeout = "PowerShell command timeout, skipping";
inline constexpr std::string_view windows_cpu_no_match = "Windows CPU serial regex match failed";
inline constexpr std::string_view windows_cpu_failed = "Failed to get Windows CPU serial: ";
inline constexpr std::string_view windows_cpu_powershell_failed = "Failed to get CPU serial via PowerShell: ";
inline constexpr std::string_view windows_cpu_registry_failed = "Failed to read CPU serial from registry: ";
inline constexpr std::string_view windows_disk_no_match = "Windows disk ID regex match failed";
inline constexpr std::string_view windows_disk_failed = "Failed to get Windows disk ID: ";
inline constexpr std::string_view windows_disk_powershell_failed = "Failed to get disk ID via PowerShell: ";
inline constexpr std::string_view windows_disk_registry_failed = "Failed to read disk ID from registry: ";
inline constexpr std::string_view windows_board_no_match = "Windows motherboard serial regex match failed";
inline constexpr std::string_view windows_board_failed = "Failed to get Windows motherboard serial: ";
inline constexpr std::string_view windows_board_powershell_failed = "Failed to get motherboard serial via PowerShell: ";
inline constexpr std::string_view windows_board_registry_failed = "Failed to read motherboard serial from registry: ";
inline constexpr std::string_view user_sid_failed = "User SID fallback failed: ";
inline constexpr std::string_view product_id_failed = "ProductId fallback failed: ";
inline constexpr std::string_view machine_guid_failed = "MachineGuid fallback failed: ";

// macOS chains (debug).
inline constexpr std::string_view mac_cpu_failed = "Failed to get macOS CPU serial: ";
inline constexpr std::string_view mac_cpu_empty = "macOS CPU serial from plist is empty";
inline constexpr std::string_view mac_ioreg_parse_failed = "Failed to parse ioreg output: ";
inline constexpr std::string_view mac_version_failed = "Failed to get macOS system version: ";
inline constexpr std::string_view mac_disk_uuid_failed = "Failed to get macOS boot disk UUID: ";
inline constexpr std::string_view mac_disk_uuid_no_match = "macOS boot disk UUID regex match failed";
inline constexpr std::string_view mac_disk_list_failed = "Failed to get macOS disk list: ";
inline constexpr std::string_view mac_board_failed = "Failed to get macOS motherboard serial: ";
inline constexpr std::string_view mac_board_empty = "macOS motherboard serial from plist is empty";
inline constexpr std::string_view mac_model_failed = "Failed to get macOS system model: ";
inline constexpr std::string_view mac_model_empty = "macOS system model is empty";

// Linux chains (debug).
inline constexpr std::string_view linux_cpu_serial_failed = "Failed to read Linux CPU serial: ";
inline constexpr std::string_view linux_cpu_serial_empty = "Linux CPU serial is empty";
inline constexpr std::string_view linux_cpu_model_failed = "Failed to read Linux CPU model: ";
inline constexpr std::string_view linux_cpu_model_empty = "Linux CPU model is empty";
inline constexpr std::string_view linux_root_uuid_failed = "Failed to get Linux root partition UUID: ";
inline constexpr std::string_view linux_root_uuid_empty = "Linux root partition UUID is empty";
inline constexpr std::string_view linux_fstab_failed = "Failed to read Linux fstab: ";
inline constexpr std::string_view linux_disk_info_failed = "Failed to get Linux disk info: ";
inline constexpr std::string_view linux_board_name_failed = "Failed to read Linux motherboard name: ";
inline constexpr std::string_view linux_board_name_empty = "Linux motherboard name is empty";
inline constexpr std::string_view linux_dmidecode_failed = "Failed to execute Linux dmidecode: ";
inline constexpr std::string_view linux_dmidecode_empty = "Linux dmidecode product name is empty";
}  // namespace device_log

// ---------------------------------------------------------------- device_signature: failures in the log
// The texts of the failures that follow a log line's ": ", in the host's words
// where the host has words for them.
namespace device_failure {
// A command that exited with another status than 0:
// command_open + argument list + non_zero_status + status + sentence_end.
inline constexpr std::string_view command_open = "Command '";
inline constexpr std::string_view non_zero_status = "' returned non-zero exit status ";
inline constexpr std::string_view sentence_end = ".";
// A command stopped by its time-out: command_open + command + timed_out + seconds + timed_out_end.
inline constexpr std::string_view timed_out = "' timed out after ";
inline constexpr std::string_view timed_out_end = " seconds";
inline constexpr std::string_view empty_command = "empty command";
inline constexpr std::string_view output_too_large = "command output too large";
// An operating-system error: errno_open + number + code_close + description
// [+ path_open + path + quote_end]; Windows: win_error_open + number + code_close + description.
inline constexpr std::string_view errno_open = "[Errno ";
inline constexpr std::string_view win_error_open = "[WinError ";
inline constexpr std::string_view code_close = "] ";
inline constexpr std::string_view path_open = ": '";
inline constexpr std::string_view no_description = "error";  // Windows has no text for the code
// file_too_large + path + quote_end
inline constexpr std::string_view file_too_large = "file too large: '";
inline constexpr std::string_view no_registry = "no registry on this system";
inline constexpr std::string_view not_in_code_page = "output is not in the system's code page: ";
// registry_value + name + registry_value_kind
inline constexpr std::string_view registry_value = "registry value '";
inline constexpr std::string_view registry_value_kind = "' is not text or a number";
inline constexpr std::string_view quote_end = "'";
// A missing piece of a split line (the host's IndexError).
inline constexpr std::string_view list_index_out_of_range = "list index out of range";

// The property list reader of the ioreg output.
inline constexpr std::string_view plist_not_a_file = "Invalid file";
inline constexpr std::string_view plist_too_large = "property list too large";
inline constexpr std::string_view plist_too_deep = "property list nested too deeply";
inline constexpr std::string_view plist_unexpected_key = "unexpected key";
inline constexpr std::string_view plist_unexpected_element = "unexpected element";
// plist_missing_value + key + quote_end
inline constexpr std::string_view plist_missing_value = "missing value for key '";
// plist_bad_integer / plist_bad_real + raw text + quote_end
inline constexpr std::string_view plist_bad_integer = "invalid integer in property list: '";
inline constexpr std::string_view plist_bad_real = "could not convert string to float: '";
inline constexpr std::string_view plist_entities = "XML entity declarations are not supported in plist files";
inline constexpr std::string_view plist_parameter_entities = "XML parameter entities are not supported in plist files";
// plist_xml_version + version + quote_end
inline constexpr std::string_view plist_xml_version = "unsupported XML version '";
// Expat's message + plist_at_line + line + plist_at_column + column
inline constexpr std::string_view plist_at_line = ": line ";
inline constexpr std::string_view plist_at_column = ", column ";
inline constexpr std::string_view plist_no_value = "property list holds no value";
inline constexpr std::string_view plist_top_not_dict = "top level of the property list is not a dictionary";
inline constexpr std::string_view plist_serial_not_string = "IOPlatformSerialNumber is not a string";
}  // namespace device_failure

// ---------------------------------------------------------------- device_signature: the module
namespace device_signature {
inline constexpr const char* collection_error_doc = "硬件信息采集异常";  // HardwareCollectionError
inline constexpr const char* change_detected_doc = "检测到硬件变更";     // HardwareChangeDetected
// A replaced get_hardware_info that does not give three texts.
inline constexpr std::string_view not_three_values = "get_hardware_info() must give exactly three values, got ";
inline constexpr const char* factors_not_text = shared::factors_not_text;
}  // namespace device_signature

// ---------------------------------------------------------------- access_derivation
namespace access_derivation {
inline constexpr const char* error_doc = "派生凭证生成异常";  // CredentialGenerationError
inline constexpr std::string_view derived_empty = "信息类型、Agent名称和初始环境密文不能为空";
inline constexpr std::string_view query_empty = "信息类型、Agent名称和硬盘ID不能为空";
inline constexpr std::string_view weight_not_positive = shared::weight_not_positive;
inline constexpr std::string_view salts_incomplete = "动态盐不完整，缺少";  // + the missing key
inline constexpr std::string_view salt_out_of_range = shared::salt_out_of_range;
inline constexpr std::string_view hash_failed = shared::hash_failed;
inline constexpr std::string_view derived_failed = "派生凭证生成失败: ";
inline constexpr std::string_view query_failed = "查询凭证生成失败: ";
inline constexpr std::string_view migrate_key_empty = "迁移密钥不能为空";
inline constexpr std::string_view salts_empty = "动态盐不能为空";
inline constexpr std::string_view migration_failed = "迁移凭证生成失败: ";
// The text cipher.
inline constexpr std::string_view plaintext_or_key_empty = "明文和密钥不能为空";
inline constexpr std::string_view ciphertext_or_key_empty = "密文和密钥不能为空";
inline constexpr std::string_view aes_encrypt_failed = "AES加密失败: ";
inline constexpr std::string_view aes_decrypt_failed = "AES decrypt failed: ";
}  // namespace access_derivation

// ---------------------------------------------------------------- entry_digest
namespace entry_digest {
inline constexpr std::string_view cipher_missing = "初始环境密文未初始化";
inline constexpr std::string_view weight_or_salts_missing = "权重参数或动态盐未初始化";
}  // namespace entry_digest

// ---------------------------------------------------------------- db_account_pass
namespace db_account_pass {
inline constexpr const char* error_doc = "密码生成异常";  // PasswordGenerationError
inline constexpr std::string_view empty_factor = "CPU序列号和硬盘ID不能为空";
inline constexpr std::string_view incomplete_salts = "动态盐不完整，需要salt1、salt2、salt3";
inline constexpr std::string_view salt_out_of_range = shared::salt_out_of_range;
inline constexpr std::string_view failed = "密码生成失败: ";
inline constexpr std::string_view hash_failed = shared::hash_failed;
// What the fallback branch hashes in place of an empty factor.
inline constexpr std::string_view cpu_fallback = "CPU_FALLBACK";
inline constexpr std::string_view disk_fallback = "DISK_FALLBACK";
}  // namespace db_account_pass

// ---------------------------------------------------------------- master_key_seal
namespace master_key_seal {
inline constexpr std::string_view missing_weight = "Invalid root_key format: missing weight parameter";
inline constexpr std::string_view bad_combined = "Invalid combined data format";
inline constexpr std::string_view decryption_failed = "Decryption failed: ";
inline constexpr std::string_view root_key_log = "Root key decryption failed: ";       // error log line
inline constexpr std::string_view weight_failed = "Weight param decryption failed: ";  // raised and logged
// A replaced get_hardware_info or text cipher that gives something else than text.
inline constexpr const char* factors_not_text = shared::factors_not_text;
inline constexpr const char* decrypted_not_text = "decrypted data must be text, not '%.200s'";
}  // namespace master_key_seal

// ---------------------------------------------------------------- per_info_key (and the cipher under it)
namespace per_info_key {
inline constexpr const char* error_doc = "AES_KYE_N 加密异常";  // PerInfoKeyError
inline constexpr std::string_view key_length = "密钥长度必须是64位十六进制字符串";
inline constexpr std::string_view encrypt_failed = "AES_KYE_N 加密失败: ";
inline constexpr std::string_view decrypt_failed = "AES_KYE_N decrypt failed: ";
inline constexpr const char* no_random_source = "the cryptographically secure random source is unavailable";
}  // namespace per_info_key

// The cipher's failures, after the per-info or text cipher prefix; the host's
// words where its own libraries have them.
namespace cipher {
inline constexpr std::string_view not_available = " is not available in libcrypto";  // after the cipher's name
// invalid_key_size + bits + invalid_key_size_end
inline constexpr std::string_view invalid_key_size = "Invalid key size (";
inline constexpr std::string_view invalid_key_size_end = ") for AES.";
inline constexpr std::string_view key_too_long = "Invalid key size (more than 256 bits) for AES.";
inline constexpr std::string_view init_failed = "AES-CBC could not be initialised";
inline constexpr std::string_view encryption_failed = "AES-CBC encryption failed";
inline constexpr std::string_view decryption_failed = "AES-CBC decryption failed";
inline constexpr std::string_view not_whole_blocks =
    "The length of the provided data is not a multiple of the block length.";
inline constexpr std::string_view non_ascii = "string argument should contain only ASCII characters";
inline constexpr std::string_view non_hex = "non-hexadecimal number found in fromhex() arg at position ";
// base64_odd_length + count + base64_odd_length_end
inline constexpr std::string_view base64_odd_length = "Invalid base64-encoded string: number of data characters (";
inline constexpr std::string_view base64_odd_length_end = ") cannot be 1 more than a multiple of 4";
inline constexpr std::string_view base64_padding = "Incorrect padding";
// Bad padding and bytes that are not text after decryption: one verdict, so that
// nobody handing in forged ciphertexts can tell the two apart.
inline constexpr std::string_view wrong_key_or_damaged = "wrong key or damaged ciphertext";
}  // namespace cipher

// ---------------------------------------------------------------- vault_entry
namespace vault_entry {
inline constexpr const char* printable = "VaultEntry(type=%U, owner=%U, version=%S)";  // str() and repr()
inline constexpr const char* field_type = "VaultEntry.%s must be %s, not %.200s";
inline constexpr const char* builder_data_type = "VaultEntryBuilder.data must be dict, not %.200s";
}  // namespace vault_entry

// ---------------------------------------------------------------- rule_sealer
namespace rule_sealer {
inline constexpr const char* empty_salts = "动态盐不能为空，请通过 root_key + weight_param 计算后传入";
inline constexpr std::string_view hash_failed = shared::hash_failed;
inline constexpr const char* salt_not_integer = "salt%d must be an integer, not %.200s";
inline constexpr const char* hash_not_text = "the hash service returned %.200s, expected str";
// The device signature the version-1 sealer uses: three placeholders joined by "|".
inline constexpr std::string_view placeholder_signature =
    "CPU_SERIAL_PLACEHOLDER|DISK_ID_PLACEHOLDER|BOARD_SERIAL_PLACEHOLDER";
}  // namespace rule_sealer

// ---------------------------------------------------------------- the host's own words
// Where the layer does what a host statement would do (a repetition, a
// comparison, an unpacking, an int() conversion), it fails with the error and
// the text the host would give. Formats take the host's printf-style arguments.
namespace host_words {
inline constexpr std::string_view invalid_literal = "invalid literal for int() with base 10: ";  // + repr of the text
inline constexpr std::string_view string_index_out_of_range = "string index out of range";
inline constexpr std::string_view none_not_integer = "'NoneType' object cannot be interpreted as an integer";
inline constexpr std::string_view none_repeat_count = "can't multiply sequence by non-int of type 'NoneType'";
inline constexpr const char* repeat_count_type = "can't multiply sequence by non-int of type '%.200s'";
// A repetition whose count (an int) is beyond the host's index range, and one
// whose result would be longer than that range.
inline constexpr std::string_view int_not_index_sized = "cannot fit 'int' into an index-sized integer";
inline constexpr std::string_view repeated_too_long = "repeated string is too long";
// What the host's recursion limit adds to "maximum recursion depth exceeded" when
// a call from C code reaches it.
inline constexpr const char* calling_python_object = " while calling a Python object";
inline constexpr const char* none_compared = "'<=' not supported between instances of 'int' and 'NoneType'";
inline constexpr const char* none_added = "unsupported operand type(s) for +: 'NoneType' and 'int'";
inline constexpr const char* join_item_type = "sequence item %zd: expected str instance, %.80s found";
inline constexpr const char* dict_changed_size = "dictionary changed size during iteration";
inline constexpr const char* too_many_values_3 = "too many values to unpack (expected 3)";
inline constexpr const char* not_enough_values_3 = "not enough values to unpack (expected 3, got %zu)";
inline constexpr const char* too_many_values_2 = "too many values to unpack (expected 2)";
inline constexpr const char* not_enough_values_2 = "not enough values to unpack (expected 2, got %d)";
inline constexpr const char* not_iterable = "cannot unpack non-iterable %.200s object";
inline constexpr const char* name_not_defined = "name '%s' is not defined";
inline constexpr const char* no_attribute = "'%.100s' object has no attribute '%U'";
inline constexpr const char* no_signature = "'%.100s' object has no attribute '__signature__'";
inline constexpr const char* type_no_signature = "type object '%.100s' has no attribute '__signature__'";
inline constexpr const char* not_a_number = "expected a number, not '%.200s'";
// An argument of the wrong type, as the host's own functions refuse it: the
// function, the argument, what it must be, the type it is.
inline constexpr const char* argument_type = "%.200s() argument '%.200s' must be %.50s, not %.50s";
// The UTF-8 decoder's: utf8_bytes with the first and last position, utf8_byte
// with the byte and its position; then one of the reasons.
inline constexpr const char* utf8_bytes = "'utf-8' codec can't decode bytes in position %zu-%zu: %s";
inline constexpr const char* utf8_byte = "'utf-8' codec can't decode byte 0x%02x in position %zu: %s";
inline constexpr const char* utf8_invalid_start = "invalid start byte";
inline constexpr const char* utf8_invalid_continuation = "invalid continuation byte";
inline constexpr const char* utf8_unexpected_end = "unexpected end of data";
}  // namespace host_words

// ---------------------------------------------------------------- logging
namespace logging {
// The pathname of a log record when the module has no file name.
inline constexpr const char* unknown_file = "(unknown file)";
}  // namespace logging

}  // namespace zeq::core::texts
