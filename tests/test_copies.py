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
    @Lockable.locked
    def deposit(self, amount):
        return amount

    @twin_locked
    def twin_deposit(self, amount):
        return amount


def test_wrappers_pickle_by_name_where_found_and_copy_as_themselves():
    for wrapper in (Account.deposit, Account.twin_deposit):
        assert pickle.loads(pickle.dumps(wrapper)) is wrapper
        assert copy.copy(wrapper) is wrapper and copy.deepcopy(wrapper) is wrapper
    # No name finds a lambda: plain pickle refuses both, in the caller.
    for wrapper in (locked(lambda self: self), twin_locked(lambda self: self)):
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(wrapper)
        assert copy.deepcopy(wrapper) is wrapper


# Run as __main__ of a fresh interpreter: dumps, with the module named in argv, what a
# notebook or a script would send to a worker.
SENDER = textwrap.dedent("""\
    import functools, sys, types
    import {module} as carrier
    import orvex
    from orvex.async_.concurro import Pcall
    from orvex.async_.synchronize import Lockable, LockableMeta, locked

    def twin_locked(method):
        @functools.wraps(method)
        def _wrapped(self, *args, **kwargs):
            return method(self, *args, **kwargs)
        return _wrapped

    class Account(Lockable):
        @Lockable.locked
        def deposit(self, amount):
            return ("deposit", amount)

    class TwinAccount(Lockable):
        @twin_locked
        def deposit(self, amount):
            return ("deposit", amount)

    class Ledger(metaclass=LockableMeta):
        def add(self, entry):
            return ("add", entry)

    def local(decorate):
        def method(self, x):
            return ("local", x)
        return decorate(method)

    def use(cls, name, *args):
        return getattr(cls(), name)(*args)

    class Holder(object):
        pass

    class FakeLock(object):
        def acquire(self, block, timeout):
            return "got"

    native, twin = [], []
    for decorate, out, account in ((locked, native, Account), (twin_locked, twin, TwinAccount)):
        Box = type("Box", (Holder,), {{"lam": decorate(lambda self, x: ("lambda", x)),
                                       "loc": local(decorate)}})
        out += [(use, account, "deposit", 5), (use, Box, "lam", 1), (use, Box, "loc", 2)]
    native.append((use, Ledger, "add", 3))
    twin.append((lambda: ("add", 3),))
    sys.stdout.buffer.write(carrier.dumps((native, twin)))
    # cloudpickle copies native functions that no name leads back to, and the whole package
    # once registered, by value; dill sends functions by name only.
    by_value = []
    if carrier.__name__ == "cloudpickle":
        by_value = [(vars(Pcall)["pcall"].__func__, Pcall, abs, None, (-3,)),
                    (vars(Pcall)["pids"].fget, types.SimpleNamespace(_processes=[]))]
        carrier.register_pickle_by_value(orvex)
        # The package's classes travel as copies too; super() in their methods names them.
        by_value += [(Lockable.acquire, Lockable(lock=FakeLock), False, None),
                     (use, Ledger, "add", 4), (Pcall.pcall, abs, None, (-5,))]
    sys.stdout.buffer.write(carrier.dumps(by_value))
""")
RECEIVER = textwrap.dedent("""\
    import sys, types
    import {module} as carrier
    native, twin = carrier.load(sys.stdin.buffer)
    by_value = carrier.load(sys.stdin.buffer)
    run = lambda calls: [f(*args) for f, *args in calls]
    print(repr((run(native), run(twin), run(by_value),
                [type(f) is types.FunctionType for f, *_ in by_value[:3]])))
""")


@pytest.mark.parametrize("module", ["cloudpickle", "dill"])
def test_round_trip_through_a_fresh_process(module, tmp_path):
    carrier = pytest.importorskip(module)
    try:
        carrier.dumps(lambda: None)
    except Exception as error:  # a release that does not know this Python's code objects
        pytest.skip("%s cannot send a Python function here: %r" % (module, error))
    sender = tmp_path / "sender.py"
    sender.write_text(SENDER.format(module=module))
    sent = fresh_python(str(sender))
    assert sent.returncode == 0, sent.stderr.decode()
    got = fresh_python("-c", RECEIVER.format(module=module), input=sent.stdout)
    assert got.returncode == 0, got.stderr.decode()
    native, twin, by_value, are_copies = eval(got.stdout.decode())
    assert native == twin
    if module == "cloudpickle":
        assert by_value == [(3,), (), "got", ("add", 4), (5,)] and all(are_copies)


def defs_in_stubs():
    """(function, the def its code names): every native function and both wrappers."""
    for module in (concurro, synchronize):
        for cls in [v for v in vars(module).values() if isinstance(v, type)]:
            for held in vars(cls).values():
                func = getattr(held, "__func__", getattr(held, "fget", held))
                if hasattr(func, "__code__") and type(func) is not types.FunctionType:
                    yield func, func.__name__
    yield synchronize.locked, "locked"
    yield locked(len), "locked"
    yield Lockable.locked(len), "locked"


def test_code_names_the_def_in_the_stub():
    found = list(defs_in_stubs())
    assert len(found) == 20
    for func, name in found + [(twin_locked(len), "_wrapped")]:
        code = func.__code__
        lines = linecache.getlines(code.co_filename)[code.co_firstlineno - 1:][:2]
        assert "def %s(" % name in "".join(lines), (func, lines)  # a Python one: decorator
        if func.__globals__ is not globals():
            # Columns of the code's own source would underline the wrong part of the line.
            positions = getattr(code, "co_positions", lambda: [(1, 1, None, None)])()
            assert {p[2:] for p in positions} == {(None, None)}, func
            module = sys.modules[func.__globals__["__name__"]]
            assert code.co_filename == os.path.join(
                os.path.dirname(module.__file__), module.__name__.rpartition(".")[2] + ".pyi")


PDB_SCRIPT = textwrap.dedent("""\
    from orvex.async_.synchronize import Lockable

    class Twin(object):
        def acquire(self):
            return True

    print("ran", Lockable().acquire(), Twin().acquire())
""")


def test_pdb_sets_a_breakpoint_on_a_native_function(tmp_path):
    script = tmp_path / "debugee.py"
    script.write_text(PDB_SCRIPT)
    commands = "until 7\nbreak Lockable.acquire\nbreak Twin.acquire\ncontinue\ncontinue\nquit\n"
    done = fresh_python("-m", "pdb", str(script), input=commands.encode())
    out = done.stdout.decode()
    assert "Breakpoint 1 at %s:" % Lockable.acquire.__code__.co_filename in out, out
    assert "Breakpoint 2 at %s:" % script in out, out
    assert "ran True True" in out, out


def test_without_the_stub_code_names_a_pseudo_file(tmp_path):
    package = os.path.dirname(os.path.dirname(synchronize.__file__))
    shutil.copytree(package, str(tmp_path / "orvex"),
                    ignore=shutil.ignore_patterns("*.pyi", "__pycache__"))
    check = ("import linecache; from orvex.async_.synchronize import Lockable as L; "
             "c = L.acquire.__code__; assert c.co_filename == '<orvex.async_.synchronize>'; "
             "print(repr(linecache.getline(c.co_filename, c.co_firstlineno)))")
    done = fresh_python("-c", check, cwd=str(tmp_path), path=str(tmp_path))
    assert done.returncode == 0 and done.stdout == b"''\n", done.stderr.decode()
