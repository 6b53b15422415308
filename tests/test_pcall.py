"""Pcall batches: fan-out, start/join/pcall, failures, time limit and process control."""
import logging
import multiprocessing
import os
import signal
import sys
import threading
import time
import types

import pytest

from orvex.async_ import concurro

Pcall = concurro.Pcall
FORK = multiprocessing.get_context("fork")


pytestmark = pytest.mark.usefixtures("fast_poll")


def wait_ended(worker, limit=30.0):
    deadline = time.time() + limit
    while worker.is_alive():
        assert time.time() < deadline, "worker did not end"
        time.sleep(0.01)


def echo(*args, **kwargs):
    return args, kwargs


def f(*args, **kwargs):
    return ("f", args, kwargs)


def g(*args, **kwargs):
    return ("g", args, kwargs)


def h(*args, **kwargs):
    return ("h", args, kwargs)


class CallableSized(object):
    def __call__(self, *args, **kwargs):
        return ("sized", args, kwargs)

    def __len__(self):
        return 5


SIZED = CallableSized()


class Failure(Exception):
    """Picklable by reference, so the child's instance comes back as this type."""


def fail_with(*args):
    raise Failure(*args)


# ---- fan-out ----

FAN_OUT = [
    pytest.param(dict(targets=f), [(f, (), {})], id="single"),
    pytest.param(dict(targets=f, iargs=[(1,), (2,), (3,)]),
                 [(f, (1,), {}), (f, (2,), {}), (f, (3,), {})], id="iargs"),
    pytest.param(dict(targets=[f, g, h]), [(f, (), {}), (g, (), {}), (h, (), {})],
                 id="target-list"),
    pytest.param(dict(targets=(f, g, h), iargs=[(1,), (2,)]), [(f, (1,), {}), (g, (2,), {})],
                 id="shortest-wins"),
    pytest.param(dict(targets=[f], iargs=[(1,), (2,), (3,)]), [(f, (1,), {})],
                 id="one-element-list-counts"),
    pytest.param(dict(targets=f, cargs=(1, 2), iargs=[(3,), [4]]),
                 [(f, (1, 2, 3), {}), (f, (1, 2, 4), {})], id="common-first"),
    pytest.param(dict(targets=f, ckwargs={"a": 1, "b": 1}, ikwargs=[{"b": 2, "c": 2}], c=[3]),
                 [(f, (), {"a": 1, "b": 2, "c": 3})], id="keyword-precedence"),
    pytest.param(dict(targets=f, x=[1, 2, 3], y=[4, 5]),
                 [(f, (), {"x": 1, "y": 4}), (f, (), {"x": 2, "y": 5})], id="varkwargs"),
    pytest.param(dict(targets=f, iargs=[], x=[1, 2]),
                 [(f, (), {"x": 1}), (f, (), {"x": 2})], id="empty-iargs-ignored"),
    pytest.param(dict(targets=f, x="ab"), [(f, (), {"x": "a"}), (f, (), {"x": "b"})],
                 id="string-values"),
    pytest.param(dict(targets=f, iargs=["ab"]), [(f, ("a", "b"), {})], id="string-iargs"),
    pytest.param(dict(targets=f, timeout=5, cargs=[1]), [(f, (1,), {})], id="list-cargs"),
    pytest.param(dict(targets=SIZED), [(SIZED, (), {})], id="callable-with-length"),
    pytest.param(dict(targets=SIZED, iargs=[(1,), (2,)]), [(SIZED, (1,), {}), (SIZED, (2,), {})],
                 id="callable-with-length-repeats"),
    pytest.param(dict(targets=[f, g], ikwargs=[{"k": 1}, {"k": 2}, {"k": 3}], ckwargs={"z": 0}),
                 [(f, (), {"z": 0, "k": 1}), (g, (), {"z": 0, "k": 2})], id="ikwargs"),
    pytest.param(dict(targets=[f, g, h], ikwargs=[], x=[]), None, id="empty-x-raises"),
]


def as_triples(argument_sets):
    return [(s["target"], s["args"], s["kwargs"]) for s in argument_sets]


