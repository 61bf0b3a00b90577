"""Host code that runs in the middle of a call: a salt's __index__, a key's __eq__,
a rule field's __bool__, a number argument's __index__.

Whatever that code does (empty or rewrite the dictionary being read, raise any
exception), the layer neither crashes nor swallows or replaces the host's error,
and the verify operations still answer instead of raising.
"""

from __future__ import annotations

import subprocess
import sys

import pytest

from zeq.domain.crypto_layer import access_derivation, db_account_pass, derived_salt, entry_digest, weight_issuer
from zeq.domain.crypto_layer.access_derivation import (
    CredentialGenerationError,
    generate_derived_credentials,
    generate_migration_credentials,
    generate_query_credentials,
    verify_derived_credentials,
)
from zeq.domain.crypto_layer.db_account_pass import generate_zeq_user1_password, verify_zeq_user1_password
from zeq.domain.crypto_layer.derived_salt import extract_derived_salts, extract_single_salt, get_salt, validate_salts
from zeq.domain.crypto_layer.entry_digest import extract_account_password, generate_entry_digest
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.domain.crypto_layer.vault_entry import VaultEntry
from zeq.models.cognition_model import CognitionRule

WEIGHT = 1733817600123456
SALTS = extract_derived_salts("correct-horse-battery", WEIGHT)
ACCOUNT, PASSWORD = generate_derived_credentials("phone", "agent-7", "disk-1", WEIGHT, SALTS)
DB_PASSWORD = generate_zeq_user1_password("cpu-1", "disk-1", SALTS)
DIGEST = generate_entry_digest("phone", "u1", environment_cipher="env", weight_param=WEIGHT, salts=SALTS)

# ---------------------------------------------------------------- dictionaries rewritten mid-call
# Each call reads the salt set SALTS. In the child every salt value is an object
# of its own with __index__, held by nothing but the dictionary, so emptying the
# dictionary frees them; under -X dev freed memory is poisoned, so a value read
# after that crashes the child instead of passing unnoticed.
CHILD = r"""
import sys
from zeq.domain.crypto_layer import access_derivation, db_account_pass, derived_salt, entry_digest

kind, collide, expression, plain = sys.argv[1], sys.argv[2], sys.argv[3], eval(sys.argv[4])
armed = False
SALTS = {}

def rewrite():
    # Empty the set (freeing every value it held), then refill it with equal values.
    global armed
    armed = False
    values = {k: v.value for k, v in SALTS.items() if isinstance(k, str)}
    SALTS.clear()
    [bytearray(64) for _ in range(1000)]  # reuse what was freed
    SALTS.update({k: Num(v) for k, v in values.items()})

class Num:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        if armed and kind == "index":
            rewrite()
        return self.value

class CollidingKey:
    # Sits where the lookup of `collide` looks first, so its __eq__ runs during that lookup.
    def __hash__(self):
        return hash(collide)
    def __eq__(self, other):
        if armed and kind == "key":
            rewrite()
        return False

SALTS[CollidingKey()] = 0
for k, v in plain.items():
    SALTS[k] = Num(v)
armed = True
print(repr(eval(expression)))
"""

