"""The first encryption layer against the cryptography package and the NIST AES-256 vectors."""

from __future__ import annotations

import base64
import hashlib
import logging
import pathlib
import random

import pytest

from zeq.domain.crypto_layer import per_info_key as pik
from zeq_reference import (
    decrypt_bytes as reference_decrypt,
    encrypt_blocks,
    encrypt_bytes as reference_encrypt,
    text_cipher_key,
)

VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors" / "aes256_kat.txt"
KEY = hashlib.sha256(b"per-info key of the tests").hexdigest()
ENC_PREFIX = "AES_KYE_N 加密失败: "
DEC_PREFIX = "AES_KYE_N decrypt failed: "
DAMAGED = "wrong key or damaged ciphertext"


def random_text(rng: random.Random, length: int) -> str:
    pools = [(0x20, 0x7E), (0x80, 0x7FF), (0x4E00, 0x9FFF), (0x1F300, 0x1FAFF), (0xD800, 0xDFFF), (0, 0x1F)]
    out = []
    for _ in range(length):
        low, high = rng.choice(pools)
        out.append(chr(rng.randint(low, high)))
    return "".join(out)


def kat_vectors():
    for line in VECTORS.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        key, plain, cipher = line.split()
        try:
            text = bytes.fromhex(plain).decode("utf-8")
        except UnicodeDecodeError:
            continue  # only plaintexts that are texts can reach the layer
        yield pytest.param(key, text, cipher, id=f"{key[:8]}-{plain[:8]}")


# ---------------------------------------------------------------- agreement with references


@pytest.mark.parametrize("seed", range(12))
def test_agrees_with_cryptography_on_random_texts(seed):
    rng = random.Random(seed)
    text = random_text(rng, rng.choice([0, 1, 5, 15, 16, 17, 31, 32, 100, 1000, 70_000]))
    key = bytes(rng.getrandbits(8) for _ in range(32))
    data = text.encode("utf-8", "surrogatepass")

    ciphertext = pik.encrypt_with_per_info_key(text, key.hex())

    assert ciphertext == reference_encrypt(data, key)
    assert pik.decrypt_with_per_info_key(ciphertext, key.hex()) == text
    assert pik.generate_info_hash_cipher(text) == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("key, text, expected_block", list(kat_vectors()))
def test_nist_known_answers(key, text, expected_block):
    # One 16-byte block with PKCS#7 gives two cipher blocks; with the zero IV the
    # first is AES(key, plaintext) itself.
    cipher = base64.b64decode(pik.encrypt_with_per_info_key(text, key))
    assert len(cipher) == 32
    assert cipher[:16].hex() == expected_block


def test_kat_file_holds_text_vectors():
    assert len(list(kat_vectors())) >= 10


def test_vectors_are_read_from_the_repository():
    # the suite must collect and pass on any checkout, so its data lives under tests/
    assert VECTORS.is_relative_to(pathlib.Path(__file__).resolve().parents[1])


@pytest.mark.parametrize(
    "text, size", [("a" * 15, 24), ("a" * 16, 44), ("中" * 5, 24), ("中" * 5 + "a", 44), ("", 24), ("\ud800" * 5, 24)]
)
def test_ciphertext_length(text, size):
    ciphertext = pik.encrypt_with_per_info_key(text, KEY)
    assert len(ciphertext) == size
    assert pik.decrypt_with_per_info_key(ciphertext, KEY) == text


def test_empty_plaintext():
    key = pik.generate_info_hash_cipher("")
    assert key == hashlib.sha256(b"").hexdigest()
    ciphertext, key_n = pik.encrypt_info("")
    assert key_n == key and len(ciphertext) == 24 and ciphertext.endswith("==")
    assert pik.decrypt_info(ciphertext, key_n) == ""


@pytest.mark.parametrize(
    "text", ["\ud800", "a\udfffb", "\ud83d\ude00", "\udc00\ud800", "x" * 40 + "\udbff", "😀 中文 \x00 end"]
)
def test_round_trip_including_lone_surrogates(text):
    ciphertext, key_n = pik.encrypt_info(text)
    assert pik.decrypt_info(ciphertext, key_n) == text
    assert pik.decrypt_with_per_info_key(ciphertext, key_n) == text


def test_deterministic():
    assert pik.encrypt_info("phone 138") == pik.encrypt_info("phone 138")


# ---------------------------------------------------------------- keys


def test_uppercase_key_same_as_lowercase():
    assert pik.encrypt_with_per_info_key("abc", KEY.upper()) == pik.encrypt_with_per_info_key("abc", KEY)


