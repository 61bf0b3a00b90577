"""The reserved cell manager: importable, documented, empty."""

from __future__ import annotations

import copy
import pickle
import weakref

import pytest

from zeq.domain.crypto_layer import sealed_cell
from zeq.domain.crypto_layer.sealed_cell import SealedCellManager


def test_module_defines_only_the_manager():
    public = {name for name in vars(sealed_cell) if not name.startswith("_")}
    assert public == {"SealedCellManager"}


def test_documentation_states_the_reservation():
    module_doc = sealed_cell.__doc__
    for text in ("2.0", "1.0", "SealedCell", "VaultEntry", "RuleSealer"):
        assert text in module_doc
    assert "SealedCell" in SealedCellManager.__doc__ and "2.0" in SealedCellManager.__doc__
    assert "1.0" in SealedCellManager.__doc__


def test_manager_is_empty():
    manager = SealedCellManager()
    own = {name for name in vars(SealedCellManager) if not name.startswith("__")}
    assert own == set()
    with pytest.raises(TypeError):
        SealedCellManager(1)
    assert isinstance(manager, object)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_manager_pickles_and_copies_as_a_plain_object(protocol):
    manager = SealedCellManager()
    for twin in (pickle.loads(pickle.dumps(manager, protocol)), copy.copy(manager), copy.deepcopy(manager)):
        assert type(twin) is SealedCellManager and twin is not manager
    manager.note = "kept"
    assert pickle.loads(pickle.dumps(manager, protocol)).note == "kept"
    assert weakref.ref(manager)() is manager
