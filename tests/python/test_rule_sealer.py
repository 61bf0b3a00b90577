"""The rule sealer: state, caching, the credential derivation, encrypt and verify."""

from __future__ import annotations

import copy
import hashlib
import itertools
import os
import pathlib
import pickle
import re
import subprocess
import sys
import time
import uuid
import weakref

import pytest

import host_repetition
from zeq.core.crypto.hash_crypto import HashCrypto
from zeq.core.weight.user_weight import UserWeight
from zeq.domain.crypto_layer import rule_sealer
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.models import storage_model
from zeq.models.cognition_model import CognitionRule

SALTS = {f"salt{i}": v for i, v in enumerate([3, 5, 2, 4, 6, 7, 8, 9, 1, 2], start=1)}
SIGNATURE = "CPU_SERIAL_PLACEHOLDER|DISK_ID_PLACEHOLDER|BOARD_SERIAL_PLACEHOLDER"
DEFAULT_DIMENSIONS = 2017092208150036627
SALT_MESSAGE = "动态盐不能为空，请通过 root_key + weight_param 计算后传入"
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.fixture(autouse=True)
def weight_service():
    UserWeight.reset()
    yield UserWeight
    UserWeight.reset()


def serve(mapping):
    """Make the user-weight service hand out `mapping` (the same object each call)."""
    UserWeight.factory = lambda: mapping
    return mapping


def make_rule(**overrides) -> CognitionRule:
    values = dict(
        rule_id="rule-1",
        rule_type="phone",
        info_type="phone",
        info_owner="u1",
        content="138 0000 0000",
        diff1="d1",
        diff2="d2",
        diff3="d3",
        ext_fields={"ext1": "e1", "ext9": "e9", "ext30": "e30"},
    )
    values.update(overrides)
    return CognitionRule(**values)


def reference_credentials(rule, device_signature, weight_params):
    """The derivation restated step by step with hashlib."""
    pieces = device_signature.split("|")
    disk_id = pieces[1] if len(pieces) >= 2 else ""
    weight_str = str(weight_params.get("dimensions", DEFAULT_DIMENSIONS))
    salts = weight_params.get("salts", {})
    s = [salts.get(f"salt{i}", 1) for i in range(1, 11)]
    cycle = s[2:10] + [s[1], s[0]]
    repeat9 = int(weight_str[8]) if len(weight_str) > 8 else 1

    def present(v):
        return v is not None and v != "" and not (isinstance(v, (int, float)) and v == 0)

    parts = []
    if present(rule.rule_type):
        parts.append(rule.rule_type * repeat9)
    if present(disk_id):
        parts.append(disk_id * s[1])
    if present(rule.info_owner):
        parts.append(rule.info_owner)
    for value, count in ((rule.diff1, s[2]), (rule.diff2, s[3]), (rule.diff3, s[4])):
        if present(value):
            parts.append(value * count)
    for i in range(1, 31):
        value = rule.get_ext_field(i)
        if present(value):
            parts.append(value * cycle[(i - 1) % 10])
    digest = hashlib.sha256("".join(parts).encode()).hexdigest()
    d4 = (int(weight_str[s[3] - 1]) if len(weight_str) >= s[3] else 1) or 1
    d5 = (int(weight_str[s[4] - 1]) if len(weight_str) >= s[4] else 1) or 1
    return (digest[d4 - 1 : d4 + 4] + digest[-s[0] :], digest[d5 - 1 : d5 + 6] + digest[-s[1] :])


class RecordingHash(HashCrypto):
    """The hash service, remembering what it was asked to hash."""

    def __init__(self):
        self.inputs = []

    def hash(self, text):
        self.inputs.append(text)
        return super().hash(text)


# ---------------------------------------------------------------- construction and state


@pytest.mark.parametrize("salts", [None, {}])
def test_constructor_refuses_missing_salts(salts, weight_service):
    with pytest.raises(ValueError, match=re.escape(SALT_MESSAGE)):
        RuleSealer(salts)
    with pytest.raises(ValueError, match=re.escape(SALT_MESSAGE)):
        RuleSealer()


