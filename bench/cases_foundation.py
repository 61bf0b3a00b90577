"""Hash core, root key parsing, salts and weight digits against plain Python with hashlib."""

from __future__ import annotations

import hashlib
import logging

from common import NOOP, Case
from zeq.domain.crypto_layer import derived_salt, digest_base, master_key_split, weight_issuer
from zeq_reference import extract_derived_salts as py_extract_derived_salts

SHORT_TEXT = "phone_number:agent-7:+86 138 0000 0000"
PERSONAL_KEY = "correct-horse-battery"
WEIGHT = 1733817600123456


split_log = logging.getLogger("bench.foundation")


def py_parse_root_key(root_key: str) -> tuple[str, int]:
    """Only the branch the benchmark takes: no weight, so a debug line (its level off)."""
    if "_" not in root_key:
        split_log.debug("root_key format missing weight parameter, using default value 1000")
        return root_key, 1000
    personal_key, _, weight = root_key.partition("_")
    return personal_key, int(weight)


# ---------------------------------------------------------------- floors (see common.Case)
SHORT_BYTES = SHORT_TEXT.encode()
SALTS_OUT = derived_salt.extract_derived_salts(PERSONAL_KEY, WEIGHT)
WEIGHT_DIGIT = weight_issuer.get_weight_digit(WEIGHT, 9)


def sha256_floor() -> str:
    NOOP(SHORT_TEXT)
    return hashlib.sha256(SHORT_BYTES).hexdigest()


def parse_root_key_floor() -> tuple[str, int]:
    NOOP(PERSONAL_KEY)
    return (PERSONAL_KEY, 1000)


def salts_floor() -> dict[str, int]:
    NOOP(PERSONAL_KEY, WEIGHT)
    return SALTS_OUT.copy()


def weight_digit_floor() -> int:
    NOOP(WEIGHT, 9)
    return WEIGHT_DIGIT


def py_get_weight_digit(weight_param: int, position: int) -> int:
    weight_str = str(weight_param)
    if position < 1 or position > len(weight_str):
        raise ValueError(f"位置{position}超出权重参数长度范围")
    return int(weight_str[position - 1])


CASES = [
    Case(
        "sha256_hash (short text)",
        lambda: digest_base.sha256_hash(SHORT_TEXT),
        lambda: hashlib.sha256(SHORT_TEXT.encode()).hexdigest(),
        "hashlib.sha256(text.encode()).hexdigest()",
        floor=sha256_floor,
    ),
    Case(
        "parse_root_key (debug line, level off)",
        lambda: master_key_split.parse_root_key(PERSONAL_KEY),
        lambda: py_parse_root_key(PERSONAL_KEY),
        "plain Python + logging",
        floor=parse_root_key_floor,
    ),
    Case(
        "extract_derived_salts",
        lambda: derived_salt.extract_derived_salts(PERSONAL_KEY, WEIGHT),
        lambda: py_extract_derived_salts(PERSONAL_KEY, WEIGHT),
        floor=salts_floor,
    ),
    Case(
        "get_weight_digit",
        lambda: weight_issuer.get_weight_digit(WEIGHT, 9),
        lambda: py_get_weight_digit(WEIGHT, 9),
        "plain Python",
        floor=weight_digit_floor,
    ),
]
