import functools
import inspect
import logging
import multiprocessing
import re
import sys
import threading
import time
import types
import typing

import pytest

from orvex.async_ import synchronize
from orvex.async_.synchronize import Lockable, locked

CTX = multiprocessing.get_context("fork")
LOGGER = "orvex.async_.synchronize"
DECORATORS = [locked, Lockable.locked]


class Item(Lockable):
    def __init__(self, text="item"):
        super().__init__()
        self.text = text
        self.calls = []

    def __str__(self):
        return self.text

    def record(self, *args, **kwargs):
        """Records its arguments."""
        self.calls.append((args, kwargs))
        return len(self.calls)

    module_level = locked(record)
    lockable = Lockable.locked(record)


def warnings_of(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def hold(lock, kind):
    """Has another process or thread take `lock` and let go 0.3 s later. Returns the event
    that tells it to let go, and a function that waits for the holder to finish."""
    event = CTX.Event if kind == "process" else threading.Event
    held, go = event(), event()

    def holder():
        lock.acquire()
        held.set()
        go.wait(10)
        lock.release()

    worker = CTX.Process(target=holder) if kind == "process" else threading.Thread(target=holder)
    worker.start()
    assert held.wait(10)
    timer = threading.Timer(0.3, go.set)
    timer.start()

    def finish():
        go.set()
        timer.cancel()
        timer.join()
        worker.join()

    return go, finish


def _try_in_child(lock):
    got = lock.acquire(block=False)
    if got:
        lock.release()
    sys.exit(0 if got else 1)


def free_elsewhere(lock):
    child = CTX.Process(target=_try_in_child, args=(lock,))
    child.start()
    child.join()
    return child.exitcode == 0


@pytest.mark.parametrize("name", ["module_level", "lockable"])
@pytest.mark.parametrize("kind", ["process", "thread"])
def test_contended_call_warns_once_then_waits(caplog, name, kind):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    item = Item("50% busy %s")
    go, finish = hold(item.__lock__, kind)
    assert getattr(item, name)(1) == 1
    assert go.is_set()  # it returned only after the holder was told to let go
    finish()
    assert item.calls == [((1,), {})]
    assert warnings_of(caplog) == [(logging.WARNING, "Waiting for lock on 50% busy %s")]


def test_uncontended_and_reentrant_calls_neither_wait_nor_log(caplog):
    class Nested(Item):
        @locked
        def outer(self):
            return self.lockable("inner")

    item = Nested()
    assert item.module_level(1, k=2) == 1
    assert item.outer() == 2
    assert item.calls == [((1,), {"k": 2}), (("inner",), {})]
    assert warnings_of(caplog) == []
    assert free_elsewhere(item.__lock__)


@pytest.mark.parametrize("decorate", DECORATORS)
def test_exception_passes_through_and_lock_is_released(decorate):
    error = ValueError("boom")

    @decorate
    def fail(self):
        raise error

    item = Item()
    with pytest.raises(ValueError) as info:
        fail(item)
    assert info.value is error
    assert free_elsewhere(item.__lock__)


class FailingRelease:
    def acquire(self, block=True, timeout=None):
        return True

    def release(self):
        try:
            raise LookupError("handled inside release")
        except LookupError:
            raise KeyError("release")  # noqa: B904 (the chaining is what is tested)


@pytest.mark.parametrize("method_raises", [False, True])
def test_failing_release_replaces_the_outcome(method_raises):
    item = Item()
    item.__lock__ = FailingRelease()

    @locked
    def method(self):
        if method_raises:
            raise ValueError("method")
        return 1

    # Called while the caller handles an exception of its own, as a finally clause would be.
    try:
        raise OSError("caller's")
    except OSError as error:
        handled = error
        with pytest.raises(KeyError) as info:
            method(item)
    inner = info.value.__context__
    assert type(inner) is LookupError
    context = inner.__context__
    if method_raises:
        assert type(context) is ValueError and context.__traceback__ is not None
        context = context.__context__
    assert context is handled and handled.__context__ is None


def test_module_level_creates_the_lock_once():
    class Plain:
        @locked
        def lock_now(self):
            return self.__lock__

    obj = Plain()
    first = obj.lock_now()
    assert type(first) is type(CTX.RLock())
    assert obj.lock_now() is first is obj.__lock__


def test_lockable_locked_without_lock_fails_before_calling():
    class Bare:
        calls = 0

        @Lockable.locked
        def method(self):
            Bare.calls += 1

    obj = Bare()
    with pytest.raises(AttributeError):
        obj.method()
    assert Bare.calls == 0 and not hasattr(obj, "__lock__")


def test_slots_objects():
    class NoRoom:
        __slots__ = ()
        method = locked(lambda self: pytest.fail("called"))

    class Room:
        __slots__ = ("__lock__",)
        method = locked(lambda self: self.__lock__)

    with pytest.raises(AttributeError):
        NoRoom().method()
    room = Room()
    assert room.method() is room.__lock__


def test_presence_test_discards_any_exception():
    class Odd:
        reads = 0

        @property
        def __lock__(self):
            Odd.reads += 1
            if Odd.reads == 1:
                raise RuntimeError("not yet")
            return self._lock

        @__lock__.setter
        def __lock__(self, value):
            self._lock = value

    obj = Odd()
    assert locked(lambda self: 7)(obj) == 7
    assert type(obj._lock) is type(CTX.RLock())


def test_str_failure_under_contention_reaches_caller():
    class Unprintable(Item):
        def __str__(self):
            raise LookupError("no str")

    item = Unprintable()
    go, finish = hold(item.__lock__, "thread")
    with pytest.raises(LookupError):
        item.module_level()
    finish()
    assert item.calls == []


def test_non_callable_method_fails_at_each_call_and_releases():
    wrapper = locked(42)
    obj = Item()
    with pytest.raises(TypeError):
        wrapper(obj)
    assert free_elsewhere(obj.__lock__)


def test_wrapper_arguments():
    item = Item()
    assert Item.module_level(self=item) == 1
    assert Item.lockable(self=item, k=1) == 2
    assert item.calls == [((), {}), ((), {"k": 1})]
    with pytest.raises(TypeError):
        Item.module_level()
    with pytest.raises(TypeError):
        Item.module_level(item, self=item)


@pytest.mark.parametrize("decorate, qualname", [
    (locked, "locked.<locals>._wrapped"),
    (Lockable.locked, "Lockable.locked.<locals>._wrapped"),
])
def test_wrapper_introspection(decorate, qualname):
    wrapper = Item.__dict__["module_level" if decorate is locked else "lockable"]
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__) == (
        "record", "Item.record", "Records its arguments.", __name__)
    assert wrapper.__wrapped__ is Item.record
    assert inspect.signature(wrapper) == inspect.signature(Item.record)
    assert not inspect.isfunction(wrapper)
    item = Item()
    assert item.lockable.__self__ is item and Item.lockable is Item.__dict__["lockable"]

    class Nameless:
        def __call__(self, obj):
            return obj

    bare = decorate(Nameless())
    assert (bare.__name__, bare.__qualname__) == ("_wrapped", qualname)
    bare.mark = 1
    assert bare.__dict__["mark"] == 1


