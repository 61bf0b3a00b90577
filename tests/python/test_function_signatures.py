"""inspect.signature works on every function and method of the layer, with the
parameter names, kinds, defaults and annotations of the committed stubs, so that
decorators, argument binders and documentation tools see what the stubs declare."""

from __future__ import annotations

import ast
import functools
import importlib
import inspect
import pathlib
import pydoc
from typing import Any

import pytest

import zeq.domain.crypto_layer as package
from zeq.domain.crypto_layer import _function_signatures, sha256_hash
from zeq.domain.crypto_layer.entry_digest import generate_entry_digest
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.domain.crypto_layer.sealed_cell import SealedCellManager
from zeq.domain.crypto_layer.vault_entry import VaultEntry, VaultEntryBuilder

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "zeq" / "domain" / "crypto_layer"
HEX = "0123456789abcdef" * 4
SALTS = {f"salt{i}": v for i, v in enumerate([3, 5, 2, 4, 6, 7, 8, 9, 1, 2], start=1)}

# One instance of each class of the layer, for its bound methods.
INSTANCES = {
    "VaultEntry": lambda: VaultEntry("phone", "u1", "138", HEX, HEX, HEX),
    "VaultEntryBuilder": VaultEntryBuilder,
    "RuleSealer": lambda: RuleSealer(SALTS),
    "SealedCellManager": SealedCellManager,
}

P = inspect.Parameter


# ---------------------------------------------------------------- what the stubs declare


def decorator_names(node: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d).rpartition(".")[2] for d in node.decorator_list}


def stub_namespace(module: Any, tree: ast.Module) -> dict[str, Any]:
    """The names a stub's annotations refer to: its imports beside the module's own names."""
    namespace = dict(vars(module))
    imports = [node for node in tree.body if isinstance(node, (ast.Import, ast.ImportFrom))]
    exec(compile(ast.Module(body=imports, type_ignores=[]), "<stub imports>", "exec"), namespace)
    return namespace


