"""Every pure operation under load: threads agree with a single thread, and a
long run of calls leaves the process's memory flat."""

from __future__ import annotations

import os
import threading

import pytest

from zeq.domain.crypto_layer import (
    access_derivation,
    db_account_pass,
    derived_salt,
    digest_base,
    entry_digest,
    master_key_seal,
    master_key_split,
    per_info_key,
    utils,
    vault_entry,
    weight_issuer,
)

KEY = "correct-horse-battery"
WEIGHT = 1733817600123456
SALTS = derived_salt.extract_derived_salts(KEY, WEIGHT)
HEX = "a1" * 32
SEALED = access_derivation.aes_encrypt("个人信息 payload", "key text")
PER_INFO = per_info_key.encrypt_info("13800000000")
RECORD = vault_entry.VaultEntry("phone", "u1", "13800000000", HEX, HEX, HEX)
AES_KEY_2 = master_key_seal.get_aes_key_2(KEY, str(WEIGHT))
SEALED_ROOT = master_key_seal.encrypt_root_key_data(f"{KEY}_{WEIGHT}", "migrate", HEX)
SEALED_WEIGHT = master_key_seal.encrypt_weight_param(str(WEIGHT), AES_KEY_2)

# (name, call) pairs; each call is deterministic.
OPERATIONS = [
    ("sha256_hash", lambda i: digest_base.sha256_hash(f"text {i} 中\ud800")),
    ("sha256_hash_bytes", lambda i: digest_base.sha256_hash_bytes(b"bytes %d" % i)),
    ("verify_sha256_hash", lambda i: digest_base.verify_sha256_hash(str(i), HEX)),
    ("safe_int", lambda i: utils.safe_int(str(i))),
    ("parse_root_key", lambda i: master_key_split.parse_root_key(f"{KEY}_{i}")),
    ("extract_derived_salts", lambda i: derived_salt.extract_derived_salts(KEY + str(i), WEIGHT + i)),
    ("validate_salts", lambda i: derived_salt.validate_salts(SALTS)),
    ("parse_weight_parameter", lambda i: weight_issuer.parse_weight_parameter(WEIGHT + i)),
    ("get_weight_digit", lambda i: weight_issuer.get_weight_digit(WEIGHT, i % 16 + 1)),
    (
        "get_weight_digit_from_end",
        lambda i: weight_issuer.get_weight_digit_from_end(WEIGHT * 10 ** (i % 8), i % 16 + 1),
    ),
    ("validate_weight_parameter", lambda i: weight_issuer.validate_weight_parameter(WEIGHT + i)),
    ("get_salt", lambda i: derived_salt.get_salt(SALTS, i % 5 + 1)),
    ("extract_single_salt", lambda i: derived_salt.extract_single_salt(KEY, WEIGHT + i, i % 5 + 1)),
    ("get_weight_param", lambda i: master_key_split.get_weight_param(f"{KEY}_{i}")),
    (
        "generate_derived_credentials",
        lambda i: access_derivation.generate_derived_credentials("phone", f"agent{i}", "env", WEIGHT, SALTS),
    ),
    (
        "generate_query_credentials",
        lambda i: access_derivation.generate_query_credentials("phone", f"agent{i}", "disk", WEIGHT, SALTS),
    ),
    ("generate_migration_credentials", lambda i: access_derivation.generate_migration_credentials(f"m{i}", SALTS)),
    ("aes_encrypt", lambda i: access_derivation.aes_encrypt(f"plain {i}", "key text")),
    ("aes_decrypt", lambda i: access_derivation.aes_decrypt(SEALED, "key text")),
    (
        "verify_derived_credentials",
        lambda i: access_derivation.verify_derived_credentials(f"a{i}", "p", "phone", "agent", "env", WEIGHT, SALTS),
    ),
    (
        "generate_entry_digest",
        lambda i: entry_digest.generate_entry_digest(
            "phone", "u1", "d1", None, "d3", {"a": str(i)}, "env", WEIGHT, SALTS
        ),
    ),
    ("extract_account_password", lambda i: entry_digest.extract_account_password(HEX, SALTS)),
    ("db_password", lambda i: db_account_pass.generate_zeq_user1_password(f"cpu{i}", "disk", SALTS)),
    (
        "db_password_fallback",
        lambda i: db_account_pass.generate_zeq_user1_password_with_fallback("CPU_GET_FAILED", f"d{i}", SALTS),
    ),
    ("verify_db_password", lambda i: db_account_pass.verify_zeq_user1_password(f"p{i}", "cpu", "disk", SALTS)),
    ("get_aes_key_2", lambda i: master_key_seal.get_aes_key_2(KEY, str(i))),
    ("encrypt_root_key_data", lambda i: master_key_seal.encrypt_root_key_data(f"{KEY}_{i}", "migrate", HEX)),
    ("decrypt_root_key_data", lambda i: master_key_seal.decrypt_root_key_data(SEALED_ROOT, AES_KEY_2)),
    ("decrypt_weight_param", lambda i: master_key_seal.decrypt_weight_param(SEALED_WEIGHT, AES_KEY_2)),
    ("expand_weight_param", lambda i: master_key_seal.expand_weight_param(str(i))),
    ("encrypt_weight_param", lambda i: master_key_seal.encrypt_weight_param(str(i), HEX)),
    ("encrypt_info", lambda i: per_info_key.encrypt_info(f"content {i}")),
    ("decrypt_info", lambda i: per_info_key.decrypt_info(*PER_INFO)),
    ("encrypt_with_per_info_key", lambda i: per_info_key.encrypt_with_per_info_key(f"content {i}", HEX)),
    ("vault_to_json", lambda i: RECORD.to_json()),
    ("vault_from_json", lambda i: vault_entry.VaultEntry.from_json(RECORD.to_json()).to_dict()),
    ("vault_validate", lambda i: RECORD.validate()),
    (
        "vault_builder",
        lambda i: vault_entry.VaultEntryBuilder().with_info_type("phone").with_info_owner(f"u{i}").build().to_dict(),
    ),
]

SANITIZED = bool(os.environ.get("ZEQ_SANITIZED"))


def run_all(indices: range) -> list[object]:
    return [call(i) for i in indices for _name, call in OPERATIONS]


def test_eight_threads_agree_with_one() -> None:
    indices = range(200)
    expected = run_all(indices)
    results: list[list[object] | None] = [None] * 8
    barrier = threading.Barrier(8)

    def worker(slot: int) -> None:
        barrier.wait()
        results[slot] = run_all(indices)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime holds freed memory in quarantine")
def test_a_million_calls_leave_memory_flat() -> None:
    rounds = 1_000_000 // len(OPERATIONS) + 1
    run_all(range(2000))  # warm caches and allocator pools
    before = resident_kib()
    for start in range(0, rounds, 5000):
        run_all(range(start, min(start + 5000, rounds)))
    growth = resident_kib() - before
    assert growth < 8 * 1024, f"resident memory grew by {growth} KiB"
