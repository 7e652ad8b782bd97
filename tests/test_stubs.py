"""The type stubs of nivra._native describe what the module really offers.

The committed stubs are the text scripts/gen_stubs.py generates from the
module's declarations. Every function, method, property and static method of
the module appears in python/nivra/_native.pyi with the parameter names, kinds
and defaults of its runtime text signature, and the stubs name nothing the
module lacks.
"""

import ast
import importlib.util
import inspect
from pathlib import Path

import pytest

from nivra import _native

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "nivra" / "_native.pyi"


def test_committed_stubs_are_the_generated_ones():
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    gen_stubs = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen_stubs)
    generated = gen_stubs.generate()
    assert {p.name for p in generated} == {"_native.pyi", "qec.pyi"}
    for path, text in generated.items():
        assert path.read_text(encoding="utf-8") == text, f"{path.name}: run scripts/gen_stubs.py"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


REQUIRED = "<required>"


def stub_params(fn: ast.FunctionDef, drop_first: bool):
    """(name, kind, default value) for each parameter of a stub function."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [REQUIRED] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    out = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional, defaults)]
    if drop_first:
        out = out[1:]
    out += [
        (a.arg, "KEYWORD_ONLY", REQUIRED if d is None else ast.literal_eval(d))
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    return out


def runtime_params(obj):
    out = []
    for p in inspect.signature(obj).parameters.values():
        if p.kind is p.POSITIONAL_ONLY and p.name == "self":
            continue
        kind = "KEYWORD_ONLY" if p.kind is p.KEYWORD_ONLY else "POSITIONAL_OR_KEYWORD"
        default = REQUIRED if p.default is p.empty else p.default
        out.append((p.name, kind, default))
    return out


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_module_level_names_match():
    tree = stub_tree()
    stubbed = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            stubbed.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            stubbed.add(node.target.id)
        elif isinstance(node, ast.ImportFrom) and node.module == "nivra":
            stubbed.update(alias.asname or alias.name for alias in node.names)
    assert stubbed == public(vars(_native)) | {"__version__"}


def test_functions_match_their_text_signatures():
    checked = 0
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            runtime = getattr(_native, node.name)
            assert runtime.__text_signature__ is not None, node.name
            assert stub_params(node, drop_first=False) == runtime_params(runtime), node.name
            assert ast.get_docstring(node) == inspect.getdoc(runtime), node.name
            checked += 1
    assert checked >= 9


@pytest.mark.parametrize("cls_name", ["Circuit", "PauliSum", "RunResult", "NoiseModel", "QuantumError"])
def test_classes_match(cls_name):
    node = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == cls_name)
    cls = getattr(_native, cls_name)
    assert ast.get_docstring(node) == inspect.getdoc(cls)
    members = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            members[item.name] = item
    runtime_names = public(vars(cls))
    assert public(members) == runtime_names, cls_name

    if "__new__" in members:
        assert stub_params(members["__new__"], drop_first=True) == runtime_params(cls)
    else:
        assert cls.__text_signature__ is None

    for name in runtime_names:
        fn = members[name]
        raw = inspect.getattr_static(cls, name)
        if isinstance(raw, property):
            assert "property" in decorators(fn), name
            assert ast.get_docstring(fn) == raw.__doc__, name
        elif isinstance(raw, staticmethod):
            assert "staticmethod" in decorators(fn), name
            runtime = getattr(cls, name)
            assert stub_params(fn, drop_first=False) == runtime_params(runtime), name
            assert ast.get_docstring(fn) == inspect.getdoc(runtime), name
        else:
            assert not decorators(fn), name
            runtime = getattr(cls, name)
            assert runtime.__text_signature__.startswith("($self"), name
            assert stub_params(fn, drop_first=True) == runtime_params(runtime), name
            assert ast.get_docstring(fn) == inspect.getdoc(runtime), name