def test_whitespace_between_pairs_selects_shorter_keys():
    # 32 hexadecimal digits and 32 blanks: 64 characters standing for a 16-byte key.
    key16 = bytes(range(16))
    spaced = " ".join(f"{b:02x}" for b in key16) + " " * 17
    assert len(spaced) == 64
    ciphertext = pik.encrypt_with_per_info_key("text", spaced)
    assert ciphertext == reference_encrypt(b"text", key16)
    assert pik.decrypt_with_per_info_key(ciphertext, spaced) == "text"


@pytest.mark.parametrize("key_n", ["a" * 63, "a" * 65, "", "中" * 63])
def test_key_length_message(key_n):
    with pytest.raises(pik.PerInfoKeyError) as enc:
        pik.encrypt_with_per_info_key("x", key_n)
    assert str(enc.value) == ENC_PREFIX + "密钥长度必须是64位十六进制字符串"
    with pytest.raises(pik.PerInfoKeyError) as dec:
        pik.decrypt_with_per_info_key("AAAAAAAAAAAAAAAAAAAAAA==", key_n)
    assert str(dec.value) == DEC_PREFIX + "密钥长度必须是64位十六进制字符串"


@pytest.mark.parametrize("key_n", ["g" + "0" * 63, "0" * 63 + "中", "0 " + "0" * 62, " " * 64, "0" * 62 + "\t0"])
def test_bad_hex_keys_fail_through_the_guard(key_n):
    with pytest.raises(pik.PerInfoKeyError, match="^" + ENC_PREFIX) as enc:
        pik.encrypt_with_per_info_key("x", key_n)
    assert len(str(enc.value)) > len(ENC_PREFIX)
    with pytest.raises(pik.PerInfoKeyError, match="^" + DEC_PREFIX):
        pik.decrypt_with_per_info_key("AAAAAAAAAAAAAAAAAAAAAA==", key_n)


# ---------------------------------------------------------------- decryption failures


def raw_ciphertext(data: bytes, key_hex: str = KEY) -> str:
    return reference_encrypt(data, bytes.fromhex(key_hex))


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\xed\xa0\x80", "\ud800"),  # the three-byte surrogate form the layer writes
        (b"\xed\xbf\xbfz", "\udfffz"),
        (b"\xed\xa0\xbd\xed\xb8\x80", "\ud83d\ude00"),
        (b"\xf4\x8f\xbf\xbf", "\U0010ffff"),
    ],
)
def test_decrypts_surrogate_forms(data, expected):
    assert pik.decrypt_with_per_info_key(raw_ciphertext(data), KEY) == expected


@pytest.mark.parametrize(
    "data",
    [
        b"\xff",
        b"a\x80",
        b"\xc0\x80",
        b"\xe0\x80\x80",
        b"\xf0\x80\x80\x80",
        b"\xf4\x90\x80\x80",
        b"\xf8\x88\x80\x80\x80",
        b"\xed\xa0",
        b"\xe4\xb8",
        b"\xed\xa0\x00",
    ],
)
def test_rejects_invalid_utf8(data):
    # what the host's decoder refuses (surrogate forms aside) is refused, without saying where or why
    with pytest.raises(UnicodeDecodeError):
        data.decode("utf-8", "surrogatepass")
    with pytest.raises(pik.PerInfoKeyError) as error:
        pik.decrypt_with_per_info_key(raw_ciphertext(data), KEY)
    assert str(error.value) == DEC_PREFIX + DAMAGED


@pytest.mark.parametrize(
    "ciphertext", ["not base64!", "QUJD", "A", "AAAAAAAAAAAAAAAAAAAAAA=", "", "AAAAAAAAAAAAAAAAAAAAAA==é", "中文"]
)
def test_malformed_ciphertext(ciphertext):
    with pytest.raises(pik.PerInfoKeyError, match="^" + DEC_PREFIX):
        pik.decrypt_with_per_info_key(ciphertext, KEY)


def test_wrong_key_never_returns_the_plaintext():
    ciphertext = pik.encrypt_with_per_info_key("secret content", KEY)
    for i in range(20):
        other = hashlib.sha256(str(i).encode()).hexdigest()
        try:
            assert pik.decrypt_with_per_info_key(ciphertext, other) != "secret content"
        except pik.PerInfoKeyError as e:
            assert str(e).startswith(DEC_PREFIX)


# ---------------------------------------------------------------- one verdict for every opening operation
# With the all-zero IV and no MAC, an error that tells a bad padding from bytes
# that are not text is an oracle that gives the plaintext away. Forged ciphertexts
# of both kinds must look the same to the caller and in the logs.