@pytest.mark.parametrize("salts", [[("salt1", 1)], "salts", 1])
def test_constructor_refuses_non_dictionaries(salts):
    with pytest.raises(TypeError, match="salts"):
        RuleSealer(salts)


def test_constructor_state_and_no_validation(weight_service):
    salts = {"anything": "goes"}
    sealer = RuleSealer(salts)
    assert isinstance(sealer.hash_crypto, HashCrypto)
    assert isinstance(sealer.user_weight, UserWeight)
    assert sealer._weight_params is None
    assert sealer._salts is salts
    assert weight_service.calls == 0


def test_host_components_are_the_hosts_modules():
    assert rule_sealer.VaultEntry is storage_model.VaultEntry
    assert rule_sealer.HashCrypto is HashCrypto
    assert rule_sealer.UserWeight is UserWeight
    assert rule_sealer.CognitionRule is CognitionRule


def test_weight_service_is_asked_once_per_sealer(weight_service):
    served = serve({"dimensions": 1733817600123456})
    sealer = RuleSealer(SALTS)
    record = sealer.encrypt(make_rule())
    assert sealer.verify(record, make_rule())
    assert sealer._get_weight_params() is served
    assert weight_service.calls == 1
    served["dimensions"] = 999999999999999999  # the cache is the service's object, never refreshed
    assert sealer._get_weight_params()["dimensions"] == 999999999999999999
    RuleSealer(SALTS)._get_weight_params()
    assert weight_service.calls == 2


def test_constructor_salts_fill_a_mapping_without_salts():
    served = serve({"dimensions": 1733817600123456})
    sealer = RuleSealer(SALTS)
    params = sealer._get_weight_params()
    assert params is served and params["salts"] is SALTS


def test_salts_in_the_weight_mapping_win():
    mapping_salts = {f"salt{i}": 9 for i in range(1, 11)}
    serve({"dimensions": 1733817600123456, "salts": mapping_salts})
    sealer = RuleSealer(SALTS)
    rule = make_rule()
    record = sealer.encrypt(rule)
    assert sealer._weight_params["salts"] is mapping_salts
    expected = reference_credentials(rule, SIGNATURE, {"dimensions": 1733817600123456, "salts": mapping_salts})
    assert (record.extract_account, record.extract_password) == expected
    assert len(record.extract_account) == 5 + 9 and len(record.extract_password) == 7 + 9


@pytest.mark.parametrize("served", [None, ["dimensions"], 5])
def test_weight_mapping_that_is_not_a_dictionary_fails(served):
    serve(served)
    with pytest.raises(TypeError):
        RuleSealer(SALTS).encrypt(make_rule())


# ---------------------------------------------------------------- encrypt and verify


def test_two_encrypts_differ_only_in_identity_and_time(monkeypatch):
    ticks = itertools.count(1_700_000_000.25, 1.5)
    monkeypatch.setattr(time, "time", lambda: next(ticks))
    serve({"dimensions": 1733817600123456, "version": "2.3"})
    sealer = RuleSealer(SALTS)
    rule = make_rule()
    first, second = sealer.encrypt(rule, "agent-7"), sealer.encrypt(rule)
    assert first.unit_id != second.unit_id
    for record in (first, second):
        assert UUID4.match(record.unit_id) and str(uuid.UUID(record.unit_id)) == record.unit_id
        assert record.updated_at == record.created_at
    assert (first.created_at, second.created_at) == (1_700_000_000.25, 1_700_000_001.75)
    assert [(r.extract_account, r.extract_password, r.hardware_hash) for r in (first, second)] == [
        (first.extract_account, first.extract_password, first.hardware_hash)
    ] * 2
    assert first.hardware_hash == hashlib.sha256(SIGNATURE.encode()).hexdigest()
    assert (first.extract_account, first.extract_password) == reference_credentials(
        rule, SIGNATURE, sealer._get_weight_params()
    )
    assert (first.agent_uuid, second.agent_uuid) == ("agent-7", "")
    assert first.version == "1.0"
    assert first.metadata == {"cognition_rule_id": "rule-1", "weight_version": "2.3"}
    assert (first.info_type, first.info_owner, first.content) == ("phone", "u1", "138 0000 0000")
    assert (first.diff1, first.diff2, first.diff3) == ("d1", "d2", "d3")
    assert first.ext_fields is rule.ext_fields
    assert sealer.verify(first, rule) and sealer.verify(second, rule)
    assert not sealer.verify(first, make_rule(diff2="changed"))


