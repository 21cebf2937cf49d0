"""The .pyi stubs shipped with the package describe the built modules exactly."""

import ast
import dataclasses
import enum
import importlib
import inspect
import types
from pathlib import Path
from typing import Any, get_args, get_origin

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
MODULES = ("zorvik.skills.skill_engine", "zorvik.core.tier_chooser")
P = inspect.Parameter
FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)

# A fresh instance of each class whose stub declares instance attributes.
INSTANCES = {
    "ZorvikContext": lambda m: m.ZorvikContext("demo"),
    "PythonSkillRunner": lambda m: m.PythonSkillRunner(),
    "TierChooser": lambda m: m.TierChooser(),
}


def parse_stub(module_name):
    return ast.parse((SRC / f"{module_name.replace('.', '/')}.pyi").read_text(encoding="utf-8"))


def short(module_name):
    return module_name.rsplit(".", 1)[1]


def stub_functions():
    for name in MODULES:
        for node in parse_stub(name).body:
            members = node.body if isinstance(node, ast.ClassDef) else [node]
            owner = node.name if isinstance(node, ast.ClassDef) else None
            for fn in filter(lambda n: isinstance(n, FUNCTIONS), members):
                label = ".".join(filter(None, (short(name), owner, fn.name)))
                yield pytest.param(name, owner, fn, id=label)


def stub_classes():
    for name in MODULES:
        for node in parse_stub(name).body:
            if isinstance(node, ast.ClassDef):
                yield pytest.param(name, node, id=f"{short(name)}.{node.name}")


def stub_parameters(fn):
    """The stub's parameter list as inspect.Parameter objects, defaults evaluated."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [ast.literal_eval(d) for d in args.defaults]
    defaults = [P.empty] * (len(positional) - len(defaults)) + defaults
    kinds = [P.POSITIONAL_ONLY] * len(args.posonlyargs) + [P.POSITIONAL_OR_KEYWORD] * len(args.args)
    params = [P(arg.arg, kind, default=default) for arg, kind, default in zip(positional, kinds, defaults)]
    if args.vararg:
        params.append(P(args.vararg.arg, P.VAR_POSITIONAL))
    params += [
        P(arg.arg, P.KEYWORD_ONLY, default=P.empty if default is None else ast.literal_eval(default))
        for arg, default in zip(args.kwonlyargs, args.kw_defaults)
    ]
    if args.kwarg:
        params.append(P(args.kwarg.arg, P.VAR_KEYWORD))
    return params


def shape(params):
    # str() shows the default's repr, so 5000 and 5000.0 differ.
    return [(p.kind, str(p.replace(annotation=P.empty))) for p in params]


def annotation_namespace(module_name):
    """The runtime module's names plus whatever the stub itself imports."""
    namespace = dict(vars(importlib.import_module(module_name)))
    for node in parse_stub(module_name).body:
        if isinstance(node, ast.Import):
            namespace.update({a.asname or a.name: importlib.import_module(a.name) for a in node.names})
        elif isinstance(node, ast.ImportFrom):
            source = importlib.import_module(node.module)
            namespace.update({a.asname or a.name: getattr(source, a.name) for a in node.names})
    return namespace


def conforms(value, annotation):
    if annotation is Any:
        return True
    if isinstance(annotation, types.UnionType):
        return any(conforms(value, arm) for arm in get_args(annotation))
    return isinstance(value, get_origin(annotation) or annotation)


def assert_annotations_hold(target, declared, namespace):
    for name, annotation in declared.items():
        expected = eval(annotation, namespace)
        assert conforms(getattr(target, name), expected), f"{name}: {annotation}"


def declared_names(body):
    """Annotated names without a value, as {name: annotation text}."""
    return {
        n.target.id: ast.unparse(n.annotation)
        for n in body
        if isinstance(n, ast.AnnAssign) and n.value is None
    }


def is_imported(obj, module):
    if inspect.ismodule(obj):
        return True
    return (isinstance(obj, type) or inspect.isroutine(obj)) and obj.__module__ != module.__name__


