"""Derived, query and migration credentials, and the text cipher, against hashlib and cryptography."""

from __future__ import annotations

import hashlib
import random

import pytest

from zeq.domain.crypto_layer import access_derivation as ad, per_info_key
from zeq_reference import aes_encrypt as reference_aes_encrypt

Err = ad.CredentialGenerationError
SALTS = {f"salt{i}": d for i, d in zip(range(1, 11), [2, 3, 7, 4, 5, 1, 9, 8, 6, 2], strict=True)}


def digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def windows(hashed_text: str, account_start: int, tail1: int, password_start: int, tail2: int):
    h = digest(hashed_text)
    return h[account_start : account_start + 5] + h[-tail1:], h[password_start : password_start + 7] + h[-tail2:]


def salts(**values):
    out = dict(SALTS)
    out.update(values)
    return out


# ---------------------------------------------------------------- stored and query credentials

# (weight, salts, hashed text, account start, password start): the hashed text and the
# window starts written out by hand from the weight digits.
DERIVED = [
    pytest.param(
        1000,
        salts(salt1=2, salt2=6, salt4=3, salt5=1),
        "phone" + "env" + "phone",
        0,
        0,
        id="weight 1000 drops agent_name",
    ),
    pytest.param(
        123456789,
        salts(salt1=2, salt2=3, salt4=4, salt5=5),
        "phone" * 9 + "env" * 3 + "agent" * 2 + "phone",
        3,
        4,
        id="nine digits",
    ),
    pytest.param(
        1034567891,
        salts(salt1=9, salt2=9, salt4=2, salt5=9),
        "phone" * 9 + "env" * 9 + "agent" * 9 + "phone",
        0,
        8,
        id="digit 0 at salt4 starts at 0",
    ),
    pytest.param(
        1733817600123456,
        salts(salt1=1, salt2=7, salt4=9, salt5=8),
        "env" * 7 + "agent" * 1 + "phone",
        0,
        5,
        id="ninth digit 0 drops the first info_type",
    ),
]


@pytest.mark.parametrize("weight, salt_set, hashed, account_start, password_start", DERIVED)
def test_derived_credentials(weight, salt_set, hashed, account_start, password_start):
    expected = windows(hashed, account_start, salt_set["salt1"], password_start, salt_set["salt2"])
    assert ad.generate_derived_credentials("phone", "agent", "env", weight, salt_set) == expected


@pytest.mark.parametrize(
    "env",
    [pytest.param("e" * n, id=f"{60 + 3 * n} bytes hashed") for n in range(319, 324)]
    + [pytest.param("环境\udcff" * 40_000, id="non-ASCII, a megabyte hashed")],
)
def test_derived_credentials_of_long_fields(env):
    """Inputs about the size the layer puts together in place, and far beyond it."""
    salt_set = salts(salt1=2, salt2=3, salt4=4, salt5=5)
    expected = windows("phone" * 9 + env * 3 + "agent" * 2 + "phone", 3, 2, 4, 3)
    assert ad.generate_derived_credentials("phone", "agent", env, 123456789, salt_set) == expected


def test_derived_lengths_with_salts_nine():
    account, password = ad.generate_derived_credentials("t", "a", "e", 123456789, salts(salt1=9, salt2=9))
    assert (len(account), len(password)) == (14, 16)


# (weight, salts, hashed text, account start, password start, tail1, tail2)
QUERY = [
    pytest.param(
        123456789,
        salts(salt4=4, salt5=5),
        "phone" * 9 + "disk" * 7 + "agent" * 7 + "phone",
        3,
        4,
        2,
        3,
        id="nine digits",
    ),
    pytest.param(
        1000, salts(salt5=10), "phone" + "disk" + "agent" + "phone", 0, 0, 2, 3, id="salt5 10 beyond the weight gives 1"
    ),
    pytest.param(
        123456789,
        salts(salt1=0),
        "phone" * 9 + "disk" * 7 + "agent" * 7 + "phone",
        3,
        4,
        0,
        3,
        id="salt1 0 takes the whole digest",
    ),
    pytest.param(
        123456789,
        salts(salt4=0, salt5=-1),
        "phone" * 9 + "disk" * 7 + "agent" * 7 + "phone",
        8,
        7,
        2,
        3,
        id="positions 0 and -1 count from the right",
    ),
    pytest.param(
        1733817600123456,
        salts(salt2=12, salt4=10**30),
        "disk" * 7 + "agent" * 7 + "phone",
        0,
        7,
        2,
        12,
        id="salts beyond 64 bits",
    ),
]