def test_defaults_for_dimensions_and_version():
    serve({})
    sealer = RuleSealer(SALTS)
    rule = make_rule()
    record = sealer.encrypt(rule)
    assert record.metadata["weight_version"] == "1.0"
    assert (record.extract_account, record.extract_password) == reference_credentials(
        rule, SIGNATURE, {"dimensions": DEFAULT_DIMENSIONS, "salts": SALTS}
    )
    # The default's ninth digit is 0: the rule type does not enter the hash.
    sealer.hash_crypto = RecordingHash()
    sealer.encrypt(rule)
    assert sealer.hash_crypto.inputs[-1].startswith("DISK_ID")


class Probe:
    """A stored record whose fields report when they are read."""

    def __init__(self, values):
        self.values = values
        self.read = []

    def __getattr__(self, name):
        self.read.append(name)
        return self.values[name]


@pytest.mark.parametrize(
    "differing, expected_reads",
    [
        ("extract_account", ["extract_account"]),
        ("extract_password", ["extract_account", "extract_password"]),
        ("hardware_hash", ["extract_account", "extract_password", "hardware_hash"]),
        (None, ["extract_account", "extract_password", "hardware_hash"]),
    ],
)
def test_verify_stops_at_the_first_difference(differing, expected_reads):
    serve({"dimensions": 1733817600123456})
    sealer = RuleSealer(SALTS)
    record = sealer.encrypt(make_rule())
    values = {k: getattr(record, k) for k in ("extract_account", "extract_password", "hardware_hash")}
    if differing:
        values[differing] = values[differing][:-1] + "!"
    probe = Probe(values)
    assert sealer.verify(probe, make_rule()) is (differing is None)
    assert probe.read == expected_reads


def test_subclass_step_changes_encrypt_and_verify():
    class OtherMachine(RuleSealer):
        def _collect_device_signature(self):
            return "cpu|OTHER_DISK|board"

    serve({"dimensions": 1733817600123456})
    rule = make_rule()
    base, other = RuleSealer(SALTS), OtherMachine(SALTS)
    record = other.encrypt(rule)
    assert record.hardware_hash == hashlib.sha256(b"cpu|OTHER_DISK|board").hexdigest()
    assert (record.extract_account, record.extract_password) == reference_credentials(
        rule, "cpu|OTHER_DISK|board", other._get_weight_params()
    )
    assert other.verify(record, rule)
    assert not base.verify(record, rule)
    assert base.verify(base.encrypt(rule), rule)


def test_derive_credentials_must_give_a_pair():
    class Broken(RuleSealer):
        def _derive_credentials(self, cognition_rule, device_signature, weight_params):
            return ("a", "b", "c")

    serve({})
    with pytest.raises(ValueError, match="unpack"):
        Broken(SALTS).encrypt(make_rule())


@pytest.mark.parametrize(
    "call, arg",
    [
        (lambda s: s.encrypt(make_rule(), None), "agent_uuid"),
        (lambda s: s._calculate_hardware_hash(b"sig"), "device_signature"),
        (lambda s: s._derive_credentials(make_rule(), None, {}), "device_signature"),
        (lambda s: s._derive_credentials(make_rule(), SIGNATURE, [("salts", {})]), "weight_params"),
    ],
)
def test_argument_types_are_named(call, arg):
    with pytest.raises(TypeError, match=arg):
        call(RuleSealer(SALTS))


# ---------------------------------------------------------------- the derivation


def hash_input(rule, weight_params, signature=SIGNATURE):
    sealer = RuleSealer(SALTS)
    sealer.hash_crypto = RecordingHash()
    sealer._derive_credentials(rule, signature, weight_params)
    return sealer.hash_crypto.inputs[-1]


