"""Prints the Python surface of the installed nivra: every name of nivra._native
and nivra.qec in definition order, and for each function, class and class member
its kind, module, qualified name, text signature, inspect.signature and
docstring.

The stable-ABI module and the version-specific one are built from the same
sources through different C API routes; the test script diffs this listing
between interpreters so that no route changes what users see.
"""

import inspect
import sys

import nivra
import nivra._native as native


def text(value):
    return "-" if value is None else repr(value)


def signature(obj):
    try:
        return str(inspect.signature(obj))
    except (TypeError, ValueError) as exc:
        return f"<{type(exc).__name__}>"


def describe(label, obj, out, indent="  "):
    out.append(f"{label}: {type(obj).__name__}")
    for attr in ("__module__", "__qualname__", "__text_signature__", "__doc__"):
        out.append(f"{indent}{attr} = {text(getattr(obj, attr, None))}")
    if callable(obj):
        out.append(f"{indent}signature = {signature(obj)}")


def describe_module(module, out):
    out.append(f"module {module.__name__}: doc = {text(module.__doc__)}")
    for name, value in vars(module).items():
        if name in ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
                    "__cached__", "__path__"):
            continue
        if inspect.ismodule(value):
            out.append(f"{module.__name__}.{name}: module {value.__name__}")
        elif isinstance(value, type):
            describe(f"{module.__name__}.{name}", value, out)
            for member, descr in vars(value).items():
                # Bookkeeping entries that the interpreter itself adds to every type.
                if member in ("__dict__", "__weakref__", "__module__", "__doc__", "__qualname__", "__slotnames__"):
                    continue
                if isinstance(descr, (staticmethod, classmethod)):
                    kind = type(descr).__name__
                    descr = descr.__func__
                elif isinstance(descr, property):
                    out.append(f"  .{member}: property doc = {text(descr.__doc__)}")
                    continue
                else:
                    kind = type(descr).__name__
                describe(f"  .{member} ({kind})", descr, out, indent="    ")
        elif callable(value):
            describe(f"{module.__name__}.{name}", value, out)
        else:
            out.append(f"{module.__name__}.{name} = {value!r}")


def main():
    out = []
    describe_module(native, out)
    describe_module(native.qec, out)
    out.append(f"nivra.__all__ = {nivra.__all__!r}")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