def forged(blocks: bytes, aes_key: bytes) -> str:
    """Whole blocks encrypted without padding of their own: the forger picks what the last block holds."""
    return encrypt_blocks(blocks, aes_key)


BAD_PADDING = [
    b"a" * 15 + b"\x00",  # a padding byte of 0
    b"a" * 15 + b"\x11",  # 17: more than a block
    b"a" * 12 + b"\x05" * 4,  # claims five, holds four
    b"a" * 14 + b"\x01\x02",
    b"\x10" * 15 + b"\x0f" + b"a" * 15 + b"\x10",  # the block before looks like padding
]
BAD_TEXT = [  # each with a sound padding of one byte
    b"\xff" + b"a" * 14 + b"\x01",
    b"a" * 13 + b"\xe4\xb8\x01",  # a character cut short by the padding
    b"\xc0\x80" + b"a" * 13 + b"\x01",  # an overlong form
    b"\x80" * 31 + b"\x01",
]


def _seal_keys():
    from zeq.domain.crypto_layer.master_key_seal import _get_aes_key_3, get_aes_key_2

    aes_key_2 = get_aes_key_2("personal-key", "1733817600123456")
    return aes_key_2, text_cipher_key(_get_aes_key_3(aes_key_2))


def _openings():
    from zeq.domain.crypto_layer import access_derivation, master_key_seal

    per_info = bytes.fromhex(KEY)
    text_key = text_cipher_key("the key text")
    aes_key_2, sealed_key = _seal_keys()
    via_text_cipher = "AES decrypt failed: " + DEC_PREFIX + DAMAGED
    return {
        "decrypt_with_per_info_key": (
            lambda c: pik.decrypt_with_per_info_key(c, KEY),
            per_info,
            pik.PerInfoKeyError,
            DEC_PREFIX + DAMAGED,
            [],
        ),
        "decrypt_info": (lambda c: pik.decrypt_info(c, KEY), per_info, pik.PerInfoKeyError, DEC_PREFIX + DAMAGED, []),
        "decrypt_with_aes_key_4": (
            lambda c: pik.decrypt_with_aes_key_4(c, KEY),
            per_info,
            pik.PerInfoKeyError,
            DEC_PREFIX + DAMAGED,
            [],
        ),
        "aes_decrypt": (
            lambda c: access_derivation.aes_decrypt(c, "the key text"),
            text_key,
            access_derivation.CredentialGenerationError,
            via_text_cipher,
            [],
        ),
        "decrypt_root_key_data": (
            lambda c: master_key_seal.decrypt_root_key_data(c, aes_key_2),
            sealed_key,
            Exception,
            "Decryption failed: " + via_text_cipher,
            ["Root key decryption failed: " + via_text_cipher],
        ),
        "decrypt_weight_param": (
            lambda c: master_key_seal.decrypt_weight_param(c, aes_key_2),
            sealed_key,
            Exception,
            "Weight param decryption failed: " + via_text_cipher,
            ["Weight param decryption failed: " + via_text_cipher],
        ),
    }


@pytest.mark.parametrize(
    "name",
    [
        "decrypt_with_per_info_key",
        "decrypt_info",
        "decrypt_with_aes_key_4",
        "aes_decrypt",
        "decrypt_root_key_data",
        "decrypt_weight_param",
    ],
)
def test_bad_padding_and_bad_text_look_alike(name, caplog):
    opener, aes_key, error_type, message, log_lines = _openings()[name]
    outcomes = []
    for blocks in BAD_PADDING + BAD_TEXT:
        caplog.clear()
        with caplog.at_level(logging.DEBUG):
            with pytest.raises(Exception) as caught:
                opener(forged(b"b" * 16 + blocks, aes_key))
        records = [(r.name, r.levelno, r.getMessage(), r.exc_info) for r in caplog.records]
        outcomes.append((type(caught.value), str(caught.value), caught.value.args, records))
    first = outcomes[0]
    assert all(outcome == first for outcome in outcomes), name
    assert first[0] is error_type and first[1] == message
    assert [record[2] for record in first[3]] == log_lines
    # the control: a forgery of the same size with a sound padding and text opens
    opener(forged(b"b" * 16 + b"x|y|" + b"z" * 11 + b"\x01", aes_key))