def stub_parameters(node: ast.FunctionDef, namespace: dict[str, Any]) -> list[tuple[str, Any, Any, Any]]:
    """(name, kind, default, annotation) of each parameter the stub declares."""

    def annotation(expr):
        return P.empty if expr is None else eval(compile(ast.Expression(expr), "<stub>", "eval"), namespace)

    args = node.args
    positional = [(a, P.POSITIONAL_ONLY) for a in args.posonlyargs] + [(a, P.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    entries = [(a, kind, d) for (a, kind), d in zip(positional, defaults, strict=True)]
    if args.vararg:
        entries.append((args.vararg, P.VAR_POSITIONAL, None))
    entries += [(a, P.KEYWORD_ONLY, d) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)]
    if args.kwarg:
        entries.append((args.kwarg, P.VAR_KEYWORD, None))
    return [
        (a.arg, kind, P.empty if d is None else ast.literal_eval(d), annotation(a.annotation)) for a, kind, d in entries
    ]


def stub_table():
    """(name, callable, expected parameters, expected return annotation) of every function
    and method the stubs declare, methods also bound to an instance. Properties are
    attributes, not operations."""
    for stub in sorted(STUB_DIR.glob("*.pyi")):
        module = importlib.import_module(f"{package.__name__}.{stub.stem}")
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        namespace = stub_namespace(module, tree)
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                yield (
                    f"{stub.stem}.{node.name}",
                    getattr(module, node.name),
                    stub_parameters(node, namespace),
                    eval(ast.unparse(node.returns), namespace),
                )
            elif isinstance(node, ast.ClassDef):
                cls = getattr(module, node.name)
                methods = [
                    member
                    for member in node.body
                    if isinstance(member, ast.FunctionDef) and not decorator_names(member) & {"property", "setter"}
                ]
                instance = INSTANCES[node.name]() if methods else None  # error types declare none
                for member in methods:
                    parameters = stub_parameters(member, namespace)
                    returns = eval(ast.unparse(member.returns), namespace)
                    name = f"{stub.stem}.{node.name}.{member.name}"
                    kind = decorator_names(member) & {"classmethod", "staticmethod"}
                    if kind == {"classmethod"}:  # bound to the class on access
                        yield name, getattr(cls, member.name), parameters[1:], returns
                        continue
                    yield name, getattr(cls, member.name), parameters, returns
                    if not kind:
                        yield f"{name} (bound)", getattr(instance, member.name), parameters[1:], returns


TABLE = {name: (function, parameters, returns) for name, function, parameters, returns in stub_table()}


def described(signature: inspect.Signature) -> list[tuple[str, Any, Any, Any]]:
    return [(p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()]


def test_the_table_covers_every_module_and_class():
    assert {name.split(".")[0] for name in TABLE} == {stub.stem for stub in STUB_DIR.glob("*.pyi")}
    assert {
        "digest_base.sha256_hash",
        "vault_entry.VaultEntry.to_json (bound)",
        "vault_entry.VaultEntry.from_json",
        "rule_sealer.RuleSealer._derive_credentials",
        "sealed_cell.SealedCellManager.__init__",
    } <= set(TABLE)


@pytest.mark.parametrize("name", sorted(TABLE))
def test_signature_is_the_stubs(name):
    function, parameters, returns = TABLE[name]
    signature = inspect.signature(function)
    assert described(signature) == parameters
    assert [type(p.default) for p in signature.parameters.values()] == [type(p[2]) for p in parameters]
    assert signature.return_annotation == returns


def test_signature_is_built_once_per_function():
    assert inspect.signature(sha256_hash) is inspect.signature(sha256_hash)
    entry = INSTANCES["VaultEntry"]()
    assert inspect.signature(entry.to_json) is inspect.signature(INSTANCES["VaultEntry"]().to_json)


@pytest.mark.parametrize("cls", [VaultEntry, VaultEntryBuilder, RuleSealer, SealedCellManager])
def test_a_class_shows_its_constructors_parameters(cls):
    init = list(inspect.signature(cls.__init__).parameters.values())
    assert list(inspect.signature(cls).parameters.values()) == init[1:]


# ---------------------------------------------------------------- what hosts do with it


def test_arguments_bind_as_the_function_takes_them():
    bound = inspect.signature(generate_entry_digest).bind(
        "phone", "agent-7", environment_cipher=HEX, weight_param=1733817600123456, salts=SALTS
    )
    bound.apply_defaults()
    assert bound.arguments["diff_1"] is None and bound.arguments["salts"] is SALTS
    assert generate_entry_digest(*bound.args, **bound.kwargs) == generate_entry_digest(
        "phone", "agent-7", environment_cipher=HEX, weight_param=1733817600123456, salts=SALTS
    )
    with pytest.raises(TypeError):
        inspect.signature(sha256_hash).bind(text="x")
    with pytest.raises(TypeError):
        inspect.signature(INSTANCES["VaultEntry"]().to_json).bind("extra")


def test_a_decorator_binds_and_shows_the_functions_signature():
    seen = []

    def logged(function):
        signature = inspect.signature(function)

        @functools.wraps(function)
        def wrapper(*args, **kwargs):
            seen.append(dict(signature.bind(*args, **kwargs).arguments))
            return function(*args, **kwargs)

        return wrapper

    hashed = logged(sha256_hash)
    assert hashed(data="abc") == sha256_hash("abc") and seen == [{"data": "abc"}]
    assert inspect.signature(hashed) == inspect.signature(sha256_hash)
    entry = INSTANCES["VaultEntry"]()
    assert logged(entry.to_json)() == entry.to_json() and seen[-1] == {}


def test_help_shows_the_signatures():
    # Without signatures pydoc writes "name(...)" for each method, and no constructor line.
    for cls in (VaultEntry, VaultEntryBuilder, RuleSealer, SealedCellManager):
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        assert "(...)" not in text
        assert f" |  {cls.__name__}(" in text.partition("Methods defined here")[0]
    for stub in STUB_DIR.glob("*.pyi"):
        pydoc.render_doc(importlib.import_module(f"{package.__name__}.{stub.stem}"), renderer=pydoc.plaintext)


# ---------------------------------------------------------------- other nanobind functions


def test_nanobind_functions_that_are_not_the_layers_have_no_signature_as_before():
    # A property accessor belongs to no module: nanobind's own kind of function, not one of the layer's.
    accessor = VaultEntryBuilder.data.fget
    assert accessor.__module__ is None
    with pytest.raises(AttributeError, match=r"^'nanobind.nb_method' object has no attribute '__signature__'$") as e:
        accessor.__signature__  # noqa: B018 (the access is what raises)
    assert e.value.name == "__signature__" and e.value.obj is accessor
    assert not hasattr(accessor, "__signature__")
    with pytest.raises(ValueError, match="no signature found"):
        inspect.signature(accessor)


@pytest.mark.parametrize(
    "kind",
    [type(sha256_hash), type(VaultEntry.to_json), type(INSTANCES["VaultEntry"]().to_json)],
    ids=lambda kind: kind.__name__,
)
def test_nanobinds_function_types_themselves_are_as_before(kind):
    with pytest.raises(AttributeError, match=rf"^type object '{kind.__module__}.{kind.__name__}' has no attribute"):
        kind.__signature__  # noqa: B018 (the access is what raises)
    try:  # inspect reads the type as any other: no signature, or its constructor's
        inspect.signature(kind)
    except ValueError as error:
        assert "no signature found for builtin type" in str(error)
    with pytest.raises(TypeError):
        kind.__signature__ = None


# ---------------------------------------------------------------- how a signature is read


class Written:
    """An object carrying signature text as nanobind writes it, in a module of the layer."""

    __module__ = f"{package.__name__}.written"

    def __init__(self, *overloads):
        self.__nb_signature__ = overloads


@pytest.mark.parametrize(
    "text, defaults, expected",
    [
        (
            "def f(a: int, /, b: str, *, c: bool = \\0) -> None",
            (True,),
            [
                ("a", P.POSITIONAL_ONLY, P.empty, int),
                ("b", P.POSITIONAL_OR_KEYWORD, P.empty, str),
                ("c", P.KEYWORD_ONLY, True, bool),
            ],
        ),
        (
            "def f(*args, **kwargs) -> object",
            None,
            [("args", P.VAR_POSITIONAL, P.empty, P.empty), ("kwargs", P.VAR_KEYWORD, P.empty, P.empty)],
        ),
        (
            'def f(x: typing.Any = \\0, y: "std::vector<int>" = \\=1) -> int',
            ([1, 2], "(3, 4)"),
            [("x", P.POSITIONAL_OR_KEYWORD, [1, 2], Any), ("y", P.POSITIONAL_OR_KEYWORD, (3, 4), "std::vector<int>")],
        ),
        ("def f(s: str = '\\0') -> str", None, [("s", P.POSITIONAL_OR_KEYWORD, "\0", str)]),
    ],
)
def test_signature_text_is_read_as_a_def(text, defaults, expected):
    signature = _function_signatures.signature_of(Written((text, None, defaults)))
    assert described(signature) == expected


def test_defaults_that_are_not_literals_are_shown_never_run():
    signature = _function_signatures.signature_of(Written(("def f(x: int = compute()) -> int", None, None)))
    assert str(signature) == "(x: int = compute()) -> int"


def test_an_annotation_the_module_cannot_resolve_stays_its_text():
    signature = _function_signatures.signature_of(Written(("def f(x: Unknown[int]) -> other.Thing", None, None)))
    assert signature.parameters["x"].annotation == "Unknown[int]" and signature.return_annotation == "other.Thing"


def test_several_overloads_have_no_one_signature():
    overloaded = Written(("def f(x: int) -> int", None, None), ("def f(x: str) -> str", None, None))
    assert _function_signatures.signature_of(overloaded) is None


def test_a_hosts_subclass_shows_its_own_constructor_and_instances_have_no_signature():
    class Noted(VaultEntry):
        def __init__(self, note, *, strict=False):
            super().__init__("phone", "u1", note, "", "", "")

    class Same(VaultEntry):
        pass

    assert str(inspect.signature(Noted)) == "(note, *, strict=False)"
    assert inspect.signature(Same) == inspect.signature(VaultEntry)
    assert not hasattr(INSTANCES["VaultEntry"](), "__signature__")
    # The metaclass itself has none (the host names it "nb_type" or, from 3.12, "nanobind.nb_type").
    with pytest.raises(AttributeError, match=r"^type object '(nanobind\.)?nb_type' has no attribute '__signature__'$"):
        type(VaultEntry).__signature__  # noqa: B018