# (expression over SALTS, the salt whose lookup comes last: values read before it are held)
REWRITTEN = {
    "generate_derived_credentials": (
        f"access_derivation.generate_derived_credentials('phone', 'agent-7', 'disk-1', {WEIGHT}, SALTS)",
        "salt5",
    ),
    "generate_query_credentials": (
        f"access_derivation.generate_query_credentials('phone', 'agent-7', 'disk-1', {WEIGHT}, SALTS)",
        "salt5",
    ),
    "verify_derived_credentials": (
        f"access_derivation.verify_derived_credentials({ACCOUNT!r}, {PASSWORD!r}, 'phone', 'agent-7', 'disk-1', "
        f"{WEIGHT}, SALTS)",
        "salt5",
    ),
    "generate_migration_credentials": (
        "access_derivation.generate_migration_credentials('migrate-key', SALTS)",
        "salt2",
    ),
    "generate_zeq_user1_password": ("db_account_pass.generate_zeq_user1_password('cpu-1', 'disk-1', SALTS)", "salt3"),
    "generate_zeq_user1_password_with_fallback": (
        "db_account_pass.generate_zeq_user1_password_with_fallback('CPU_GET_FAILED', 'disk-1', SALTS)",
        "salt3",
    ),
    "verify_zeq_user1_password": (
        f"db_account_pass.verify_zeq_user1_password({DB_PASSWORD!r}, 'cpu-1', 'disk-1', SALTS)",
        "salt3",
    ),
    "validate_salts": ("derived_salt.validate_salts(SALTS)", "salt10"),
    "get_salt": ("derived_salt.get_salt(SALTS, 4)", "salt4"),
    "generate_entry_digest": (
        f"entry_digest.generate_entry_digest('phone', 'u1', 'a', 'b', 'c', {{'x': 'y'}}, 'env', {WEIGHT}, SALTS)",
        "salt5",
    ),
    "extract_account_password": (f"entry_digest.extract_account_password({DIGEST!r}, SALTS)", "salt2"),
}


