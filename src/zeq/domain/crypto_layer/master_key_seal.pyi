"""
Root key sealing: AES keys 1 to 3, sealing and opening of the root key data and the weight parameter.
"""

import logging


logger: logging.Logger = ...

def _get_aes_key_3(aes_key_2: str) -> str:
    """AES key 3: the first 30 characters of AES key 2 in reverse order."""

def get_aes_key_1() -> str:
    """
    AES key 1: the digest of the three device factors joined without separator.
    """

def get_aes_key_2(personal_key: str, weight_param: str) -> str:
    """
    AES key 2: the digest of the personal key followed by the weight parameter text.
    """

def encrypt_root_key_data(root_key: str, migrate_key: str, device_signature: str) -> str:
    """
    Seal root_key|sha256(migrate_key)|device_signature under AES key 3 of the root key.
    A root key without '_' and weight cannot be sealed and raises Exception.
    """

def decrypt_root_key_data(encrypted_data: str, aes_key_2: str) -> dict[str, str]:
    """
    Open sealed root key data: {'root_key': .., 'migrate_key_hash': .., 'device_signature': ..}.
    """

def expand_weight_param(weight_param: str) -> str:
    """
    The rotation of '123456789' starting at the first digit of ``weight_param``.
    """

def encrypt_weight_param(weight_param: str, aes_key_2: str) -> str:
    """Seal the expanded weight parameter under AES key 3."""

def decrypt_weight_param(encrypted_weight_param: str, aes_key_2: str) -> str:
    """Open a sealed weight parameter: its nine-digit expansion."""

def hash_migrate_key(migrate_key: str) -> str:
    """The digest of the migrate key."""
