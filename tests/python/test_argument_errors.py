"""Every function and method of the layer refuses arguments as a plain Python def with
the same signature would: Python's own texts for a wrong count, a missing argument or
an unknown keyword, and for a value of the wrong type one line that names the function
and the argument, as the host's own functions do ("f() argument 'x' must be str, not
int"). The table comes from the committed stubs; the expected texts of the count
errors come from plain defs built from those stubs and called the same way."""

from __future__ import annotations

import ast
import copy
import importlib
import pathlib
import re
from collections.abc import Callable
from typing import Any

import pytest

import zeq.domain.crypto_layer as package
from zeq.domain.crypto_layer import sha256_hash
from zeq.domain.crypto_layer.master_key_seal import get_aes_key_2
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.domain.crypto_layer.vault_entry import VaultEntry, VaultEntryBuilder

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "zeq" / "domain" / "crypto_layer"
HEX = "0123456789abcdef" * 4
SALTS = {f"salt{i}": v for i, v in enumerate([3, 5, 2, 4, 6, 7, 8, 9, 1, 2], start=1)}

# One instance of each class of the layer, for its bound methods.
INSTANCES = {
    "VaultEntry": lambda: VaultEntry("phone", "u1", "138", HEX, HEX, HEX),
    "VaultEntryBuilder": VaultEntryBuilder,
    "RuleSealer": lambda: RuleSealer(SALTS),
}


class Unfit:
    """A value no typed parameter takes."""


# What each type a signature shows takes (a value for the other arguments of a
# call) and how the host's errors name it.
SHOWN_TYPES = {
    "str": ("x", "str"),
    "bytes": (b"x", "bytes"),
    "dict[str, int]": (SALTS, "dict"),
    "dict[str, Any]": ({}, "dict"),
    "dict[str, str | None]": ({}, "dict"),
    "int | float | SupportsIndex": (1, "a number"),
}


def shown(annotation: ast.expr | None) -> tuple[Any, str] | None:
    """(a value it takes, what the error says it must be); None where anything goes."""
    if annotation is None:
        return None
    text = ast.unparse(annotation)
    if text in ("object", "Any"):
        return None
    if text.endswith(" | None"):
        value, expected = SHOWN_TYPES[text.removesuffix(" | None")]
        return value, f"{expected} or None"
    return SHOWN_TYPES[text]


def plain_source(node: ast.FunctionDef) -> str:
    """The def of the stub without annotations, defaults as None, body empty."""
    arguments = copy.deepcopy(node.args)
    for a in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]:
        a.annotation = None
    arguments.defaults = [ast.Constant(None) for _ in arguments.defaults]
    arguments.kw_defaults = [d and ast.Constant(None) for d in arguments.kw_defaults]
    decorators = [d for d in node.decorator_list if ast.unparse(d) in ("classmethod", "staticmethod")]
    plain = ast.FunctionDef(node.name, arguments, [ast.Pass()], decorators, None, lineno=0)
    return ast.unparse(ast.fix_missing_locations(plain))


class Case:
    """One way the host calls an operation: the layer's callable beside the plain
    reference called the same way, and the parameters that the caller passes."""

    def __init__(
        self,
        name: str,
        layer: Callable[..., Any],
        plain: Callable[..., Any],
        node: ast.FunctionDef,
        error_name: str,
        skip: int,
    ):
        self.name = name
        self.layer = layer
        self.plain = plain
        self.error_name = error_name
        arguments = node.args
        positional = [*arguments.posonlyargs, *arguments.args][skip:]
        required = len(positional) - len(arguments.defaults)
        self.positional = [(a.arg, shown(a.annotation)) for a in positional]
        self.required = self.positional[:required]
        self.keyword_only = [(a.arg, shown(a.annotation)) for a in arguments.kwonlyargs]


def cases():
    for stub in sorted(STUB_DIR.glob("*.pyi")):
        module = importlib.import_module(f"{package.__name__}.{stub.stem}")
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                namespace: dict[str, Any] = {}
                exec(plain_source(node), namespace)
                yield Case(
                    f"{stub.stem}.{node.name}", getattr(module, node.name), namespace[node.name], node, node.name, 0
                )
            elif isinstance(node, ast.ClassDef) and (node.name in INSTANCES or node.name == "SealedCellManager"):
                methods = [
                    m
                    for m in node.body
                    if isinstance(m, ast.FunctionDef)
                    and not {ast.unparse(d).rpartition(".")[2] for d in m.decorator_list} & {"property", "setter"}
                ]
                source = f"class {node.name}:\n" + "".join(
                    "    " + plain_source(m).replace("\n", "\n    ") + "\n" for m in methods
                )
                namespace = {}
                exec(source, namespace)
                plain_class = namespace[node.name]
                cls = getattr(module, node.name)
                for m in methods:
                    decorators = {ast.unparse(d) for d in m.decorator_list}
                    name = f"{stub.stem}.{node.name}.{m.name}"
                    if m.name == "__init__":
                        yield Case(f"{stub.stem}.{node.name}()", cls, plain_class, m, node.name, 1)
                    elif "classmethod" in decorators:
                        yield Case(name, getattr(cls, m.name), getattr(plain_class, m.name), m, m.name, 1)
                    elif node.name in INSTANCES:
                        instance = INSTANCES[node.name]()
                        plain_instance = object.__new__(plain_class)
                        yield Case(name, getattr(instance, m.name), getattr(plain_instance, m.name), m, m.name, 1)