@pytest.mark.parametrize("call, expected", [p for p in FAN_OUT if p.values[1] is not None])
def test_build_arguments(call, expected):
    p = Pcall(**call)
    sets = p._build_arguments()
    assert type(sets) is list
    assert all(type(s) is dict and list(s) == ["target", "args", "kwargs"] for s in sets)
    assert all(type(s["args"]) is tuple and type(s["kwargs"]) is dict for s in sets)
    assert as_triples(sets) == expected
    assert [(w._target, w._args, w._kwargs) for w in p._processes] == expected
    assert [w._index for w in p._processes] == list(range(len(expected)))


@pytest.mark.parametrize("call, expected", [
    p for p in FAN_OUT if p.values[1] is not None and p.id != "callable-with-length"
    and p.id != "callable-with-length-repeats"])
def test_real_run_follows_fan_out(call, expected):
    results = Pcall.pcall(**call)
    assert results == tuple(t(*a, **k) for t, a, k in expected)


def test_attributes_after_construction():
    iargs, ikwargs, x = ((1,), (2,)), [{"a": 1}, {"a": 2}], (5, 6)
    cargs, ckwargs = [0], {"c": 0}
    p = Pcall(f, 7, cargs, iargs, ckwargs, ikwargs, x=x, y="uv")
    assert list(vars(p)) == ["targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs",
                             "varkwargs", "results", "_queue", "_processes"]
    assert p.targets is f and p.timeout == 7 and p.cargs is cargs and p.ckwargs is ckwargs
    assert p.iargs == list(iargs) and type(p.iargs) is list
    assert p.ikwargs == ikwargs and p.ikwargs is not ikwargs
    assert p.varkwargs == {"x": [5, 6], "y": ["u", "v"]} and list(p.varkwargs) == ["x", "y"]
    assert p.results is None and p._queue.empty()
    assert p.pids == (None, None) and p.livings == ()
    assert not hasattr(p, "starttime") and not hasattr(p, "stoptime")
    assert type(p._queue) is type(FORK.SimpleQueue())


def test_argument_sets_share_objects_but_not_dicts():
    cargs, item, shared = (1, 2), object(), {"k": []}
    p = Pcall(f, cargs=cargs, ckwargs=shared, x=[item, item])
    sets = p._build_arguments()
    assert sets[0]["args"] is cargs
    assert sets[0]["kwargs"] is not sets[1]["kwargs"]
    assert sets[0]["kwargs"]["k"] is shared["k"] and sets[0]["kwargs"]["x"] is item
    assert shared == {"k": []}


class Node:
    """Weakly referable, to see whether a cycle it is part of gets collected."""


@pytest.mark.parametrize("generic", [False, True], ids=["snapshot", "generic"])
def test_argument_sets_are_left_to_the_collector(generic):
    import gc
    import weakref

    nodes = [Node() for _ in range(3000)]
    p = Pcall(f, iargs=[([n],) for n in nodes], ikwargs=[{"n": [n]} for n in nodes])
    if generic:
        p.iargs = IndexOnly(*p.iargs)
    sets = p._build_arguments()
    assert len(sets) == 3000 and gc.is_tracked(sets)
    for one in sets:
        assert gc.is_tracked(one) and gc.is_tracked(one["args"]) and gc.is_tracked(one["kwargs"])
        # a cycle through every container of the set
        one["args"][0].append(one)
        one["kwargs"]["n"].append(one["args"])
    refs = [weakref.ref(n) for n in nodes]
    del nodes, sets, one, p  # the workers hold the sets built at construction
    gc.collect()
    assert all(r() is None for r in refs)


def test_a_failing_fan_out_leaves_nothing_behind():
    import gc
    import weakref

    nodes = [Node() for _ in range(100)]
    p = Pcall(f, iargs=[([n],) for n in nodes])
    p.iargs = IndexOnly(*p.iargs[:50], None)  # the 51st entry is no sequence
    p.targets = [f] * 100
    with pytest.raises(TypeError):
        p._build_arguments()
    p.iargs = [([n],) for n in nodes[:50]] + [None]
    with pytest.raises(TypeError):
        p._build_arguments()
    refs = [weakref.ref(n) for n in nodes]
    del nodes, p
    gc.collect()
    assert all(r() is None for r in refs)


