"""
Root key parsing: a root key is a personal key, optionally followed by '_' and the weight digits.
"""

import logging


logger: logging.Logger = ...

DEFAULT_WEIGHT_PARAM: int = 1000

def parse_root_key(root_key: str) -> tuple[str, int]:
    """
    Split ``root_key`` at its first '_' into (personal_key, weight_param); a missing or
    non-numeric weight gives DEFAULT_WEIGHT_PARAM and a debug log line.
    """

def get_personal_key(root_key: str) -> str:
    """The personal key of ``root_key``."""

def get_weight_param(root_key: str) -> int:
    """The weight parameter of ``root_key``."""