def python_locked(method):
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        return method(self, *args, **kwargs)
    return _wrapped


@pytest.mark.parametrize("decorate", DECORATORS)
def test_annotations_read_as_through_a_python_decorator(decorate):
    # From 3.14 annotations are evaluated when read, so one may name what is defined later.
    later = "Later" if sys.version_info >= (3, 14) else "float"
    namespace = {}
    exec("def method(self, x: int, y: %s = 0) -> str:\n    return str(x)" % later, namespace)
    wrappers = decorate(namespace["method"]), python_locked(namespace["method"])

    def outcome(read, wrapper):
        try:
            # A forward reference names its owner, the wrapper.
            return re.sub(r" at 0x[0-9a-f]+", "", repr(read(wrapper)))
        except NameError as e:
            return str(e)

    reads = [lambda f: f.__annotations__, typing.get_type_hints, inspect.signature]
    if sys.version_info >= (3, 14):
        import annotationlib

        assert wrappers[0].__annotate__ is wrappers[1].__annotate__
        reads += [lambda f, format=format: annotationlib.get_annotations(f, format=format)
                  for format in annotationlib.Format if format.name != "VALUE_WITH_FAKE_GLOBALS"]
        for read in reads:
            assert outcome(read, wrappers[0]) == outcome(read, wrappers[1])
        namespace["Later"] = float
    for read in reads:
        assert outcome(read, wrappers[0]) == outcome(read, wrappers[1])
    assert wrappers[0].__annotations__ == {"x": int, "y": float, "return": str}