def _reach_earlier_sets():
    import gc
    import weakref

    copies = []

    class Registered(dict):
        def copy(self):
            new = Registered(self)
            copies.append(weakref.ref(new))
            return new

    class Touching(IndexOnly):
        def __getitem__(self, i):
            for ref in copies:  # built for an earlier set, now only the batch holds it
                ref().setdefault("seen", []).append(i)
            return super().__getitem__(i)

    p = Pcall(f, ckwargs=Registered(a=1), iargs=[(i,) for i in range(50)])
    p.iargs = Touching(*p.iargs)
    del copies[:]  # those of the construction
    sets = p._build_arguments()
    gc.collect()
    assert [s["kwargs"]["seen"] for s in sets[:2]] == [list(range(1, 50)), list(range(2, 50))]
    assert all(gc.is_tracked(s["kwargs"]) for s in sets[:-1])


def _in_child(scenario):
    # A fault in native code would take the test run down with it: run it in a child.
    child = FORK.Process(target=scenario)
    child.start()
    child.join(60)
    assert child.exitcode == 0


def test_fan_out_survives_code_that_reaches_earlier_sets():
    _in_child(_reach_earlier_sets)


def _key_comparison_drops_an_entry():
    armed, keep = [], []

    class Collider(object):
        def __hash__(self):
            return hash("x")

        def __eq__(self, other):
            if armed:
                armed.pop()
                p.ikwargs[0] = None  # drops the entry being merged
                keep.append({"y%d" % j: j for j in range(3)})
            return False

    key = Collider()
    p = Pcall(f, ckwargs={key: 0}, ikwargs=[{"a": 1, "x": 2, "b": 3}])
    armed.append(1)
    assert p._build_arguments()[0]["kwargs"] == {key: 0, "a": 1, "x": 2, "b": 3}


def _record_drops_itself():
    class Record(object):
        def __getitem__(self, i):
            p._records.clear()  # the list held the only reference
            return 0

    p = Pcall(f, iargs=[()])
    p._processes, p._records = [], [Record()]
    p.join()
    assert p.results == ()


def _child_labor_dropped_while_building():
    import gc

    class Entry(object):
        def keys(self):
            del concurro.ChildLabor  # the module held the only reference
            gc.collect()
            [type("X%d" % i, (), {}) for i in range(50)]
            return ["target"]

        def __getitem__(self, key):
            return f

    class Dropping(Pcall):
        def _build_arguments(self):
            return [Entry()]

    assert [w._target for w in Dropping(f)._processes] == [f]


@pytest.mark.parametrize("scenario", [_key_comparison_drops_an_entry, _record_drops_itself,
                                      _child_labor_dropped_while_building])
def test_user_code_cannot_free_what_native_code_uses(scenario):
    _in_child(scenario)


def test_snapshot_only_for_iterators_that_run_no_code():
    armed = []

    class list_iterator(object):  # named like the built-in one
        def __init__(self, owner):
            self.owner = owner

        def __next__(self):
            if armed:
                self.owner.p.iargs = [("new",), ("new",)]
            return f

    class Targets(object):
        def __len__(self):
            return 2

        def __iter__(self):
            return list_iterator(self)

    class Sub(Pcall):
        pass

    for cls in (Pcall, Sub):
        targets = Targets()
        del armed[:]
        targets.p = cls(targets, iargs=[("old",), ("old",)])
        armed.append(1)
        assert [s["args"] for s in targets.p._build_arguments()] == [("old",), ("new",)]


def bad_generator():
    yield f


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), dict(targets=[]), ValueError, None),
    ((), dict(targets=(), iargs=[], ikwargs=[]), ValueError, None),
    ((), dict(targets=[], iargs=[(1,)]), StopIteration, None),
    ((), dict(targets=f, x=[]), IndexError, None),
    ((), dict(targets=f, x=5), TypeError, None),
    ((), dict(targets=f, iargs=5), TypeError, None),
    ((), dict(targets=f, ikwargs=5), TypeError, None),
    ((), dict(targets=bad_generator()), TypeError, None),
    ((), dict(targets=f, cargs=None), TypeError, None),
    ((), dict(targets=f, ckwargs=None), AttributeError, None),
    ((), dict(targets=f, ikwargs=[5]), TypeError, None),
    ((), dict(targets=f, ikwargs=[[(1, 2, 3)]]), ValueError, None),
    ((), dict(targets=f, iargs=[5]), TypeError, None),
    ((), {}, TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
    ((f, 1, 2, 3, 4, 5, 6), {}, TypeError,
     "__init__() takes at most 7 positional arguments (8 given)"),
    ((f, 1), dict(timeout=1), TypeError, "multiple values"),
])
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Pcall(*args, **kwargs)
    if message is not None:
        assert message in str(info.value)


