"""SHA-256 core: published vectors, hashlib agreement, the empty-text rule, typing."""

from __future__ import annotations

import hashlib
import pathlib
import random

import pytest

import zeq.domain.crypto_layer as layer
from zeq.domain.crypto_layer import digest_base
from zeq.domain.crypto_layer.digest_base import HashingError, sha256_hash, sha256_hash_bytes, verify_sha256_hash

VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors" / "sha256.txt"


def fips_vectors() -> list[tuple[str, str]]:
    rows = []
    for line in VECTORS.read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        message, digest = line.split("\t")
        if message == "a x 1000000":
            message = "a" * 1_000_000
        rows.append((message, digest))
    return rows


@pytest.mark.parametrize(("message", "digest"), fips_vectors(), ids=lambda v: v[:12])
def test_fips_180_4_examples(message: str, digest: str) -> None:
    assert sha256_hash(message) == digest
    assert sha256_hash_bytes(message.encode()) == digest


def random_text(rng: random.Random) -> str:
    alphabet = "aZ09 \x00\n\t" + "中文éß😀" + "\ud800\udfff"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 200)))


def test_agrees_with_hashlib_on_random_texts() -> None:
    rng = random.Random(20261210)
    for _ in range(500):
        text = random_text(rng)
        expected = hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()
        assert sha256_hash(text) == expected
        assert sha256_hash_bytes(text.encode("utf-8", "surrogatepass")) == expected


def test_empty_input_hashes_to_empty_text() -> None:
    assert sha256_hash("") == ""
    assert sha256_hash_bytes(b"") == ""


def test_lone_surrogate_hashes_over_its_three_byte_form() -> None:
    assert sha256_hash("\ud800") == hashlib.sha256(b"\xed\xa0\x80").hexdigest()


def test_non_ascii_text_hashes_over_utf8() -> None:
    text = "个人密钥"
    assert sha256_hash(text) == sha256_hash_bytes(text.encode("utf-8"))


def test_large_input_matches_hashlib() -> None:
    data = bytes(range(256)) * 65536  # 16 MiB: hashed without the GIL
    assert sha256_hash_bytes(data) == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize(
    ("data", "expected", "result"),
    [
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", True),
        ("abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", False),
        ("abc", " ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", False),
        ("", "", False),
        ("abc", "", False),
        ("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", False),
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a", False),
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad0", False),
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae", False),
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aé", False),
        ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a\udcad", False),
    ],
)
def test_verify_sha256_hash(data: str, expected: str, result: bool) -> None:
    assert verify_sha256_hash(data, expected) is result


class Text(str):
    pass


@pytest.mark.parametrize(
    ("call", "args"),
    [
        (sha256_hash, (b"abc",)),
        (sha256_hash, (None,)),
        (sha256_hash, (Text("abc"),)),
        (sha256_hash, (123,)),
        (sha256_hash_bytes, ("abc",)),
        (sha256_hash_bytes, (None,)),
        (sha256_hash_bytes, (bytearray(b"abc"),)),
        (verify_sha256_hash, ("abc", None)),
        (verify_sha256_hash, (Text("abc"), "x")),
    ],
)
def test_wrong_types_are_type_errors(call, args) -> None:
    with pytest.raises(TypeError):
        call(*args)


def test_error_type_and_package_export() -> None:
    assert issubclass(HashingError, Exception) and HashingError.__bases__ == (Exception,)
    assert HashingError.__doc__
    assert layer.sha256_hash is digest_base.sha256_hash
