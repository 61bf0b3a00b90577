"""Storage records: the vault entry record and the rule sealer against plain Python classes."""

from __future__ import annotations

import json
import pathlib
import re
import sys
import time
import uuid

# The rule sealer needs the host's models and services; the test stand-ins serve.
SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"
if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))

from common import NOOP, Case  # noqa: E402
from zeq.core.crypto.hash_crypto import HashCrypto  # noqa: E402
from zeq.core.weight.user_weight import UserWeight  # noqa: E402
from zeq.domain.crypto_layer.rule_sealer import RuleSealer  # noqa: E402
from zeq.domain.crypto_layer.vault_entry import VaultEntry  # noqa: E402
from zeq.models.cognition_model import CognitionRule  # noqa: E402
from zeq.models.storage_model import VaultEntry as StorageRecord  # noqa: E402

HEX = "3f2a9c0b7d1e4f5a6b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c"
SALTS = {f"salt{i}": v for i, v in enumerate([3, 5, 2, 4, 6, 7, 8, 9, 1, 2], start=1)}


# ---------------------------------------------------------------- baseline record
class PyVaultEntry:
    HEX_PATTERN = re.compile(r"^[0-9a-fA-F]{64}$")
    FIELDS = ("info_type", "info_owner", "info_plaintext", "extract_account", "extract_password", "hardware_hash")

    def __init__(
        self, info_type, info_owner, info_plaintext, extract_account, extract_password, hardware_hash, key_version=1
    ):
        key_version = int(key_version)
        for name, value in zip(
            self.FIELDS,
            (info_type, info_owner, info_plaintext, extract_account, extract_password, hardware_hash),
            strict=True,
        ):
            if type(value) is not str:
                raise TypeError(f"{name} must be str")
        self.info_type = info_type
        self.info_owner = info_owner
        self.info_plaintext = info_plaintext
        self.extract_account = extract_account
        self.extract_password = extract_password
        self.hardware_hash = hardware_hash
        self.key_version = key_version

    def to_dict(self):
        return {
            "info_type": self.info_type,
            "info_owner": self.info_owner,
            "info_plaintext": self.info_plaintext,
            "extract_account": self.extract_account,
            "extract_password": self.extract_password,
            "hardware_hash": self.hardware_hash,
            "key_version": self.key_version,
        }

    @classmethod
    def from_dict(cls, data):
        if type(data) is not dict:
            raise TypeError("data must be dict")
        return cls(
            info_type=data.get("info_type", ""),
            info_owner=data.get("info_owner", ""),
            info_plaintext=data.get("info_plaintext", ""),
            extract_account=data.get("extract_account", ""),
            extract_password=data.get("extract_password", ""),
            hardware_hash=data.get("hardware_hash", ""),
            key_version=data.get("key_version", 1),
        )

    def to_json(self):
        return json.dumps(self.to_dict(), ensure_ascii=False)

    @classmethod
    def from_json(cls, json_str):
        return cls.from_dict(json.loads(json_str))

    def validate(self):
        if not all(
            (
                self.info_type,
                self.info_owner,
                self.info_plaintext,
                self.extract_account,
                self.extract_password,
                self.hardware_hash,
            )
        ):
            return False
        for value in (self.extract_account, self.extract_password, self.hardware_hash):
            if not self.HEX_PATTERN.match(value):
                return False
        return self.key_version == 1


