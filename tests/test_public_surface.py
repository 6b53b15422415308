"""The public surface of the two native modules against their .pyi stubs.

Needs no type checker, so it runs on every supported Python: the stubs shipped beside
the modules are parsed with ``ast`` and compared with what the imported modules hold.
"""
import ast
import importlib
import inspect
import logging
import multiprocessing
import os

import pytest

from orvex.async_ import concurro, synchronize

MODULES = [concurro, synchronize]
MODULE_DUNDERS = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__",
                  "__builtins__", "__cached__"}
# __slotnames__ is the pickling cache copyreg adds to a class once an instance is pickled.
CLASS_IMPLICIT = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                  "__slotnames__"}
NO_DOCSTRING = {"Pcall.__init__"}
# Members that take (cls, *args, **kwargs) at run time and hand them all to another member;
# their stubs spell out that member's parameters for type checkers.
FORWARDS_TO = {"Pcall.pcall": "__init__"}
# Orders the stubs do not record: module namespaces (their functions look names up there at
# every call) and class members.
NAMESPACE_ORDER = {
    "orvex.async_.concurro": [
        "os", "time", "signal", "logging", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__",
        "logger", "ChildWork", "ChildLabor", "Pcall"],
    "orvex.async_.synchronize": [
        "inspect", "logging", "functools", "multiprocessing", "logger", "Lockable", "locked",
        "LockableMeta"],
}
MEMBER_ORDER = [
    (concurro.Pcall, ["pcall", "__init__", "pids", "start", "join", "terminate", "kill",
                      "livings", "_build_arguments"]),
    (concurro.ChildLabor, ["__init__", "run"]),
    (synchronize.Lockable, ["__init__", "acquire", "release", "locked"]),
    (synchronize.LockableMeta, ["ignore", "__new__"]),
]
KIND_OF_PARAMETER = {
    "posonly": inspect.Parameter.POSITIONAL_ONLY,
    "arg": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "vararg": inspect.Parameter.VAR_POSITIONAL,
    "kwonly": inspect.Parameter.KEYWORD_ONLY,
    "kwarg": inspect.Parameter.VAR_KEYWORD,
}
_UNKNOWN = object()
_NONE = object()  # no default


def public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


class Stub(object):
    """What one .pyi file declares."""

    def __init__(self, module):
        # Found beside the imported extension, so an installed package is checked as such.
        path = os.path.join(os.path.dirname(module.__file__),
                            module.__name__.rpartition(".")[2] + ".pyi")
        with open(path) as source:
            self.tree = ast.parse(source.read(), path)
        self.module = module
        self.reexports = {}    # name -> (module, attribute or None)
        self.imported = {}     # every name the stub imports -> (module, attribute or None)
        self.variables = {}    # name -> annotation node
        self.functions = {}    # name -> FunctionDef
        self.classes = {}      # name -> ClassDef
        for node in self.tree.body:
            if isinstance(node, ast.Import):
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (alias.name, None)
                    if alias.asname == alias.name:
                        self.reexports[alias.name] = (alias.name, None)
            elif isinstance(node, ast.ImportFrom):
                base = "." * node.level + (node.module or "")
                source = importlib.util.resolve_name(base, module.__package__)
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (source, alias.name)
                    if alias.asname == alias.name:
                        self.reexports[alias.name] = (source, alias.name)
            elif isinstance(node, ast.AnnAssign):
                self.variables[node.target.id] = node.annotation
            elif isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node

    def names(self):
        declared = set(self.reexports) | set(self.variables) | set(self.functions)
        return {name for name in declared | set(self.classes) if public(name)}

    def resolve(self, node):
        """The runtime object an unsubscripted annotation names, else _UNKNOWN."""
        if isinstance(node, ast.Name):
            if node.id in self.imported:
                source, attribute = self.imported[node.id]
                target = importlib.import_module(source)
                return getattr(target, attribute) if attribute else target
            builtins = __import__("builtins")
            return getattr(builtins, node.id, _UNKNOWN)
        if isinstance(node, ast.Attribute):
            owner = self.resolve(node.value)
            return _UNKNOWN if owner is _UNKNOWN else getattr(owner, node.attr)
        return _UNKNOWN


