"""The integer coercion shared by the modules."""

from __future__ import annotations

import pytest

from zeq.domain.crypto_layer.utils import safe_int


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("0", 0),
        ("007", 7),
        ("-5", -5),
        ("+42", 42),
        ("12345678901234567890", 12345678901234567890),
        ("98765432109876543210987654321", 98765432109876543210987654321),
    ],
)
def test_decimal_texts(text: str, value: int) -> None:
    result = safe_int(text)
    assert result == value and type(result) is int


@pytest.mark.parametrize("text", ["", "12a", "a", "-", "+", " 7", "7 ", "1_000", "٣", "1.5", "0x10"])
def test_other_texts_are_value_errors(text: str) -> None:
    with pytest.raises(ValueError, match="invalid literal for int"):
        safe_int(text)


@pytest.mark.parametrize("value", [None, 5, b"5", 5.0])
def test_non_text_is_type_error(value) -> None:
    with pytest.raises(TypeError):
        safe_int(value)