def test_extension_cycle_over_thirty_fields():
    salts = {f"salt{i}": i % 10 for i in range(1, 11)}  # salt10 is 0: its fields vanish
    ext = {f"ext{i}": f"<{i}>" for i in range(1, 31)}
    rule = make_rule(rule_type="", diff1=None, diff2=None, diff3=None, info_owner="", ext_fields=ext)
    got = hash_input(rule, {"dimensions": 1, "salts": salts}, signature="cpu")
    cycle = [3, 4, 5, 6, 7, 8, 9, 0, 2, 1]
    assert got == "".join(f"<{i}>" * cycle[(i - 1) % 10] for i in range(1, 31))
    assert got.startswith("<1><1><1><2><2><2><2>") and got.endswith("<29><29><30>")


def test_absent_fields_contribute_nothing_and_owner_is_never_repeated():
    rule = make_rule(
        rule_type="",
        diff1="",
        diff2=None,
        diff3=0,
        info_owner="own",
        ext_fields={"ext1": "", "ext2": None, "ext3": 0, "ext4": "x"},
    )
    salts = {f"salt{i}": 3 for i in range(1, 11)}
    assert hash_input(rule, {"dimensions": 1, "salts": salts}) == "DISK_ID_PLACEHOLDER" * 3 + "own" + "x" * 3


@pytest.mark.parametrize(
    "dimensions, repeats",
    [
        (12345678, 1),
        ("1234567", 1),
        (123456789, 9),
        (1234567851234, 5),
        (DEFAULT_DIMENSIONS, 0),
    ],
)
def test_rule_type_repeats_by_the_ninth_weight_digit(dimensions, repeats):
    got = hash_input(
        make_rule(rule_type="T", info_owner="", diff1=None, diff2=None, diff3=None, ext_fields={}),
        {"dimensions": dimensions, "salts": {"salt2": 1}},
    )
    assert got == "T" * repeats + "DISK_ID_PLACEHOLDER"


class Count(int):
    """A count of the host's own int type: the host names it when it cannot take it."""


@pytest.mark.parametrize("text, count, error, message", host_repetition.params(pytest))
@pytest.mark.parametrize("where", ["disk id", "distinguishing field", "extension field"])
def test_a_count_the_host_cannot_build_fails_as_the_host_fails(where, text, count, error, message):
    rule = make_rule(rule_type="", info_owner="", diff1=None, diff2=None, diff3=None, ext_fields={})
    signature, salts = "cpu|", {}
    if where == "disk id":
        signature, salts = f"cpu|{text}|board", {"salt2": count}
    elif where == "distinguishing field":
        rule, salts = make_rule(diff1=text), {"salt3": count}  # salt3 only repeats
    else:
        rule, salts = make_rule(ext_fields={"ext4": text}), {"salt6": count}
    params = {"dimensions": 1, "salts": salts}
    sealer = RuleSealer(SALTS)
    if error is None:  # the part is left out, as with 0 (salt2 also sizes the password's tail)
        dropped = {"dimensions": 1, "salts": {k: 0 for k in salts}}
        assert (
            sealer._derive_credentials(rule, signature, params)[0]
            == sealer._derive_credentials(rule, signature, dropped)[0]
        )
        return
    with pytest.raises(error) as raised:
        sealer._derive_credentials(rule, signature, params)
    if message is not None:
        assert str(raised.value) == message
    if message == host_repetition.NOT_INDEX_SIZED:  # the count as handed over, as the host names its type
        with pytest.raises(OverflowError, match=r"^cannot fit 'Count' into an index-sized integer$"):
            sealer._derive_credentials(rule, signature, {"dimensions": 1, "salts": {k: Count(count) for k in salts}})


def test_ninth_digit_zero_drops_the_rule_type():
    params = {"dimensions": 1234567801234, "salts": SALTS}
    sealer = RuleSealer(SALTS)
    assert sealer._derive_credentials(make_rule(rule_type="A"), SIGNATURE, params) == sealer._derive_credentials(
        make_rule(rule_type="B"), SIGNATURE, params
    )


CASES = [
    # (dimensions, salts): weight digit 0 at salt4 -> account starts at 0; salt1 0 -> whole hash as tail
    (1203456789, {"salt4": 3, "salt5": 4}),
    (1733817600123456, {"salt1": 0, "salt2": 9}),
    (1733817600123456, {}),
    (98, {"salt4": 5, "salt5": 9}),  # weight text shorter than the positions: digit 1
    ("7", SALTS),
    (1733817600123456, {f"salt{i}": 9 for i in range(1, 11)}),
    (1733817600123456, {f"salt{i}": 1 for i in range(1, 11)}),
    (10**25 + 7, SALTS | {"salt4": 0}),  # position 0 reads the last digit
    (1733817600123456, SALTS | {"salt2": True}),
]


