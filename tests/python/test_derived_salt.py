"""Derived salts: the formulas over exact integers, the checks and the salt set helpers."""

from __future__ import annotations

import random

import pytest

import zeq_reference
from zeq.domain.crypto_layer.derived_salt import (
    DerivedSaltError,
    extract_derived_salts,
    extract_single_salt,
    get_salt,
    validate_salts,
)

KEYS = [f"salt{i}" for i in range(1, 11)]


reference_salts = zeq_reference.extract_derived_salts  # over Python's unbounded integers


def test_matches_exact_arithmetic_for_weights_of_any_size() -> None:
    rng = random.Random(7)
    for digits in (1, 2, 3, 16, 19, 20, 21, 25, 60):
        for _ in range(40):
            weight = rng.randrange(10 ** (digits - 1), 10**digits)
            key = "".join(rng.choice("abcXYZ09_中é😀\ud800") for _ in range(rng.randrange(8, 40)))
            salts = extract_derived_salts(key, weight)
            assert salts == reference_salts(key, weight)
            assert list(salts) == KEYS  # insertion order salt1 .. salt10


@pytest.mark.parametrize(
    ("key", "weight", "expected"),
    [
        ("abcdefgh", 1, {"salt5": 1, "salt2": 1}),
        ("abcdefgh", 105, {"salt2": 5, "salt5": 1}),
        ("abcdefghij", 1733817600123456, {"salt1": 1, "salt7": 4}),
        ("abcdefghi", 1733817600123456, {"salt7": 4}),
        ("abcdefghijkl", 1733817600123456, {"salt7": 2}),
        ("abcdefgh", 12345678901234567890123456789, {"salt2": 9, "salt5": 8, "salt8": 2}),
    ],
)
def test_salt_details(key: str, weight: int, expected: dict[str, int]) -> None:
    salts = extract_derived_salts(key, weight)
    assert {k: salts[k] for k in expected} == expected


def test_length_counts_code_points() -> None:
    assert extract_derived_salts("个人密钥个人密钥", 1000)["salt1"] == 8
    with pytest.raises(DerivedSaltError, match="^个人密钥必须至少8位字符$"):
        extract_derived_salts("个人密钥个人密", 1000)  # 7 characters, 21 bytes


@pytest.mark.parametrize(
    ("key", "weight", "message"),
    [
        ("", 1000, "个人密钥必须至少8位字符"),
        ("abcdefg", 0, "个人密钥必须至少8位字符"),  # the key is tested first
        ("abcdefgh", 0, "权重参数必须是正整数"),
        ("abcdefgh", -5, "权重参数必须是正整数"),
        ("abcdefgh", -(10**30), "权重参数必须是正整数"),
    ],
)
def test_refusals(key: str, weight: int, message: str) -> None:
    with pytest.raises(DerivedSaltError) as caught:
        extract_derived_salts(key, weight)
    assert str(caught.value) == message


def test_weight_given_as_float_is_truncated() -> None:
    assert extract_derived_salts("abcdefgh", 105.9) == extract_derived_salts("abcdefgh", 105)


def test_get_salt() -> None:
    salts = extract_derived_salts("abcdefgh", 1733817600123456)
    assert [get_salt(salts, n) for n in range(1, 6)] == [salts[k] for k in KEYS[:5]]
    assert get_salt({"salt3": 7.9}, 3) == 7
    for number in (0, 6, 10, -1, 10**20):
        with pytest.raises(DerivedSaltError, match="^动态盐编号必须在1-5之间$"):
            get_salt(salts, number)
    incomplete = {k: v for k, v in salts.items() if k != "salt4"}
    with pytest.raises(DerivedSaltError) as caught:
        get_salt(incomplete, 4)
    assert str(caught.value) == "动态盐4不存在"


@pytest.mark.parametrize(
    ("change", "valid"),
    [
        ({}, True),
        ({"salt3": 0}, False),
        ({"salt3": 10}, False),
        ({"salt3": None}, False),
        ({"salt3": 9.99}, True),
        ({"salt3": 0.5}, False),
        ({"salt3": True}, True),
        ({"extra": "anything"}, True),
    ],
)
def test_validate_salts(change: dict, valid: bool) -> None:
    salts = extract_derived_salts("abcdefgh", 1733817600123456) | change
    assert validate_salts(salts) is valid


def test_validate_salts_missing_key_and_non_numbers() -> None:
    salts = extract_derived_salts("abcdefgh", 1733817600123456)
    del salts["salt10"]
    assert validate_salts(salts) is False
    assert validate_salts({"salt1": "x"}) is False  # a missing key is found before the values are read
    with pytest.raises(TypeError):
        validate_salts(dict(extract_derived_salts("abcdefgh", 1000), salt2="3"))


def test_extract_single_salt() -> None:
    salts = extract_derived_salts("abcdefgh", 1733817600123456)
    assert extract_single_salt("abcdefgh", 1733817600123456, 5) == salts["salt5"]
    with pytest.raises(DerivedSaltError, match="^个人密钥必须至少8位字符$"):
        extract_single_salt("short", 1000, 9)
    with pytest.raises(DerivedSaltError, match="^动态盐编号必须在1-5之间$"):
        extract_single_salt("abcdefgh", 1000, 9)


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (extract_derived_salts, (None, 1000)),
        (extract_derived_salts, (b"abcdefgh", 1000)),
        (extract_derived_salts, ("abcdefgh", "1000")),
        (extract_derived_salts, ("abcdefgh", None)),
        (get_salt, ([("salt1", 1)], 1)),
        (get_salt, ({"salt1": 1}, "1")),
        (validate_salts, (None,)),
        (validate_salts, (type("D", (dict,), {})(),)),
        (extract_single_salt, ("abcdefgh", 1000, "1")),
    ],
)
def test_wrong_types_are_type_errors(call, args) -> None:
    with pytest.raises(TypeError):
        call(*args)


def test_error_type() -> None:
    assert DerivedSaltError.__bases__ == (Exception,)
