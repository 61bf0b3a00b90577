"""
Derived, query and migration credentials of stored items, and the text cipher.
"""

from typing import SupportsIndex


class CredentialGenerationError(Exception):
    """派生凭证生成异常"""

def generate_derived_credentials(info_type: str, agent_name: str, environment_cipher: str, weight_param: int | float | SupportsIndex, salts: dict[str, int]) -> tuple[str, str]:
    """
    (extract_account, extract_password) stored beside an item: two windows of the digest of its
    information type, environment cipher and agent name, repeated by weight digits.
    """

def generate_query_credentials(info_type: str, agent_name: str, disk_id: str, weight_param: int | float | SupportsIndex, salts: dict[str, int]) -> tuple[str, str]:
    """
    (extract_account, extract_password) for querying and extracting items, from the disk identifier;
    salts are used without a range check.
    """

def verify_derived_credentials(extract_account: str, extract_password: str, info_type: str, agent_name: str, disk_id: str, weight_param: int | float | SupportsIndex, salts: dict[str, int]) -> bool:
    """
    True when the pair equals generate_derived_credentials(info_type, agent_name, disk_id, ...);
    false on any failure.
    """

def generate_migration_credentials(migrate_key: str, salts: dict[str, int]) -> tuple[str, str]:
    """
    (migration_account, migration_password): two windows of the digest of ``migrate_key``.
    """

def aes_encrypt(plaintext: str, key: str) -> str:
    """
    Base64 of AES-256-CBC (all-zero IV, PKCS#7) of ``plaintext`` under the SHA-256 of ``key``.
    """

def aes_decrypt(ciphertext: str, key: str) -> str:
    """
    The text that ``aes_encrypt`` turned into ``ciphertext`` under ``key``.
    """
