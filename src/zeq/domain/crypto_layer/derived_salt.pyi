"""
Derived salts: ten digits 1-9 (salt1 .. salt10) from the personal key and the weight parameter.
"""

from typing import SupportsIndex


class DerivedSaltError(Exception):
    """动态盐提取异常"""

def extract_derived_salts(personal_key: str, weight_param: int | float | SupportsIndex) -> dict[str, int]:
    """
    The salt set {salt1: .., salt10: ..} of a personal key of at least 8 characters and a
    positive weight parameter.
    """

def get_salt(salts: dict[str, int], salt_number: int | float | SupportsIndex) -> int:
    """The value of salt ``salt_number`` (1 to 5) in ``salts``."""

def validate_salts(salts: dict[str, int]) -> bool:
    """
    True when ``salts`` holds salt1 .. salt10, each an integer from 1 to 9.
    """

def extract_single_salt(personal_key: str, weight_param: int | float | SupportsIndex, salt_number: int | float | SupportsIndex) -> int:
    """
    One salt (1 to 5) of the salt set of ``personal_key`` and ``weight_param``.
    """