def test_sound_forgery_still_opens_and_reaches_the_format_check():
    from zeq.domain.crypto_layer import master_key_seal

    aes_key_2, sealed_key = _seal_keys()
    assert master_key_seal.decrypt_root_key_data(forged(b"ab|cd|ef" + b"\x08" * 8, sealed_key), aes_key_2) == {
        "root_key": "ab",
        "migrate_key_hash": "cd",
        "device_signature": "ef",
    }
    assert master_key_seal.decrypt_weight_param(forged(b"a" * 15 + b"\x01", sealed_key), aes_key_2) == "a" * 15


def test_form_of_the_ciphertext_is_still_named():
    # Base64 and whole blocks depend on the ciphertext alone, not on the key: they keep their messages
    for ciphertext, reason in [
        ("QUJD", "The length of the provided data is not a multiple of the block length."),
        ("A", "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4"),
        ("QQ", "Incorrect padding"),
    ]:
        with pytest.raises(pik.PerInfoKeyError) as error:
            pik.decrypt_with_per_info_key(ciphertext, KEY)
        assert str(error.value) == DEC_PREFIX + reason


def test_empty_ciphertext_is_damaged():
    with pytest.raises(pik.PerInfoKeyError) as error:
        pik.decrypt_with_per_info_key("====", KEY)
    assert str(error.value) == DEC_PREFIX + DAMAGED


def lenient_variants(rng: random.Random, text: str) -> str:
    """The Base64 text with junk between characters and anything after its padding."""
    out = []
    for ch in text:
        if rng.random() < 0.2:
            out.append(rng.choice(" \n\t!-_.*\x00\x7f"))
        out.append(ch)
    if text.endswith("=") and rng.random() < 0.5:
        out.append(rng.choice(["=", "AAAA", "garbage!!", "==QUJD"]))
    return "".join(out)


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("length", [40, 400], ids=["short", "long"])  # long: the vector decoder's texts
def test_lenient_base64_agrees_with_the_host_decoder(seed, length):
    rng = random.Random(seed)
    text = random_text(rng, rng.randint(0, length))
    ciphertext = lenient_variants(rng, pik.encrypt_with_per_info_key(text, KEY))
    if rng.random() < 0.5:  # damage it: drop, add or change one character
        pos = rng.randrange(len(ciphertext) + 1)
        ciphertext = ciphertext[:pos] + rng.choice(["", "A", "=", "+/"]) + ciphertext[pos + 1 :]
    try:
        expected = reference_decrypt(ciphertext, bytes.fromhex(KEY)).decode("utf-8", "surrogatepass")
    except Exception:
        with pytest.raises(pik.PerInfoKeyError, match="^" + DEC_PREFIX):
            pik.decrypt_with_per_info_key(ciphertext, KEY)
    else:
        assert pik.decrypt_with_per_info_key(ciphertext, KEY) == expected


# ---------------------------------------------------------------- one-time keys and forwarding


def test_aes_key_4():
    keys = {pik.generate_aes_key_4() for _ in range(8)}
    assert len(keys) == 8
    assert all(len(k) == 64 and k == k.lower() and bytes.fromhex(k) for k in keys)


@pytest.mark.parametrize("args", [(), (None,), ("",)])
def test_encrypt_with_aes_key_4_draws_a_key(args):
    ciphertext, key = pik.encrypt_with_aes_key_4("hello", *args)
    assert len(key) == 64
    assert pik.decrypt_with_aes_key_4(ciphertext, key) == "hello"


def test_encrypt_with_aes_key_4_uses_the_given_key():
    assert pik.encrypt_with_aes_key_4("hello", KEY) == (pik.encrypt_with_per_info_key("hello", KEY), KEY)
    with pytest.raises(pik.PerInfoKeyError, match="^" + ENC_PREFIX):
        pik.encrypt_with_aes_key_4("hello", "short")


def test_convenience_operations_call_by_name(monkeypatch):
    calls = []
    real_encrypt = pik.encrypt_with_per_info_key
    monkeypatch.setattr(pik, "generate_info_hash_cipher", lambda p: KEY)
    monkeypatch.setattr(
        pik, "encrypt_with_per_info_key", lambda p, k: calls.append(("enc", p, k)) or real_encrypt(p, k)
    )
    monkeypatch.setattr(pik, "decrypt_with_per_info_key", lambda c, k: calls.append(("dec", c, k)) or "replaced")
    monkeypatch.setattr(pik, "generate_aes_key_4", lambda: "K" * 64)
    ciphertext, key = pik.encrypt_info("x")
    assert key == KEY and ciphertext == real_encrypt("x", KEY)
    assert pik.decrypt_info("c", "k") == "replaced"
    assert pik.decrypt_with_aes_key_4("c2", "k2") == "replaced"
    with pytest.raises(pik.PerInfoKeyError):
        pik.encrypt_with_aes_key_4("y")  # the replaced key generator's key is not hexadecimal
    assert calls == [("enc", "x", KEY), ("dec", "c", "k"), ("dec", "c2", "k2"), ("enc", "y", "K" * 64)]


