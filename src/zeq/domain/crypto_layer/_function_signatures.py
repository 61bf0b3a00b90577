"""inspect.signature for the layer's functions and methods.

inspect.signature reads ``__signature__`` through the object's type. nanobind's
function types have none and take no new attributes from Python, so the extension
modules give each of them a ``__signature__`` descriptor from C++ when the first of
them loads (``install_function_signatures`` in the bindings' host code), and its
getter calls signature_of() below. Calls never look the attribute up: they cost
what they did.

A function's Signature is built once, from the text nanobind keeps for it (the text
the stubs are generated from), the way Python builds one for a ``def``: names and
kinds of the parameters from the text, annotations evaluated in the function's
module, defaults as the text writes them. A bound method's drops ``self``.

A class of the layer answers with its constructor's Signature (without ``self``),
as Python answers for a class whose ``__init__`` is a ``def``: nanobind's metaclass
gets the same descriptor, because Python 3.11 before 3.11.7 does not look past the
``__new__`` nanobind gives each class.

Functions and classes of other nanobind modules in the process get None, which the
getter turns into the AttributeError they raised before; so does a function with
several overloads, which has no one signature to give.

refusal() gives the host's words for a call whose arguments a function refused
(the bindings raise them as its TypeError): Python's own, for a wrong count or an
unknown keyword, from a plain def with the function's signature; otherwise each
argument given beside the type its signature shows, for the bindings to find the
one their casters refused.
"""

from __future__ import annotations

import ast
import builtins
import functools
import inspect
import re
import sys
from collections.abc import Callable
from typing import Any

from ._function_pickling import is_layer_function

# nanobind writes a default it did not render itself as \N (the N-th of the values
# it gives beside the text) or \=N (the N-th of the texts it gives).
_DEFAULT_REFERENCE = re.compile(r"\\(=?)(\d+)")
_GIVEN_DEFAULT = "__nb_default_{}__"

# What an annotation may contain to be evaluated: names, dotted names, subscripts,
# unions and literals. Anything else stays the text it is.
_ANNOTATION_NODES = (
    ast.Expression,
    ast.Name,
    ast.Attribute,
    ast.Subscript,
    ast.BinOp,
    ast.BitOr,
    ast.Constant,
    ast.Tuple,
    ast.List,
    ast.Load,
)


def signature_of(function: Any) -> inspect.Signature | None:
    """The Signature of one of the layer's functions, methods, bound methods or
    classes; None for any other nanobind function or class and for a function
    with several overloads."""
    if not is_layer_function(function):
        return None
    if isinstance(function, type):
        return _bound_signature(function.__init__)
    unbound = getattr(function, "__func__", None)  # only bound methods have one
    if unbound is None:
        return _signature(function)
    return _bound_signature(unbound)


