"""
Entry digest of an item and the virtual account and password cut from it.
"""

from typing import SupportsIndex


def generate_entry_digest(info_type: str, info_owner: str, diff_1: str | None = None, diff_2: str | None = None, diff_3: str | None = None, ext_fields: dict[str, str | None] | None = None, environment_cipher: str | None = None, weight_param: int | float | SupportsIndex | None = None, salts: dict[str, int] | None = None) -> str:
    """
    The entry digest: SHA-256 (the package's ``sha256_hash``) of the item's fields, each repeated
    by a weight digit or a salt, extension values in key order with the salts cycled.
    """

def extract_account_password(entry_digest: str, salts: dict[str, int]) -> tuple[str, str]:
    """
    (account, password) cut from an entry digest at the windows salt4 and salt5 (0-based).
    """