@pytest.mark.parametrize("module_name", MODULES, ids=short)
def test_module_names(module_name):
    module = importlib.import_module(module_name)
    body = parse_stub(module_name).body
    named = {n.name for n in body if isinstance(n, (ast.ClassDef, *FUNCTIONS))}
    named |= {t.id for n in body if isinstance(n, ast.Assign) for t in n.targets}
    named |= {n.target.id for n in body if isinstance(n, ast.AnnAssign)}
    # Public names and the module's own private tables; dunders and imports are not API.
    defined = {k for k, v in vars(module).items() if not k.startswith("__") and not is_imported(v, module)}
    assert defined - named == set(), "defined at runtime, missing from the stub"
    assert named - set(vars(module)) == set(), "in the stub, missing at runtime"
    assert_annotations_hold(module, declared_names(body), annotation_namespace(module_name))


@pytest.mark.parametrize(("module_name", "owner", "fn"), list(stub_functions()))
def test_function_signature(module_name, owner, fn):
    module = importlib.import_module(module_name)
    target = getattr(module, owner) if owner else module
    static = inspect.getattr_static(target, fn.name)
    decorators = {ast.unparse(d) for d in fn.decorator_list}
    params = stub_parameters(fn)
    if "property" in decorators:
        assert isinstance(static, property)
        assert static.fset is None, "the stub declares no setter"
        return
    if fn.name == "__init__":
        runtime, params = inspect.signature(target), params[1:]
    elif "classmethod" in decorators:
        assert isinstance(static, classmethod)
        runtime, params = inspect.signature(getattr(target, fn.name)), params[1:]
    else:
        assert not isinstance(static, (classmethod, staticmethod, property))
        runtime = inspect.signature(static)
    assert shape(runtime.parameters.values()) == shape(params)
    is_async = isinstance(fn, ast.AsyncFunctionDef)
    assert inspect.iscoroutinefunction(getattr(target, fn.name)) == is_async


def stub_field(node):
    if node.value is None:
        default = None
    elif isinstance(node.value, ast.Call) and ast.unparse(node.value.func) == "field":
        default = "<factory>"
    else:
        default = repr(ast.literal_eval(node.value))
    return (node.target.id, ast.unparse(node.annotation), default)


def runtime_field(f):
    if f.default is not dataclasses.MISSING:
        return (f.name, f.type, repr(f.default))
    return (f.name, f.type, None if f.default_factory is dataclasses.MISSING else "<factory>")


@pytest.mark.parametrize(("module_name", "node"), list(stub_classes()))
def test_class_shape(module_name, node):
    module = importlib.import_module(module_name)
    cls = getattr(module, node.name)
    assert [b.__name__ for b in cls.__bases__] == ([ast.unparse(b) for b in node.bases] or ["object"])
    assert dataclasses.is_dataclass(cls) == ("dataclass" in map(ast.unparse, node.decorator_list))
    if issubclass(cls, enum.Enum):
        assigned = [n for n in node.body if isinstance(n, ast.Assign)]
        members = {t.id: ast.literal_eval(n.value) for n in assigned for t in n.targets}
        assert members == {name: member.value for name, member in cls.__members__.items()}
        return
    own = {k for k in vars(cls) if not (k.startswith("__") and k.endswith("__"))}
    methods = {n.name for n in node.body if isinstance(n, FUNCTIONS) and not n.name.startswith("__")}
    if dataclasses.is_dataclass(cls):
        fields = dataclasses.fields(cls)
        assert own - {f.name for f in fields} == methods
        stub_fields = [stub_field(n) for n in node.body if isinstance(n, ast.AnnAssign)]
        assert [runtime_field(f) for f in fields] == stub_fields
    else:
        assert own == methods
        declared = declared_names(node.body)
        instance = INSTANCES[node.name](module)
        assert set(vars(instance)) == declared.keys(), "instance attributes"
        assert_annotations_hold(instance, declared, annotation_namespace(module_name))