@pytest.mark.parametrize("weight, salt_set, hashed, account_start, password_start, tail1, tail2", QUERY)
def test_query_credentials(weight, salt_set, hashed, account_start, password_start, tail1, tail2):
    expected = windows(hashed, account_start, tail1, password_start, tail2)
    assert ad.generate_query_credentials("phone", "agent", "disk", weight, salt_set) == expected


def test_query_salt1_zero_gives_69_characters():
    account, _ = ad.generate_query_credentials("phone", "agent", "disk", 123456789, salts(salt1=0))
    assert len(account) == 69


def test_query_equals_stored_when_the_digits_agree():
    # digits at positions salt2 (7) and salt1 (7) equal the one at position 7
    s = salts(salt1=7, salt2=7)
    assert ad.generate_query_credentials("t", "a", "X", 123456789, s) == ad.generate_derived_credentials(
        "t", "a", "X", 123456789, s
    )


@pytest.mark.parametrize("salt_value, used", [(3.7, 3), (True, 1), (9.99, 9)])
def test_salt_numbers_are_truncated(salt_value, used):
    assert ad.generate_derived_credentials(
        "t", "a", "e", 123456789, salts(salt1=salt_value)
    ) == ad.generate_derived_credentials("t", "a", "e", 123456789, salts(salt1=used))


def test_weight_is_truncated():
    assert ad.generate_derived_credentials("t", "a", "e", 123456789.9, SALTS) == ad.generate_derived_credentials(
        "t", "a", "e", 123456789, SALTS
    )


@pytest.mark.parametrize("fn", [ad.generate_derived_credentials, ad.generate_query_credentials])
@pytest.mark.parametrize("bad", ["3", b"3", [3]])
def test_salt_that_is_not_a_number_is_a_type_error(fn, bad):
    with pytest.raises(TypeError):
        fn("t", "a", "e", 123456789, salts(salt2=bad))


def test_none_salt():
    with pytest.raises(TypeError):
        ad.generate_derived_credentials("t", "a", "e", 123456789, salts(salt4=None))
    with pytest.raises(Err, match="^查询凭证生成失败: "):
        ad.generate_query_credentials("t", "a", "e", 123456789, salts(salt4=None))


STORED_CHECKS = [
    (("", "a", "e", 1, SALTS), "信息类型、Agent名称和初始环境密文不能为空"),
    (("t", "", "e", 1, SALTS), "信息类型、Agent名称和初始环境密文不能为空"),
    (("t", "a", "", 0, {}), "信息类型、Agent名称和初始环境密文不能为空"),
    (("t", "a", "e", 0, SALTS), "权重参数必须是正整数"),
    (("t", "a", "e", -5, SALTS), "权重参数必须是正整数"),
    (("t", "a", "e", 0.5, {}), "权重参数必须是正整数"),
    (("t", "a", "e", 1, {"salt1": 1, "salt5": 1}), "动态盐不完整，缺少salt2"),
    (("t", "a", "e", 1, {"salt1": 1, "salt2": 1, "salt5": 1}), "动态盐不完整，缺少salt4"),
    (("t", "a", "e", 1, salts(salt5=10)), "动态盐值必须在1-9之间"),
    (("t", "a", "e", 1, salts(salt1=0, salt2=None)), "动态盐值必须在1-9之间"),
]


@pytest.mark.parametrize("args, message", STORED_CHECKS)
def test_stored_checks(args, message):
    with pytest.raises(Err) as e:
        ad.generate_derived_credentials(*args)
    assert str(e.value) == message


def test_query_checks():
    with pytest.raises(Err, match="^信息类型、Agent名称和硬盘ID不能为空$"):
        ad.generate_query_credentials("t", "a", "", 1, SALTS)
    with pytest.raises(Err, match="^动态盐不完整，缺少salt1$"):
        ad.generate_query_credentials("t", "a", "d", 1, {})
    with pytest.raises(Err, match="^查询凭证生成失败: string index out of range$"):
        ad.generate_query_credentials("t", "a", "d", 123456789, salts(salt4=-20))


class Text(str):
    pass


class Salts(dict):
    pass


