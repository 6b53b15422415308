"""What importing concurro binds, and that its functions read module names at call time."""
import collections
import functools
import inspect
import itertools
import logging
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import time
import types

import pytest

import orvex.async_.exceptions
import orvex.log
from orvex.async_ import concurro

Pcall = concurro.Pcall
MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                     "__file__", "__builtins__", "__cached__"}
CLASS_ATTRIBUTES = {"__module__", "__doc__", "__qualname__", "__dict__", "__weakref__"}


def target(*args, **kwargs):
    return args, kwargs


def test_namespace_order():
    names = [n for n in vars(concurro) if n not in MODULE_ATTRIBUTES]
    assert names == [
        "os", "time", "signal", "logging", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__",
        "logger", "ChildWork", "ChildLabor", "Pcall"]


@pytest.mark.parametrize("name, expected", [
    ("os", os), ("time", time), ("signal", signal), ("logging", logging),
    ("itertools", itertools), ("functools", functools),
    ("namedtuple", collections.namedtuple),
    ("ExceptionWithTraceback", orvex.async_.exceptions.ExceptionWithTraceback),
    ("managed_handlers", orvex.log.managed_handlers),
    ("multiprocessing", multiprocessing.get_context("fork")),
    ("__pcall_infra__", True),
    ("logger", logging.getLogger("orvex.async_.concurro")),
])
def test_bindings(name, expected):
    assert getattr(concurro, name) is expected


def test_multiprocessing_is_the_fork_context():
    context = concurro.multiprocessing
    assert not isinstance(context, types.ModuleType)
    assert context.get_start_method() == "fork"
    assert context.Process is multiprocessing.get_context("fork").Process
    assert context.Process is not multiprocessing.Process


def test_logger_and_record_type():
    assert concurro.__name__ == "orvex.async_.concurro"
    assert concurro.logger.name == concurro.__name__
    assert concurro.logger.handlers == [] and concurro.logger.level == logging.NOTSET
    work = concurro.ChildWork
    assert work.__name__ == "ChildWork" and issubclass(work, tuple)
    assert work._fields == ("target", "args", "kwargs")
    assert work("t", "a", "k").kwargs == "k"


MEMBERS = [
    ("pcall", classmethod, "(cls, *args, **kwargs)"),
    ("__init__", None,
     "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)"),
    ("pids", property, "(self)"),
    ("start", None, "(self)"),
    ("join", None, "(self)"),
    ("terminate", None, "(self)"),
    ("kill", None, "(self)"),
    ("livings", property, "(self)"),
    ("_build_arguments", None, "(self)"),
]


def test_pcall_members_in_order():
    assert [n for n in vars(Pcall) if n not in CLASS_ATTRIBUTES] == [m[0] for m in MEMBERS]
    assert Pcall.__bases__ == (object,) and type(Pcall) is type
    assert Pcall.__module__ == "orvex.async_.concurro" and Pcall.__qualname__ == "Pcall"


def unwrap(member):
    if isinstance(member, classmethod):
        return member.__func__
    if isinstance(member, property):
        return member.fget
    return member


@pytest.mark.parametrize("name, kind, signature", MEMBERS)
def test_pcall_member_kind_and_signature(name, kind, signature):
    member = vars(Pcall)[name]
    if kind is None:
        assert not isinstance(member, (classmethod, staticmethod, property))
        assert callable(member)
    else:
        assert type(member) is kind
    if kind is property:
        assert member.fset is None and member.fdel is None
        assert member.__doc__ == member.fget.__doc__
    func = unwrap(member)
    assert str(inspect.signature(func)) == signature
    assert func.__name__ == name
    assert func.__qualname__ == "Pcall." + name
    assert func.__module__ == "orvex.async_.concurro"
    if name == "__init__":
        assert func.__doc__ is None
    else:
        assert func.__doc__ and func.__doc__.strip()


def test_class_docstring_names_every_argument():
    for argument in ("targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs"):
        assert argument in Pcall.__doc__


def test_init_defaults_and_shared_ckwargs():
    defaults = Pcall.__init__.__defaults__
    assert defaults == (None, (), (), {}, ())
    assert type(defaults[3]) is dict
    assert Pcall.__init__.__kwdefaults__ is None
    first, second = Pcall(target), Pcall(target, x=[1])
    assert first.ckwargs is second.ckwargs is defaults[3]
    assert defaults[3] == {}
    assert Pcall(target, ckwargs={}).ckwargs is not defaults[3]


