"""Functions and methods of every module pickle by reference, as Python's own do,
so that a process pool can run any operation of the layer."""

from __future__ import annotations

import copy
import copyreg
import importlib
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import zeq.domain.crypto_layer as package
from zeq.domain.crypto_layer import digest_base, per_info_key, sha256_hash
from zeq.domain.crypto_layer.vault_entry import VaultEntry, VaultEntryBuilder

MODULES = [
    "access_derivation",
    "db_account_pass",
    "derived_salt",
    "device_signature",
    "digest_base",
    "entry_digest",
    "master_key_seal",
    "master_key_split",
    "per_info_key",
    "rule_sealer",
    "sealed_cell",
    "utils",
    "vault_entry",
    "weight_issuer",
]
HEX = "0123456789abcdef" * 4


def is_nanobind(value) -> bool:
    return type(value).__module__ == "nanobind"


def layer_callables():
    """(name, object) of every function of every module and every method of its classes."""
    for module_name in MODULES:
        module = importlib.import_module(f"{package.__name__}.{module_name}")
        for name, value in vars(module).items():
            if isinstance(value, type):
                if value.__module__ == module.__name__:
                    for attribute, member in vars(value).items():
                        if is_nanobind(member):
                            yield f"{module_name}.{name}.{attribute}", member
            elif is_nanobind(value):
                yield f"{module_name}.{name}", value


CALLABLES = dict(layer_callables())


def test_every_module_and_class_contributes():
    names = {name.split(".")[0] for name in CALLABLES}
    assert names == set(MODULES)
    assert {
        "vault_entry.VaultEntry.to_json",
        "rule_sealer.RuleSealer._derive_credentials",
        "per_info_key.encrypt_info",
        "sealed_cell.SealedCellManager.__init__",
    } <= set(CALLABLES)


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_functions_and_methods_pickle_and_copy_as_themselves(name):
    function = CALLABLES[name]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function


def test_bound_methods_pickle_as_their_instance_and_name():
    entry = VaultEntry("phone", "u1", "138", HEX, HEX, HEX)
    loaded = pickle.loads(pickle.dumps(entry.to_json))
    assert loaded() == entry.to_json() and type(loaded.__self__) is VaultEntry
    builder = VaultEntryBuilder()
    with_type = pickle.loads(pickle.dumps(builder.with_info_type))
    assert with_type("x").data["info_type"] == "x"
    assert pickle.loads(pickle.dumps(VaultEntry.from_dict))({}).key_version == 1


def test_a_replaced_function_is_refused_as_python_refuses_its_own(monkeypatch):
    monkeypatch.setattr(digest_base, "sha256_hash", lambda data: data)
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(sha256_hash)


def test_functions_of_other_modules_are_left_to_their_own_reduction():
    class Foreign:
        __module__ = "other.extension"
        __qualname__ = "function"

        def __reduce_ex__(self, protocol):
            raise TypeError("cannot pickle 'nb_func' object")

    reduce = copyreg.dispatch_table[type(sha256_hash)]
    with pytest.raises(TypeError, match="cannot pickle"):
        reduce(Foreign())


def test_a_process_pool_runs_the_layers_operations():
    texts = ["", "a", "数据"]
    entry = VaultEntry("phone", "u1", "138", HEX, HEX, HEX)
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        assert list(pool.map(sha256_hash, texts)) == [sha256_hash(t) for t in texts]
        ciphertext, key_n = pool.submit(per_info_key.encrypt_info, "+86 138 0000 0000").result()
        assert per_info_key.decrypt_info(ciphertext, key_n) == "+86 138 0000 0000"
        assert pool.submit(VaultEntry.to_json, entry).result() == entry.to_json()
        assert pool.submit(entry.validate).result() is True
        returned = pool.submit(copy.copy, entry).result()
        assert type(returned) is VaultEntry and vars(returned) == vars(entry)
