"""The type stubs describe the whole engine: every class and function the
module registers, every public member with the same kind (method, property,
class or static method) and the same parameter names as the real one."""

import ast
import inspect
import pathlib

import pytest

import _ostrel_engine as engine

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "ostrel" / "__init__.pyi"
TREE = ast.parse(STUB.read_text())
STUB_CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
STUB_FUNCTIONS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}
ENGINE_NAMES = [n for n in vars(engine) if not n.startswith("_")]
ENGINE_CLASSES = [n for n in ENGINE_NAMES if isinstance(getattr(engine, n), type)]
ENGINE_FUNCTIONS = [n for n in ENGINE_NAMES if n not in ENGINE_CLASSES]

# Dunder members that stubs declare so that len() and friends type-check.
SPECIAL = {"__new__", "__len__", "__repr__", "__init__"}


def stub_members(name):
    members = {}
    for node in STUB_CLASSES[name].body:
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            members.setdefault(node.name, (node, decorators))
    return members


def real_kind(cls, member):
    raw = inspect.getattr_static(cls, member)
    if isinstance(raw, (staticmethod,)):
        return "staticmethod"
    if isinstance(raw, classmethod) or type(raw).__name__ == "classmethod_descriptor":
        return "classmethod"
    if inspect.isdatadescriptor(raw) or isinstance(raw, property):
        return "property"
    return "method"


def stub_kind(decorators):
    for kind in ("staticmethod", "classmethod", "property"):
        if kind in decorators:
            return kind
    return "method"


def stub_params(node, drop_first):
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args] + [a.arg for a in args.kwonlyargs]
    if drop_first and names:
        names = names[1:]
    return [n.rstrip("_") for n in names]


def real_params(obj):
    try:
        signature = inspect.signature(obj)
    except (ValueError, TypeError):
        return None
    names = [p.name for p in signature.parameters.values() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    # An unbound method's text signature starts with $self.
    return names[1:] if names[:1] == ["self"] else names


def test_every_engine_class_and_function_has_a_stub():
    assert sorted(set(ENGINE_CLASSES) - set(STUB_CLASSES)) == []
    assert sorted(set(ENGINE_FUNCTIONS) - set(STUB_FUNCTIONS)) == []


def test_stubs_declare_nothing_the_engine_lacks():
    assert sorted(set(STUB_CLASSES) - set(ENGINE_CLASSES)) == []
    assert sorted(set(STUB_FUNCTIONS) - set(ENGINE_FUNCTIONS)) == []


@pytest.mark.parametrize("name", ENGINE_CLASSES)
def test_class_members_match(name):
    if name not in STUB_CLASSES:
        pytest.fail(f"no stub for {name}")
    cls = getattr(engine, name)
    declared = stub_members(name)
    public = {m for m in dir(cls) if not m.startswith("_")}
    assert sorted(set(declared) - SPECIAL) == sorted(public)
    if hasattr(cls, "__len__"):
        assert "__len__" in declared, f"{name} supports len() but its stub does not say so"
    for member in sorted(public):
        node, decorators = declared[member]
        assert stub_kind(decorators) == real_kind(cls, member), f"{name}.{member}"
        if real_kind(cls, member) == "property":
            continue
        real = real_params(getattr(cls, member))
        if real is None:
            continue
        drop = stub_kind(decorators) != "staticmethod"
        assert stub_params(node, drop) == real, f"{name}.{member}"


@pytest.mark.parametrize("name", ENGINE_CLASSES)
def test_constructor_parameters_match(name):
    cls = getattr(engine, name)
    declared = stub_members(name) if name in STUB_CLASSES else {}
    real = real_params(cls) if cls.__doc__ and cls.__doc__.startswith(name + "(") else None
    if real is None:
        # Not constructible from Python (made by the engine or by class methods).
        return
    assert "__new__" in declared, f"{name} is constructible but its stub has no __new__"
    assert stub_params(declared["__new__"][0], True) == real


@pytest.mark.parametrize("name", ENGINE_FUNCTIONS)
def test_function_parameters_match(name):
    if name not in STUB_FUNCTIONS:
        pytest.fail(f"no stub for {name}")
    real = real_params(getattr(engine, name))
    if real is not None:
        assert stub_params(STUB_FUNCTIONS[name], False) == real