@pytest.mark.parametrize("name", ["pids", "livings"])
def test_properties_are_read_only(name):
    p = Pcall(target)
    with pytest.raises(AttributeError):
        setattr(p, name, ())
    with pytest.raises(AttributeError):
        delattr(p, name)


def test_bound_pcall_signature():
    assert str(inspect.signature(Pcall.pcall)) == "(*args, **kwargs)"


# ---- module names looked up at call time ----

class RecordingWorker(object):
    created = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        RecordingWorker.created.append(list(kwargs))


def test_rebound_child_labor_is_used(monkeypatch):
    RecordingWorker.created = []
    monkeypatch.setattr(concurro, "ChildLabor", RecordingWorker)
    p = Pcall(target, iargs=[(1,), (2,)])
    assert [type(w) for w in p._processes] == [RecordingWorker, RecordingWorker]
    assert RecordingWorker.created == [["index", "queue", "target", "args", "kwargs"]] * 2
    assert [w.kwargs["index"] for w in p._processes] == [0, 1]
    assert all(w.kwargs["queue"] is p._queue for w in p._processes)
    assert [w.kwargs["args"] for w in p._processes] == [(1,), (2,)]


def test_rebound_multiprocessing_is_used_but_base_class_is_fixed(monkeypatch):
    queues = []

    class FakeContext(object):
        def SimpleQueue(self):
            queues.append(object())
            return queues[-1]

    base = concurro.ChildLabor.__bases__
    monkeypatch.setattr(concurro, "multiprocessing", FakeContext())
    p = Pcall(target, iargs=[(1,), (2,)])
    assert len(queues) == 1 and p._queue is queues[0]
    assert all(w._queue is queues[0] for w in p._processes)
    assert concurro.ChildLabor.__bases__ == base


def test_rebound_itertools_and_functools_are_used(monkeypatch):
    repeated = []
    real_repeat = itertools.repeat

    def repeat(obj):
        repeated.append(obj)
        return real_repeat(obj)

    monkeypatch.setattr(concurro, "itertools", types.SimpleNamespace(repeat=repeat))
    Pcall(target)
    assert repeated == [target]

    class NotPartial(object):
        pass

    monkeypatch.setattr(concurro, "functools", types.SimpleNamespace(partial=NotPartial))
    worker = concurro.ChildLabor(0, None, target=functools.partial(target))
    assert worker._work.target == str(functools.partial(target))


def test_rebound_time_and_logger_are_used(monkeypatch):
    clock = iter([100.0, 100.0, 200.0, 300.0])
    sleeps = []
    monkeypatch.setattr(concurro, "time", types.SimpleNamespace(
        time=lambda: next(clock), sleep=lambda s: (sleeps.append(s), time.sleep(0.05))))
    errors = []
    monkeypatch.setattr(concurro, "logger", types.SimpleNamespace(error=errors.append))

    p = Pcall(time.sleep, timeout=50, iargs=[(30,)])
    p.start()
    assert p.starttime == 100.0
    try:
        with pytest.raises(TimeoutError):
            p.join()
    finally:
        p.kill()
        p._processes[0].join(30)
    assert sleeps and set(sleeps) == {0.25}
    assert len(errors) == 1
    assert errors[0].startswith("The following processes are still running after 50 seconds:")


def test_rebound_os_and_signal_are_used_by_kill(monkeypatch):
    sent = []
    p = Pcall(time.sleep, iargs=[(30,)])
    p.start()
    try:
        monkeypatch.setattr(concurro, "os", types.SimpleNamespace(
            kill=lambda pid, sig: sent.append((pid, sig))))
        monkeypatch.setattr(concurro, "signal", types.SimpleNamespace(SIGKILL="sigkill"))
        p.kill()
        assert sent == [(p.pids[0], "sigkill")]
    finally:
        p.terminate()
        p._processes[0].join(30)


# ---- import failure ----

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    orvex.async_.exceptions.__file__))))


def _run_isolated(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [PACKAGE_ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)


def test_import_needs_the_log_sibling_and_can_be_retried():
    result = _run_isolated("""
        import sys
        sys.modules["orvex.log"] = None
        try:
            import orvex.async_.concurro
        except ImportError as exc:
            print("failed:", type(exc).__name__)
        else:
            print("imported")
        assert "orvex.async_.concurro" not in sys.modules
        del sys.modules["orvex.log"]
        import orvex.async_.concurro as concurro
        print("retried:", concurro.Pcall.__qualname__, concurro.managed_handlers.__name__)
    """)
    assert result.returncode == 0, result.stdout
    assert result.stdout.splitlines() == ["failed: ModuleNotFoundError",
                                          "retried: Pcall orvex.log.managed_handlers"]