# ---------------------------------------------------------------- baseline sealer
class PyRuleSealer:
    SIGNATURE = "CPU_SERIAL_PLACEHOLDER|DISK_ID_PLACEHOLDER|BOARD_SERIAL_PLACEHOLDER"

    def __init__(self, salts=None):
        if not salts:
            raise ValueError("动态盐不能为空，请通过 root_key + weight_param 计算后传入")
        self.hash_crypto = HashCrypto()
        self.user_weight = UserWeight()
        self._weight_params = None
        self._salts = salts

    def _collect_device_signature(self):
        return self.SIGNATURE

    def _get_weight_params(self):
        if self._weight_params is None:
            self._weight_params = self.user_weight.get_weight()
        if "salts" not in self._weight_params and self._salts is not None:
            self._weight_params["salts"] = self._salts
        return self._weight_params

    def _calculate_hardware_hash(self, device_signature):
        return self.hash_crypto.hash(device_signature)

    def _derive_credentials(self, rule, device_signature, weight_params):
        pieces = device_signature.split("|")
        disk_id = pieces[1] if len(pieces) >= 2 else ""
        weight_str = str(weight_params.get("dimensions", 2017092208150036627))
        salts = weight_params.get("salts", {})
        s = [salts.get(f"salt{i}", 1) for i in range(1, 11)]
        cycle = [s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[1], s[0]]
        repeat9 = int(weight_str[8]) if len(weight_str) > 8 else 1
        parts = []
        if rule.rule_type:
            parts.append(rule.rule_type * repeat9)
        if disk_id:
            parts.append(disk_id * s[1])
        if rule.info_owner:
            parts.append(rule.info_owner)
        if rule.diff1:
            parts.append(rule.diff1 * s[2])
        if rule.diff2:
            parts.append(rule.diff2 * s[3])
        if rule.diff3:
            parts.append(rule.diff3 * s[4])
        for i in range(1, 31):
            if rule.get_ext_field(i):
                parts.append(rule.get_ext_field(i) * cycle[(i - 1) % 10])
        hash_value = self.hash_crypto.hash("".join(parts))
        if not hash_value or len(hash_value) < 64:
            raise ValueError("哈希计算失败")
        d4 = (int(weight_str[s[3] - 1]) if len(weight_str) >= s[3] else 1) or 1
        d5 = (int(weight_str[s[4] - 1]) if len(weight_str) >= s[4] else 1) or 1
        return (hash_value[d4 - 1 : d4 + 4] + hash_value[-s[0] :], hash_value[d5 - 1 : d5 + 6] + hash_value[-s[1] :])

    def encrypt(self, rule, agent_uuid=""):
        signature = self._collect_device_signature()
        weight_params = self._get_weight_params()
        hardware_hash = self._calculate_hardware_hash(signature)
        account, password = self._derive_credentials(rule, signature, weight_params)
        now = time.time()
        return StorageRecord(
            unit_id=str(uuid.uuid4()),
            version="1.0",
            extract_account=account,
            extract_password=password,
            hardware_hash=hardware_hash,
            info_type=rule.info_type,
            info_owner=rule.info_owner,
            content=rule.content,
            created_at=now,
            updated_at=now,
            agent_uuid=agent_uuid,
            metadata={"cognition_rule_id": rule.rule_id, "weight_version": weight_params.get("version", "1.0")},
            diff1=rule.diff1,
            diff2=rule.diff2,
            diff3=rule.diff3,
            ext_fields=rule.ext_fields,
        )


# ---------------------------------------------------------------- inputs
VALUES = ("phone_number", "agent-7", "张三的手机号码是 138 0000 0000", HEX, HEX.upper(), HEX)
LAYER_ENTRY = VaultEntry(*VALUES)
PY_ENTRY = PyVaultEntry(*VALUES)
JSON_TEXT = LAYER_ENTRY.to_json()
assert JSON_TEXT == PY_ENTRY.to_json()

RULE = CognitionRule(
    rule_id="rule-1",
    rule_type="phone",
    info_type="phone_number",
    info_owner="agent-7",
    content="138 0000 0000",
    diff1="mobile",
    diff2="primary",
    diff3=None,
    ext_fields={"ext1": "beijing", "ext5": "2024", "ext12": "work"},
)
LAYER_SEALER = RuleSealer(SALTS)
PY_SEALER = PyRuleSealer(SALTS)
_a, _b = LAYER_SEALER.encrypt(RULE), PY_SEALER.encrypt(RULE)
assert (_a.extract_account, _a.extract_password, _a.hardware_hash) == (
    _b.extract_account,
    _b.extract_password,
    _b.hardware_hash,
)


# ---------------------------------------------------------------- floors (see common.Case)
def to_json_floor() -> str:
    NOOP()
    return JSON_TEXT[1:]  # a new str of the JSON's kind, one character shorter


def from_json_floor() -> VaultEntry:
    NOOP(JSON_TEXT)
    json.loads(JSON_TEXT)  # the host's parser, which from_json calls
    return VaultEntry.__new__(VaultEntry)


def validate_floor() -> bool:
    return NOOP() == ""


CASES = [
    Case(
        "VaultEntry.to_json",
        LAYER_ENTRY.to_json,
        PY_ENTRY.to_json,
        "plain Python class + json.dumps",
        floor=to_json_floor,
    ),
    Case(
        "VaultEntry.from_json",
        lambda: VaultEntry.from_json(JSON_TEXT),
        lambda: PyVaultEntry.from_json(JSON_TEXT),
        "plain Python class + json.loads",
        floor=from_json_floor,
    ),
    Case(
        "VaultEntry.validate",
        LAYER_ENTRY.validate,
        PY_ENTRY.validate,
        "plain Python class + re",
        floor=validate_floor,
    ),
    Case(
        "RuleSealer.encrypt (stand-in host services)",
        lambda: LAYER_SEALER.encrypt(RULE, "agent-7"),
        lambda: PY_SEALER.encrypt(RULE, "agent-7"),
        "plain Python class, same services",
    ),
]