class Text(str):
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda: pik.encrypt_with_per_info_key(b"x", KEY),
        lambda: pik.encrypt_with_per_info_key("x", None),
        lambda: pik.encrypt_with_per_info_key(Text("x"), KEY),
        lambda: pik.decrypt_with_per_info_key(None, KEY),
        lambda: pik.generate_info_hash_cipher(1),
        lambda: pik.encrypt_info(None),
        lambda: pik.encrypt_with_aes_key_4("x", 5),
        lambda: pik.decrypt_with_aes_key_4("x"),
    ],
)
def test_type_errors(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------- large inputs


def test_large_text_releases_the_gil(counter_thread):
    unit = "0123456789abcdef中文"  # 22 UTF-8 bytes
    big = unit * (16 * 1024 * 1024 // 22 + 1) + "\ud800"
    small = "small text"

    before = counter_thread["count"]
    pik.encrypt_with_per_info_key(small, KEY)
    assert counter_thread["count"] == before  # the harness sees a call that keeps the GIL

    before = counter_thread["count"]
    ciphertext = pik.encrypt_with_per_info_key(big, KEY)
    during_encrypt = counter_thread["count"] - before

    before = counter_thread["count"]
    plain = pik.decrypt_with_per_info_key(ciphertext, KEY)
    during_decrypt = counter_thread["count"] - before

    assert during_encrypt > 0 and during_decrypt > 0
    assert plain == big, "16 MiB round trip differs"


def test_utf8_verdicts_match_the_host_decoder_on_random_bytes():
    rng = random.Random(7)
    alphabet = [0x41, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xDF, 0xE0, 0xE4, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF]
    for _ in range(400):
        data = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 6)))
        ciphertext = raw_ciphertext(data)
        try:
            expected = data.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            with pytest.raises(pik.PerInfoKeyError) as error:
                pik.decrypt_with_per_info_key(ciphertext, KEY)
            assert str(error.value) == DEC_PREFIX + DAMAGED, data
        else:
            assert pik.decrypt_with_per_info_key(ciphertext, KEY) == expected, data


@pytest.mark.parametrize(
    "unit",
    [
        "plain ASCII text ",
        "café, naïve, ÿ ",  # every character below U+0100: a one-byte str
        "中文字符串 mixed ",  # two-byte str
        "astral \U0001f600 and \U0010ffff ",  # four-byte str
        "lone \ud800 and \udfff surrogates ",  # two-byte str holding surrogates
        "\ud83d\ude00 a pair of lone surrogates, é ",
    ],
    ids=["ascii", "latin-1", "bmp", "astral", "surrogates", "surrogate-pair"],
)
@pytest.mark.parametrize("count", [1, 30, 5000], ids=["stack", "heap", "large"])
def test_decrypted_text_is_the_host_decoders_str(unit, count):
    # small, heap and large (GIL released) plaintexts of every str width come back
    # as the very str the host's decoder makes of their bytes
    text = unit * count
    data = text.encode("utf-8", "surrogatepass")
    plain = pik.decrypt_with_per_info_key(raw_ciphertext(data), KEY)
    assert plain == data.decode("utf-8", "surrogatepass") == text
    assert len(plain) == len(text)
    assert plain.encode("utf-8", "surrogatepass") == data


def test_utf8_verdicts_match_the_host_decoder_on_long_random_bytes():
    # the faults of the large path: anywhere in a long plaintext
    rng = random.Random(11)
    alphabet = [0x41, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xC3, 0xC4, 0xDF, 0xE0, 0xE4, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF]
    prefixes = [b"a" * 700, "é中".encode() * 150, "\U0001f600".encode() * 200]
    for _ in range(150):
        tail = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 8)))
        prefix = rng.choice(prefixes)
        cut = rng.randrange(len(prefix) // 2)
        data = prefix[:cut] + tail + prefix[cut:]
        try:
            expected = data.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            with pytest.raises(pik.PerInfoKeyError) as error:
                pik.decrypt_with_per_info_key(raw_ciphertext(data), KEY)
            assert str(error.value) == DEC_PREFIX + DAMAGED, data
        else:
            assert pik.decrypt_with_per_info_key(raw_ciphertext(data), KEY) == expected, data