class BusyLock:
    """Busy at the first attempt; records how it is called."""

    def __init__(self):
        self.calls = []

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return len(self.calls) > 1

    def release(self, *args, **kwargs):
        self.calls.append(("release", args, kwargs))


def test_module_names_are_looked_up_at_use(monkeypatch):
    said = []
    monkeypatch.setattr(synchronize, "functools", None)
    with pytest.raises(AttributeError):
        locked(len)
    monkeypatch.undo()
    monkeypatch.setattr(synchronize, "multiprocessing", types.SimpleNamespace(RLock=BusyLock))
    monkeypatch.setattr(synchronize, "logger", types.SimpleNamespace(warning=said.append))
    obj = type("Obj", (), {"__str__": lambda self: "obj", "m": locked(lambda self: 5)})()
    assert obj.m() == 5
    assert said == ["Waiting for lock on obj"]
    assert obj.__lock__.calls == [("acquire", (), {"block": False}), ("acquire", (), {}),
                                  ("release", (), {})]


class SpyLock:
    def __init__(self):
        self.calls = []

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return True

    def release(self, *args, **kwargs):
        self.calls.append(("release", args, kwargs))


def _set_attributes(obj, spy, **more):
    for name, value in more.items():
        setattr(obj, name, value)
    obj.__lock__ = spy


def _replace_lock_methods(obj, spy):
    obj.__lock__.acquire, obj.__lock__.release = spy.acquire, spy.release


# Deprecated from 3.14 for the function that also clears the interpreter's other caches.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def _add_getattribute(obj, spy):
    type(obj).__getattribute__ = (
        lambda self, name: spy if name == "__lock__" else object.__getattribute__(self, name))


ACQUIRE_RELEASE = [("acquire", (), {"block": False}), ("release", (), {})]


@pytest.mark.parametrize("change, expected", [
    (lambda obj, spy: _set_attributes(obj, spy), ACQUIRE_RELEASE),
    (lambda obj, spy: (vars(obj), _set_attributes(obj, spy)), ACQUIRE_RELEASE),
    (lambda obj, spy: setattr(obj, "__dict__", {"__lock__": spy, "hook": obj.hook}),
     ACQUIRE_RELEASE),
    (lambda obj, spy: _set_attributes(obj, spy, **{"a%d" % i: i for i in range(40)}),
     ACQUIRE_RELEASE),
    (lambda obj, spy: _set_attributes(obj, spy, other=spy), ACQUIRE_RELEASE),
    (lambda obj, spy: setattr(type(obj), "__lock__", property(lambda self: spy)),
     ACQUIRE_RELEASE),
    (lambda obj, spy: (clear_type_cache(),
                       setattr(type(obj), "__lock__", property(lambda self: spy))),
     ACQUIRE_RELEASE),
    (_add_getattribute, ACQUIRE_RELEASE),
    (lambda obj, spy: setattr(obj, "__class__", type("Sub", (type(obj),), {})) or
     _set_attributes(obj, spy), ACQUIRE_RELEASE),
    (_replace_lock_methods, ACQUIRE_RELEASE),
    (lambda obj, spy: setattr(obj, "hook", lambda: setattr(obj, "__lock__", spy)),
     ACQUIRE_RELEASE[1:]),
], ids=["instance", "after-vars", "new-dict", "many-attributes", "value-twice",
        "class-property", "type-cache-cleared", "getattribute", "new-class", "lock-methods",
        "during-call"])
