"""The layer's functions and methods pickle by reference, as Python's own do.

The extension modules' functions are nanobind objects, which pickle and copy
refuse by default. Registering their types in copyreg's dispatch table (which
pickle and copy consult before the object's own ``__reduce_ex__``) makes a
function of this package pickle as its module and qualified name, so unpickling
gives back the very same object, and a bound method as ``getattr(instance,
name)``. Calls pay nothing for it.

nanobind's function types are shared with every other nanobind module of the
process: their functions go on to whatever reducer was registered before, or
are refused exactly as they were.
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable
from typing import Any

from .digest_base import sha256_hash
from .sealed_cell import SealedCellManager  # any class of the layer shows nanobind's method types

_PACKAGE = __name__.rpartition(".")[0]


def is_layer_function(obj: Any) -> bool:
    """True for a function or method of the package's own modules (also used for signatures)."""
    module = obj.__module__
    return isinstance(module, str) and (module == _PACKAGE or module.startswith(_PACKAGE + "."))


def _by_name(function: Any) -> str:
    # pickle looks the name up in function.__module__ and checks it finds this object.
    return function.__qualname__


def _by_attribute(method: Any) -> tuple[Callable[..., Any], tuple[Any, str]]:
    return getattr, (method.__self__, method.__func__.__name__)


def _register(kind: type, reduce_ours: Callable[[Any], Any]) -> None:
    previous = copyreg.dispatch_table.get(kind)

    def reduce(obj: Any) -> Any:
        if is_layer_function(obj):
            return reduce_ours(obj)
        if previous is not None:
            return previous(obj)
        return obj.__reduce_ex__(2)

    reduce.__qualname__ = reduce.__name__ = f"reduce_{kind.__name__}"
    copyreg.pickle(kind, reduce)


_register(type(sha256_hash), _by_name)
_register(type(SealedCellManager.__getstate__), _by_name)
_register(type(SealedCellManager().__getstate__), _by_attribute)
