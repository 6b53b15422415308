"""Lockable: its lock factory, and acquire/release against threads and forked processes.

Module namespace and class layout are checked in test_public_surface.py.
"""
import multiprocessing
import threading
import time

import pytest

from orvex.async_.synchronize import Lockable

FORK = multiprocessing.get_context("fork")


class TestConstruction:
    def test_instances_get_distinct_locks_from_the_default_factory(self):
        factory = Lockable.__init__.__kwdefaults__["lock"]
        assert factory == FORK.RLock
        first, second = Lockable(), Lockable()
        assert first.__lock__ is not second.__lock__
        assert type(first.__lock__) is type(FORK.RLock())
        assert Lockable.__init__.__kwdefaults__["lock"] is factory

    def test_factory_called_exactly_once_without_arguments(self):
        calls = []
        made = object()

        def factory(*args, **kwargs):
            calls.append((args, kwargs))
            return made

        obj = Lockable(lock=factory)
        assert calls == [((), {})]
        assert obj.__lock__ is made
        assert vars(obj) == {"__lock__": made}
        obj.anything = 1  # a plain instance dict
        assert vars(obj) == {"__lock__": made, "anything": 1}

    def test_non_callable_lock_fails_and_sets_nothing(self):
        obj = Lockable.__new__(Lockable)
        with pytest.raises(TypeError):
            obj.__init__(lock=FORK.RLock())
        assert "__lock__" not in vars(obj)

    def test_init_does_not_chain_to_base_initialisers(self):
        log = []

        class Mixin(object):
            def __init__(self):
                log.append("mixin")

        class Both(Lockable, Mixin):
            pass

        Both(lock=list)
        assert log == []

    def test_subclass_without_init_call_has_no_lock(self):
        class Forgetful(Lockable):
            def __init__(self):
                pass

        obj = Forgetful()
        for call in (obj.acquire, obj.release):
            with pytest.raises(AttributeError):
                call()


class BrokenLock(object):
    error = RuntimeError("lock broke")

    def __init__(self):
        raise self.error

    def acquire(self, block, timeout):
        raise self.error

    def release(self):
        raise self.error


@pytest.mark.parametrize("call", [
    lambda: Lockable(lock=BrokenLock),
    lambda: Lockable(lock=lambda: BrokenLock.__new__(BrokenLock)).acquire(),
    lambda: Lockable(lock=lambda: BrokenLock.__new__(BrokenLock)).release(),
], ids=["factory", "acquire", "release"])
def test_lock_exceptions_propagate_unchanged(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value is BrokenLock.error


def test_lock_without_block_keyword_fails():
    obj = Lockable(lock=threading.RLock)
    with pytest.raises(TypeError):
        obj.acquire()


def test_reentrant_and_release_of_unheld_lock_raises():
    obj = Lockable()
    with pytest.raises(AssertionError):
        obj.release()
    # The failed release left it usable.
    assert obj.acquire() is True
    assert obj.acquire() is True
    assert obj.acquire(block=False) is True
    for _ in range(3):
        assert obj.release() is None
    with pytest.raises(AssertionError):
        obj.release()


def _hold(obj, held, done):
    obj.acquire()
    held.set()
    done.wait(60)
    obj.release()


@pytest.fixture(params=["thread", "process"])
def held_elsewhere(request):
    """A Lockable whose lock another thread or forked process holds until the test ends."""
    obj = Lockable()
    if request.param == "thread":
        held, done = threading.Event(), threading.Event()
        holder = threading.Thread(target=_hold, args=(obj, held, done))
    else:
        held, done = FORK.Event(), FORK.Event()
        holder = FORK.Process(target=_hold, args=(obj, held, done))
    holder.start()
    try:
        assert held.wait(60), "holder never took the lock"
        yield obj
    finally:
        done.set()
        holder.join(60)
        if request.param == "process" and holder.is_alive():
            holder.kill()
            holder.join()
    assert getattr(holder, "exitcode", 0) == 0
    # Free again once the holder let go.
    assert obj.acquire(timeout=30) is True
    obj.release()


def test_waits_for_the_other_holder(held_elsewhere):
    obj = held_elsewhere
    start = time.monotonic()
    assert obj.acquire(block=False) is False
    assert obj.acquire(timeout=0.2) is False
    elapsed = time.monotonic() - start
    assert 0.15 <= elapsed < 10
    with pytest.raises(AssertionError):
        obj.release()
    # The failed release left the other's hold in place.
    assert obj.acquire(block=False) is False