@pytest.mark.parametrize(
    "args",
    [
        (Text("t"), "a", "e", 1, SALTS),
        ("t", None, "e", 1, SALTS),
        ("t", "a", b"e", 1, SALTS),
        ("t", "a", "e", "1", SALTS),
        ("t", "a", "e", None, SALTS),
        ("t", "a", "e", 1, Salts(SALTS)),
        ("t", "a", "e", 1, None),
    ],
)
@pytest.mark.parametrize("fn", [ad.generate_derived_credentials, ad.generate_query_credentials])
def test_argument_types(fn, args):
    with pytest.raises(TypeError):
        fn(*args)


def test_verify():
    pair = ad.generate_derived_credentials("phone", "agent", "X", 123456789, SALTS)
    assert ad.verify_derived_credentials(*pair, "phone", "agent", "X", 123456789, SALTS)
    account, password = pair
    flipped = lambda s: s[:-1] + ("0" if s[-1] != "0" else "1")  # noqa: E731
    assert not ad.verify_derived_credentials(flipped(account), password, "phone", "agent", "X", 123456789, SALTS)
    assert not ad.verify_derived_credentials(account, flipped(password), "phone", "agent", "X", 123456789, SALTS)
    assert not ad.verify_derived_credentials(*pair, "", "agent", "X", 123456789, SALTS)
    assert not ad.verify_derived_credentials(*pair, "phone", "agent", "X", 123456789, salts(salt1="3"))
    assert not ad.verify_derived_credentials(*pair, "phone", "agent", "X", 123456789, salts(salt1=None))
    with pytest.raises(TypeError):
        ad.verify_derived_credentials(*pair, "phone", "agent", "X", 123456789, None)


def test_verify_uses_the_module_function_by_name(monkeypatch):
    monkeypatch.setattr(ad, "generate_derived_credentials", lambda *args: ("acc", "pw"))
    assert ad.verify_derived_credentials("acc", "pw", "t", "a", "d", 1, {})


def variants(text):
    """(given, equal to text?) pairs: the text itself and texts that differ from it anywhere."""
    return [
        (text, True),
        (str(text), True),
        ("x" + text[1:], False),
        (text[:-1] + "x", False),
        (text[:-1], False),
        (text + "0", False),
        ("", False),
        ("é" + text[1:], False),
        (text[:-1] + "\udcff", False),
    ]


@pytest.mark.parametrize("part", [0, 1])
def test_verify_compares_each_credential_exactly(part):
    pair = ad.generate_derived_credentials("phone", "agent", "X", 123456789, SALTS)
    for given, equal in variants(pair[part]):
        args = list(pair)
        args[part] = given
        assert ad.verify_derived_credentials(*args, "phone", "agent", "X", 123456789, SALTS) is equal, given


@pytest.mark.parametrize("pair", [("账户é", "密码\udcff"), ("a\x00b", "")])
def test_verify_compares_non_ascii_credentials_exactly(monkeypatch, pair):
    monkeypatch.setattr(ad, "generate_derived_credentials", lambda *args: pair)
    assert ad.verify_derived_credentials(*pair, "t", "a", "d", 1, {}) is True
    account, password = pair
    assert ad.verify_derived_credentials(account + "\u0301", password, "t", "a", "d", 1, {}) is False
    assert ad.verify_derived_credentials(account, password + "x", "t", "a", "d", 1, {}) is False
    assert ad.verify_derived_credentials(account[:-1], password, "t", "a", "d", 1, {}) is False


# ---------------------------------------------------------------- migration credentials


@pytest.mark.parametrize(
    "salt_set, account_start, tail1, password_start, tail2",
    [
        ({"salt3": 5}, 0, 1, 0, 1),
        ({"salt4": 9, "salt1": 9, "salt5": 9, "salt2": 9}, 8, 9, 8, 9),
        ({"salt4": 0, "salt1": 0, "salt5": None, "salt2": 0.4}, 0, 1, 0, 1),
        ({"salt4": 3.9, "salt1": 12, "salt5": -2, "salt2": 2}, 2, 12, -3, 2),
    ],
)
def test_migration_credentials(salt_set, account_start, tail1, password_start, tail2):
    assert ad.generate_migration_credentials("migrate-key", salt_set) == windows(
        "migrate-key", account_start, tail1, password_start, tail2
    )


