"""
First encryption layer: AES-256-CBC (zero IV, PKCS#7) under per-info or one-time keys, Base64 out.
"""



class PerInfoKeyError(Exception):
    """AES_KYE_N 加密异常"""

def generate_info_hash_cipher(plaintext: str) -> str:
    """
    The per-info key of ``plaintext``: SHA-256 of its UTF-8 bytes (lone surrogates passed
    through) as 64 lowercase hexadecimal characters.
    """

def encrypt_with_per_info_key(plaintext: str, key_n: str) -> str:
    """
    Base64 of AES-CBC (all-zero IV, PKCS#7) of the UTF-8 of ``plaintext`` under the key whose
    64 hexadecimal characters are ``key_n``. Failures raise PerInfoKeyError.
    """

def decrypt_with_per_info_key(ciphertext: str, key_n: str) -> str:
    """
    The text that ``encrypt_with_per_info_key`` turned into ``ciphertext`` under ``key_n``.
    Failures raise PerInfoKeyError.
    """

def encrypt_info(plaintext: str) -> tuple[str, str]:
    """
    (ciphertext, key_n): ``plaintext`` encrypted under its own per-info key.
    """

def decrypt_info(ciphertext: str, key_n: str) -> str:
    """The plaintext of ``ciphertext`` under the per-info key ``key_n``."""

def generate_aes_key_4() -> str:
    """
    A one-time key: 32 bytes of the cryptographically secure random source as 64 lowercase
    hexadecimal characters.
    """

def encrypt_with_aes_key_4(plaintext: str, key: str | None = None) -> tuple[str, str]:
    """
    (ciphertext, key): ``plaintext`` encrypted under ``key``, or under a new one-time key when
    ``key`` is None or empty.
    """

def decrypt_with_aes_key_4(ciphertext: str, key: str) -> str:
    """The plaintext of ``ciphertext`` under the one-time key ``key``."""
