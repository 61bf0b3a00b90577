"""The version-1 storage record: typing, dictionary/JSON forms, validation, builder."""

from __future__ import annotations

import copy
import gc
import json
import pickle
import random
import re
import weakref

import pytest

from zeq.domain.crypto_layer.vault_entry import HEX_PATTERN, VaultEntry, VaultEntryBuilder

TEXT_FIELDS = ["info_type", "info_owner", "info_plaintext", "extract_account", "extract_password", "hardware_hash"]
FIELDS = TEXT_FIELDS + ["key_version"]
HEX = "0123456789abcdef" * 4


VALID_FIELDS = dict(
    info_type="phone",
    info_owner="u1",
    info_plaintext="138 0000 0000",
    extract_account=HEX,
    extract_password=HEX.upper(),
    hardware_hash=HEX[::-1],
)


def valid_entry(**overrides) -> VaultEntry:
    return VaultEntry(**{**VALID_FIELDS, **overrides})


def fields_of(entry: VaultEntry) -> dict:
    return {name: getattr(entry, name) for name in FIELDS}


# ---------------------------------------------------------------- construction and typing


def test_constructor_keeps_values_and_fields_stay_writable():
    entry = VaultEntry("", "", "", "", "", "")
    assert fields_of(entry) == dict.fromkeys(TEXT_FIELDS, "") | {"key_version": 1}
    entry.info_type = "email"
    entry.key_version = 2.9
    assert entry.info_type == "email"
    assert entry.key_version == 2 and type(entry.key_version) is int


@pytest.mark.parametrize("field", TEXT_FIELDS)
@pytest.mark.parametrize("bad", [None, 1, b"x"])
def test_text_field_of_wrong_type_is_named(field, bad):
    values = dict.fromkeys(TEXT_FIELDS, "x") | {field: bad}
    with pytest.raises(TypeError, match=field):
        VaultEntry(**values)
    with pytest.raises(TypeError, match=field):
        VaultEntry.from_dict({field: bad})
    entry = valid_entry()
    with pytest.raises(TypeError, match=field):
        setattr(entry, field, bad)
    assert getattr(entry, field) == getattr(valid_entry(), field)


def test_key_version_is_converted_before_the_texts_are_checked():
    with pytest.raises(TypeError, match="key_version"):
        VaultEntry(1, 2, 3, 4, 5, 6, key_version="1")


@pytest.mark.parametrize("value, expected", [(1.9, 1), (-1.9, -1), (True, 1), (False, 0), (10**30, 10**30)])
def test_key_version_numbers_truncate_toward_zero(value, expected):
    entry = VaultEntry.from_dict({"key_version": value})
    assert entry.key_version == expected and type(entry.key_version) is int


@pytest.mark.parametrize(
    "value, error", [("1", TypeError), (None, TypeError), (float("nan"), ValueError), (float("inf"), OverflowError)]
)
def test_key_version_refusals(value, error):
    with pytest.raises(error):
        VaultEntry.from_dict({"key_version": value})


def test_from_dict_defaults_and_ignores_extra_keys():
    empty = VaultEntry.from_dict({})
    assert fields_of(empty) == dict.fromkeys(TEXT_FIELDS, "") | {"key_version": 1}
    assert empty.validate() is False
    extra = VaultEntry.from_dict({"info_type": "phone", "unknown": object()})
    assert extra.info_type == "phone" and not hasattr(extra, "unknown")


@pytest.mark.parametrize("data", [[("info_type", "x")], None, "{}"])
def test_from_dict_refuses_non_dictionaries_naming_data(data):
    with pytest.raises(TypeError, match="data"):
        VaultEntry.from_dict(data)


# ---------------------------------------------------------------- dictionary and JSON forms


def test_to_dict_and_parts_keep_field_order():
    entry = valid_entry()
    assert list(entry.to_dict()) == FIELDS
    assert entry.to_dict() == fields_of(entry)
    assert list(entry.get_ciphertext_parts().items()) == [(k, getattr(entry, k)) for k in TEXT_FIELDS[3:]]
    assert list(entry.get_plaintext_parts().items()) == [(k, getattr(entry, k)) for k in TEXT_FIELDS[:3]]


