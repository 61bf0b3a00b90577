"""Weight parameters: issuing from the host's clock and generator, parsing and digits."""

from __future__ import annotations

import random
import time

import pytest

from zeq.domain.crypto_layer.weight_issuer import (
    WeightGenerationError,
    generate_weight_parameter,
    generate_weight_parameter_with_timestamp,
    get_weight_digit,
    get_weight_digit_from_end,
    parse_weight_parameter,
    validate_weight_parameter,
)


def test_issued_weight_is_clock_then_random_part() -> None:
    before = int(time.time() * 1000)
    weight = generate_weight_parameter()
    after = int(time.time() * 1000)
    text = str(weight)
    assert len(text) == 16 and validate_weight_parameter(weight)
    assert before <= int(text[:-3]) <= after
    assert 100 <= int(text[-3:]) <= 999


def test_draws_from_the_hosts_clock_and_generator(monkeypatch) -> None:
    monkeypatch.setattr(time, "time", lambda: 1733817600.1239)
    monkeypatch.setattr(random, "randint", lambda a, b: (a, b) == (100, 999) and 777)
    assert generate_weight_parameter() == 1733817600123777
    assert generate_weight_parameter_with_timestamp() == 1733817600123777
    assert generate_weight_parameter_with_timestamp(None) == 1733817600123777


def test_seeded_generator_repeats() -> None:
    random.seed(99)
    first = generate_weight_parameter_with_timestamp(5)
    random.seed(99)
    assert generate_weight_parameter_with_timestamp(5) == first


@pytest.mark.parametrize(
    ("timestamp", "check"),
    [
        (1733817600123, lambda w, r: w == 1733817600123 * 1000 + r),
        (0, lambda w, r: w == r),  # "0" followed by three digits
        (-5, lambda w, r: w == -(5000 + r)),
        (12345678901234567890, lambda w, r: w == 12345678901234567890 * 1000 + r),
        (7.9, lambda w, r: w == 7000 + r),
    ],
)
def test_with_timestamp(monkeypatch, timestamp, check) -> None:
    monkeypatch.setattr(random, "randint", lambda a, b: 456)
    assert check(generate_weight_parameter_with_timestamp(timestamp), 456)


def test_issuing_failures_are_wrapped(monkeypatch) -> None:
    def broken() -> float:
        raise OSError("clock unavailable")

    monkeypatch.setattr(time, "time", broken)
    with pytest.raises(WeightGenerationError) as caught:
        generate_weight_parameter()
    assert str(caught.value) == "权重参数生成失败: clock unavailable"
    monkeypatch.setattr(random, "randint", lambda a, b: "x")
    with pytest.raises(WeightGenerationError, match=r"^权重参数生成失败: invalid literal"):
        generate_weight_parameter_with_timestamp(5)


@pytest.mark.parametrize(
    ("weight", "parsed"),
    [
        (1733817600123456, {"timestamp_ms": 1733817600123, "random_num": 456, "total_length": 16}),
        (1000, {"timestamp_ms": 1, "random_num": 0, "total_length": 4}),
        (12345678901234567890123, {"timestamp_ms": 12345678901234567890, "random_num": 123, "total_length": 23}),
        (-1234, {"timestamp_ms": -1, "random_num": 234, "total_length": 5}),
    ],
)
def test_parse(weight: int, parsed: dict) -> None:
    result = parse_weight_parameter(weight)
    assert result == parsed and list(result) == ["timestamp_ms", "random_num", "total_length"]


@pytest.mark.parametrize("weight", [999, 0, -99])
def test_parse_refuses_short_texts(weight: int) -> None:
    with pytest.raises(WeightGenerationError, match="^权重参数格式无效$"):
        parse_weight_parameter(weight)


def test_parse_lets_safe_int_errors_through() -> None:
    with pytest.raises(ValueError):
        parse_weight_parameter(-123)  # the timestamp part is the lone "-"


def test_digits() -> None:
    weight = 1234567890123456789012345
    text = str(weight)
    assert [get_weight_digit(weight, p) for p in range(1, 26)] == [int(c) for c in text]
    assert [get_weight_digit_from_end(weight, p) for p in range(1, 26)] == [int(c) for c in reversed(text)]
    for position in (0, 26, -1, 10**30):
        for call in (get_weight_digit, get_weight_digit_from_end):
            with pytest.raises(WeightGenerationError) as caught:
                call(weight, position)
            assert str(caught.value) == f"位置{position}超出权重参数长度范围"
    with pytest.raises(ValueError):
        get_weight_digit(-5, 1)  # the minus sign is not a digit


@pytest.mark.parametrize(
    ("weight", "valid"),
    [(10**14, False), (10**15, True), (10**20 - 1, True), (10**20, False), (0, False), (-(10**16), False)],
)
def test_validate(weight: int, valid: bool) -> None:
    assert validate_weight_parameter(weight) is valid


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (generate_weight_parameter_with_timestamp, ("123",)),
        (parse_weight_parameter, ("1000",)),
        (parse_weight_parameter, (None,)),
        (get_weight_digit, (1000, "1")),
        (get_weight_digit_from_end, (None, 1)),
        (validate_weight_parameter, ("1",)),
        (parse_weight_parameter, (float("inf"),)),
    ],
)
def test_wrong_types_are_type_errors(call, args) -> None:
    with pytest.raises(TypeError):
        call(*args)
