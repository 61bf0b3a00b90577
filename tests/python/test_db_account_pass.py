"""The password of zeq_user_1: strict checks, the fallback branch, verification."""

from __future__ import annotations

import pytest

import host_repetition
import zeq_reference
from zeq.domain.crypto_layer.db_account_pass import (
    PasswordGenerationError,
    generate_zeq_user1_password,
    generate_zeq_user1_password_with_fallback,
    verify_zeq_user1_password,
)

CPU = "BFEBFBFF000906EA"
DISK = "3f2a8c1e-5d4b-4e8a-9c7f-1b2d3e4f5a6b"
SALTS = {f"salt{i}": d for i, d in enumerate([3, 7, 2, 8, 5, 4, 4, 1, 6, 9], start=1)}


digest = zeq_reference.sha256_hash
expected = zeq_reference.zeq_user1_password


@pytest.mark.parametrize(("salt3", "length"), [(1, 30), (2, 29), (9, 22)])
def test_password_window(salt3: int, length: int) -> None:
    salts = dict(SALTS, salt3=salt3)
    password = generate_zeq_user1_password(CPU, DISK, salts)
    hash_value = digest(DISK * 3 + CPU * 7)  # disk identifier first, salt1 and salt2 times
    assert password == hash_value[salt3 - 1 : 25] + hash_value[-5:]
    assert len(password) == length


def test_non_ascii_factors_and_float_salts() -> None:
    salts = {"salt1": 2.9, "salt2": 3.1, "salt3": 4.5}
    assert generate_zeq_user1_password("处理器", "磁盘\ud800", salts) == expected("处理器", "磁盘\ud800", 2, 3, 4)


@pytest.mark.parametrize(
    ("cpu", "disk", "salts", "message"),
    [
        ("", DISK, SALTS, "CPU序列号和硬盘ID不能为空"),
        (CPU, "", SALTS, "CPU序列号和硬盘ID不能为空"),
        (CPU, DISK, {}, "动态盐不完整，需要salt1、salt2、salt3"),
        (CPU, DISK, {"salt1": 1, "salt2": 2}, "动态盐不完整，需要salt1、salt2、salt3"),
        (CPU, DISK, dict(SALTS, salt3=0), "动态盐值必须在1-9之间"),
        (CPU, DISK, dict(SALTS, salt1=10), "动态盐值必须在1-9之间"),
        (CPU, DISK, dict(SALTS, salt2=-1), "动态盐值必须在1-9之间"),
        (CPU, DISK, dict(SALTS, salt1=0, salt2=None), "动态盐值必须在1-9之间"),  # salt1 is tested first
        (CPU, DISK, dict(SALTS, salt1=10**40), "动态盐值必须在1-9之间"),
    ],
)
def test_strict_checks(cpu: str, disk: str, salts: dict, message: str) -> None:
    with pytest.raises(PasswordGenerationError) as caught:
        generate_zeq_user1_password(cpu, disk, salts)
    assert str(caught.value) == message


@pytest.mark.parametrize("change", [{"salt2": "3"}, {"salt1": None}, {"salt3": [1]}])
def test_bad_salt_values_are_type_errors(change: dict) -> None:
    with pytest.raises(TypeError):
        generate_zeq_user1_password(CPU, DISK, dict(SALTS, **change))


@pytest.mark.parametrize(
    ("cpu", "disk", "salts", "password"),
    [
        # no marker anywhere: the strict variant
        (CPU, DISK, SALTS, expected(CPU, DISK, 3, 7, 2)),
        # a marker sends the call into the fallback branch, where it is hashed unchanged
        ("CPU_GET_FAILED", DISK, SALTS, expected("CPU_GET_FAILED", DISK, 3, 7, 2)),
        ("", "LINUX_DISK_UNKNOWN_FAIL", SALTS, expected("CPU_FALLBACK", "LINUX_DISK_UNKNOWN_FAIL", 3, 7, 2)),
        ("LINUX_x_FAIL", "", SALTS, expected("LINUX_x_FAIL", "DISK_FALLBACK", 3, 7, 2)),
        # in the fallback branch absent salts count as 1, with no range check
        ("MAC_UNKNOWN_FAIL", DISK, {}, expected("MAC_UNKNOWN_FAIL", DISK, 1, 1, 1)),
        ("MAC_UNKNOWN_FAIL", DISK, {"salt1": 12, "salt2": 2.5}, expected("MAC_UNKNOWN_FAIL", DISK, 12, 2, 1)),
    ],
)
def test_with_fallback(cpu: str, disk: str, salts: dict, password: str) -> None:
    assert generate_zeq_user1_password_with_fallback(cpu, disk, salts) == password