# ---- start, join, pcall ----

def test_subclass_pcall_builds_the_subclass():
    built = []

    class Sub(Pcall):
        def __init__(self, *args, **kwargs):
            built.append(type(self))
            super().__init__(*args, **kwargs)

    assert Sub.pcall(f, iargs=[(1,)]) == (("f", (1,), {}),)
    assert built == [Sub]


def test_results_follow_index_not_arrival_order():
    # Indexes 0, 1, 2 finish in the order 2, 0, 1.
    def nap(seconds, value):
        time.sleep(seconds)
        return value

    p = Pcall(nap, iargs=[(0.6, "zero"), (1.2, "one"), (0.0, "two")])
    p.start()
    p.join()
    assert p.results == ("zero", "one", "two")
    assert [record[0] for record in p._records] == [2, 0, 1]
    assert p.stoptime >= p.starttime


def test_lowest_failing_index_is_raised_after_all_ended():
    def work(index):
        if index == 1:
            time.sleep(0.3)
            raise Failure("one")
        if index == 3:
            raise Failure("three")
        time.sleep(0.6)
        return index

    p = Pcall(work, iargs=[(i,) for i in range(4)])
    p.start()
    with pytest.raises(Failure, match="one"):
        p.join()
    assert [w.exitcode for w in p._processes] == [0, 0, 0, 0]
    assert p.results is None
    assert p.stoptime >= p.starttime


def test_failure_keeps_previous_results():
    p = Pcall(fail_with, iargs=[("x",)])
    p.results = previous = ("earlier",)
    p.start()
    with pytest.raises(Failure):
        p.join()
    assert p.results is previous


def test_pcall_raises_the_child_failure():
    with pytest.raises(Failure, match="boom") as info:
        Pcall.pcall([f, fail_with], iargs=[(), ("boom",)])
    # The default wrapper carries the child's traceback as the cause.
    assert "fail_with" in str(info.value.__cause__)


def test_identity_wrapper_raises_unpickled_copy(monkeypatch):
    monkeypatch.setattr(concurro, "ExceptionWithTraceback", lambda e: e)
    with pytest.raises(Failure) as info:
        Pcall.pcall(fail_with, iargs=[("payload", 42)])
    assert info.value.args == ("payload", 42)
    assert info.value.__cause__ is None


def test_non_exception_result_is_type_error(monkeypatch):
    monkeypatch.setattr(concurro, "ExceptionWithTraceback", lambda e: "not an exception")
    with pytest.raises(TypeError, match="BaseException"):
        Pcall.pcall(fail_with)


def exit_hard():
    os._exit(7)


def exit_three():
    sys.exit(3)


def interrupt():
    raise KeyboardInterrupt


def kill_self():
    os.kill(os.getpid(), signal.SIGKILL)


def unpicklable():
    return threading.Lock()


@pytest.mark.parametrize("bad, exitcode", [
    (exit_hard, 7), (exit_three, 3), (interrupt, 1), (kill_self, -signal.SIGKILL),
    (unpicklable, 1),
])
def test_missing_record_is_runtime_error(child_log, capfd, bad, exitcode):
    p = Pcall([f, bad, g])
    p.start()
    with pytest.raises(RuntimeError) as info:
        p.join()
    pid = p._processes[1].pid
    assert str(info.value) == (
        "Child process-1 (PID %d) ended without a result (exit code %d)" % (pid, exitcode))
    assert type(info.value) is RuntimeError
    assert p.results is None and p.stoptime >= p.starttime
    assert child_log.entries() == []  # only a failing target is logged


def test_failing_failure_report_is_a_missing_record(child_log, monkeypatch, capfd):
    def broken(e):
        raise OSError("wrapper broke")

    monkeypatch.setattr(concurro, "ExceptionWithTraceback", broken)
    with pytest.raises(RuntimeError, match=r"^Child process-0 \(PID \d+\) ended without "
                                           r"a result \(exit code 1\)$"):
        Pcall.pcall(fail_with)
    assert [e["level"] for e in child_log.entries()] == ["ERROR"]  # logged before wrapping


