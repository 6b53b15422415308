"""Copies of the package's functions and wrappers made by pickle, cloudpickle and dill, and
where their code objects point readers of source, each next to a Python twin."""
import copy
import functools
import linecache
import os
import pickle
import shutil
import textwrap
import types

import pytest

from orvex.async_ import concurro, synchronize
from orvex.async_.synchronize import Lockable, locked


def twin_locked(method):
    def _wrapped(self, *args):
        return method(self, *args)
    return functools.wraps(method)(_wrapped)


class Account(Lockable):
    deposit, twin = Lockable.locked(lambda self: 1), twin_locked(lambda self: 1)
    deposit.__qualname__, twin.__qualname__ = "Account.deposit", "Account.twin"


def test_wrappers_pickle_by_name_where_found_and_copy_as_themselves():
    for wrapper in (Account.deposit, Account.twin):
        assert pickle.loads(pickle.dumps(wrapper)) is wrapper
        assert copy.copy(wrapper) is wrapper and copy.deepcopy(wrapper) is wrapper
    # builtins.len is not len's wrapper: the closure cannot be pickled, the native wrapper
    # pickles as locked(len).
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(twin_locked(len))
    assert pickle.loads(pickle.dumps(locked(len))).__wrapped__ is len


# A script that sends, with the module named, what a notebook would send to a worker.
SENDER = textwrap.dedent("""\
    import base64, functools, sys, types, {module} as carrier, orvex
    from orvex.async_.concurro import Pcall
    from orvex.async_.synchronize import Lockable, LockableMeta, locked
    twin_locked = lambda m: functools.wraps(m)(lambda self, *args: m(self, *args))
    use = lambda cls, name, *args: getattr(cls(), name)(*args)

    class Ledger(metaclass=LockableMeta):
        def add(self, entry):
            return ("add", entry)

    sent = []
    for decorate in (locked, twin_locked):
        def local(self, x):
            return ("local", x)
        class Account(Lockable):
            deposit = decorate(lambda self, x: ("lambda", x))
            loc = (Lockable.locked if decorate is locked else decorate)(local)
        sent.append([(use, Account, "deposit", 1), (use, Account, "loc", 2),
                     (use, Ledger, "add", 3) if decorate is locked else (lambda: ("add", 3),)])
    # cloudpickle sends native functions that no name leads back to, and the whole package
    # once registered, by value; dill sends functions by name only.
    if carrier.__name__ == "cloudpickle":
        sent.append([(vars(Pcall)["pcall"].__func__, Pcall, abs, None, (-3,)),
                     (vars(Pcall)["pids"].fget, types.SimpleNamespace(_processes=[]))])
        carrier.register_pickle_by_value(orvex)
        sent[2] += [(use, Ledger, "add", 4), (Pcall.pcall, abs, None, (-5,))]
    print(base64.b64encode(carrier.dumps(sent)).decode())
""")


@pytest.mark.parametrize("module", ["cloudpickle", "dill"])
def test_round_trip_through_a_fresh_process(module, run_python, tmp_path):
    carrier = pytest.importorskip(module)
    try:
        carrier.dumps(lambda: None)
    except Exception as error:  # a release that does not know this Python's code objects
        pytest.skip("%s cannot send a Python function here: %r" % (module, error))
    (tmp_path / "sender.py").write_text(SENDER.format(module=module))
    sent = run_python(str(tmp_path / "sender.py"))
    got = run_python("-c", "import base64, sys, types, %s as c; print([[(f(*a), type(f) is "
                     "types.FunctionType) for f, *a in calls] for calls in "
                     "c.loads(base64.b64decode(sys.stdin.read()))])" % module, input=sent.stdout)
    assert got.returncode == 0, sent.stderr + got.stderr
    native, twin, *by_value = eval(got.stdout)
    assert [r for r, _ in native] == [r for r, _ in twin]
    assert by_value == ([[((3,), True), ((), True), (("add", 4), True), ((5,), False)]]
                        if module == "cloudpickle" else [])


def test_code_names_the_def_in_the_stub(run_python, tmp_path):
    found = [(locked, "locked"), (locked(len), "locked"), (Lockable.locked(len), "locked")]
    for module in (concurro, synchronize):
        for cls in [v for v in vars(module).values() if isinstance(v, type)]:
            for held in vars(cls).values():
                func = getattr(held, "__func__", getattr(held, "fget", held))
                if hasattr(func, "__code__") and type(func) is not types.FunctionType:
                    found.append((func, func.__name__))
    assert len(found) == 20
    for func, name in found + [(Account.twin, "_wrapped")]:
        code = func.__code__
        assert "def %s(" % name in linecache.getline(code.co_filename, code.co_firstlineno)
        # Columns of the code's own source would underline the wrong part of the line.
        positions = getattr(code, "co_positions", lambda: [(1, 1, None, None)])()
        assert func is Account.twin or {p[2:] for p in positions} == {(None, None)}
    stub = os.path.join(os.path.dirname(synchronize.__file__), "synchronize.pyi")
    assert Lockable.acquire.__code__.co_filename == stub
    # pdb sets a breakpoint there and stops at it, as on a Python method.
    (tmp_path / "debugee.py").write_text(
        "from orvex.async_.synchronize import Lockable\nclass Twin(object):\n"
        "    def acquire(self):\n        return True\nprint(Lockable().acquire(), Twin.acquire)\n")
    out = run_python("-m", "pdb", str(tmp_path / "debugee.py"), input="until 5\nbreak "
                     "Lockable.acquire\nbreak Twin.acquire\ncontinue\ncontinue\nquit\n").stdout
    code = Lockable.acquire.__code__
    assert "Breakpoint 1 at %s:" % code.co_filename in out, out
    assert "%s(%d)acquire()" % (code.co_filename, code.co_firstlineno) in out, out
    assert "Breakpoint 2 at %s:" % (tmp_path / "debugee.py") in out and "True <" in out, out


def test_without_the_stub_code_names_a_pseudo_file(run_python, tmp_path):
    package = os.path.dirname(os.path.dirname(synchronize.__file__))
    shutil.copytree(package, str(tmp_path / "orvex"),
                    ignore=shutil.ignore_patterns("*.pyi", "__pycache__"))
    done = run_python("-c", "import linecache; from orvex.async_.synchronize import Lockable; "
                      "c = Lockable.acquire.__code__; print(c.co_filename, "
                      "repr(linecache.getline(c.co_filename, c.co_firstlineno)))",
                      cwd=str(tmp_path))
    assert done.stdout == "<orvex.async_.synchronize> ''\n", done.stderr
