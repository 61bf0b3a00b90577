"""Entry digest and virtual account/password, against hashlib over the hashed text written out by hand."""

from __future__ import annotations

import hashlib

import pytest

import host_repetition
import zeq.domain.crypto_layer as package
from zeq.domain.crypto_layer import entry_digest as ed

S = {
    "salt1": 1,
    "salt2": 2,
    "salt3": 3,
    "salt4": 4,
    "salt5": 5,
    "salt6": 6,
    "salt7": 7,
    "salt8": 8,
    "salt9": 9,
    "salt10": 2,
}
# salts per extension place: salt3 .. salt10, salt2, salt1, then salt3 again
CYCLE = [3, 4, 5, 6, 7, 8, 9, 2, 2, 1, 3]


def digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def with_salts(**values):
    out = dict(S)
    out.update(values)
    return out


ELEVEN = {f"k{i:02d}": f"v{i}" for i in range(11)}

CASES = [
    pytest.param(
        dict(diff_1="d1", diff_2="d2", diff_3="d3", weight_param=1000),
        "t" + "env" * 2 + "o" + "d1" * 3 + "d2" * 4 + "d3" * 5,
        id="all fixed fields",
    ),
    pytest.param(dict(weight_param=123456789), "t" * 9 + "env" * 2 + "o", id="ninth digit 9"),
    pytest.param(dict(weight_param=123456780), "t" + "env" * 2 + "o", id="ninth digit 0 counts as 1"),
    pytest.param(dict(weight_param=-12345678), "t" * 8 + "env" * 2 + "o", id="negative weight"),
    pytest.param(dict(weight_param=1000, salts=with_salts(salt2=0)), "t" + "o", id="salt2 0 drops the cipher"),
    pytest.param(dict(weight_param=1000, salts={"salt9": 9}), "t" + "env" + "o", id="missing salts count as 1"),
    pytest.param(
        dict(weight_param=1000, diff_1="", diff_2=None, diff_3="d3"),
        "t" + "env" * 2 + "o" + "d3" * 5,
        id="empty and absent distinguishing fields",
    ),
    pytest.param(
        dict(weight_param=1000, ext_fields={"b": "B", "a": "A", "c": "C"}),
        "t" + "env" * 2 + "o" + "A" * 3 + "B" * 4 + "C" * 5,
        id="extension fields in key order",
    ),
    pytest.param(
        dict(weight_param=1000, ext_fields={"b": "B", "a": "", "c": None}),
        "t" + "env" * 2 + "o" + "B" * 4,
        id="empty values use up their place",
    ),
    pytest.param(
        dict(weight_param=1000, ext_fields=ELEVEN),
        "t" + "env" * 2 + "o" + "".join(f"v{i}" * CYCLE[i] for i in range(11)),
        id="eleven fields cycle",
    ),
    pytest.param(
        dict(weight_param=1000, ext_fields=ELEVEN, salts={"salt3": 2}),
        "t" + "env" + "o" + "".join(f"v{i}" * (2 if i in (0, 10) else 1) for i in range(11)),
        id="cycle without salt6..salt10",
    ),
    pytest.param(
        dict(weight_param=1000, ext_fields={"é": "E", "z": "Z", "\ud800": "S"}),
        "t" + "env" * 2 + "o" + "Z" * 3 + "E" * 4 + "S" * 5,
        id="keys in code-point order",
    ),
    pytest.param(dict(weight_param=1000.9, salts=with_salts(salt2=2.9)), "t" + "env" * 2 + "o", id="numbers truncated"),
]


@pytest.mark.parametrize("kwargs, hashed", CASES)
def test_entry_digest(kwargs, hashed):
    kwargs.setdefault("salts", S)
    assert ed.generate_entry_digest("t", "o", environment_cipher="env", **kwargs) == digest(hashed)


def test_positional_arguments_and_equivalent_absences():
    full = ed.generate_entry_digest("t", "o", "d1", None, "", None, "env", 1000, S)
    assert full == ed.generate_entry_digest("t", "o", "d1", "", None, {}, "env", 1000, S)
    assert full == digest("t" + "env" * 2 + "o" + "d1" * 3)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(weight_param=1000, salts=S), "初始环境密文未初始化"),
        (dict(environment_cipher="", weight_param=1000, salts=S), "初始环境密文未初始化"),
        (dict(environment_cipher="env", salts=S), "权重参数或动态盐未初始化"),
        (dict(environment_cipher="env", weight_param=0, salts=S), "权重参数或动态盐未初始化"),
        (dict(environment_cipher="env", weight_param=0.7, salts=S), "权重参数或动态盐未初始化"),
        (dict(environment_cipher="env", weight_param=1000), "权重参数或动态盐未初始化"),
        (dict(environment_cipher="env", weight_param=1000, salts={}), "权重参数或动态盐未初始化"),
    ],
)
def test_checks(kwargs, message):
    with pytest.raises(ValueError) as e:
        ed.generate_entry_digest("t", "o", **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(salts=with_salts(salt2="2")),
        dict(salts=with_salts(salt2=None)),
        dict(salts=with_salts(salt3=None), diff_1="d"),
        dict(salts=with_salts(salt4=None), ext_fields={"a": "x", "b": "y"}),
        dict(salts=with_salts(salt3="3"), ext_fields={"a": ""}),
        dict(ext_fields={"a": 5}),
        dict(ext_fields={1: "x", "a": "y"}),
    ],
)
def test_type_errors_of_values(kwargs):
    kwargs.setdefault("salts", S)
    with pytest.raises(TypeError):
        ed.generate_entry_digest("t", "o", environment_cipher="env", weight_param=1000, **kwargs)


