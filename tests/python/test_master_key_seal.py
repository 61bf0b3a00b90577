"""Root key sealing: the three AES keys, sealing and opening, and their log lines."""

from __future__ import annotations

import hashlib
import logging

import pytest

import zeq_reference
from zeq.domain.crypto_layer import device_signature, master_key_seal
from zeq.domain.crypto_layer.access_derivation import CredentialGenerationError
from zeq.domain.crypto_layer.master_key_seal import (
    _get_aes_key_3,
    decrypt_root_key_data,
    decrypt_weight_param,
    encrypt_root_key_data,
    encrypt_weight_param,
    expand_weight_param,
    get_aes_key_1,
    get_aes_key_2,
    hash_migrate_key,
)

LOGGER = "zeq.domain.crypto_layer.master_key_seal"
SIGNATURE = hashlib.sha256(b"cpu_disk_board").hexdigest()


digest = zeq_reference.sha256_hash
reference_seal = zeq_reference.aes_encrypt  # the text cipher the root key data is sealed with


@pytest.mark.parametrize(
    ("aes_key_2", "key_3"),
    [
        ("0123456789abcdefghijklmnopqrstuvwxyz" + "x" * 28, "tsrqponmlkjihgfedcba9876543210"),
        ("0123456789", "9876543210"),
        ("", ""),
        ("中文ab\ud800", "\ud800ba文中"),
    ],
)
def test_aes_key_3(aes_key_2: str, key_3: str) -> None:
    assert _get_aes_key_3(aes_key_2) == key_3


def test_aes_keys_1_and_2(monkeypatch) -> None:
    cpu, disk, board = device_signature.get_hardware_info()
    assert get_aes_key_1() == digest(cpu + disk + board)
    assert get_aes_key_1() != device_signature.get_device_signature()
    # the device factors are looked up at each call, so a replacement is obeyed
    monkeypatch.setattr(device_signature, "get_hardware_info", lambda: ("a", "b", "c"))
    assert get_aes_key_1() == digest("abc")
    monkeypatch.setattr(device_signature, "get_hardware_info", lambda: ("a", "b"))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        get_aes_key_1()
    assert get_aes_key_2("personal", "1733817600123456") == digest("personal1733817600123456")
    assert get_aes_key_2("", "") == "" and hash_migrate_key("") == ""
    assert hash_migrate_key("migrate") == digest("migrate")


@pytest.mark.parametrize(
    ("weight", "expanded"),
    [
        ("1", "123456789"),
        ("2", "234567891"),
        ("3", "345678912"),
        ("9", "912345678"),
        ("9876", "912345678"),
        ("0", "123456789"),
        ("", "123456789"),
        ("12a", "123456789"),
        ("٣", "123456789"),
    ],
)
def test_expand_weight_param(weight: str, expanded: str) -> None:
    assert expand_weight_param(weight) == expanded


def test_root_key_round_trip() -> None:
    root_key = "personalkey_1733817600123456"
    sealed = encrypt_root_key_data(root_key, "migrate-key", SIGNATURE)
    aes_key_2 = get_aes_key_2("personalkey", "1733817600123456")
    combined = f"{root_key}|{digest('migrate-key')}|{SIGNATURE}"
    assert sealed == reference_seal(combined, _get_aes_key_3(aes_key_2))
    assert decrypt_root_key_data(sealed, aes_key_2) == {
        "root_key": root_key,
        "migrate_key_hash": hash_migrate_key("migrate-key"),
        "device_signature": SIGNATURE,
    }
    assert list(decrypt_root_key_data(sealed, aes_key_2)) == ["root_key", "migrate_key_hash", "device_signature"]


def test_root_key_is_sealed_under_personal_key_and_middle_piece_only() -> None:
    sealed = encrypt_root_key_data("  pk_123_456 ", "m", SIGNATURE)  # blanks trimmed for the key only
    opened = decrypt_root_key_data(sealed, get_aes_key_2("pk", "123"))
    assert opened["root_key"] == "  pk_123_456 "


@pytest.mark.parametrize("root_key", ["", "nounderscore"])
def test_root_key_without_weight_is_refused(root_key: str) -> None:
    with pytest.raises(Exception) as caught:
        encrypt_root_key_data(root_key, "m", SIGNATURE)
    assert type(caught.value) is Exception
    assert str(caught.value) == "Invalid root_key format: missing weight parameter"