@pytest.mark.parametrize("targets, expected", [
    ([exit_three, fail_with], RuntimeError),
    ([fail_with, exit_three], Failure),
    ([f, exit_three, exit_hard], RuntimeError),
])
def test_first_index_decides_between_failure_and_missing(capfd, targets, expected):
    p = Pcall(targets)
    p.start()
    with pytest.raises(expected) as info:
        p.join()
    if expected is RuntimeError:
        assert str(info.value).startswith("Child process-%d " % targets.index(exit_three))


def test_second_join_keeps_results():
    p = Pcall(f, iargs=[(1,), (2,)])
    p.start()
    p.join()
    first, stopped = p.results, p.stoptime
    p.join()
    assert p.results == first == (("f", (1,), {}), ("f", (2,), {}))
    assert p.stoptime >= stopped


def test_join_after_timeout_keeps_drained_records(reaped):
    p = reaped(Pcall([f, time.sleep], timeout=0.5, iargs=[("quick",), (60,)]))
    p.start()
    wait_ended(p._processes[0])
    with pytest.raises(TimeoutError):
        p.join()
    assert p._queue.empty()
    wait_ended(p._processes[1])
    with pytest.raises(RuntimeError) as info:
        p.join()
    assert str(info.value) == (
        "Child process-1 (PID %d) ended without a result (exit code %d)"
        % (p._processes[1].pid, -signal.SIGTERM))


def test_timeout_log_and_error(reaped, caplog):
    p = reaped(Pcall([f, time.sleep, time.sleep], timeout=0.5, iargs=[(), (60,), (61,)],
                     ikwargs=[{}, {}, {}]))
    p.start()
    wait_ended(p._processes[0])
    with caplog.at_level(logging.ERROR, logger="orvex.async_.concurro"):
        with pytest.raises(TimeoutError) as info:
            p.join()
    assert type(info.value) is TimeoutError
    assert info.value.args == ("Not all child processes finished running.",)
    records = [r for r in caplog.records if r.name == "orvex.async_.concurro"]
    assert len(records) == 1
    record = records[0]
    assert record.levelno == logging.ERROR and record.exc_info is None
    assert not record.args
    pids = p.pids
    assert record.msg == (
        "The following processes are still running after 0.5 seconds:\n"
        "    PID-%d: target=sleep, args=(60,), kwargs={}\n"
        "    PID-%d: target=sleep, args=(61,), kwargs={}\n" % (pids[1], pids[2]))
    assert not hasattr(p, "stoptime") and p.results is None
    for worker in p._processes[1:]:
        wait_ended(worker)
        assert worker.exitcode == -signal.SIGTERM


def test_negative_timeout_fires_on_first_pass(reaped, fast_poll):
    p = reaped(Pcall(time.sleep, timeout=-1, iargs=[(60,)]))
    p.start()
    with pytest.raises(TimeoutError):
        p.join()
    assert fast_poll == [0.25]  # the poll interval, read from the module's `time`


def test_negative_timeout_without_living_worker_is_no_error():
    p = Pcall(f, timeout=-1)
    p.start()
    wait_ended(p._processes[0])
    p.join()
    assert p.results == (("f", (), {}),)


class JumpingClock(object):
    """Wall clock that leaps ahead, so that any real limit would have passed."""

    def __init__(self, leap):
        self.now = 1000.0
        self.leap = leap

    def time(self):
        self.now += self.leap
        return self.now

    def sleep(self, seconds):
        time.sleep(0.01)


@pytest.mark.parametrize("timeout", [None, 0, 0.0])
def test_false_timeout_means_no_limit(monkeypatch, timeout):
    monkeypatch.setattr(concurro, "time", JumpingClock(leap=10 ** 6))
    assert Pcall.pcall(time.sleep, timeout=timeout, iargs=[(0.3,)]) == (None,)


@pytest.mark.parametrize("leap, times_out", [(5.0, False), (5.001, True)])
def test_deadline_is_strictly_after(reaped, monkeypatch, leap, times_out):
    class SteppedClock(JumpingClock):
        # starttime, then every later reading exactly one leap after it
        def time(self):
            return self.now + (leap if self.started else 0)

    clock = SteppedClock(leap)
    clock.started = False
    errors = []
    # Both are looked up in the module at each use.
    monkeypatch.setattr(concurro, "time", clock)
    monkeypatch.setattr(concurro, "logger", types.SimpleNamespace(error=errors.append))
    p = reaped(Pcall(time.sleep, timeout=5, iargs=[(0.3,)]))
    p.start()
    assert p.starttime == 1000.0
    clock.started = True
    if times_out:
        with pytest.raises(TimeoutError):
            p.join()
        assert len(errors) == 1
        assert errors[0].startswith("The following processes are still running after 5 seconds:")
    else:
        p.join()
        assert p.results == (None,) and errors == []