def test_none_salt_unused_is_harmless():
    assert ed.generate_entry_digest(
        "t", "o", environment_cipher="env", weight_param=1000, salts=with_salts(salt3=None)
    ) == digest("t" + "env" * 2 + "o")


class Text(str):
    pass


@pytest.mark.parametrize(
    "args",
    [
        (None, "o"),
        ("t", Text("o")),
        ("t", "o", 1),
        ("t", "o", None, None, None, []),
        ("t", "o", None, None, None, None, b"env"),
        ("t", "o", None, None, None, None, "env", "1000", S),
    ],
)
def test_argument_types(args):
    with pytest.raises(TypeError):
        ed.generate_entry_digest(*args)


def test_sha256_hash_is_taken_from_the_package_at_each_call(monkeypatch):
    monkeypatch.setattr(package, "sha256_hash", lambda text: "replaced:" + text)
    assert (
        ed.generate_entry_digest("t", "o", environment_cipher="env", weight_param=1000, salts=S)
        == "replaced:" + "t" + "env" * 2 + "o"
    )
    monkeypatch.delattr(package, "sha256_hash")
    with pytest.raises(AttributeError):  # looked up before the checks run
        ed.generate_entry_digest("t", "o")


DIGEST = digest("an entry")


@pytest.mark.parametrize(
    "salt_set, account, password",
    [
        ({}, DIGEST[1:6] + DIGEST[-1:], DIGEST[1:8] + DIGEST[-1:]),
        ({"salt4": 9, "salt1": 9}, DIGEST[9:14] + DIGEST[-9:], DIGEST[1:8] + DIGEST[-1:]),
        ({"salt4": 0, "salt5": 0, "salt1": 0, "salt2": 0}, DIGEST[1:6] + DIGEST[-1:], DIGEST[1:8] + DIGEST[-1:]),
        ({"salt4": 2.5, "salt5": 8, "salt1": 3, "salt2": 70}, DIGEST[2:7] + DIGEST[-3:], DIGEST[8:15] + DIGEST),
        ({"salt4": -3, "salt5": 10**40}, DIGEST[-3:2] + DIGEST[-1:], DIGEST[-1:]),
        ({"salt4": -8, "salt1": -60}, DIGEST[-8:-3] + DIGEST[60:], DIGEST[1:8] + DIGEST[-1:]),
    ],
)
def test_extract_account_password(salt_set, account, password):
    assert ed.extract_account_password(DIGEST, salt_set) == (account, password)


@pytest.mark.parametrize("args", [(DIGEST, {"salt4": None}), (DIGEST, {"salt2": "2"}), (None, {}), (DIGEST, None)])
def test_extract_account_password_type_errors(args):
    with pytest.raises(TypeError):
        ed.extract_account_password(*args)


# ---------------------------------------------------------------- counts the host cannot build


@pytest.mark.parametrize("text, count, error, message", host_repetition.params(pytest))
@pytest.mark.parametrize(
    "place",
    [
        lambda text, count: dict(environment_cipher=text, salts=with_salts(salt2=count)),
        lambda text, count: dict(diff_2=text, salts=with_salts(salt4=count)),
        lambda text, count: dict(ext_fields={"a": "x", "b": text}, salts=with_salts(salt4=count)),
    ],
    ids=["environment cipher", "distinguishing field", "extension field"],
)
def test_a_count_the_host_cannot_build_fails_as_the_host_fails(place, text, count, error, message):
    if error is not MemoryError:
        assert host_repetition.host_outcome(text, count) == (None if error is None else (error, message))
    kwargs = dict(environment_cipher="env", weight_param=1000) | place(text, count)
    if error is None:  # a count below zero: the part is left out, as with 0
        dropped = {k: (0 if v == count else v) for k, v in kwargs["salts"].items()}
        assert ed.generate_entry_digest("t", "o", **kwargs) == ed.generate_entry_digest(
            "t", "o", **dict(kwargs, salts=dropped)
        )
        return
    with pytest.raises(error) as raised:
        ed.generate_entry_digest("t", "o", **kwargs)
    if message is not None:
        assert str(raised.value) == message


def test_a_float_count_beyond_the_index_range_is_the_int_it_truncates_to():
    with pytest.raises(OverflowError, match=r"^cannot fit 'int' into an index-sized integer$"):
        ed.generate_entry_digest("t", "o", environment_cipher="env", weight_param=1000, salts=with_salts(salt2=2.0**70))