@pytest.mark.parametrize("operation", sorted(REWRITTEN))
def test_salt_set_rewritten_mid_call(operation):
    expression, collide = REWRITTEN[operation]
    modules = {
        "access_derivation": access_derivation,
        "db_account_pass": db_account_pass,
        "derived_salt": derived_salt,
        "entry_digest": entry_digest,
    }
    expected = repr(eval(expression, {**modules, "SALTS": dict(SALTS)}))
    if operation.startswith("verify"):
        assert expected == "True"
    for kind in ("index", "key"):
        child = subprocess.run(
            [sys.executable, "-X", "dev", "-c", CHILD, kind, collide, expression, repr(SALTS)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert child.returncode == 0, f"{kind}: exit {child.returncode}\n{child.stderr[-2000:]}"
        # The values were read as they stood when looked up: the same answer as with a plain set.
        assert child.stdout.strip() == expected, kind


# ---------------------------------------------------------------- host errors as themselves
class HostInterrupt(BaseException):
    """A host's own exception outside the ordinary Exception family."""


HOST_ERRORS = [ValueError("host says no"), KeyboardInterrupt(), HostInterrupt("host stops")]


class RaisingNumber:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def with_salt(name, value):
    salts = dict(SALTS)
    salts[name] = value
    return salts


# Number arguments converted by the binding: their __index__ runs before the operation.
NUMBER_ARGUMENTS = {
    "extract_derived_salts": lambda n: extract_derived_salts("correct-horse-battery", n),
    "get_salt": lambda n: get_salt(SALTS, n),
    "extract_single_salt": lambda n: extract_single_salt("correct-horse-battery", WEIGHT, n),
    "generate_derived_credentials": lambda n: generate_derived_credentials("phone", "agent-7", "disk-1", n, SALTS),
    "generate_query_credentials": lambda n: generate_query_credentials("phone", "agent-7", "disk-1", n, SALTS),
    "verify_derived_credentials": lambda n: verify_derived_credentials(
        ACCOUNT, PASSWORD, "phone", "agent-7", "disk-1", n, SALTS
    ),
    "generate_entry_digest": lambda n: generate_entry_digest(
        "phone", "u1", environment_cipher="env", weight_param=n, salts=SALTS
    ),
    "parse_weight_parameter": lambda n: weight_issuer.parse_weight_parameter(n),
    "get_weight_digit": lambda n: weight_issuer.get_weight_digit(WEIGHT, n),
    "generate_weight_parameter_with_timestamp": lambda n: weight_issuer.generate_weight_parameter_with_timestamp(n),
    "VaultEntry": lambda n: VaultEntry("a", "b", "c", "d", "e", "f", n),
}

# Salt values read by the operation itself, outside any guard of the module.
SALT_VALUES = {
    "generate_derived_credentials": lambda v: generate_derived_credentials(
        "phone", "agent-7", "disk-1", WEIGHT, with_salt("salt2", v)
    ),
    "generate_query_credentials": lambda v: generate_query_credentials(
        "phone", "agent-7", "disk-1", WEIGHT, with_salt("salt4", v)
    ),
    "generate_zeq_user1_password": lambda v: generate_zeq_user1_password("cpu-1", "disk-1", with_salt("salt3", v)),
    "validate_salts": lambda v: validate_salts(with_salt("salt10", v)),
    "get_salt": lambda v: get_salt(with_salt("salt2", v), 2),
    "generate_entry_digest": lambda v: generate_entry_digest(
        "phone", "u1", environment_cipher="env", weight_param=WEIGHT, salts=with_salt("salt3", v)
    ),
    "extract_account_password": lambda v: extract_account_password(DIGEST, with_salt("salt1", v)),
}


@pytest.mark.parametrize("error", HOST_ERRORS, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("operation", sorted(NUMBER_ARGUMENTS))
def test_number_argument_errors_propagate_as_themselves(operation, error):
    with pytest.raises(type(error)) as raised:
        NUMBER_ARGUMENTS[operation](RaisingNumber(error))
    assert raised.value is error


@pytest.mark.parametrize("error", HOST_ERRORS, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("operation", sorted(SALT_VALUES))
def test_salt_value_errors_propagate_as_themselves(operation, error):
    with pytest.raises(type(error)) as raised:
        SALT_VALUES[operation](RaisingNumber(error))
    assert raised.value is error


def test_a_number_argument_that_is_no_number_is_still_the_bindings_type_error():
    with pytest.raises(
        TypeError, match=r"^extract_derived_salts\(\) argument 'weight_param' must be a number, not str$"
    ):
        extract_derived_salts("correct-horse-battery", "1000")


VERIFIES = {
    "verify_derived_credentials": lambda salts: verify_derived_credentials(
        ACCOUNT, PASSWORD, "phone", "agent-7", "disk-1", WEIGHT, salts
    ),
    "verify_zeq_user1_password": lambda salts: verify_zeq_user1_password(DB_PASSWORD, "cpu-1", "disk-1", salts),
}


@pytest.mark.parametrize("operation", sorted(VERIFIES))
def test_verify_answers_false_for_an_ordinary_host_error(operation):
    assert VERIFIES[operation](dict(SALTS)) is True
    assert VERIFIES[operation](with_salt("salt1", RaisingNumber(ValueError("no")))) is False


@pytest.mark.parametrize("error", [KeyboardInterrupt(), HostInterrupt("stop")], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("operation", sorted(VERIFIES))
def test_verify_lets_interruptions_through(operation, error):
    with pytest.raises(type(error)) as raised:
        VERIFIES[operation](with_salt("salt1", RaisingNumber(error)))
    assert raised.value is error


class UnprintableError(Exception):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def __str__(self):
        raise self.error


@pytest.mark.parametrize("error", HOST_ERRORS, ids=lambda e: type(e).__name__)
def test_an_error_whose_text_fails_passes_that_failure_on(error):
    # The migration credentials wrap a failure with its text: the text's own failure comes out.
    with pytest.raises(type(error)) as raised:
        generate_migration_credentials("migrate-key", with_salt("salt4", RaisingNumber(UnprintableError(error))))
    assert raised.value is error


def test_a_wrapped_host_error_keeps_its_text():
    with pytest.raises(CredentialGenerationError, match=r"^迁移凭证生成失败: host says no$"):
        generate_migration_credentials("migrate-key", with_salt("salt4", RaisingNumber(ValueError("host says no"))))


class Flag(int):
    """A rule field that is a number whose truth the host decides (and may refuse to)."""

    error: BaseException = ValueError("no truth")

    def __bool__(self):
        raise Flag.error


def test_rule_field_whose_bool_raises_propagates(monkeypatch):
    sealer = RuleSealer(dict(SALTS))
    for error in HOST_ERRORS:
        monkeypatch.setattr(Flag, "error", error)
        for rule in (
            CognitionRule(rule_type=Flag(1), info_owner="u1"),
            CognitionRule(info_owner="u1", diff2=Flag(2)),
            CognitionRule(info_owner="u1", ext_fields={"ext3": Flag(3)}),
        ):
            with pytest.raises(type(error)) as raised:
                sealer.encrypt(rule)
            assert raised.value is error