def test_join_before_start():
    p = Pcall(f)
    with pytest.raises(AssertionError, match="can only join a started process"):
        p.join()
    assert hasattr(p, "stoptime") and p.results is None


def test_empty_batch_runs_nothing():
    p = Pcall(f)
    p._processes = []
    p.start()
    p.join()
    assert p.results == () and p.pids == () and p.livings == ()
    assert p.terminate() is None and p.kill() is None


# ---- the context manager around the starts ----

class RecordingHandlers(object):
    def __init__(self, batch_getter, suppress=False):
        self.events = []
        self.batch_getter = batch_getter
        self.suppress = suppress
        self.tasklog = types.SimpleNamespace(consolidate_next_forked_logfile=self.consolidate)

    def consolidate(self, *args, **kwargs):
        self.events.append(("call", args, kwargs))
        return self

    def pids(self):
        return self.batch_getter().pids

    def __enter__(self):
        self.events.append(("enter", self.pids()))
        return "ignored"

    def __exit__(self, kind, value, tb):
        self.events.append(("exit", self.pids(), kind, value, tb))
        return self.suppress


def test_context_manager_wraps_all_forks(reaped, monkeypatch):
    p = reaped(Pcall(f, iargs=[(1,), (2,), (3,)]))
    fake = RecordingHandlers(lambda: p)
    monkeypatch.setattr(concurro, "managed_handlers", fake)
    p.start()
    assert [e[0] for e in fake.events] == ["call", "enter", "exit"]
    assert fake.events[0][1:] == ((), {})
    assert fake.events[1][1] == (None, None, None)
    exit_event = fake.events[2]
    assert all(isinstance(pid, int) for pid in exit_event[1])
    assert exit_event[2:] == (None, None, None)
    p.join()
    assert p.results == tuple(("f", (i,), {}) for i in (1, 2, 3))


class StartRefused(Exception):
    pass


def refuse():
    raise StartRefused("no start")


@pytest.mark.parametrize("suppress", [True, 1, False, None, 0])
def test_exit_result_decides_on_failing_start(reaped, monkeypatch, suppress):
    p = reaped(Pcall(f, iargs=[(1,), (2,), (3,)]))
    p._processes[1].start = refuse
    fake = RecordingHandlers(lambda: p, suppress=suppress)
    monkeypatch.setattr(concurro, "managed_handlers", fake)
    if suppress:
        assert p.start() is None
    else:
        with pytest.raises(StartRefused):
            p.start()
    kind, value, tb = fake.events[-1][2:]
    assert kind is StartRefused and isinstance(value, StartRefused)
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == "refuse"
    assert [e[0] for e in fake.events] == ["call", "enter", "exit"]
    started = [w.pid is not None for w in p._processes]
    assert started == [True, False, False]


def test_context_manager_failure_propagates(monkeypatch):
    def consolidate():
        raise OSError("no log file")

    monkeypatch.setattr(concurro, "managed_handlers", types.SimpleNamespace(
        tasklog=types.SimpleNamespace(consolidate_next_forked_logfile=consolidate)))
    p = Pcall(f)
    with pytest.raises(OSError, match="no log file"):
        p.start()
    assert p.pids == (None,) and isinstance(p.starttime, float)


# ---- process control ----

def test_control_before_start():
    p = Pcall(f, iargs=[(1,), (2,)])
    assert p.kill() is None
    with pytest.raises(AttributeError):
        p.terminate()


def test_livings_and_pids_while_running(reaped):
    p = reaped(Pcall([time.sleep, f, time.sleep], iargs=[(60,), (), (60,)]))
    p.start()
    wait_ended(p._processes[1])
    first, second, third = p._processes
    livings = p.livings
    assert type(livings) is tuple and livings == (first, third)
    assert livings[0] is first and livings[1] is third
    assert p.livings is not livings
    pids = p.pids
    assert type(pids) is tuple and pids == tuple(w.pid for w in p._processes)
    assert all(isinstance(pid, int) and pid != os.getpid() for pid in pids)
    assert p.pids is not pids