def test_every_read_sees_changes_made_after_earlier_calls(change, expected):
    class Plain:
        def __init__(self):
            self.hook = lambda: None

        @locked
        def method(self, value):
            self.hook()
            return value

    objects = [Plain() for _ in range(3)]
    for _ in range(3):
        assert [obj.method(1) for obj in objects] == [1, 1, 1]
    assert objects[1].method(1) == 1  # the object changed next is the one read last
    spy = SpyLock()
    change(objects[1], spy)
    assert objects[1].method(2) == 2
    assert spy.calls == expected
    for obj in objects[::2]:
        assert obj.method(3) == 3 and free_elsewhere(obj.__lock__)


def test_classes_met_in_turn_each_read_from_their_own_slot():
    # Each class keeps __lock__ in another slot of its instances' values; the read that
    # served one class last must not serve the other.
    def make(extra):
        def __init__(self):
            for i in range(extra):
                setattr(self, "a%d" % i, i)
        return type("C%d" % extra, (), {"__init__": __init__,
                                          "method": locked(lambda self: self.__lock__)})

    objects = [cls() for cls in (make(0), make(3), make(6))]
    for _ in range(3):
        for obj in objects:
            assert obj.method() is obj.__lock__ and free_elsewhere(obj.__lock__)
    spy = SpyLock()
    objects[1].__lock__ = spy
    for obj in objects:
        assert obj.method() is obj.__lock__
    assert spy.calls == ACQUIRE_RELEASE
    assert all(free_elsewhere(obj.__lock__) for obj in objects[::2])


def test_fork_locks_replaced_between_and_during_calls_are_read_afresh():
    class Obj:
        @locked
        def method(self, replace=False):
            if replace:
                self.__lock__ = CTX.RLock()
            return self.__lock__._semlock._is_mine()

    obj = Obj()
    for _ in range(3):
        assert obj.method()
    first, obj.__lock__ = obj.__lock__, CTX.RLock()
    assert obj.method() and not first._semlock._is_mine()
    second = obj.__lock__
    assert not second._semlock._is_mine()
    with pytest.raises(AssertionError, match="not owned"):
        obj.method(replace=True)  # releases the new lock, not the one it took
    assert second._semlock._is_mine()
    second.release()


def test_first_calls_from_many_threads_share_one_lock():
    class Shared:
        def __init__(self):
            self.count = 0
            self.locks = []

        @locked
        def bump(self):
            self.locks.append(self.__lock__)
            value = self.count
            time.sleep(0.001)
            self.count = value + 1

    for _ in range(10):
        obj, barrier = Shared(), threading.Barrier(16)

        def first_call():
            barrier.wait()
            obj.bump()

        threads = [threading.Thread(target=first_call) for _ in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert obj.count == 16
        assert all(lock is obj.__lock__ for lock in obj.locks)


class SharedCounter:
    def __init__(self):
        self.value = CTX.Value("i", 0, lock=False)

    @locked
    def bump(self):
        self.value.value += 1


def _bump_many(counter):
    logging.getLogger(LOGGER).disabled = True
    for _ in range(2000):
        counter.bump()


def test_forked_processes_exclude_each_other():
    counter = SharedCounter()
    counter.bump()  # the lock must exist before the fork
    children = [CTX.Process(target=_bump_many, args=(counter,)) for _ in range(8)]
    for child in children:
        child.start()
    for child in children:
        child.join()
    assert [c.exitcode for c in children] == [0] * 8
    assert counter.value.value == 1 + 8 * 2000