def test_to_json_of_six_letters():
    entry = VaultEntry("a", "b", "c", "d", "e", "f")
    assert entry.to_json() == (
        '{"info_type": "a", "info_owner": "b", "info_plaintext": "c", "extract_account": "d", '
        '"extract_password": "e", "hardware_hash": "f", "key_version": 1}'
    )


TRICKY_TEXTS = [
    "电话号码",
    "张三的手机：１３８",
    '"quoted" \\back\\slash',
    "\b\f\n\r\t",
    "".join(chr(c) for c in range(0x20)),
    "\x7f\x80\u2028\u2029\ufeff",
    "emoji 😀 𝄞",
    "lone \ud800 surrogate",
    "</script>&<>'",
    "",
]


@pytest.mark.parametrize("text", TRICKY_TEXTS)
def test_to_json_matches_the_hosts_writer(text):
    entry = VaultEntry(text, text, text, HEX, text, text, key_version=-(10**25))
    assert entry.to_json() == json.dumps(entry.to_dict(), ensure_ascii=False)
    assert "\n" not in entry.to_json()


# Characters of every width a str may have, and the ones JSON escapes.
CHARACTER_POOLS = [
    [chr(c) for c in range(0x20, 0x7F)],  # ASCII
    [chr(c) for c in range(0x20)] + ['"', "\\", "\x7f"],  # escaped, and DEL which is not
    [chr(c) for c in range(0x80, 0x100)],  # Latin-1
    ["\u0100", "\u4e2d", "\u2028", "\ufeff", "\uffff", "\u0130"],  # the rest of the BMP
    ["\ud800", "\udbff", "\udc00", "\udfff"],  # lone surrogates
    ["\U00010000", "\U0001f600", "\U0010ffff"],  # beyond the BMP
]
# Lengths around the eight-character steps the checks take.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 200]


def generated_text(rng: random.Random) -> str:
    pools = rng.sample(CHARACTER_POOLS, rng.randint(1, 3))
    if rng.random() < 0.5:
        pools = [CHARACTER_POOLS[0]] + pools  # mostly plain text with a few others
    return "".join(rng.choice(rng.choice(pools)) for _ in range(rng.choice(LENGTHS)))


def test_to_json_matches_the_hosts_writer_over_generated_records():
    rng = random.Random(20261211)
    for _ in range(3000):
        texts = [generated_text(rng) for _ in TEXT_FIELDS]
        version = rng.choice([1, 0, -1, 2**63, -(2**64), rng.randint(-(10**30), 10**30)])
        json_text = VaultEntry(*texts, key_version=version).to_json()
        expected = json.dumps(dict(zip(FIELDS, [*texts, version], strict=True)), ensure_ascii=False)
        # str equality also holds the width: a str of a wider kind than its text needs equals no other
        assert json_text == expected, (texts, version)
        assert type(json_text) is str


@pytest.mark.parametrize("pool", range(len(CHARACTER_POOLS)))
def test_to_json_of_large_texts_matches_the_hosts_writer(pool):
    rng = random.Random(pool)
    large = "".join(rng.choice(CHARACTER_POOLS[pool] + CHARACTER_POOLS[0]) for _ in range(70_000))
    entry = VaultEntry(large, "o", large[::-1], HEX, HEX, large[: 1 << 16])
    assert entry.to_json() == json.dumps(entry.to_dict(), ensure_ascii=False)


def test_to_json_of_a_version_past_the_hosts_digit_limit_fails_as_the_hosts_writer():
    entry = valid_entry(key_version=10**5000)
    with pytest.raises(ValueError) as layer_error:
        entry.to_json()
    with pytest.raises(ValueError) as host_error:
        json.dumps(entry.to_dict(), ensure_ascii=False)
    assert str(layer_error.value) == str(host_error.value)


@pytest.mark.parametrize("text", [t for t in TRICKY_TEXTS if "\ud800" not in t])
def test_json_round_trip(text):
    entry = valid_entry(info_type=text, info_owner="用户一", info_plaintext=text)
    again = VaultEntry.from_json(entry.to_json())
    assert fields_of(again) == fields_of(entry)
    if any(ord(c) > 0x7F for c in text):
        assert text in entry.to_json()  # written as itself, not escaped