def test_migration_checks():
    with pytest.raises(Err, match="^迁移密钥不能为空$"):
        ad.generate_migration_credentials("", SALTS)
    with pytest.raises(Err, match="^动态盐不能为空$"):
        ad.generate_migration_credentials("k", {})
    with pytest.raises(Err, match="^迁移凭证生成失败: "):
        ad.generate_migration_credentials("k", {"salt5": "3"})
    with pytest.raises(TypeError):
        ad.generate_migration_credentials("k", [("salt1", 1)])


# ---------------------------------------------------------------- text cipher


@pytest.mark.parametrize("seed", range(8))
def test_text_cipher_agrees_with_cryptography(seed):
    rng = random.Random(seed)
    plaintext = "".join(
        chr(rng.choice([rng.randint(32, 126), rng.randint(0x4E00, 0x9FFF), rng.randint(0xD800, 0xDFFF)]))
        for _ in range(rng.randint(1, 300))
    )
    key = "".join(chr(rng.randint(32, 0x10FFFF)) for _ in range(rng.randint(1, 40)))
    ciphertext = ad.aes_encrypt(plaintext, key)
    assert ciphertext == reference_aes_encrypt(plaintext, key)
    assert ad.aes_decrypt(ciphertext, key) == plaintext


@pytest.mark.parametrize("plaintext, size", [("x" * 15, 24), ("x" * 16, 44), ("\ud800" * 5, 24), ("\udfff" * 6, 44)])
def test_text_cipher_lengths_and_round_trip(plaintext, size):
    ciphertext = ad.aes_encrypt(plaintext, "key \udc80")
    assert len(ciphertext) == size
    assert ad.aes_encrypt(plaintext, "key \udc80") == ciphertext
    assert ad.aes_decrypt(ciphertext, "key \udc80") == plaintext


def test_text_cipher_is_the_per_info_cipher_under_the_key_digest():
    assert ad.aes_encrypt("data", "k") == per_info_key.encrypt_with_per_info_key("data", digest("k"))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ad.aes_encrypt("", "k"), "明文和密钥不能为空"),
        (lambda: ad.aes_encrypt("p", ""), "明文和密钥不能为空"),
        (lambda: ad.aes_decrypt("", "k"), "密文和密钥不能为空"),
        (lambda: ad.aes_decrypt("c", ""), "密文和密钥不能为空"),
    ],
)
def test_text_cipher_empty_arguments(call, message):
    with pytest.raises(Err) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("ciphertext", ["not base64", "QUJD", "é" * 24])
def test_text_cipher_decrypt_failures(ciphertext):
    with pytest.raises(Err, match="^AES decrypt failed: AES_KYE_N decrypt failed: ."):
        ad.aes_decrypt(ciphertext, "k")


def test_text_cipher_wrong_key():
    ciphertext = ad.aes_encrypt("the root key data", "right")
    try:
        assert ad.aes_decrypt(ciphertext, "wrong") != "the root key data"
    except Err as e:
        assert str(e).startswith("AES decrypt failed: AES_KYE_N decrypt failed: ")


def test_text_cipher_looks_up_the_per_info_layer_at_each_call(monkeypatch):
    calls = []
    monkeypatch.setattr(per_info_key, "encrypt_with_per_info_key", lambda p, k: calls.append((p, k)) or "ENC")
    monkeypatch.setattr(per_info_key, "decrypt_with_per_info_key", lambda c, k: calls.append((c, k)) or "DEC")
    assert ad.aes_encrypt("plain", "key") == "ENC"
    assert ad.aes_decrypt("cipher", "key") == "DEC"
    assert calls == [("plain", digest("key")), ("cipher", digest("key"))]

    def fail(*args):
        raise ValueError("boom")

    monkeypatch.setattr(per_info_key, "encrypt_with_per_info_key", fail)
    monkeypatch.setattr(per_info_key, "decrypt_with_per_info_key", fail)
    with pytest.raises(Err, match="^AES加密失败: boom$"):
        ad.aes_encrypt("plain", "key")
    with pytest.raises(Err, match="^AES decrypt failed: boom$"):
        ad.aes_decrypt("cipher", "key")
    monkeypatch.delattr(per_info_key, "encrypt_with_per_info_key")
    with pytest.raises(Err, match="^AES加密失败: "):
        ad.aes_encrypt("plain", "key")


def test_text_cipher_argument_types():
    for call in (
        lambda: ad.aes_encrypt(b"p", "k"),
        lambda: ad.aes_encrypt("p", None),
        lambda: ad.aes_decrypt(Text("c"), "k"),
    ):
        with pytest.raises(TypeError):
            call()
