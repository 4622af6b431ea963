"""The types type checkers see agree with the module: what stubtest cannot
check, as the bindings carry no signatures it reads and it compares neither
exception bases nor enum values."""

import ast
from pathlib import Path

import pytest

import imgnorm
from imgnorm import _imgnorm

PACKAGE = Path(__file__).resolve().parents[1] / "imgnorm"
STUB = ast.parse((PACKAGE / "_imgnorm.pyi").read_text())


def stub_class(name, tree=STUB):
    return next(n for n in ast.walk(tree) if isinstance(n, ast.ClassDef) and n.name == name)


def test_method_members_declared_for_type_checkers_are_the_tables():
    declared = stub_class("Method", ast.parse((PACKAGE / "__init__.py").read_text()))
    members = {n.targets[0].id: n.value.value for n in declared.body if isinstance(n, ast.Assign)}
    assert members == {name: int(flag) for name, flag in imgnorm.Method.__members__.items()}


@pytest.mark.parametrize("name", [n for n, o in vars(_imgnorm).items()
                                  if isinstance(o, type) and issubclass(o, BaseException)])
def test_exception_bases(name):
    bases = [ast.unparse(b) for b in stub_class(name).bases]
    assert bases == [b.__name__ for b in getattr(_imgnorm, name).__bases__]


def stub_parameters(function):
    """(name, keyword only, default source) of each parameter but self."""
    a = function.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    pairs = [(p, d, False) for p, d in zip(positional, defaults)]
    pairs += [(p, d, True) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(p.arg, kw, d and ast.unparse(d)) for p, d, kw in pairs if p.arg != "self"]


# The compiled functions by the name the stub gives them; pybind11 writes
# each one's signature, as Python, on the first line of its docstring.
BOUND = {name: value for name, value in vars(_imgnorm).items()
         if callable(value) and not isinstance(value, type)}
BOUND |= {f"Normalizer.{name}": value.__func__
          for name, value in vars(_imgnorm.Normalizer).items()
          if type(value).__name__ in ("instancemethod", "staticmethod")
          and name != "__repr__"}  # object's


@pytest.mark.parametrize("name", sorted(BOUND))
def test_parameters(name):
    header = BOUND[name].__doc__.splitlines()[0].split(" -> ")[0]
    runtime = ast.parse(f"def {header}: ...").body[0]
    scope = stub_class("Normalizer").body if "." in name else STUB.body
    stub = next(n for n in scope if isinstance(n, ast.FunctionDef) and n.name == name.split(".")[-1])
    assert stub_parameters(stub) == stub_parameters(runtime)
