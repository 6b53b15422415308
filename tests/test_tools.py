"""What introspection tools make of the package's functions, each time next to a Python
twin of the same class: real Python functions built from the same code objects, with the
same names, docstrings and defaults, so that any difference comes from the function type."""
import inspect
import os
import pydoc
import re
import sys
import types
import typing
from unittest import mock

import pytest

from orvex.async_ import synchronize
from orvex.async_.concurro import ChildLabor, Pcall
from orvex.async_.synchronize import Lockable, LockableMeta

CLASSES = [Lockable, Pcall, ChildLabor, LockableMeta]


def python_function(func):
    twin = types.FunctionType(func.__code__, func.__globals__, func.__name__, func.__defaults__)
    twin.__kwdefaults__ = func.__kwdefaults__
    twin.__qualname__, twin.__module__, twin.__doc__ = (
        func.__qualname__, func.__module__, func.__doc__)
    return twin


def underlying(member):
    return getattr(member, "__func__", getattr(member, "fget", member))


def python_twin(cls):
    namespace = {}
    for name, member in vars(cls).items():
        # 3.14+ stores what a read of cls.__annotations__ computes in the class itself.
        if name in ("__dict__", "__weakref__", "__annotate_func__", "__annotations_cache__"):
            continue
        if isinstance(member, (staticmethod, classmethod)):
            member = type(member)(python_function(member.__func__))
        elif isinstance(member, property):
            member = property(python_function(member.fget))
        elif hasattr(member, "__code__"):
            member = python_function(member)
        namespace[name] = member
    return type(cls)(cls.__name__, cls.__bases__, namespace)


@pytest.fixture(autouse=True)
def class_dicts_kept():
    """Reading a class's __annotations__, as getmembers() and the tools do, stores an empty
    dict in the class on 3.10+; the surface checks expect the classes as built."""
    before = {cls: set(vars(cls)) for cls in CLASSES}
    yield
    for cls, names in before.items():
        for name in set(vars(cls)) - names:
            delattr(cls, name)


@pytest.fixture(params=CLASSES[:2], ids=lambda cls: cls.__name__)
def pair(request):
    return request.param, python_twin(request.param)


METHOD = {Lockable: ("acquire", (False,), (1, 2, 3)), Pcall: ("start", (), (1,))}


def test_inspect_predicates_match_the_twin():
    def kinds(cls):
        return [(name, inspect.isfunction(value), inspect.ismethoddescriptor(value),
                 inspect.isroutine(value))
                for name, value in inspect.getmembers(cls) if name in vars(cls)]

    for cls in CLASSES:
        assert kinds(cls) == kinds(python_twin(cls))
        assert inspect.getmembers(cls, inspect.isfunction)
    assert inspect.isfunction(synchronize.locked)
    assert not inspect.isfunction(synchronize.locked(len))
    assert not inspect.isfunction(Lockable.locked(len))


def test_inspect_getdoc_and_getsource():
    # No docstring of its own: inherited, as for any Python method.
    assert inspect.getdoc(Pcall.__init__) == inspect.getdoc(object.__init__)
    # The source shown is the def in the stub installed beside the module.
    stub = os.path.join(os.path.dirname(synchronize.__file__), "synchronize.pyi")
    assert inspect.getfile(Lockable.acquire) == stub
    sources = {inspect.getsource(f) for f in (Lockable.acquire, python_function(Lockable.acquire))}
    assert len(sources) == 1 and sources.pop().startswith("    def acquire(self, block: bool")


def test_closure_and_type_params():
    def plain(self):
        pass

    T = typing.TypeVar("T")
    for func in (plain, Lockable.acquire, synchronize.locked):
        assert func.__closure__ is None
        with pytest.raises(AttributeError):
            func.__closure__ = None
        if sys.version_info < (3, 12):
            assert not hasattr(func, "__type_params__")
            continue
        assert func.__type_params__ == ()
        func.__type_params__ = (T,)
        try:
            assert func.__type_params__ == (T,) and "__type_params__" not in vars(func)
            for bad in ([T], None):
                with pytest.raises(TypeError, match="must be set to a tuple"):
                    func.__type_params__ = bad
            with pytest.raises(TypeError):
                del func.__type_params__
        finally:
            func.__type_params__ = ()
    assert "__type_params__" not in vars(synchronize.locked(plain))


def test_mock_autospec_binds_and_checks(pair):
    name, good, bad = METHOD[pair[0]]
    for cls in pair:
        stand_in = mock.create_autospec(cls, instance=True)
        getattr(stand_in, name)(*good)
        with pytest.raises(TypeError):
            getattr(stand_in, name)(*bad)
        with mock.patch.object(cls, name, autospec=True) as patched:
            obj = cls.__new__(cls)
            getattr(obj, name)(*good)
            patched.assert_called_once_with(obj, *good)
            with pytest.raises(TypeError):
                getattr(obj, name)(*bad)


