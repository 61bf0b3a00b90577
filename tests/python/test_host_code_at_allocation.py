"""Host code that runs whenever the layer allocates: CPython runs gc callbacks (and the
__del__ and weakref callbacks of what a collection frees) at the allocation of any
container. Such code can walk gc.get_objects() and read or empty every list, tuple and
dict it finds. The layer keeps its intermediate values out of its reach: a call gives
the same answer as without the walk, never crashes, and the walk finds no container
holding a secret the host does not receive (an opened root key, true credentials).

Each case runs in a child interpreter whose gc runs at every second allocation of a
container (threshold 1), twice, so that between the two runs a collection meets every
allocation (the dict and list free lists are drained first, so that a new one is really
allocated); the host's own methods the layer calls walk too. The walk empties every
list, dict and set that holds a secret of the case or an object of the host's Key class.
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pytest

from zeq.domain.crypto_layer.access_derivation import generate_derived_credentials
from zeq.domain.crypto_layer.db_account_pass import generate_zeq_user1_password
from zeq.domain.crypto_layer.derived_salt import extract_derived_salts
from zeq.domain.crypto_layer.master_key_seal import encrypt_root_key_data, get_aes_key_2
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.models.cognition_model import CognitionRule

SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "support"

CHILD = r"""
import gc, json, sys, types
sys.path.insert(0, sys.argv[2])
from zeq.domain.crypto_layer import access_derivation, db_account_pass, entry_digest, master_key_seal
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.models.cognition_model import CognitionRule

case = json.loads(sys.argv[1])
secrets = frozenset(case.pop("secrets"))
found = []

infos = []
walking = []

def walk(phase, info):
    infos.append(info)  # kept: freed, it would go back to the dict free list
    if phase != "start" or walking:  # a collection within the walk: its own list is no target
        return
    walking.append(True)
    for obj in gc.get_objects():
        kind = type(obj)
        if obj is secrets or kind not in (list, tuple, dict, set, frozenset):
            continue
        items = list(obj.values()) if kind is dict else obj
        if any((type(x) is str and x in secrets) or type(x) is Key for x in items):
            found.append(kind.__name__)
            if kind in (list, dict, set):
                obj.clear()
    walking.pop()

class Key:
    # An extension field's key: the host's own hash, equality and order, each of
    # which walks the gc's objects too (host code that runs mid-call, as the
    # collections do).
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        if armed:
            walk("start", None)
        return hash(self.n)
    def __eq__(self, other):
        if armed:
            walk("start", None)
        return isinstance(other, Key) and other.n == self.n
    def __lt__(self, other):
        if armed:
            walk("start", None)
        return self.n < other.n

armed = False
sealer = RuleSealer(case["salts"]) if "salts" in case else None
operation = eval("lambda: " + case["expression"])
expected = repr(operation())
held = [[] for _ in range(200)], [{} for _ in range(200)]  # the free lists drained
gc.set_threshold(1)  # a collection at every second container allocated
gc.callbacks.append(walk)
armed = True
got = []
for shift in (0, 1):
    # From a count of 0, then of 1: between them, the collections meet every allocation.
    gc.collect()
    one_more = [] if shift else None
    got.append(repr(operation()))
gc.callbacks.remove(walk)
print(json.dumps({"expected": [expected, expected], "got": got, "found": found}))
"""

PERSONAL_KEY = "pk-Zq8vX2mB9w"
WEIGHT = 1733817600123457
ROOT_KEY = f"{PERSONAL_KEY}_{WEIGHT}"
AES_KEY_2 = get_aes_key_2(PERSONAL_KEY, str(WEIGHT))
SEALED = encrypt_root_key_data(ROOT_KEY, "migrate-key", "a-device-signature")
SALTS = extract_derived_salts(PERSONAL_KEY, WEIGHT)
ACCOUNT, PASSWORD = generate_derived_credentials("phone", "agent-7", "disk-1", WEIGHT, SALTS)
DB_PASSWORD = generate_zeq_user1_password("cpu-1", "disk-1", SALTS)
RULE = "CognitionRule(rule_id='r1', rule_type='phone', info_type='phone', info_owner='u1', content='c')"


def sealer_credentials() -> tuple[str, str]:
    rule = CognitionRule(rule_id="r1", rule_type="phone", info_type="phone", info_owner="u1", content="c")
    record = RuleSealer(dict(SALTS)).encrypt(rule)
    return record.extract_account, record.extract_password


CASES = {
    # the opened data, split in three: the root key is the host's only in the result
    "decrypt_root_key_data": {
        "expression": f"master_key_seal.decrypt_root_key_data({SEALED!r}, {AES_KEY_2!r})",
        "secrets": [ROOT_KEY],
    },
    # the true credentials of a wrong guess
    "verify_derived_credentials": {
        "expression": f"access_derivation.verify_derived_credentials('x', 'y', 'phone', 'agent-7', 'disk-1', "
        f"{WEIGHT}, {SALTS!r})",
        "secrets": [ACCOUNT, PASSWORD],
    },
    "verify_zeq_user1_password": {
        "expression": f"db_account_pass.verify_zeq_user1_password('x', 'cpu-1', 'disk-1', {SALTS!r})",
        "secrets": [DB_PASSWORD],
    },
    "RuleSealer.verify": {
        "expression": f"sealer.verify(types.SimpleNamespace(extract_account='x', extract_password='y'), {RULE})",
        "salts": SALTS,
        "secrets": list(sealer_credentials()),
    },
    # extension keys of the host's own class, sorted by its order: each key's hash runs
    # the collection while the layer walks them
    "generate_entry_digest": {
        "expression": "entry_digest.generate_entry_digest('phone', 'u1', ext_fields={Key(3): 'c', Key(1): 'a', "
        f"Key(2): 'b'}}, environment_cipher='env', weight_param={WEIGHT}, salts={SALTS!r})",
        "secrets": [],
    },
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_a_walk_of_the_gc_at_every_allocation_finds_nothing_to_read_or_empty(name: str) -> None:
    child = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps(CASES[name]), str(SUPPORT)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stderr[-2000:]}"
    report = json.loads(child.stdout)
    assert report["got"] == report["expected"]
    assert report["found"] == []
