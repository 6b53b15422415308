"""Pcall defaults, module names read at call time, and a retryable import.

The namespace order and bindings are checked in test_public_surface.py.
"""
import functools
import itertools
import textwrap
import types

import pytest

from orvex.async_ import concurro

Pcall = concurro.Pcall


def target(*args, **kwargs):
    return args, kwargs


def test_ckwargs_default_is_one_shared_dict_left_empty():
    default = Pcall.__init__.__defaults__[3]
    assert Pcall.__init__.__kwdefaults__ is None
    first, second = Pcall(target), Pcall(target, x=[1])
    assert first.ckwargs is second.ckwargs is default
    second._build_arguments()
    assert default == {}
    assert Pcall(target, ckwargs={}).ckwargs is not default


@pytest.mark.parametrize("name", ["pids", "livings"])
def test_properties_are_read_only(name):
    p = Pcall(target)
    with pytest.raises(AttributeError):
        setattr(p, name, ())
    with pytest.raises(AttributeError):
        delattr(p, name)


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


# ---- import failure ----

def test_import_needs_the_log_sibling_and_can_be_retried(run_python):
    result = run_python("-c", textwrap.dedent("""
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
    """))
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["failed: ModuleNotFoundError",
                                          "retried: Pcall orvex.log.managed_handlers"]