def test_pydoc_titles_and_notes(pair, monkeypatch):
    name = METHOD[pair[0]][0]

    def render(base):
        # A subclass that inherits the methods but one, which it holds itself (noted as
        # "from" its class on 3.13); the class is found where its functions' __qualname__
        # says, as docstrings are inherited.
        monkeypatch.setattr(sys.modules[base.__module__], base.__name__, base)
        sub = type("Sub", (base,), {"__module__": __name__, name: vars(base)[name]})
        return [pydoc.render_doc(thing, renderer=pydoc.plaintext)
                for thing in (sub, getattr(base, name))]

    twin, native = render(pair[1]), render(pair[0])
    assert native == twin
    assert native[1].splitlines()[0].endswith("function %s in module %s"
                                              % (name, pair[0].__module__))


def test_ipython_inspection(pair, tmp_path, monkeypatch):
    pytest.importorskip("IPython")
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path))
    from IPython.core.interactiveshell import InteractiveShell
    from traitlets.config import Config

    config = Config()
    config.HistoryManager.enabled = False
    shell = InteractiveShell.instance(config=config)
    try:
        seen = []
        for cls in pair:
            shell.user_ns[cls.__name__] = cls
            oname = "%s.%s" % (cls.__name__, METHOD[pair[0]][0])
            info = shell.object_inspect(oname)
            info.pop("string_form")
            text = re.sub(r"0x[0-9a-f]+", "0x", shell.object_inspect_text(oname))
            seen.append((info, text))
    finally:
        InteractiveShell.clear_instance()
    assert seen[0] == seen[1]
    assert seen[0][0]["type_name"] == "function" and seen[0][0]["definition"]


def test_jedi_signatures(pair):
    # Completion kinds are not compared: jedi calls a class attribute "instance" unless its
    # type() is one of the descriptor types it knows, and only a real function's is.
    jedi = pytest.importorskip("jedi")

    def completions(cls):
        source = "%s().%s" % (cls.__name__, METHOD[pair[0]][0][:3])
        found = jedi.Interpreter(source, [{cls.__name__: cls}]).complete()
        return [(c.name, [s.to_string() for s in c.get_signatures()]) for c in found]

    native = completions(pair[0])
    assert native == completions(pair[1])
    assert native and all(signatures for _, signatures in native)


SPHINX_INDEX = """\
Classes
=======

.. autoclass:: subclasses.Sub
   :members:
   :inherited-members:
"""


def test_sphinx_autodoc_renders_inherited_methods(pair, tmp_path, monkeypatch):
    build_main = pytest.importorskip("sphinx.cmd.build").build_main
    texts = []
    for index, base in enumerate(pair):
        module = types.ModuleType("subclasses")
        module.Sub = type("Sub", (base,), {"__module__": "subclasses", "__doc__": "A subclass."})
        monkeypatch.setitem(sys.modules, "subclasses", module)
        source = tmp_path / str(index)
        source.mkdir()
        (source / "conf.py").write_text('extensions = ["sphinx.ext.autodoc"]\n')
        (source / "index.rst").write_text(SPHINX_INDEX)
        assert build_main(["-q", "-b", "text", str(source), str(source / "out")]) == 0
        texts.append((source / "out" / "index.txt").read_text())
    assert texts[0] == texts[1]
    assert re.search(r"^   %s\(" % METHOD[pair[0]][0], texts[0], re.M), texts[0]


@pytest.mark.parametrize("imported_first", [False, True])
def test_sphinx_automodule_documents_every_member(imported_first, run_python, tmp_path):
    # Sphinx reads the stub of a module not imported yet, and the module itself otherwise.
    pytest.importorskip("sphinx.cmd.build")
    modules = ["orvex.async_.synchronize", "orvex.async_.concurro"]
    (tmp_path / "conf.py").write_text('extensions = ["sphinx.ext.autodoc"]\n' + (
        "import %s\n" % ", ".join(modules) if imported_first else ""))
    (tmp_path / "index.rst").write_text("API\n===\n" + "".join(
        "\n.. automodule:: %s\n   :members:\n" % name for name in modules))
    done = run_python("-c", "import sys; from sphinx.cmd.build import build_main; "
                      "sys.exit(build_main(['-q', '-b', 'text', '.', 'out']))", cwd=str(tmp_path))
    assert done.returncode == 0 and not done.stderr, done.stderr
    text = (tmp_path / "out" / "index.txt").read_text()
    flat = " ".join(text.split())
    for cls in [Lockable, LockableMeta, Pcall, ChildLabor]:
        assert re.search(r"^class %s\.%s\(" % (cls.__module__, cls.__name__), text, re.M), cls
        for name, member in [(n, m) for n, m in vars(cls).items() if not n.startswith("_")]:
            form = r"property %s\b" if isinstance(member, property) else r"(\w+ )?%s\("
            assert re.search(r"^\s*" + form % name, text, re.M), name
        for func in [cls] + [underlying(m) for n, m in vars(cls).items() if n[0] != "_"]:
            summary = func.__doc__.splitlines()[0].replace("``", '"')
            assert " ".join(summary.split()[:8]) in flat, func
    assert re.search(r"^orvex\.async_\.synchronize\.locked\(method", text, re.M)
