"""Writes the type stubs python/nivra/_native.pyi and python/nivra/qec.pyi from the installed module.

    python3 scripts/gen_stubs.py           # rewrite the stubs
    python3 scripts/gen_stubs.py --check   # exit 1 when a committed stub differs from the generated text

Names, order, parameters, defaults and docstrings come from the module itself
(its text signatures); the annotations come from the bindings' declarations,
which the extension hands out through its exported C function
nivra_stub_types(). The text is laid out as black lays out a stub at 120
columns.
"""

import argparse
import ctypes
import inspect
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WIDTH = 120

NATIVE_HEADER = '''"""The native core of nivra: circuits, simulation, noise, energies and (in `qec`) decoding."""

from typing import Sequence, final

import numpy as np
import numpy.typing as npt

from nivra import qec as qec

__version__: str
'''

QEC_HEADER = '''"""Quantum error-correction decoding: detector error models and decoders."""

import os
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["DetectorErrorModel", "Decoder", "decoder_names"]
'''

def stub_types(native):
    fn = ctypes.PyDLL(native.__file__).nivra_stub_types
    fn.restype = ctypes.py_object
    fn.argtypes = []
    return fn()


def default_text(value):
    return f'"{value}"' if isinstance(value, str) else repr(value)


def parameters(fn, annotations, first):
    """The parameter texts of `fn`, `first` ("self", "cls" or None) leading."""
    out = [first] if first else []
    sig = inspect.signature(fn)
    params = [p for p in sig.parameters.values() if not (p.kind is p.POSITIONAL_ONLY and p.name in ("self", "type"))]
    assert len(params) == len(annotations), (fn, annotations)
    star = False
    for p, annotation in zip(params, annotations):
        if p.kind is p.KEYWORD_ONLY and not star:
            out.append("*")
            star = True
        if p.kind is p.VAR_KEYWORD:
            out.append(f"**{p.name}: {annotation}")
        elif p.default is p.empty:
            out.append(f"{p.name}: {annotation}")
        else:
            out.append(f"{p.name}: {annotation} = {default_text(p.default)}")
    return out


def docstring(doc, indent):
    assert '"""' not in doc and not doc.endswith('"') and "\\" not in doc, doc
    lines = doc.split("\n")
    body = [lines[0]] + [indent + line if line else "" for line in lines[1:]]
    return f'{indent}"""' + "\n".join(body) + '"""'


def define(name, params, result, doc, indent):
    """A def with its docstring (or `...`), wrapped as black wraps it."""
    tail = ":" if doc else ": ..."
    one_line = f"{indent}def {name}({', '.join(params)}) -> {result}{tail}"
    if len(one_line) <= WIDTH:
        head = one_line
    else:
        inner = indent + "    "
        joined = inner + ", ".join(params)
        if len(joined) <= WIDTH:
            head = f"{indent}def {name}(\n{joined}\n{indent}) -> {result}{tail}"
        else:
            lines = "".join(f"{inner}{p},\n" for p in params)
            head = f"{indent}def {name}(\n{lines}{indent}) -> {result}{tail}"
    if not doc:
        return head, False
    return head + "\n" + docstring(doc, indent + "    "), True


def class_members(cls, qualname, types):
    """(text, has_docstring) per member of `cls`, in the class's order."""
    members = []
    if cls.__text_signature__ is not None:
        params, result = types[f"{qualname}.__new__"]
        members.append(define("__new__", parameters(cls, params, "cls"), result, None, "    "))
    for name in vars(cls):
        if name.startswith("_"):
            continue
        raw = inspect.getattr_static(cls, name)
        params, result = types[f"{qualname}.{name}"]
        if isinstance(raw, property):
            text, has_doc = define(name, ["self"], result, raw.__doc__, "    ")
            members.append(("    @property\n" + text, has_doc))
        elif isinstance(raw, staticmethod):
            fn = getattr(cls, name)
            text, has_doc = define(name, parameters(fn, params, None), result, inspect.getdoc(fn), "    ")
            members.append(("    @staticmethod\n" + text, has_doc))
        else:
            fn = getattr(cls, name)
            members.append(define(name, parameters(fn, params, "self"), result, inspect.getdoc(fn), "    "))
    return members


def is_final(cls):
    # nanobind refuses subclasses when the class statement runs, not through the type flags.
    try:
        type("_Probe", (cls,), {})
    except TypeError:
        return True
    return False


def class_block(cls, types):
    lines = ("@final\n" if is_final(cls) else "") + f"class {cls.__name__}:"
    doc = inspect.getdoc(cls)
    if doc:
        lines += "\n" + docstring(doc, "    ")
    members = class_members(cls, cls.__name__, types)
    if doc and members:
        lines += "\n"
    for i, (text, has_doc) in enumerate(members):
        lines += "\n" + text
        if has_doc and i + 1 < len(members):
            lines += "\n"
    return lines


def module_stub(module, header, types):
    blocks = [header.rstrip("\n")]
    for name, obj in vars(module).items():
        if name.startswith("_") or inspect.ismodule(obj):
            continue
        if isinstance(obj, type):
            blocks.append(class_block(obj, types))
        else:
            params, result = types[name]
            text, _ = define(name, parameters(obj, params, None), result, inspect.getdoc(obj), "")
            blocks.append(text)
    return "\n\n".join(blocks) + "\n"


def generate():
    """{stub path: text} from the installed module."""
    from nivra import _native

    types = stub_types(_native)
    return {
        ROOT / "python" / "nivra" / "_native.pyi": module_stub(_native, NATIVE_HEADER, types),
        ROOT / "python" / "nivra" / "qec.pyi": module_stub(_native.qec, QEC_HEADER, types),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    stale = []
    for path, text in generate().items():
        if args.check:
            if path.read_text(encoding="utf-8") != text:
                stale.append(path)
        else:
            path.write_text(text, encoding="utf-8")
    for path in stale:
        print(f"{path.relative_to(ROOT)} differs from the generated stub; run scripts/gen_stubs.py", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
