"""Keys bound to the machine: the zeq_user_1 password and root key sealing.

Baselines: the same steps in plain Python with hashlib; the text cipher under
them written with the cryptography package and base64, as a Python module
would seal its records.
"""

from __future__ import annotations

import hashlib
import logging

from common import NOOP, SALTS, Case, py_sha256_hash
from zeq.domain.crypto_layer import db_account_pass, master_key_seal
from zeq_reference import aes_decrypt as py_aes_decrypt, aes_encrypt as py_aes_encrypt, zeq_user1_password

CPU = "BFEBFBFF000806EC"
DISK = "8f2c4a1e-55d3-4c1b-9a0e-1d2b3c4d5e6f"
FAILED_CPU = "LINUX_Intel(R) Xeon(R) Processor_FAIL"
ROOT_KEY = "correct-horse-battery_1733817600123456"
MIGRATE_KEY = "migrate-key-of-agent-7"
SIGNATURE = hashlib.sha256(b"cpu_disk_board").hexdigest()
log = logging.getLogger("bench.keys")


# ---------------------------------------------------------------- plain Python


class PasswordGenerationError(Exception):
    pass


def py_password(cpu_serial: str, disk_id: str, salts: dict) -> str:
    if not cpu_serial or not disk_id:
        raise PasswordGenerationError("CPU序列号和硬盘ID不能为空")
    if not salts or any(k not in salts for k in ("salt1", "salt2", "salt3")):
        raise PasswordGenerationError("动态盐不完整，需要salt1、salt2、salt3")
    salt1, salt2, salt3 = int(salts["salt1"]), int(salts["salt2"]), int(salts["salt3"])
    if not (1 <= salt1 <= 9 and 1 <= salt2 <= 9 and 1 <= salt3 <= 9):
        raise PasswordGenerationError("动态盐值必须在1-9之间")
    try:
        return zeq_user1_password(cpu_serial, disk_id, salt1, salt2, salt3)
    except Exception as e:
        raise PasswordGenerationError(f"密码生成失败: {e}") from e


def py_password_with_fallback(cpu_serial: str, disk_id: str, salts: dict) -> str:
    if "_FAIL" not in cpu_serial and "_FAIL" not in disk_id:
        return py_password(cpu_serial, disk_id, salts)
    cpu = cpu_serial or "CPU_FALLBACK"
    disk = disk_id or "DISK_FALLBACK"
    salt1, salt2, salt3 = (int(salts.get(k, 1)) for k in ("salt1", "salt2", "salt3"))
    return zeq_user1_password(cpu, disk, salt1, salt2, salt3)


def py_verify(password: str, cpu_serial: str, disk_id: str, salts: dict) -> bool:
    try:
        return password == py_password(cpu_serial, disk_id, salts)
    except Exception:
        return False


def py_key_3(aes_key_2: str) -> str:
    return aes_key_2[:30][::-1]


def py_encrypt_root_key_data(root_key: str, migrate_key: str, device_signature: str) -> str:
    combined = root_key + "|" + py_sha256_hash(migrate_key) + "|" + device_signature
    if not root_key or "_" not in root_key:
        raise Exception("Invalid root_key format: missing weight parameter")
    pieces = root_key.strip().split("_")
    return py_aes_encrypt(combined, py_key_3(py_sha256_hash(pieces[0] + pieces[1])))


def py_decrypt_root_key_data(encrypted_data: str, aes_key_2: str) -> dict:
    try:
        parts = py_aes_decrypt(encrypted_data, py_key_3(aes_key_2)).split("|")
        if len(parts) != 3:
            raise Exception("Invalid combined data format")
        return {"root_key": parts[0], "migrate_key_hash": parts[1], "device_signature": parts[2]}
    except Exception as e:
        log.error(f"Root key decryption failed: {e}")
        raise Exception(f"Decryption failed: {e}") from e


def py_expand_weight_param(weight_param: str) -> str:
    if not weight_param or not weight_param.isdigit():
        return "123456789"
    digit = int(weight_param[0])
    if not 1 <= digit <= 9:
        return "123456789"
    return "".join("123456789"[(digit - 1 + i) % 9] for i in range(9))


def py_encrypt_weight_param(weight_param: str, aes_key_2: str) -> str:
    return py_aes_encrypt(py_expand_weight_param(weight_param), py_key_3(aes_key_2))


def py_decrypt_weight_param(encrypted: str, aes_key_2: str) -> str:
    try:
        return py_aes_decrypt(encrypted, py_key_3(aes_key_2))
    except Exception as e:
        log.error(f"Weight param decryption failed: {e}")
        raise Exception(f"Weight param decryption failed: {e}") from e


# ---------------------------------------------------------------- agreement first