@pytest.mark.parametrize("dimensions, salts", CASES)
def test_derivation_matches_the_reference(dimensions, salts):
    params = {"dimensions": dimensions, "salts": salts}
    rule = make_rule(info_owner="张三", diff2="差异", ext_fields={f"ext{i}": f"值{i}" for i in range(1, 31, 4)})
    got = RuleSealer(SALTS)._derive_credentials(rule, SIGNATURE, params)
    assert got == reference_credentials(rule, SIGNATURE, params)


def test_weight_digit_zero_gives_account_start_zero():
    params = {"dimensions": 1203456789, "salts": {"salt1": 2, "salt4": 3}}
    rule = make_rule()
    digest = hashlib.sha256(hash_input(rule, params).encode()).hexdigest()
    account, _ = RuleSealer(SALTS)._derive_credentials(rule, SIGNATURE, params)
    assert account == digest[0:5] + digest[-2:]


def test_salt1_zero_takes_the_whole_hash_as_tail():
    params = {"dimensions": 1733817600123456, "salts": {"salt1": 0}}
    account, password = RuleSealer(SALTS)._derive_credentials(make_rule(), SIGNATURE, params)
    assert len(account) == 5 + 64 and len(password) == 7 + 1


class FixedHash:
    def __init__(self, value):
        self.value = value

    def hash(self, text):
        return self.value


@pytest.mark.parametrize("value", [None, "", "f" * 63, 0])
def test_short_or_empty_hash_fails(value):
    sealer = RuleSealer(SALTS)
    sealer.hash_crypto = FixedHash(value)
    with pytest.raises(ValueError, match="哈希计算失败"):
        sealer._derive_credentials(make_rule(), SIGNATURE, {})


@pytest.mark.parametrize(
    "params, error",
    [
        ({"dimensions": "12345678x"}, ValueError),  # ninth character is not a digit
        ({"salts": {"salt4": 0}, "dimensions": ""}, IndexError),
        ({"salts": {"salt3": 1.5}}, TypeError),  # a repeat count must be an integer
        ({"salts": {"salt4": "2"}}, TypeError),
    ],
)
def test_derivation_failures_pass_unchanged(params, error):
    with pytest.raises(error):
        RuleSealer(SALTS)._derive_credentials(make_rule(), SIGNATURE, params)


def test_rule_and_service_errors_propagate_and_keep_the_cache():
    class Exploding(CognitionRule):
        def get_ext_field(self, index):
            raise LookupError(f"ext {index}")

    served = serve({"dimensions": 1733817600123456})
    sealer = RuleSealer(SALTS)
    with pytest.raises(LookupError, match="ext 1"):
        sealer.encrypt(Exploding(rule_type="x"))
    assert sealer._weight_params is served


def test_non_text_rule_field_fails_like_a_join():
    with pytest.raises(TypeError, match="expected str instance"):
        RuleSealer(SALTS)._derive_credentials(make_rule(info_owner=5), SIGNATURE, {})


class RecordingRule(CognitionRule):
    """A rule that records each public attribute read and each get_ext_field call."""

    def __getattribute__(self, name):
        if not name.startswith("_") and name != "log":
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)

    def get_ext_field(self, index):
        self.log.append(index)
        return object.__getattribute__(self, "ext_fields").get(f"ext{index}")


def test_every_rule_attribute_is_read_twice_when_present():
    ext = {"ext1": "e1", "ext5": "", "ext9": None, "ext12": "e12", "ext30": "e30"}
    rule = RecordingRule(rule_type="phone", info_owner="u1", diff1="d1", diff2="", diff3=None, ext_fields=ext)
    rule.log = []
    params = {"dimensions": 1733817600123456, "salts": SALTS}
    got = RuleSealer(SALTS)._derive_credentials(rule, SIGNATURE, params)
    # The presence test reads each attribute, the value reads it again; get_ext_field
    # likewise, looked up on the rule and called with the index each time.
    expected = ["rule_type", "rule_type", "info_owner", "info_owner", "diff1", "diff1", "diff2", "diff3"]
    for i in range(1, 31):
        expected += ["get_ext_field", i] * (2 if ext.get(f"ext{i}") else 1)
    assert rule.log == expected
    assert got == reference_credentials(
        CognitionRule(rule_type="phone", info_owner="u1", diff1="d1", ext_fields=ext), SIGNATURE, params
    )


