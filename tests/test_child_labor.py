"""ChildLabor run for real: a forked child, its record on the queue and its log line.

Runs that put no record are checked through Pcall in test_pcall.py.
"""
import functools
import multiprocessing
import os

import pytest

from orvex.async_ import concurro

FORK = multiprocessing.get_context("fork")
ChildLabor = concurro.ChildLabor


def run_worker(index, target, args=(), kwargs=None):
    """Starts one worker, waits for it, returns it with every record it put."""
    queue = FORK.SimpleQueue()
    worker = ChildLabor(index, queue, target=target, args=args, kwargs=kwargs or {})
    worker.start()
    worker.join(60)
    assert worker.exitcode is not None, "worker did not end"
    records = []
    while not queue.empty():
        records.append(queue.get())
    return worker, records


def add(a, b=0):
    return a + b


def returns_none():
    return None


def failing(*args, **kwargs):
    raise ValueError("boom")


class NamelessCallable(object):
    def __call__(self):
        return "called"

    def __repr__(self):
        return "<nameless>"

    def __str__(self):
        return "nameless-instance"


class NameRaises(object):
    @property
    def __name__(self):
        raise KeyError("no name here")

    def __call__(self):
        return None


# ---- the result record ----

@pytest.mark.parametrize("index, target, args, kwargs, expected", [
    (0, add, (2,), {"b": 3}, 5),
    (4, returns_none, (), {}, None),
    (1, functools.partial(add, 10), (5,), {}, 15),
    (7, NamelessCallable(), (), {}, "called"),
    (3, lambda *a, **k: (a, k), ([1],), {"x": {"y": 2}}, (([1],), {"x": {"y": 2}})),
])
def test_success_record_and_no_log(child_log, index, target, args, kwargs, expected):
    worker, records = run_worker(index, target, args, kwargs)
    assert records == [(index, True, expected)]
    assert type(records[0]) is tuple and records[0][1] is True
    assert worker.exitcode == 0
    assert child_log.entries() == []


def test_failure_record_and_exact_log_line(child_log):
    # A partial is described by the function it wraps.
    worker, records = run_worker(2, functools.partial(failing), (1, "a"), {"k": [1]})
    assert worker.exitcode == 0
    assert len(records) == 1
    index, success, carried = records[0]
    assert index == 2 and success is False
    # What the default ExceptionWithTraceback unpickles into: the original type, with
    # the child's traceback text as its cause.
    assert type(carried) is ValueError and carried.args == ("boom",)
    assert "in failing" in str(carried.__cause__)

    entries = child_log.entries()
    assert len(entries) == 1
    entry = entries[0]
    assert entry["pid"] == worker.pid != os.getpid()
    assert entry["level"] == "ERROR"
    assert entry["msg"] == (
        "Caught error while executing target in child process-2:\n"
        "  target = failing\n"
        "  args = (1, 'a')\n"
        "  kwargs = {'k': [1]}\n"
        "\n")
    assert entry["args"] == []
    assert entry["exc"].startswith("Traceback (most recent call last):")
    assert entry["exc"].rstrip().endswith("ValueError: boom")


# ---- construction ----

@pytest.mark.parametrize("target, args, kwargs, work", [
    (add, (), {}, ("add", "()", "{}")),
    (add, (1, "x"), {"b": None}, ("add", "(1, 'x')", "{'b': None}")),
    (functools.partial(add, 1), (2,), {}, ("add", "(2,)", "{}")),
    (functools.partial(NamelessCallable()), (), {}, ("nameless-instance", "()", "{}")),
    (NamelessCallable(), (), {}, ("nameless-instance", "()", "{}")),
    (print, (), {"sep": ""}, ("print", "()", "{'sep': ''}")),
])
def test_work_description(target, args, kwargs, work):
    worker = ChildLabor(0, None, target=target, args=args, kwargs=kwargs)
    assert isinstance(worker._work, concurro.ChildWork)
    assert tuple(worker._work) == work
    assert all(type(text) is str for text in worker._work)


def test_work_is_a_snapshot():
    kwargs = {"b": 1}
    worker = ChildLabor(0, None, target=add, args=(1,), kwargs=kwargs)
    kwargs["b"] = 2
    assert worker._work.kwargs == "{'b': 1}"


def test_name_lookup_error_other_than_attribute_error_propagates():
    with pytest.raises(KeyError, match="no name here"):
        ChildLabor(0, None, target=NameRaises())


def test_index_and_queue_stored_unchanged():
    index, queue = object(), object()
    worker = ChildLabor(index, queue, target=add)
    assert worker._index is index and worker._queue is queue
    assert worker._target is add and worker.pid is None
    keyword_built = ChildLabor(queue=queue, index=3, target=add, name="w")
    assert keyword_built._index == 3 and keyword_built.name == "w"


@pytest.mark.parametrize("args, kwargs, error", [
    ((), {}, "__init__() takes at least 3 positional arguments (1 given)"),
    ((0,), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    ((), {"index": 0}, None),
    ((0, None), {"bogus": 1}, "bogus"),
    ((0, None), {"index": 1}, "index"),
    ((0, None, None, None, None, None, None, None, None), {}, None),
])
def test_bad_construction_is_type_error(args, kwargs, error):
    with pytest.raises(TypeError) as info:
        ChildLabor(*args, **kwargs)
    if error:
        assert error in str(info.value)


def test_base_initialiser_failure_sets_nothing():
    worker = ChildLabor.__new__(ChildLabor)
    with pytest.raises(TypeError):
        worker.__init__(1, None, bogus=True)
    assert not hasattr(worker, "_index") and not hasattr(worker, "_work")


def test_positional_arguments_go_to_the_base():
    worker = ChildLabor(0, None, None, add, "named", (1,), {"b": 2})
    assert worker.name == "named" and worker._args == (1,) and worker._kwargs == {"b": 2}
    assert worker._work.target == "add"


def test_zero_argument_super_follows_the_mro():
    calls = []

    class Mixin(FORK.Process):
        def __init__(self, *args, **kwargs):
            calls.append((args, sorted(kwargs)))
            super().__init__(*args, **kwargs)

    class Combined(ChildLabor, Mixin):
        pass

    worker = Combined(0, None, target=add, args=(1,))
    assert calls == [((), ["args", "target"])]
    assert worker._work == concurro.ChildWork("add", "(1,)", "{}")