@pytest.mark.parametrize(
    "json_str, expected",
    [
        ('  {"info_type": "a", "info_type": "b"}\n', {"info_type": "b"}),
        ('{"key_version": 3.7}', {"key_version": 3}),
        ('{"key_version": 1e0}', {"key_version": 1}),
    ],
)
def test_from_json_uses_the_hosts_parser(json_str, expected):
    entry = VaultEntry.from_json(json_str)
    for name, value in expected.items():
        assert getattr(entry, name) == value


@pytest.mark.parametrize(
    "json_str, error, match",
    [
        ('{"key_version": NaN}', ValueError, None),
        ('{"key_version": -Infinity}', OverflowError, None),
        ('{"info_owner": NaN}', TypeError, "info_owner"),
        ('{"info_type": null}', TypeError, "info_type"),
        ("[1, 2]", TypeError, "data"),
        ('"text"', TypeError, "data"),
        ('{"info_type": "a",}', json.JSONDecodeError, None),
        ("", json.JSONDecodeError, None),
    ],
)
def test_from_json_failures(json_str, error, match):
    with pytest.raises(error, match=match):
        VaultEntry.from_json(json_str)


@pytest.mark.parametrize("bad", [b'{"info_type": "a"}', None, 1])
def test_from_json_wants_text(bad):
    with pytest.raises(TypeError, match="json_str"):
        VaultEntry.from_json(bad)


# ---------------------------------------------------------------- validation


@pytest.mark.parametrize(
    "overrides, expected",
    [
        ({}, True),
        ({"extract_account": HEX.upper()}, True),
        ({"hardware_hash": HEX + "\n"}, True),
        ({"extract_password": HEX[:63]}, False),
        ({"extract_password": HEX + "0"}, False),
        ({"extract_account": "g" + HEX[1:]}, False),
        ({"hardware_hash": HEX + "\n\n"}, False),
        ({"hardware_hash": HEX + "\r\n"}, False),
        ({"hardware_hash": HEX + " "}, False),
        ({"hardware_hash": "\n" + HEX}, False),
        ({"extract_account": "０" + HEX[1:]}, False),  # fullwidth digit
        ({"key_version": 2}, False),
        ({"key_version": 0}, False),
        *[({name: ""}, False) for name in TEXT_FIELDS],
    ],
)
def test_validate(overrides, expected):
    assert valid_entry(**overrides).validate() is expected


@pytest.mark.parametrize(
    "text",
    [HEX, HEX.upper(), HEX + "\n", HEX[:63], HEX + "\n\n", HEX + "x", "x" * 64, HEX[:63] + "\n", "٠" * 64, HEX + "\r"],
)
def test_validate_agrees_with_the_compiled_pattern(text):
    assert valid_entry(hardware_hash=text).validate() is (HEX_PATTERN.match(text) is not None)