def test_get_ext_field_answering_differently_the_second_time_uses_the_second_answer():
    class Fickle(CognitionRule):
        def get_ext_field(self, index):
            self.calls = getattr(self, "calls", 0) + 1
            return f"<{index}:{self.calls}>" if index == 2 else None

    rule = Fickle(rule_type="", info_owner="", diff1=None)
    got = hash_input(rule, {"dimensions": 1, "salts": {f"salt{i}": 1 for i in range(1, 11)}}, signature="cpu")
    assert got == "<2:3>"  # index 1 called once (absent), index 2 twice: the value is the third call's


# ---------------------------------------------------------------- a plain object: copy and pickle


def test_copy_shares_the_services_as_a_plain_object_does():
    sealer = RuleSealer(SALTS)
    sealer._get_weight_params()
    twin = copy.copy(sealer)
    assert type(twin) is RuleSealer and twin is not sealer
    assert vars(twin) == vars(sealer)
    for name in ("hash_crypto", "user_weight", "_weight_params", "_salts"):
        assert getattr(twin, name) is getattr(sealer, name)
    rule = make_rule()
    assert twin.verify(sealer.encrypt(rule), rule)
    assert UserWeight.calls == 1  # the copy uses the cached mapping


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_a_pickled_sealer_holds_exactly_its_attributes(protocol):
    sealer = RuleSealer(SALTS)
    sealer.note = "kept"
    reconstruct, args, state, *rest = sealer.__reduce_ex__(protocol)
    assert args == (RuleSealer,) and state == vars(sealer)
    loaded = pickle.loads(pickle.dumps(sealer, protocol))
    assert type(loaded) is RuleSealer and loaded._salts == SALTS and loaded.note == "kept"
    assert isinstance(loaded.hash_crypto, HashCrypto) and loaded._weight_params is None
    rule = make_rule()
    assert loaded.verify(sealer.encrypt(rule), rule)
    deep = copy.deepcopy(sealer)
    assert deep._salts == SALTS and deep._salts is not sealer._salts


def test_sealers_take_weak_references():
    sealer = RuleSealer(SALTS)
    assert weakref.ref(sealer)() is sealer


# ---------------------------------------------------------------- loading without the host

IMPORT_RULE_SEALER = """
try:
    import zeq.domain.crypto_layer.rule_sealer
except BaseException as error:
    print(type(error).__name__, error.name, error.__cause__ is None, sep="|")
    print(error)
"""


def import_in_child(tmp_path, prelude: str = "") -> list[str]:
    """What importing rule_sealer raises in a fresh interpreter that runs `prelude` first
    (from a folder of its own, PYTHONPATH unset: no stand-ins of the host's modules)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run(
        [sys.executable, "-c", prelude + IMPORT_RULE_SEALER], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert done.returncode == 0 and not done.stderr, done.stderr
    return done.stdout.splitlines()


def test_without_the_host_modules_the_import_raises_what_their_import_raised(tmp_path):
    # as a plain module's import would: the error itself, not an ImportError around it
    assert import_in_child(tmp_path) == ["ModuleNotFoundError|zeq.models|True", "No module named 'zeq.models'"]


def test_one_missing_host_module_is_named_by_its_own_error(tmp_path):
    support = pathlib.Path(__file__).resolve().parents[1] / "support"
    prelude = f"import sys\nsys.path.insert(0, {str(support)!r})\nsys.modules['zeq.core.crypto.hash_crypto'] = None\n"
    assert import_in_child(tmp_path, prelude) == [
        "ModuleNotFoundError|zeq.core.crypto.hash_crypto|True",
        "import of zeq.core.crypto.hash_crypto halted; None in sys.modules",
    ]