def refusal(function: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | tuple[str, list[Any]] | None:
    """What the host says of a call of one of the layer's functions (methods with
    their ``self``) that nanobind refused: the text of Python's own TypeError when
    a plain def with the same signature refuses the call too; otherwise the name
    the host's argument errors give the function and (parameter, type shown,
    value) of each argument given, in the signature's order. None when there is
    nothing to say (not one of the layer's functions, several overloads)."""
    if not is_layer_function(function):
        return None
    definition = _definition(function)
    if definition is None:
        return None
    try:
        _plain_function(function)(*args, **kwargs)
    except TypeError as error:
        return str(error)
    given = _signature(function).bind(*args, **kwargs).arguments
    name = function.__name__
    owner_name, _, _ = function.__qualname__.rpartition(".")
    if owner_name:  # a method: the host's own methods name the class for a self of another type
        owner = getattr(sys.modules.get(function.__module__), owner_name, None)
        if isinstance(owner, type) and "self" in given and not isinstance(given["self"], owner):
            got = type(given["self"]).__name__
            return f"descriptor '{name}' for '{owner.__name__}' objects doesn't apply to a '{got}' object"
        if name == "__init__":
            name = owner_name  # as the constructors' own argument errors name it
    shown = _shown_types(function)
    return name, [(parameter, shown[parameter], value) for parameter, value in given.items() if shown[parameter]]


class _WrittenDefault:
    """A default that is not a literal: shown as the text writes it, never evaluated."""

    def __init__(self, text: str) -> None:
        self._text = text

    def __repr__(self) -> str:
        return self._text


@functools.cache
def _definition(function: Any) -> tuple[ast.FunctionDef, dict[str, Any]] | None:
    """The def statement nanobind's text for the function is the head of, and the
    defaults given beside the text by their names in it."""
    overloads = function.__nb_signature__
    if len(overloads) != 1:
        return None
    text, _doc, given_defaults = overloads[0]
    given = {}
    if given_defaults:
        given = {_GIVEN_DEFAULT.format(i): value for i, value in enumerate(given_defaults)}
        text = _DEFAULT_REFERENCE.sub(
            lambda m: given_defaults[int(m[2])] if m[1] else _GIVEN_DEFAULT.format(m[2]), text
        )
    definition = ast.parse(text + ": ...").body[0]  # the text is the head of a def statement
    assert isinstance(definition, ast.FunctionDef)
    return definition, given


@functools.cache
def _signature(function: Any) -> inspect.Signature | None:
    found = _definition(function)
    if found is None:
        return None
    definition, given = found
    annotation = _annotation_evaluator(sys.modules.get(function.__module__))

    def default(node: ast.expr | None) -> Any:
        if node is None:
            return inspect.Parameter.empty
        if isinstance(node, ast.Name) and node.id in given:
            return given[node.id]
        try:
            return ast.literal_eval(node)
        except (ValueError, TypeError):
            return _WrittenDefault(ast.unparse(node))

    return inspect.Signature(
        _parameters(definition.args, default, annotation), return_annotation=annotation(definition.returns)
    )


@functools.cache
def _plain_function(function: Any) -> Callable[..., None]:
    """A def with the function's name and parameters (kinds and which have
    defaults), which does nothing: Python's own argument errors for a call."""
    found = _definition(function)
    assert found is not None
    arguments = found[0].args

    def plain(a: ast.arg) -> ast.arg:
        return ast.arg(a.arg)

    head = ast.arguments(
        posonlyargs=[plain(a) for a in arguments.posonlyargs],
        args=[plain(a) for a in arguments.args],
        vararg=arguments.vararg and plain(arguments.vararg),
        kwonlyargs=[plain(a) for a in arguments.kwonlyargs],
        kw_defaults=[d and ast.Constant(None) for d in arguments.kw_defaults],
        kwarg=arguments.kwarg and plain(arguments.kwarg),
        defaults=[ast.Constant(None) for _ in arguments.defaults],
    )
    namespace: dict[str, Any] = {}
    exec(f"def {function.__name__}({ast.unparse(head)}): pass", namespace)  # names and kinds only, from the text
    defined = namespace[function.__name__]
    defined.__qualname__ = function.__qualname__  # Python's errors name the function by it
    defined.__module__ = function.__module__
    return defined


@functools.cache
def _shown_types(function: Any) -> dict[str, str]:
    """Each parameter's type as the text shows it ("" for none)."""
    found = _definition(function)
    assert found is not None
    arguments = found[0].args
    every = [*arguments.posonlyargs, *arguments.args, arguments.vararg, *arguments.kwonlyargs, arguments.kwarg]
    return {a.arg: ast.unparse(a.annotation) if a.annotation else "" for a in every if a is not None}


@functools.cache
def _bound_signature(function: Any) -> inspect.Signature | None:
    signature = _signature(function)
    if signature is None:
        return None
    return signature.replace(parameters=list(signature.parameters.values())[1:])


def _parameters(
    arguments: ast.arguments, default: Callable[[ast.expr | None], Any], annotation: Callable[[ast.expr | None], Any]
) -> list[inspect.Parameter]:
    kinds = inspect.Parameter
    positional = [(a, kinds.POSITIONAL_ONLY) for a in arguments.posonlyargs]
    positional += [(a, kinds.POSITIONAL_OR_KEYWORD) for a in arguments.args]
    # The defaults belong to the last positional parameters.
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(arguments.defaults))
    defaults += arguments.defaults
    entries = [(a, kind, d) for (a, kind), d in zip(positional, defaults, strict=True)]
    if arguments.vararg is not None:
        entries.append((arguments.vararg, kinds.VAR_POSITIONAL, None))
    entries += [(a, kinds.KEYWORD_ONLY, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True)]
    if arguments.kwarg is not None:
        entries.append((arguments.kwarg, kinds.VAR_KEYWORD, None))
    return [
        inspect.Parameter(a.arg, kind, default=default(d), annotation=annotation(a.annotation))
        for a, kind, d in entries
    ]


def _annotation_evaluator(module: Any) -> Callable[[ast.expr | None], Any]:
    """Evaluates annotations as the module's own code would see them; a dotted name
    whose first part the module does not hold (typing.Any) is an imported module's."""
    namespace = dict(vars(module)) if module is not None else {}

    def annotation(node: ast.expr | None) -> Any:
        if node is None:
            return inspect.Parameter.empty
        expression = ast.Expression(node)
        if not all(isinstance(n, _ANNOTATION_NODES) for n in ast.walk(expression)):
            return ast.unparse(node)
        scope = {
            n.id: sys.modules[n.id]
            for n in ast.walk(node)
            if isinstance(n, ast.Name) and n.id in sys.modules and not hasattr(builtins, n.id)
        }
        scope.update(namespace)
        try:
            return eval(compile(expression, "<signature>", "eval"), scope)  # only the nodes checked above
        except Exception:
            return ast.unparse(node)  # a name the module does not hold: kept as a forward reference

    return annotation