def test_sealing_errors_of_the_cipher_pass_unchanged() -> None:
    with pytest.raises(CredentialGenerationError, match="^明文和密钥不能为空$"):
        encrypt_root_key_data("_", "m", SIGNATURE)  # personal key and weight both empty: key 3 is empty


def test_opening_failures_are_logged_and_raised(caplog) -> None:
    aes_key_2 = get_aes_key_2("pk", "1")
    with_pipe = encrypt_root_key_data("p|k_1", "m", SIGNATURE)
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        with pytest.raises(Exception) as caught:
            decrypt_root_key_data(with_pipe, get_aes_key_2("p|k", "1"))
        assert str(caught.value) == "Decryption failed: Invalid combined data format"
        with pytest.raises(Exception, match="^Decryption failed: AES decrypt failed: "):
            decrypt_root_key_data("not base64 at all!", aes_key_2)
        with pytest.raises(Exception, match="^Weight param decryption failed: AES decrypt failed: "):
            decrypt_weight_param(with_pipe, aes_key_2)
    assert [(r.name, r.levelno) for r in caplog.records] == [(LOGGER, logging.ERROR)] * 3
    assert caplog.records[0].getMessage() == "Root key decryption failed: Invalid combined data format"
    assert caplog.records[1].getMessage().startswith("Root key decryption failed: AES decrypt failed: ")
    assert caplog.records[2].getMessage().startswith("Weight param decryption failed: AES decrypt failed: ")


def test_weight_param_round_trip() -> None:
    aes_key_2 = get_aes_key_2("pk", "1733817600123456")
    sealed = encrypt_weight_param("1733817600123456", aes_key_2)
    assert sealed == reference_seal("123456789", _get_aes_key_3(aes_key_2))
    assert decrypt_weight_param(sealed, aes_key_2) == "123456789"
    assert decrypt_weight_param(encrypt_weight_param("5", aes_key_2), aes_key_2) == "567891234"


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (_get_aes_key_3, (None,)),
        (get_aes_key_2, ("pk", 1000)),
        (encrypt_root_key_data, ("pk_1", None, SIGNATURE)),
        (decrypt_root_key_data, (b"x", "k")),
        (expand_weight_param, (9,)),
        (encrypt_weight_param, ("9", None)),
        (decrypt_weight_param, ("x", 1)),
        (hash_migrate_key, (None,)),
    ],
)
def test_wrong_types_are_type_errors(call, args) -> None:
    with pytest.raises(TypeError):
        call(*args)


def test_logger() -> None:
    assert master_key_seal.logger is logging.getLogger(LOGGER)


def test_large_inputs_are_hashed_without_the_gil(counter_thread) -> None:
    big = "迁移密钥" * (8 << 20)  # 96 MiB of UTF-8
    before = counter_thread["count"]
    hashed = hash_migrate_key(big)
    assert counter_thread["count"] > before
    assert hashed == digest(big)

    before = counter_thread["count"]
    sealed = master_key_seal.encrypt_root_key_data("personal-key_1733817600123456", big, "signature")
    assert counter_thread["count"] > before
    opened = master_key_seal.decrypt_root_key_data(sealed, get_aes_key_2("personal-key", "1733817600123456"))
    assert opened["migrate_key_hash"] == hashed


def test_records_name_the_layer_s_operation_module_and_file(caplog) -> None:
    def host_function() -> None:
        with pytest.raises(Exception, match="^Weight param decryption failed: "):
            decrypt_weight_param("not base64 at all!", get_aes_key_2("pk", "1"))

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        host_function()
    (record,) = caplog.records
    assert (record.name, record.funcName, record.module, record.pathname, record.lineno) == (
        LOGGER,
        "decrypt_weight_param",
        "master_key_seal",
        master_key_seal.__file__,
        0,
    )


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(2), ValueError("from the host's handler")])
def test_what_escapes_a_logging_handler_leaves_the_operation(raising_handler, capfd, exception) -> None:
    raising_handler(LOGGER, exception)
    with pytest.raises(type(exception)) as caught:
        decrypt_root_key_data("not base64 at all!", get_aes_key_2("pk", "1"))
    assert caught.value is exception
    assert "Exception ignored" not in capfd.readouterr().err