def test_fallback_salt3_zero_keeps_only_the_tail() -> None:
    hash_value = digest(DISK * 3 + "CPU_GET_FAILED" * 7)
    result = generate_zeq_user1_password_with_fallback("CPU_GET_FAILED", DISK, dict(SALTS, salt3=0))
    assert result == hash_value[-5:]


def test_fallback_branch_raises_unwrapped() -> None:
    with pytest.raises(TypeError):
        generate_zeq_user1_password_with_fallback("X_FAIL", DISK, {"salt1": "2"})
    with pytest.raises(PasswordGenerationError, match="^CPU序列号和硬盘ID不能为空$"):
        generate_zeq_user1_password_with_fallback("", DISK, SALTS)  # no marker: strict


@pytest.mark.parametrize("text, count, error, message", host_repetition.params(pytest))
@pytest.mark.parametrize("salt", ["salt1", "salt2"])
def test_fallback_counts_the_host_cannot_build_fail_as_the_host_fails(salt, text, count, error, message) -> None:
    """The fallback branch repeats the disk identifier by salt1 and the CPU serial by
    salt2 without a range check: what the host raises for the repetition reaches the caller."""
    cpu, disk = ("CPU_GET_FAILED", text) if salt == "salt1" else (text, "DISK_GET_FAILED")
    if error is None:
        dropped = generate_zeq_user1_password_with_fallback(cpu, disk, {salt: 0})
        assert generate_zeq_user1_password_with_fallback(cpu, disk, {salt: count}) == dropped
        return
    with pytest.raises(error) as raised:
        generate_zeq_user1_password_with_fallback(cpu, disk, {salt: count})
    if message is not None:
        assert str(raised.value) == message


def test_verify() -> None:
    password = generate_zeq_user1_password(CPU, DISK, SALTS)
    assert verify_zeq_user1_password(password, CPU, DISK, SALTS) is True
    assert verify_zeq_user1_password(password.upper(), CPU, DISK, SALTS) is False
    for cpu, disk, salts in [
        ("", DISK, SALTS),
        (CPU, DISK, {}),
        (CPU, DISK, dict(SALTS, salt3=10)),
        (CPU, DISK, dict(SALTS, salt1="x")),
        (CPU, DISK, dict(SALTS, salt1=None)),
    ]:
        assert verify_zeq_user1_password(password, cpu, disk, salts) is False


def test_verify_compares_the_password_exactly() -> None:
    password = generate_zeq_user1_password(CPU, DISK, SALTS)
    for given, equal in [
        (password, True),
        ("".join(password), True),
        ("x" + password[1:], False),
        (password[:-1] + "x", False),
        (password[:-1], False),
        (password + "0", False),
        ("", False),
        ("é" + password[1:], False),
        (password[:-1] + "\udcff", False),
        ("中" * len(password), False),
    ]:
        assert verify_zeq_user1_password(given, CPU, DISK, SALTS) is equal, given


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (generate_zeq_user1_password, (None, DISK, SALTS)),
        (generate_zeq_user1_password, (CPU, DISK, None)),
        (generate_zeq_user1_password_with_fallback, (CPU, b"x", SALTS)),
        (verify_zeq_user1_password, (None, CPU, DISK, SALTS)),
        (verify_zeq_user1_password, ("p", CPU, DISK, [("salt1", 1)])),
    ],
)
def test_wrong_types_are_type_errors(call, args) -> None:
    with pytest.raises(TypeError):
        call(*args)


def test_error_type() -> None:
    assert PasswordGenerationError.__bases__ == (Exception,)
    assert PasswordGenerationError.__doc__ == "密码生成异常"
