"""What every benchmark file shares: the case record, the timer and the plain-Python
baselines of the hash and the cipher that several operations build on."""

from __future__ import annotations

import base64
import hashlib
import timeit
from dataclasses import dataclass
from typing import Callable

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

ZERO_IV = bytes(16)


@dataclass(frozen=True)
class Case:
    """One operation of the layer against the same steps written in plain Python.

    ``layer`` and ``baseline`` take no arguments; ``baseline_label`` says what the
    baseline is (plain Python with hashlib, the cryptography package, ...).
    """

    name: str
    layer: Callable[[], object]
    baseline: Callable[[], object]
    baseline_label: str = "plain Python + hashlib"


def seconds_per_call(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.2) -> float:
    """Best time per call over ``repeat`` rounds of at least ``min_time`` seconds each."""
    timer = timeit.Timer(fn)
    number = 1
    while True:
        if timer.timeit(number) >= min_time / 4 or number >= 1 << 24:
            break
        number *= 4
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number


# ---------------------------------------------------------------- plain-Python baselines

def py_sha256_hash(data: str) -> str:
    """The layer's hex digest: the empty text for the empty text."""
    if not data:
        return ""
    return hashlib.sha256(data.encode("utf-8", "surrogatepass")).hexdigest()


def py_encrypt(plaintext: str, key_n: str) -> str:
    """Base64 of AES-256-CBC (zero IV, PKCS#7) under a hexadecimal key."""
    padder = padding.PKCS7(128).padder()
    data = padder.update(plaintext.encode("utf-8", "surrogatepass")) + padder.finalize()
    encryptor = Cipher(algorithms.AES(bytes.fromhex(key_n)), modes.CBC(ZERO_IV)).encryptor()
    return base64.b64encode(encryptor.update(data) + encryptor.finalize()).decode("ascii")


def py_decrypt(ciphertext: str, key_n: str) -> str:
    decryptor = Cipher(algorithms.AES(bytes.fromhex(key_n)), modes.CBC(ZERO_IV)).decryptor()
    padded = decryptor.update(base64.b64decode(ciphertext)) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return (unpadder.update(padded) + unpadder.finalize()).decode("utf-8", "surrogatepass")