def test_livings_asks_every_worker_once_in_order():
    asked = []

    class Worker(object):
        def __init__(self, name, alive):
            self.name, self.alive = name, alive

        def is_alive(self):
            asked.append(self.name)
            return self.alive

    p = Pcall(f)
    p._processes = [Worker("a", 0), Worker("b", [1]), Worker("c", ""), Worker("d", "yes")]
    assert [w.name for w in p.livings] == ["b", "d"]
    assert asked == ["a", "b", "c", "d"]


@pytest.mark.parametrize("method, signum", [("terminate", signal.SIGTERM),
                                            ("kill", signal.SIGKILL)])
def test_terminate_and_kill_stop_running_children(reaped, method, signum):
    p = reaped(Pcall(time.sleep, iargs=[(60,), (60,)]))
    p.start()
    assert getattr(p, method)() is None
    for worker in p._processes:
        wait_ended(worker)
        assert worker.exitcode == -signum
    assert p.livings == ()
    assert p.terminate() is None and p.kill() is None


def test_kill_signals_only_running_workers(reaped, monkeypatch):
    sent = []

    def kill(pid, sig):
        sent.append((pid, sig))
        os.kill(pid, signal.SIGKILL)

    p = reaped(Pcall([f, time.sleep], iargs=[(), (60,)]))
    p.start()
    wait_ended(p._processes[0])
    # Both are looked up in the module at each call.
    monkeypatch.setattr(concurro, "os", types.SimpleNamespace(kill=kill))
    monkeypatch.setattr(concurro, "signal", types.SimpleNamespace(SIGKILL="sigkill"))
    p.kill()
    assert sent == [(p.pids[1], "sigkill")]
    wait_ended(p._processes[1])
    p.kill()
    assert len(sent) == 1
    with pytest.raises(RuntimeError, match=r"exit code -9\)$"):
        p.join()


def test_methods_take_only_self():
    p = Pcall(f)
    for name in ("start", "join", "terminate", "kill", "_build_arguments"):
        with pytest.raises(TypeError):
            getattr(p, name)(1)
    assert Pcall.kill(self=p) is None


class CopyCounting(dict):
    copies = 0

    def copy(self):
        CopyCounting.copies += 1
        return CopyCounting(self)


class IndexOnly(object):
    """Indexable like a list, yet no list: Python's subscription must be used."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


@pytest.mark.parametrize("attributes, expected", [
    (dict(iargs=((1,), (2,)), ikwargs=({"a": 1}, {"a": 2})),
     [(f, ("c", 1), {"a": 1}), (f, ("c", 2), {"a": 2})]),
    (dict(iargs={0: [1], 1: [2]}, ikwargs=[]), [(f, ("c", 1), {}), (f, ("c", 2), {})]),
    (dict(iargs=IndexOnly("x", "yz")), [(f, ("c", "x"), {}), (f, ("c", "y", "z"), {})]),
    (dict(varkwargs={"v": (7, 8), "w": IndexOnly(9, 10)}),
     [(f, ("c", 0), {"v": 7, "w": 9}), (f, ("c", 0), {"v": 8, "w": 10})]),
    (dict(cargs=iter(["once"]), iargs=[(1,), (2,)]), [(f, ("once", 1), {}), (f, (2,), {})]),
    (dict(targets=[g, h], iargs=[(1,), (2,), (3,)]), [(g, ("c", 1), {}), (h, ("c", 2), {})]),
])
def test_reassigned_attributes_follow_python_subscription(attributes, expected):
    # _build_arguments() reads the attributes at each call; the workers keep their sets.
    p = Pcall(f, cargs=("c",), iargs=[(0,), (0,)])
    for name, value in attributes.items():
        setattr(p, name, value)
    assert as_triples(p._build_arguments()) == expected
    assert [(w._target, w._args) for w in p._processes] == [(f, ("c", 0))] * 2


def test_ckwargs_copy_method_is_called_per_instance():
    CopyCounting.copies = 0
    p = Pcall(f, ckwargs=CopyCounting(a=1), ikwargs=[{"b": 2}, {"b": 3}], x=[4, 5])
    kwargs = [s["kwargs"] for s in p._build_arguments()]
    assert CopyCounting.copies == 4
    assert all(type(k) is CopyCounting for k in kwargs)
    assert kwargs == [{"a": 1, "b": 2, "x": 4}, {"a": 1, "b": 3, "x": 5}]