def test_validate_agrees_with_the_plain_rules_over_generated_digests():
    rng = random.Random(64)
    for _ in range(3000):
        digests = []
        for _ in range(3):
            text = list(
                rng.choice([HEX, HEX.upper(), "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(64))])
            )
            for _ in range(rng.choice([0, 0, 1, 2])):  # a character of any width in place of a digit
                text[rng.randrange(64)] = rng.choice(rng.choice(CHARACTER_POOLS))
            cut = rng.choice([64, 64, 63, 65, 8, 0])
            digests.append("".join(text)[:cut] + rng.choice(["", "", "\n", "\n\n", "\r", "０"]))
        texts = ["t", "o", "p", *digests]
        expected = all(texts) and all(HEX_PATTERN.match(d) for d in digests)
        assert VaultEntry(*texts).validate() is expected, digests


@pytest.mark.parametrize(
    "version", [10**5000, -(10**5000), 2**64 + 1, -(2**64) + 1], ids=["huge", "-huge", "2**64+1", "-2**64+1"]
)
def test_validate_answers_false_for_any_size_of_version(version):
    # A plain record compares the version with 1; no size of int makes that fail.
    assert valid_entry(key_version=version).validate() is False


def test_hex_pattern_is_a_compiled_host_pattern():
    assert isinstance(HEX_PATTERN, re.Pattern)
    assert HEX_PATTERN.pattern == "^[0-9a-fA-F]{64}$"


# ---------------------------------------------------------------- printable form


def test_printable_form_hides_sensitive_fields():
    entry = valid_entry(info_plaintext="秘密内容")
    assert str(entry) == "VaultEntry(type=phone, owner=u1, version=1)"
    assert repr(entry) == str(entry)
    for secret in ("秘密内容", HEX, HEX.upper(), HEX[::-1]):
        assert secret not in str(entry)


# ---------------------------------------------------------------- subclasses


class TaggedEntry(VaultEntry):
    pass


class KeywordEntry(VaultEntry):
    """A subclass with its own constructor: the factories call it by name."""

    def __init__(
        self, *, info_type, info_owner, info_plaintext, extract_account, extract_password, hardware_hash, key_version=1
    ):
        super().__init__(
            info_type.upper(), info_owner, info_plaintext, extract_account, extract_password, hardware_hash, key_version
        )
        self.extra = "kept"


@pytest.mark.parametrize("cls", [TaggedEntry, KeywordEntry])
def test_factories_build_through_the_class_they_are_called_on(cls):
    from_dict = cls.from_dict({"info_type": "phone"})
    from_json = cls.from_json(valid_entry().to_json())
    for entry in (from_dict, from_json):
        assert type(entry) is cls
    if cls is KeywordEntry:
        assert from_dict.info_type == "PHONE" and from_dict.extra == "kept"


def test_subclass_to_dict_shapes_to_json():
    class Extended(VaultEntry):
        def to_dict(self):
            return super().to_dict() | {"note": "附注"}

    entry = Extended.from_dict({"info_type": "a"})
    assert entry.to_json() == json.dumps(entry.to_dict(), ensure_ascii=False)
    assert entry.to_json().endswith('"note": "附注"}')


# ---------------------------------------------------------------- builder


def test_new_builder_builds_the_empty_record():
    builder = VaultEntryBuilder()
    assert list(builder.data.items()) == [(k, "") for k in TEXT_FIELDS] + [("key_version", 1)]
    assert fields_of(builder.build()) == fields_of(VaultEntry.from_dict({}))


def test_builder_chains_overwrites_and_rebuilds():
    builder = VaultEntryBuilder()
    chained = (
        builder.with_info_type("x")
        .with_info_type("y")
        .with_info_owner("u1")
        .with_info_plaintext("p")
        .with_extract_account(HEX)
        .with_extract_password(HEX)
        .with_hardware_hash(HEX)
        .with_key_version(1.5)
    )
    assert chained is builder
    first = builder.build()
    assert first.info_type == "y" and first.key_version == 1 and first.validate()
    builder.with_info_type("z").with_key_version(2)
    second = builder.build()
    assert (first.info_type, second.info_type, second.key_version) == ("y", "z", 2)
    assert first is not second


@pytest.mark.parametrize(
    "setter, bad", [("with_info_type", 1), ("with_hardware_hash", None), ("with_key_version", "2")]
)
def test_failed_setter_leaves_data_unchanged(setter, bad):
    builder = VaultEntryBuilder().with_info_type("kept")
    before = dict(builder.data)
    with pytest.raises(TypeError, match=setter.removeprefix("with_")):
        getattr(builder, setter)(bad)
    assert builder.data == before


# ---------------------------------------------------------------- a plain object: attributes, pickle, copy

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def entry_of(cls):
    if cls is KeywordEntry:
        return cls(**VALID_FIELDS)
    return cls(*VALID_FIELDS.values())


def test_fields_live_in_the_instance_dictionary_in_field_order():
    entry = valid_entry()
    assert list(vars(entry)) == FIELDS
    assert vars(entry) == entry.to_dict()
    # a host that serialises __dict__ gets what the plain class gave it
    assert json.dumps(entry.__dict__, ensure_ascii=False) == entry.to_json()


def test_records_take_extra_attributes_and_weak_references():
    entry = valid_entry()
    entry.note = "备注"
    assert list(vars(entry)) == FIELDS + ["note"]
    assert entry.to_dict() == {name: getattr(entry, name) for name in FIELDS}
    ref = weakref.ref(entry)
    assert ref() is entry
    del entry
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", [VaultEntry, TaggedEntry, KeywordEntry])
def test_records_pickle_by_value(cls, protocol):
    entry = entry_of(cls)
    entry.note = "kept"
    loaded = pickle.loads(pickle.dumps(entry, protocol))
    assert type(loaded) is cls
    assert vars(loaded) == vars(entry)
    assert (loaded.to_json(), loaded.validate(), str(loaded)) == (entry.to_json(), True, str(entry))
    with pytest.raises(TypeError, match="info_type"):
        loaded.info_type = 1


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_pickled_record_holds_its_fields_and_nothing_more(protocol):
    entry = valid_entry()
    reconstruct, args, state, *rest = entry.__reduce_ex__(protocol)
    assert args == (VaultEntry,)
    assert state == entry.to_dict() and list(state) == FIELDS
    assert all(item is None for item in rest)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("cls", [VaultEntry, TaggedEntry, KeywordEntry])
def test_copies_are_independent_records(cls, copier):
    entry = entry_of(cls)
    entry.tags = ["a"]
    before = entry.to_dict()
    twin = copier(entry)
    assert type(twin) is cls and twin is not entry and vars(twin) == vars(entry)
    twin.info_type = "email"
    twin.key_version = 2
    assert entry.to_dict() == before
    twin.tags.append("b")
    assert entry.tags == (["a", "b"] if copier is copy.copy else ["a"])


def test_a_record_made_without_its_constructor_works_from_its_dictionary():
    # how pickle and copy make records, and how a pickle of the plain class loads
    entry = VaultEntry.__new__(VaultEntry)
    with pytest.raises(AttributeError, match="info_type"):
        entry.to_json()
    entry.__dict__.update(valid_entry().to_dict())
    assert entry.validate() and entry.to_json() == valid_entry().to_json()


def test_fields_changed_through_the_dictionary_are_checked_when_used():
    entry = valid_entry()
    entry.__dict__["info_owner"] = 7
    for method in (entry.to_json, entry.to_dict, entry.validate, entry.get_plaintext_parts, entry.__str__):
        with pytest.raises(TypeError, match="info_owner"):
            method()
    assert entry.get_ciphertext_parts() == {name: getattr(entry, name) for name in TEXT_FIELDS[3:]}
    del entry.__dict__["hardware_hash"]
    with pytest.raises(AttributeError, match="hardware_hash"):
        entry.hardware_hash  # noqa: B018 (the access is what raises)


def test_methods_refuse_other_objects_as_self():
    with pytest.raises(TypeError):
        VaultEntry.to_json(object())
    with pytest.raises(TypeError):
        VaultEntryBuilder.build(valid_entry())


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_builder_pickles_with_its_data(protocol):
    builder = VaultEntryBuilder().with_info_type("phone").with_key_version(3)
    reconstruct, args, state, *rest = builder.__reduce_ex__(protocol)
    assert state == {"data": builder.data}
    loaded = pickle.loads(pickle.dumps(builder, protocol))
    assert type(loaded) is VaultEntryBuilder and loaded.data == builder.data
    assert vars(loaded.with_info_owner("u1").build()) == vars(builder.with_info_owner("u1").build())


def test_builder_copies_as_a_plain_object():
    builder = VaultEntryBuilder().with_info_type("phone")
    shallow, deep = copy.copy(builder), copy.deepcopy(builder)
    assert shallow.data is builder.data  # a shallow copy shares the dictionary, as a plain object's does
    deep.with_info_type("email")
    assert (builder.build().info_type, deep.build().info_type) == ("phone", "email")
    builder.note = "x"
    assert weakref.ref(builder)() is builder and vars(builder) == {"data": builder.data, "note": "x"}


def test_builder_data_stays_a_dictionary():
    builder = VaultEntryBuilder()
    with pytest.raises(TypeError):
        builder.data = [("info_type", "x")]
    builder.__dict__["data"] = "not a dict"
    with pytest.raises(TypeError, match="data"):
        builder.with_info_type("x")
