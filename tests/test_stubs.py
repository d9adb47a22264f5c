"""The extension modules' .pyi stubs against the runtime: names, parameter lists, defaults, method kinds."""

from __future__ import annotations

import ast
import importlib
import inspect
import pathlib

import pytest

PYTHON = pathlib.Path(__file__).resolve().parent.parent / "python"
MODULES = {name: importlib.import_module(name) for name in ("_graphql", "_graphql_typed")}
STUBS = {name: ast.parse((PYTHON / f"{name}.pyi").read_text()) for name in MODULES}
CLASSES = {(m, n.name): n for m, stub in STUBS.items() for n in stub.body if isinstance(n, ast.ClassDef)}
STUB_METHODS = {(m, c, n.name): n for (m, c), node in CLASSES.items() for n in node.body
                if isinstance(n, ast.FunctionDef)}
RUNTIME_METHODS = [(m, c, name) for m, c in CLASSES for name in vars(getattr(MODULES[m], c))
                   if not name.startswith("__") or name == "__new__"]


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str, object]]:
    """(name, kind, default) with the leading self/cls dropped."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    kinds = ["POSITIONAL_ONLY"] * len(args.posonlyargs) + ["POSITIONAL_OR_KEYWORD"] * len(args.args)
    rows = list(zip((a.arg for a in positional), kinds, defaults))
    extra = [(a.arg, "KEYWORD_ONLY", inspect.Parameter.empty if d is None else ast.literal_eval(d))
             for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    star = [(v.arg, kind, inspect.Parameter.empty) for v, kind in ((args.vararg, "VAR_POSITIONAL"),
                                                                   (args.kwarg, "VAR_KEYWORD")) if v]
    return rows[1:] + extra + star if rows and rows[0][0] in ("self", "cls") else rows + extra + star


def runtime_parameters(obj: object) -> list[tuple[str, str, object]]:
    parameters = list(inspect.signature(obj).parameters.values())
    if parameters and parameters[0].name == "self":
        parameters = parameters[1:]
    return [(p.name, p.kind.name, p.default) for p in parameters]


@pytest.mark.parametrize("module", MODULES)
def test_module_and_class_names_match(module):
    stub, runtime = STUBS[module], MODULES[module]
    stub_all = next(ast.literal_eval(n.value) for n in stub.body if isinstance(n, ast.Assign)
                    and any(getattr(t, "id", None) == "__all__" for t in n.targets))
    stub_functions = {n.name for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert stub_all == runtime.__all__
    assert stub_functions | {c for m, c in CLASSES if m == module} == set(runtime.__all__)
    assert sorted(k for k in STUB_METHODS if k[0] == module) == sorted(k for k in RUNTIME_METHODS if k[0] == module)


@pytest.mark.parametrize(("module", "cls", "name"), RUNTIME_METHODS)
def test_method_parameters_and_kind_match(module, cls, name):
    stub = STUB_METHODS[module, cls, name]
    owner = getattr(MODULES[module], cls)
    runtime = owner if name == "__new__" else getattr(owner, name)
    assert stub_parameters(stub) == runtime_parameters(runtime)
    is_classmethod = type(vars(owner)[name]).__name__ == "classmethod_descriptor"
    assert is_classmethod == any(getattr(d, "id", None) == "classmethod" for d in stub.decorator_list)


@pytest.mark.parametrize("module", MODULES)
def test_function_parameters_match(module):
    for node in (n for n in STUBS[module].body if isinstance(n, ast.FunctionDef)):
        assert stub_parameters(node) == runtime_parameters(getattr(MODULES[module], node.name))
