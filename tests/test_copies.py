"""Copies of the package's functions and wrappers made by pickle, cloudpickle and dill, and
where their code objects point readers of source, each next to a Python twin."""
import copy
import functools
import linecache
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

import orvex
from orvex.async_ import concurro, synchronize
from orvex.async_.synchronize import Lockable, locked


def fresh_python(*args, **kwargs):
    """A fresh interpreter that imports this orvex, or the one on PYTHONPATH if given."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(orvex.__file__)))
    env = dict(os.environ, PYTHONPATH=kwargs.pop("path", root))
    return subprocess.run([sys.executable] + list(args), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, **kwargs)


def twin_locked(method):
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        return method(self, *args, **kwargs)

    return _wrapped


class Account(Lockable):
    deposit = Lockable.locked(lambda self: None)
    deposit.__qualname__ = "Account.deposit"
    twin_deposit = twin_locked(lambda self: None)
    twin_deposit.__qualname__ = "Account.twin_deposit"


def test_wrappers_pickle_by_name_where_found_and_copy_as_themselves():
    pairs = [(Account.deposit, locked(len)), (Account.twin_deposit, twin_locked(len))]
    for wrapper, of_len in pairs:
        assert pickle.loads(pickle.dumps(wrapper)) is wrapper
        assert copy.copy(wrapper) is wrapper and copy.deepcopy(of_len) is of_len
    # builtins.len names len, not its wrapper: the closure cannot be pickled, the native
    # wrapper pickles as locked(len).
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(of_len)
    assert pickle.loads(pickle.dumps(locked(len))).__wrapped__ is len


# A script that sends, with the module named, what a notebook would send to a worker.
SENDER = textwrap.dedent("""\
    import functools, sys, types
    import {module} as carrier, orvex
    from orvex.async_.concurro import Pcall
    from orvex.async_.synchronize import Lockable, LockableMeta, locked

    def twin_locked(method):
        return functools.wraps(method)(lambda self, *args: method(self, *args))

    def use(cls, name, *args):
        return getattr(cls(), name)(*args)

    class Ledger(metaclass=LockableMeta):
        def add(self, entry):
            return ("add", entry)

    class FakeLock(object):
        def acquire(self, block, timeout):
            return "got"

    sent = []
    for decorate in (locked, twin_locked):
        def local(self, x):
            return ("local", x)
        class Account(Lockable):  # module-level locked here; Ledger's metaclass applies it too
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
        sent[2] += [(Lockable.acquire, Lockable(lock=FakeLock), False, None),
                    (use, Ledger, "add", 4), (Pcall.pcall, abs, None, (-5,))]
    sys.stdout.buffer.write(carrier.dumps(sent))
""")


@pytest.mark.parametrize("module", ["cloudpickle", "dill"])
def test_round_trip_through_a_fresh_process(module, tmp_path):
    carrier = pytest.importorskip(module)
    try:
        carrier.dumps(lambda: None)
    except Exception as error:  # a release that does not know this Python's code objects
        pytest.skip("%s cannot send a Python function here: %r" % (module, error))
    (tmp_path / "sender.py").write_text(SENDER.format(module=module))
    sent = fresh_python(str(tmp_path / "sender.py"))
    receive = ("import sys, types, %s as c; print([[(f(*a), type(f) is types.FunctionType) "
               "for f, *a in calls] for calls in c.loads(sys.stdin.buffer.read())])" % module)
    got = fresh_python("-c", receive, input=sent.stdout)
    assert got.returncode == 0, sent.stderr.decode() + got.stderr.decode()
    native, twin, *by_value = eval(got.stdout.decode())
    assert [r for r, _ in native] == [r for r, _ in twin]
    assert by_value == ([[((3,), True), ((), True), ("got", True), (("add", 4), True),
                          ((5,), False)]] if module == "cloudpickle" else [])


def test_code_names_the_def_in_the_stub():
    found = [(locked, "locked"), (locked(len), "locked"), (Lockable.locked(len), "locked")]
    for module in (concurro, synchronize):
        for cls in [v for v in vars(module).values() if isinstance(v, type)]:
            for held in vars(cls).values():
                func = getattr(held, "__func__", getattr(held, "fget", held))
                if hasattr(func, "__code__") and type(func) is not types.FunctionType:
                    found.append((func, func.__name__))
    assert len(found) == 20
    for func, name in found + [(twin_locked(len), "_wrapped")]:
        code = func.__code__
        lines = linecache.getlines(code.co_filename)[code.co_firstlineno - 1:][:2]
        assert "def %s(" % name in "".join(lines), (func, lines)  # a Python one: decorator
        if func.__globals__ is not globals():
            # Columns of the code's own source would underline the wrong part of the line.
            positions = getattr(code, "co_positions", lambda: [(1, 1, None, None)])()
            module = sys.modules[func.__globals__["__name__"]]
            assert {p[2:] for p in positions} == {(None, None)} and code.co_filename == (
                module.__file__.split(".")[0] + ".pyi")


def test_pdb_sets_a_breakpoint_on_a_native_function(tmp_path):
    (tmp_path / "debugee.py").write_text(
        "from orvex.async_.synchronize import Lockable\n\nclass Twin(object):\n"
        "    def acquire(self):\n        return True\n\n"
        "print('ran', Lockable().acquire(), Twin().acquire())\n")
    commands = "until 7\nbreak Lockable.acquire\nbreak Twin.acquire\ncontinue\ncontinue\nquit\n"
    out = fresh_python("-m", "pdb", str(tmp_path / "debugee.py"), input=commands.encode())
    out = out.stdout.decode()
    assert "Breakpoint 1 at %s:" % Lockable.acquire.__code__.co_filename in out, out
    assert "Breakpoint 2 at %s:" % (tmp_path / "debugee.py") in out and "ran True True" in out


def test_without_the_stub_code_names_a_pseudo_file(tmp_path):
    package = os.path.dirname(os.path.dirname(synchronize.__file__))
    shutil.copytree(package, str(tmp_path / "orvex"),
                    ignore=shutil.ignore_patterns("*.pyi", "__pycache__"))
    check = ("import linecache; from orvex.async_.synchronize import Lockable as L; "
             "c = L.acquire.__code__; assert c.co_filename == '<orvex.async_.synchronize>'; "
             "print(repr(linecache.getline(c.co_filename, c.co_firstlineno)))")
    done = fresh_python("-c", check, cwd=str(tmp_path), path=str(tmp_path))
    assert done.returncode == 0 and done.stdout == b"''\n", done.stderr.decode()
