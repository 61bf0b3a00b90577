"""Hash core, salts and weight digits against plain Python with hashlib."""

from __future__ import annotations

import hashlib

from common import Case
from zeq_reference import extract_derived_salts as py_extract_derived_salts
from zeq.domain.crypto_layer import derived_salt, digest_base, weight_issuer

SHORT_TEXT = "phone_number:agent-7:+86 138 0000 0000"
PERSONAL_KEY = "correct-horse-battery"
WEIGHT = 1733817600123456


def py_get_weight_digit(weight_param: int, position: int) -> int:
    weight_str = str(weight_param)
    if position < 1 or position > len(weight_str):
        raise ValueError(f"位置{position}超出权重参数长度范围")
    return int(weight_str[position - 1])


CASES = [
    Case("sha256_hash (short text)", lambda: digest_base.sha256_hash(SHORT_TEXT),
         lambda: hashlib.sha256(SHORT_TEXT.encode()).hexdigest(), "hashlib.sha256(text.encode()).hexdigest()"),
    Case("extract_derived_salts", lambda: derived_salt.extract_derived_salts(PERSONAL_KEY, WEIGHT),
         lambda: py_extract_derived_salts(PERSONAL_KEY, WEIGHT)),
    Case("get_weight_digit", lambda: weight_issuer.get_weight_digit(WEIGHT, 9),
         lambda: py_get_weight_digit(WEIGHT, 9), "plain Python"),
]
