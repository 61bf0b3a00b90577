"""The layer's rules written in plain Python: the reference that the tests check the
layer against and that the benchmarks time as their baselines.

- the hex digest of a text (``sha256_hash``);
- the cipher: AES-256-CBC with the all-zero IV, PKCS#7 padding and Base64, under
  a hexadecimal per-info key (``encrypt_with_per_info_key``) or under the raw
  SHA-256 of a key text (the text cipher, ``aes_encrypt``);
- the salt set of a personal key and a weight parameter (``extract_derived_salts``);
- the ``zeq_user_1`` database password (``zeq_user1_password``).

Texts become bytes as the layer writes them: UTF-8 with lone surrogates kept in
their three-byte form, key texts included.
"""

from __future__ import annotations

import base64
import hashlib

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

ZERO_IV = bytes(16)


def text_bytes(text: str) -> bytes:
    """A text as the layer hands it to the hash and the cipher."""
    return text.encode("utf-8", "surrogatepass")


def bytes_text(data: bytes) -> str:
    """Decrypted bytes as the layer reads them back into a text."""
    return data.decode("utf-8", "surrogatepass")


# ---------------------------------------------------------------- hash


def sha256_hash(text: str) -> str:
    """The layer's hex digest: the empty text for the empty text."""
    if not text:
        return ""
    return hashlib.sha256(text_bytes(text)).hexdigest()


def text_cipher_key(key_text: str) -> bytes:
    """The AES-256 key of the text cipher: the raw SHA-256 of the key text."""
    return hashlib.sha256(text_bytes(key_text)).digest()


# ---------------------------------------------------------------- cipher


def encrypt_blocks(blocks: bytes, key: bytes) -> str:
    """Base64 of AES-CBC (zero IV) over whole blocks, without padding of their own."""
    encryptor = Cipher(algorithms.AES(key), modes.CBC(ZERO_IV)).encryptor()
    return base64.b64encode(encryptor.update(blocks) + encryptor.finalize()).decode("ascii")


def pkcs7_pad(data: bytes) -> bytes:
    padder = padding.PKCS7(128).padder()
    return padder.update(data) + padder.finalize()


def encrypt_bytes(data: bytes, key: bytes) -> str:
    """Base64 of AES-CBC (zero IV) over ``data`` with PKCS#7 padding."""
    return encrypt_blocks(pkcs7_pad(data), key)


def encrypt_text(plaintext: str, key: bytes) -> str:
    """``encrypt_bytes`` of a text. The encoded text is let go once padded, before the
    cipher runs, so that a large text costs what one written inline would."""
    return encrypt_blocks(pkcs7_pad(text_bytes(plaintext)), key)


def decrypt_bytes(ciphertext: str, key: bytes) -> bytes:
    """The inverse of ``encrypt_bytes`` (strict Base64, padding checked)."""
    decryptor = Cipher(algorithms.AES(key), modes.CBC(ZERO_IV)).decryptor()
    padded = decryptor.update(base64.b64decode(ciphertext)) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(padded) + unpadder.finalize()


def encrypt_with_per_info_key(plaintext: str, key_n: str) -> str:
    """The first encryption layer under a hexadecimal per-info key."""
    return encrypt_text(plaintext, bytes.fromhex(key_n))


def decrypt_with_per_info_key(ciphertext: str, key_n: str) -> str:
    return bytes_text(decrypt_bytes(ciphertext, bytes.fromhex(key_n)))


def aes_encrypt(plaintext: str, key_text: str) -> str:
    """The text cipher: the same cipher under the raw SHA-256 of a key text."""
    return encrypt_text(plaintext, text_cipher_key(key_text))


def aes_decrypt(ciphertext: str, key_text: str) -> str:
    return bytes_text(decrypt_bytes(ciphertext, text_cipher_key(key_text)))


# ---------------------------------------------------------------- salts


def extract_derived_salts(personal_key: str, weight_param: int) -> dict[str, int]:
    """The salt formulas over Python's unbounded integers, with the layer's checks."""
    if len(personal_key) < 8:
        raise ValueError("个人密钥必须至少8位字符")
    if weight_param <= 0:
        raise ValueError("权重参数必须是正整数")
    key_length = len(personal_key)
    ascii_sum = sum(ord(c) for c in personal_key)
    weight_str = str(weight_param)
    raw = [  # (value, what a value of 0 becomes)
        (key_length % 10, 1),
        (weight_param % 10, 1),
        (ascii_sum % 10, 1),
        ((key_length + weight_param) % 10, 1),
        (int(weight_str[-2]) if len(weight_str) >= 2 else 1, 1),
        ((ascii_sum + weight_param) % 10, 2),
        (((key_length % 10) * ((key_length // 10) % 10)) % 10, 4),
        ((key_length * weight_param) % 10, 1),
        ((ascii_sum ^ key_length) % 10, 5),
        ((weight_param * ascii_sum) % 10, 3),
    ]
    return {f"salt{i + 1}": value or substitute for i, (value, substitute) in enumerate(raw)}


# ---------------------------------------------------------------- zeq_user_1 password


def zeq_user1_password(cpu_serial: str, disk_id: str, salt1: int, salt2: int, salt3: int) -> str:
    """The password window: from index salt3 - 1 to 25 of the digest of the disk
    identifier salt1 times and the CPU serial salt2 times, then its last 5 characters."""
    hash_value = sha256_hash(disk_id * salt1 + cpu_serial * salt2)
    return hash_value[salt3 - 1 : 25] + hash_value[-5:]