STUBS = {module.__name__: Stub(module) for module in MODULES}


def stub_classes():
    return [(STUBS[m.__name__], name) for m in MODULES for name in STUBS[m.__name__].classes
            if public(name)]


def decorator_names(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def stub_kind(node):
    if node.name == "__new__":
        return "staticmethod"  # implicitly, as at run time
    decorators = decorator_names(node) & {"classmethod", "staticmethod", "property"}
    assert len(decorators) <= 1, node.name
    return decorators.pop() if decorators else "function"


def runtime_kind(member):
    for kind in (classmethod, staticmethod, property):
        if isinstance(member, kind):
            return kind.__name__
    return "function" if callable(member) else "data"


def underlying(member):
    if isinstance(member, (classmethod, staticmethod)):
        return member.__func__
    if isinstance(member, property):
        return member.fget
    return member


def is_ellipsis(node):
    return type(node).__name__ == "Ellipsis" or (
        isinstance(node, ast.Constant) and node.value is Ellipsis)


def stub_parameters(node):
    """(name, kind, default) per parameter; default is _NONE, _UNKNOWN or ('value', v)."""
    args = node.args
    positional = [("posonly", a) for a in getattr(args, "posonlyargs", [])]
    positional += [("arg", a) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = list(zip(positional, defaults))
    if args.vararg:
        params.append((("vararg", args.vararg), None))
    params += [(("kwonly", a), d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append((("kwarg", args.kwarg), None))
    out = []
    for (kind, arg), default in params:
        if default is None:
            default = _NONE
        elif is_ellipsis(default):
            default = _UNKNOWN
        else:
            default = ("value", ast.literal_eval(default))
        out.append((arg.arg, KIND_OF_PARAMETER[kind], default))
    return out


def runtime_parameters(function):
    return [(p.name, p.kind, _NONE if p.default is p.empty else p.default)
            for p in inspect.signature(function).parameters.values()]


def check_signature(qualname, stub_def, function):
    stub = stub_parameters(stub_def)
    runtime = runtime_parameters(function)
    shape = [(name, kind, default is not _NONE) for name, kind, default in stub]
    assert shape == [(name, kind, default is not _NONE) for name, kind, default in runtime], \
        qualname
    for (name, _, stub_default), (_, _, default) in zip(stub, runtime):
        if isinstance(stub_default, tuple):
            assert stub_default[1] == default and type(stub_default[1]) is type(default), \
                "%s(%s=...)" % (qualname, name)


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_names_match(module):
    stub = STUBS[module.__name__]
    runtime = {name for name in vars(module) if public(name) and name not in MODULE_DUNDERS}
    assert runtime == stub.names()


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_level_objects(module):
    stub = STUBS[module.__name__]
    for name, (source, attribute) in stub.reexports.items():
        expected = importlib.import_module(source)
        if attribute:
            expected = getattr(expected, attribute)
        assert getattr(module, name) is expected, name
    for name, annotation in stub.variables.items():
        expected = stub.resolve(annotation)
        if expected is not _UNKNOWN:
            assert isinstance(getattr(module, name), expected), name
    for name, node in stub.functions.items():
        function = getattr(module, name)
        assert inspect.isfunction(function), name
        assert function.__module__ == module.__name__
        assert function.__qualname__ == function.__name__ == name
        assert function.__doc__, name
        check_signature(name, node, function)


@pytest.mark.parametrize("stub, name", stub_classes(),
                         ids=["%s.%s" % (s.module.__name__, n) for s, n in stub_classes()])
def test_class_surface(stub, name):
    node = stub.classes[name]
    cls = getattr(stub.module, name)
    assert isinstance(cls, type)
    assert (cls.__module__, cls.__qualname__) == (stub.module.__name__, name)
    assert cls.__doc__, name
    bases = [stub.resolve(base) for base in node.bases]
    if [getattr(base, "__name__", None) for base in bases] == ["NamedTuple"]:
        # A namedtuple: its members come from the standard factory, its fields from us.
        fields = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
        assert cls.__bases__ == (tuple,) and list(cls._fields) == fields
        return
    assert cls.__bases__ == tuple(bases or [object])

    declared = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    held = {k: v for k, v in vars(cls).items() if k not in CLASS_IMPLICIT}
    assert {k: stub_kind(n) for k, n in declared.items()} == \
        {k: runtime_kind(v) for k, v in held.items()}
    for member_name, stub_def in declared.items():
        qualname = "%s.%s" % (name, member_name)
        function = underlying(held[member_name])
        assert inspect.isfunction(function), qualname
        assert (function.__name__, function.__qualname__) == (member_name, qualname)
        assert function.__module__ == stub.module.__name__, qualname
        if qualname in NO_DOCSTRING:
            assert function.__doc__ is None, qualname
        else:
            assert function.__doc__, qualname
            if isinstance(held[member_name], property):
                assert held[member_name].__doc__ == function.__doc__, qualname  # getter's
        if qualname in FORWARDS_TO:
            assert [(n, k) for n, k, _ in runtime_parameters(function)] == [
                ("cls", inspect.Parameter.POSITIONAL_OR_KEYWORD),
                ("args", inspect.Parameter.VAR_POSITIONAL),
                ("kwargs", inspect.Parameter.VAR_KEYWORD)], qualname
            assert stub_parameters(stub_def)[1:] == \
                stub_parameters(declared[FORWARDS_TO[qualname]])[1:], qualname
        else:
            check_signature(qualname, stub_def, function)


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_namespace_order_and_bindings(module):
    assert [n for n in vars(module) if n not in MODULE_DUNDERS] == \
        NAMESPACE_ORDER[module.__name__]
    assert module.__doc__ == ast.get_docstring(STUBS[module.__name__].tree, clean=False)
    assert module.multiprocessing is multiprocessing.get_context("fork")
    assert module.logger is logging.getLogger(module.__name__)
    assert module.logger.handlers == [] and module.logger.level == logging.NOTSET
    assert getattr(module, "__pcall_infra__", True) is True


@pytest.mark.parametrize("cls, members", MEMBER_ORDER, ids=[c.__name__ for c, _ in MEMBER_ORDER])
def test_class_member_order_and_metaclass(cls, members):
    assert [k for k in vars(cls) if k not in CLASS_IMPLICIT] == members
    assert type(cls) is type


@pytest.mark.parametrize("cls, words", [
    (concurro.Pcall, ["targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs"]),
    (concurro.ChildLabor, ["fork"]),
    (synchronize.Lockable, ["lock"]),
])
def test_class_docstring_mentions(cls, words):
    assert [w for w in words if w not in cls.__doc__] == []


def square(x):
    return x * x


def test_instance_attributes_exist():
    batch = concurro.Pcall(square, iargs=[(3,)])
    batch.start()
    batch.join()
    samples = {
        "Pcall": batch,
        "ChildLabor": batch._processes[0],
        "Lockable": synchronize.Lockable(),
    }
    declared = {}
    for stub, name in stub_classes():
        fields = [n.target.id for n in stub.classes[name].body if isinstance(n, ast.AnnAssign)]
        if fields and name != "ChildWork":
            declared[name] = fields
    assert set(declared) == set(samples)
    for name, fields in declared.items():
        missing = [f for f in fields if f not in vars(samples[name])]
        assert not missing, name


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_docstrings_are_the_runtime_ones(module):
    # Documentation tools that read a stub show what help() shows for the module.
    stub = STUBS[module.__name__]
    pairs = [(node, getattr(module, name)) for name, node in stub.functions.items()]
    for name, node in stub.classes.items():
        if public(name) and not any("NamedTuple" in ast.dump(base) for base in node.bases):
            cls = getattr(module, name)
            pairs += [(node, cls)] + [(n, underlying(vars(cls)[n.name])) for n in node.body
                                      if isinstance(n, ast.FunctionDef)]
    assert len(pairs) > 5
    for node, obj in pairs:
        assert ast.get_docstring(node) == (obj.__doc__ and inspect.cleandoc(obj.__doc__)), node.name
