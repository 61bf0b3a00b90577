"""Item credentials, the entry digest and the per-info cipher against plain Python.

Baselines: the credential and digest operations written in plain Python with
hashlib; the cipher on a short text written with the cryptography package and
base64; on 16 MiB also OpenSSL alone: libcrypto's own EVP AES-256-CBC and
EVP_EncodeBlock/EVP_DecodeBlock called through ctypes over the same bytes (the
PKCS#7 padding already applied, output buffers allocated once), i.e. the time
the C library itself needs, without any Python object work.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import hashlib

from common import NOOP, SALTS, ZERO_IV, Case, py_decrypt, py_encrypt, py_sha256_hash
from zeq.domain.crypto_layer import access_derivation, entry_digest, per_info_key

WEIGHT = 1733817600123456
EXT = {"city": "Hangzhou", "label": "work", "note": "primary number"}
SHORT = ("phone_number:agent-7:+86 138 0000 0000 中文" * 2)[:64]
LARGE = "0123456789abcdef" * (1 << 20)  # 16 MiB
NON_ASCII = "中文字符串0" * (18 << 16)  # 18 MiB of UTF-8, mostly three-byte characters
KEY_N = hashlib.sha256(b"bench key").hexdigest()


# ---------------------------------------------------------------- plain Python


def py_generate_derived_credentials(info_type, agent_name, environment_cipher, weight_param, salts):
    if not info_type or not agent_name or not environment_cipher:
        raise ValueError("信息类型、Agent名称和初始环境密文不能为空")
    if weight_param <= 0:
        raise ValueError("权重参数必须是正整数")
    for key in ("salt1", "salt2", "salt4", "salt5"):
        if key not in salts:
            raise ValueError(f"动态盐不完整，缺少{key}")
    salt1, salt2, salt4, salt5 = (int(salts[k]) for k in ("salt1", "salt2", "salt4", "salt5"))
    for value in (salt1, salt2, salt4, salt5):
        if not 1 <= value <= 9:
            raise ValueError("动态盐值必须在1-9之间")
    weight_str = str(weight_param)

    def digit(position):
        return int(weight_str[position - 1]) if len(weight_str) >= position else 1

    combined = info_type * digit(9) + environment_cipher * digit(salt2) + agent_name * digit(salt1) + info_type
    hash_value = py_sha256_hash(combined)
    if not hash_value or len(hash_value) < 64:
        raise ValueError("哈希计算失败")
    digit4 = digit(salt4) or 1
    digit5 = digit(salt5) or 1
    account = hash_value[digit4 - 1 : digit4 + 4] + hash_value[-salt1:]
    password = hash_value[digit5 - 1 : digit5 + 6] + hash_value[-salt2:]
    return account, password


EXT_SALT_CYCLE = [3, 4, 5, 6, 7, 8, 9, 10, 2, 1]


def py_generate_entry_digest(
    info_type,
    info_owner,
    diff_1=None,
    diff_2=None,
    diff_3=None,
    ext_fields=None,
    environment_cipher=None,
    weight_param=None,
    salts=None,
):
    sha256_hash = py_sha256_hash
    if not environment_cipher:
        raise ValueError("初始环境密文未初始化")
    if not weight_param or not salts:
        raise ValueError("权重参数或动态盐未初始化")
    components = []
    weight_str = str(weight_param)
    repeat_9 = int(weight_str[8]) if len(weight_str) >= 9 else 1
    components.append(info_type * (repeat_9 or 1))
    components.append(environment_cipher * int(salts.get("salt2", 1)))
    components.append(info_owner)
    repeats = [int(salts.get(k, 1)) for k in ("salt3", "salt4", "salt5")]
    for value, repeat in zip((diff_1, diff_2, diff_3), repeats, strict=True):
        components.append(value * repeat if value else "")
    if ext_fields:
        for i, (_, value) in enumerate(sorted(ext_fields.items())):
            repeat = int(salts.get(f"salt{EXT_SALT_CYCLE[i % 10]}", 1))
            if value:
                components.append(value * repeat)
    return sha256_hash("".join(components))


# ---------------------------------------------------------------- OpenSSL alone


class OpenSSL:
    """libcrypto's EVP AES-256-CBC and Base64 over preallocated buffers."""

    def __init__(self, plaintext: bytes, key: bytes):
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
        lib.EVP_CIPHER_fetch.restype = ctypes.c_void_p
        lib.EVP_CIPHER_fetch.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
        for name in ("EVP_EncryptInit_ex2", "EVP_DecryptInit_ex2"):
            getattr(lib, name).argtypes = [
                ctypes.c_void_p,
                ctypes.c_void_p,
                ctypes.c_char_p,
                ctypes.c_char_p,
                ctypes.c_void_p,
            ]
        for name in ("EVP_EncryptUpdate", "EVP_DecryptUpdate"):
            getattr(lib, name).argtypes = [
                ctypes.c_void_p,
                ctypes.c_void_p,
                ctypes.POINTER(ctypes.c_int),
                ctypes.c_char_p,
                ctypes.c_int,
            ]
        lib.EVP_CIPHER_CTX_set_padding.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.EVP_EncodeBlock.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        lib.EVP_DecodeBlock.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib, self.key = lib, key
        self.ctx = lib.EVP_CIPHER_CTX_new()
        self.cipher = lib.EVP_CIPHER_fetch(None, b"AES-256-CBC", None)
        pad = 16 - len(plaintext) % 16
        self.padded = plaintext + bytes([pad]) * pad
        self.raw = ctypes.create_string_buffer(len(self.padded))
        self.text = ctypes.create_string_buffer(4 * ((len(self.padded) + 2) // 3) + 1)
        self.encrypt()
        self.b64 = self.text.raw[:-1]

    def encrypt(self) -> None:
        lib, n = self.lib, ctypes.c_int()
        lib.EVP_EncryptInit_ex2(self.ctx, self.cipher, self.key, ZERO_IV, None)
        lib.EVP_CIPHER_CTX_set_padding(self.ctx, 0)
        lib.EVP_EncryptUpdate(self.ctx, self.raw, ctypes.byref(n), self.padded, len(self.padded))
        lib.EVP_EncodeBlock(self.text, self.raw, n.value)

    def decrypt(self) -> None:
        lib, n = self.lib, ctypes.c_int()
        size = lib.EVP_DecodeBlock(self.raw, self.b64, len(self.b64))
        lib.EVP_DecryptInit_ex2(self.ctx, self.cipher, self.key, ZERO_IV, None)
        lib.EVP_CIPHER_CTX_set_padding(self.ctx, 0)
        lib.EVP_DecryptUpdate(self.ctx, self.raw, ctypes.byref(n), self.raw, size)


SHORT_CIPHER = per_info_key.encrypt_with_per_info_key(SHORT, KEY_N)
LARGE_CIPHER = per_info_key.encrypt_with_per_info_key(LARGE, KEY_N)
NON_ASCII_CIPHER = per_info_key.encrypt_with_per_info_key(NON_ASCII, KEY_N)
assert per_info_key.decrypt_with_per_info_key(NON_ASCII_CIPHER, KEY_N) == NON_ASCII
assert SHORT_CIPHER == py_encrypt(SHORT, KEY_N) and LARGE_CIPHER == py_encrypt(LARGE, KEY_N)
assert access_derivation.generate_derived_credentials(
    "phone", "agent-7", "env-cipher", WEIGHT, SALTS
) == py_generate_derived_credentials("phone", "agent-7", "env-cipher", WEIGHT, SALTS)
ENTRY_ARGS = ("phone", "owner-1", "d1", "d2", None, EXT, "env-cipher", WEIGHT, SALTS)
assert entry_digest.generate_entry_digest(*ENTRY_ARGS) == py_generate_entry_digest(*ENTRY_ARGS)
OPENSSL = OpenSSL(LARGE.encode(), bytes.fromhex(KEY_N))
assert OPENSSL.b64.decode() == LARGE_CIPHER

# ---------------------------------------------------------------- floors (see common.Case)
CREDENTIAL_ARGS = ("phone", "agent-7", "env-cipher", WEIGHT, SALTS)


def weight_digit(position: int) -> int:
    weight_str = str(WEIGHT)
    return int(weight_str[position - 1]) if len(weight_str) >= position else 1


# What the two operations hash, built as their rules say and checked against their results.
CREDENTIAL_BYTES = (
    "phone" * weight_digit(9) + "env-cipher" * weight_digit(SALTS["salt2"]) + "agent-7" * weight_digit(SALTS["salt1"])
).encode() + b"phone"
ENTRY_BYTES = "".join(
    [
        "phone" * (weight_digit(9) or 1),
        "env-cipher" * SALTS["salt2"],
        "owner-1",
        "d1" * SALTS["salt3"],
        "d2" * SALTS["salt4"],
    ]
    + [value * SALTS[f"salt{EXT_SALT_CYCLE[i]}"] for i, (_, value) in enumerate(sorted(EXT.items()))]
).encode()
_digest = hashlib.sha256(CREDENTIAL_BYTES).hexdigest()
_d4, _d5 = weight_digit(SALTS["salt4"]) or 1, weight_digit(SALTS["salt5"]) or 1
assert access_derivation.generate_derived_credentials(*CREDENTIAL_ARGS) == (
    _digest[_d4 - 1 : _d4 + 4] + _digest[-SALTS["salt1"] :],
    _digest[_d5 - 1 : _d5 + 6] + _digest[-SALTS["salt2"] :],
)
assert entry_digest.generate_entry_digest(*ENTRY_ARGS) == hashlib.sha256(ENTRY_BYTES).hexdigest()
ACCOUNT_SIZE = 5 + SALTS["salt1"]
PASSWORD_SIZE = 7 + SALTS["salt2"]


def credentials_floor() -> tuple[str, str]:
    NOOP(*CREDENTIAL_ARGS)
    digest = hashlib.sha256(CREDENTIAL_BYTES).hexdigest()
    return (digest[:ACCOUNT_SIZE], digest[:PASSWORD_SIZE])


def entry_digest_floor() -> str:
    NOOP(*ENTRY_ARGS)
    return hashlib.sha256(ENTRY_BYTES).hexdigest()


CRYPTO_LABEL = "cryptography + base64"
OPENSSL_LABEL = "OpenSSL alone (EVP AES-256-CBC + EVP Base64 via ctypes)"

CASES = [
    Case(
        "generate_derived_credentials",
        lambda: access_derivation.generate_derived_credentials("phone", "agent-7", "env-cipher", WEIGHT, SALTS),
        lambda: py_generate_derived_credentials("phone", "agent-7", "env-cipher", WEIGHT, SALTS),
        floor=credentials_floor,
    ),
    Case(
        "generate_entry_digest",
        lambda: entry_digest.generate_entry_digest(*ENTRY_ARGS),
        lambda: py_generate_entry_digest(*ENTRY_ARGS),
        floor=entry_digest_floor,
    ),
    Case(
        "encrypt_with_per_info_key (64 B)",
        lambda: per_info_key.encrypt_with_per_info_key(SHORT, KEY_N),
        lambda: py_encrypt(SHORT, KEY_N),
        CRYPTO_LABEL,
    ),
    Case(
        "decrypt_with_per_info_key (64 B)",
        lambda: per_info_key.decrypt_with_per_info_key(SHORT_CIPHER, KEY_N),
        lambda: py_decrypt(SHORT_CIPHER, KEY_N),
        CRYPTO_LABEL,
    ),
    Case(
        "encrypt_with_per_info_key (16 MiB)",
        lambda: per_info_key.encrypt_with_per_info_key(LARGE, KEY_N),
        lambda: py_encrypt(LARGE, KEY_N),
        CRYPTO_LABEL,
    ),
    Case(
        "encrypt_with_per_info_key (16 MiB) vs OpenSSL",
        lambda: per_info_key.encrypt_with_per_info_key(LARGE, KEY_N),
        OPENSSL.encrypt,
        OPENSSL_LABEL,
    ),
    Case(
        "decrypt_with_per_info_key (16 MiB)",
        lambda: per_info_key.decrypt_with_per_info_key(LARGE_CIPHER, KEY_N),
        lambda: py_decrypt(LARGE_CIPHER, KEY_N),
        CRYPTO_LABEL,
    ),
    Case(
        "decrypt_with_per_info_key (16 MiB) vs OpenSSL",
        lambda: per_info_key.decrypt_with_per_info_key(LARGE_CIPHER, KEY_N),
        OPENSSL.decrypt,
        OPENSSL_LABEL,
    ),
    Case(
        "decrypt_with_per_info_key (18 MiB non-ASCII)",
        lambda: per_info_key.decrypt_with_per_info_key(NON_ASCII_CIPHER, KEY_N),
        lambda: py_decrypt(NON_ASCII_CIPHER, KEY_N),
        CRYPTO_LABEL,
    ),
]