PASSWORD = db_account_pass.generate_zeq_user1_password(CPU, DISK, SALTS)
assert PASSWORD == py_password(CPU, DISK, SALTS)
assert db_account_pass.generate_zeq_user1_password_with_fallback(FAILED_CPU, DISK, SALTS) == py_password_with_fallback(
    FAILED_CPU, DISK, SALTS
)
AES_KEY_2 = master_key_seal.get_aes_key_2("correct-horse-battery", "1733817600123456")
SEALED_ROOT = master_key_seal.encrypt_root_key_data(ROOT_KEY, MIGRATE_KEY, SIGNATURE)
assert SEALED_ROOT == py_encrypt_root_key_data(ROOT_KEY, MIGRATE_KEY, SIGNATURE)
assert master_key_seal.decrypt_root_key_data(SEALED_ROOT, AES_KEY_2) == py_decrypt_root_key_data(SEALED_ROOT, AES_KEY_2)
SEALED_WEIGHT = master_key_seal.encrypt_weight_param("1733817600123456", AES_KEY_2)
assert SEALED_WEIGHT == py_encrypt_weight_param("1733817600123456", AES_KEY_2)
assert master_key_seal.decrypt_weight_param(SEALED_WEIGHT, AES_KEY_2) == "123456789"

# ---------------------------------------------------------------- floors (see common.Case)
# What the password operations hash: the disk identifier salt1 times, then the CPU serial salt2 times.
PASSWORD_BYTES = (DISK * SALTS["salt1"] + CPU * SALTS["salt2"]).encode()
FALLBACK_BYTES = (DISK * SALTS["salt1"] + FAILED_CPU * SALTS["salt2"]).encode()
assert PASSWORD == zeq_user1_password(CPU, DISK, SALTS["salt1"], SALTS["salt2"], SALTS["salt3"])
assert hashlib.sha256(PASSWORD_BYTES).hexdigest().endswith(PASSWORD[-5:])
assert (
    hashlib.sha256(FALLBACK_BYTES)
    .hexdigest()
    .endswith(db_account_pass.generate_zeq_user1_password_with_fallback(FAILED_CPU, DISK, SALTS)[-5:])
)
PASSWORD_SIZE = len(PASSWORD)


def password_floor() -> str:
    NOOP(CPU, DISK, SALTS)
    return hashlib.sha256(PASSWORD_BYTES).hexdigest()[:PASSWORD_SIZE]


def fallback_password_floor() -> str:
    NOOP(FAILED_CPU, DISK, SALTS)
    return hashlib.sha256(FALLBACK_BYTES).hexdigest()[:PASSWORD_SIZE]


def verify_password_floor() -> bool:
    NOOP(PASSWORD, CPU, DISK, SALTS)
    return hashlib.sha256(PASSWORD_BYTES).hexdigest()[:PASSWORD_SIZE] == PASSWORD


CRYPTO_LABEL = "hashlib + cryptography + base64"

CASES = [
    Case(
        "generate_zeq_user1_password",
        lambda: db_account_pass.generate_zeq_user1_password(CPU, DISK, SALTS),
        lambda: py_password(CPU, DISK, SALTS),
        floor=password_floor,
    ),
    Case(
        "generate_zeq_user1_password_with_fallback",
        lambda: db_account_pass.generate_zeq_user1_password_with_fallback(FAILED_CPU, DISK, SALTS),
        lambda: py_password_with_fallback(FAILED_CPU, DISK, SALTS),
        floor=fallback_password_floor,
    ),
    Case(
        "verify_zeq_user1_password",
        lambda: db_account_pass.verify_zeq_user1_password(PASSWORD, CPU, DISK, SALTS),
        lambda: py_verify(PASSWORD, CPU, DISK, SALTS),
        floor=verify_password_floor,
    ),
    Case(
        "encrypt_root_key_data",
        lambda: master_key_seal.encrypt_root_key_data(ROOT_KEY, MIGRATE_KEY, SIGNATURE),
        lambda: py_encrypt_root_key_data(ROOT_KEY, MIGRATE_KEY, SIGNATURE),
        CRYPTO_LABEL,
    ),
    Case(
        "decrypt_root_key_data",
        lambda: master_key_seal.decrypt_root_key_data(SEALED_ROOT, AES_KEY_2),
        lambda: py_decrypt_root_key_data(SEALED_ROOT, AES_KEY_2),
        CRYPTO_LABEL,
    ),
    Case(
        "encrypt_weight_param",
        lambda: master_key_seal.encrypt_weight_param("1733817600123456", AES_KEY_2),
        lambda: py_encrypt_weight_param("1733817600123456", AES_KEY_2),
        CRYPTO_LABEL,
    ),
    Case(
        "decrypt_weight_param",
        lambda: master_key_seal.decrypt_weight_param(SEALED_WEIGHT, AES_KEY_2),
        lambda: py_decrypt_weight_param(SEALED_WEIGHT, AES_KEY_2),
        CRYPTO_LABEL,
    ),
]