CASES = {case.name: case for case in cases()}


def refusal(call: Callable[..., Any], *args: Any, **kwargs: Any) -> str:
    with pytest.raises(TypeError) as raised:
        call(*args, **kwargs)
    return str(raised.value)


def test_the_table_covers_every_module_and_class():
    assert {name.split(".")[0] for name in CASES} == {stub.stem for stub in STUB_DIR.glob("*.pyi")}
    assert {name.split(".")[0] for name in TYPED} == {stub.stem for stub in STUB_DIR.glob("*.pyi")} - {"sealed_cell"}
    assert {
        "digest_base.sha256_hash",
        "vault_entry.VaultEntry()",
        "vault_entry.VaultEntry.from_json",
        "vault_entry.VaultEntry.to_json",
        "rule_sealer.RuleSealer._derive_credentials",
        "sealed_cell.SealedCellManager()",
    } <= set(CASES)


def fitting(parameters: list[tuple[str, tuple[Any, str] | None]]) -> list[Any]:
    return [kind[0] if kind is not None else object() for _, kind in parameters]


@pytest.mark.parametrize("name", sorted(CASES))
def test_count_and_keyword_errors_are_pythons_own(name):
    case = CASES[name]
    required = fitting(case.required)
    every = fitting(case.positional)
    calls = [
        ((*every, "one too many"), {}),
        ((*required,), {"not_a_parameter": 1}),
    ]
    if case.required:
        calls.append(((), {}))  # every required argument missing
        calls.append(((*required[:-1],), {}))  # the last one missing
        calls.append(((*required,), {case.required[0][0]: required[0]}))  # one given twice
    if case.keyword_only:
        calls.append(((*required, *fitting(case.keyword_only)), {}))
    for args, kwargs in calls:
        expected = refusal(case.plain, *args, **kwargs)
        assert refusal(case.layer, *args, **kwargs) == expected, (args, kwargs)
        assert "\n" not in expected


TYPED = sorted(name for name, case in CASES.items() if any(kind for _, kind in case.positional + case.keyword_only))


@pytest.mark.parametrize("name", TYPED)
def test_a_value_of_the_wrong_type_is_named_in_one_line(name):
    case = CASES[name]
    parameters = case.positional + case.keyword_only
    typed = [(i, p, kind) for i, (p, kind) in enumerate(parameters) if kind is not None]
    for i, parameter, (_, expected) in typed:
        values = dict(zip([p for p, _ in parameters], fitting(parameters), strict=True))
        for wrong, type_name in ((Unfit(), "Unfit"), (None, "None")):
            if wrong is None and expected.endswith(" or None"):
                continue
            values[parameter] = wrong
            message = refusal(case.layer, **values)
            assert message == f"{case.error_name}() argument '{parameter}' must be {expected}, not {type_name}", i


def test_the_issues_examples():
    assert refusal(sha256_hash, 5) == "sha256_hash() argument 'data' must be str, not int"
    assert refusal(get_aes_key_2, "pk", 123) == "get_aes_key_2() argument 'weight_param' must be str, not int"
    assert (
        refusal(VaultEntry, "t", "o", "p", HEX, HEX, 5) == "VaultEntry() argument 'hardware_hash' must be str, not int"
    )
    assert refusal(sha256_hash, "a", "b") == "sha256_hash() takes 1 positional argument but 2 were given"
    assert refusal(sha256_hash, text="a") == "sha256_hash() got an unexpected keyword argument 'text'"
    assert refusal(sha256_hash) == "sha256_hash() missing 1 required positional argument: 'data'"


def test_a_float_without_an_integer_value_is_refused_before_any_work():
    from zeq.domain.crypto_layer.weight_issuer import generate_weight_parameter_with_timestamp, get_weight_digit

    assert refusal(get_weight_digit, float("inf"), 1) == (
        "get_weight_digit() argument 'weight_param' must be a finite number, not float"
    )
    assert refusal(generate_weight_parameter_with_timestamp, float("nan")) == (
        "generate_weight_parameter_with_timestamp() argument 'timestamp_ms' must be a finite number or None, not float"
    )


def test_a_method_given_another_object_as_self_is_refused_as_the_hosts_methods_are():
    assert (
        refusal(VaultEntry.to_json, 5)
        == "descriptor 'to_json' for 'VaultEntry' objects doesn't apply to a 'int' object"
    )


def test_a_type_error_of_the_operation_itself_is_left_alone():
    # a TypeError raised inside the call (here the host's json on a dict key) is no refusal of the arguments
    class Odd(VaultEntry):
        def to_dict(self):
            return {("not", "a", "key"): 1}

    entry = Odd("phone", "u1", "138", HEX, HEX, HEX)
    with pytest.raises(TypeError, match=re.escape("keys must be str, int, float, bool or None, not tuple")):
        entry.to_json()
