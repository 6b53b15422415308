"""Lockable and the synchronize module namespace."""
import multiprocessing
import threading
import time
import types

import pytest

from orvex.async_ import synchronize
from orvex.async_.synchronize import Lockable

FORK = multiprocessing.get_context("fork")


class TestConstruction:
    def test_instances_get_distinct_locks_from_the_default_factory(self):
        factory = Lockable.__init__.__kwdefaults__["lock"]
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

    def test_shared_lock_only_through_a_factory_that_shares(self):
        shared = FORK.RLock()
        a, b = Lockable(lock=lambda: shared), Lockable(lock=lambda: shared)
        assert a.__lock__ is b.__lock__ is shared

    def test_lock_is_keyword_only(self):
        with pytest.raises(TypeError):
            Lockable(FORK.RLock)
        assert Lockable(lock=FORK.RLock).acquire(block=False)

    def test_non_callable_lock_fails_and_sets_nothing(self):
        obj = Lockable.__new__(Lockable)
        with pytest.raises(TypeError):
            obj.__init__(lock=FORK.RLock())
        assert "__lock__" not in vars(obj)

    def test_factory_exception_propagates_unchanged(self):
        error = ValueError("no lock for you")

        def factory():
            raise error

        with pytest.raises(ValueError) as info:
            Lockable(lock=factory)
        assert info.value is error

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


class TestAcquireRelease:
    def test_reentrant_in_the_holding_thread(self):
        obj = Lockable()
        assert obj.acquire() is True
        assert obj.acquire() is True
        assert obj.acquire(block=False) is True
        for _ in range(3):
            assert obj.release() is None
        with pytest.raises(AssertionError):
            obj.release()

    def test_release_of_unheld_lock_raises_and_leaves_it_usable(self):
        obj = Lockable()
        with pytest.raises(AssertionError):
            obj.release()
        assert obj.acquire(block=False) is True
        obj.release()

    def test_lock_exception_propagates_unchanged(self):
        error = RuntimeError("lock broke")

        class BrokenLock(object):
            def acquire(self, block, timeout):
                raise error

            def release(self):
                raise error

        obj = Lockable(lock=BrokenLock)
        for call in (obj.acquire, obj.release):
            with pytest.raises(RuntimeError) as info:
                call()
            assert info.value is error

    def test_lock_without_block_keyword_fails(self):
        obj = Lockable(lock=threading.RLock)
        with pytest.raises(TypeError):
            obj.acquire()

    def test_other_thread_holding(self):
        obj = Lockable()
        held, done = threading.Event(), threading.Event()

        def hold():
            obj.acquire()
            held.set()
            done.wait(30)
            obj.release()

        thread = threading.Thread(target=hold)
        thread.start()
        try:
            assert held.wait(30)
            assert obj.acquire(block=False) is False
            with pytest.raises(AssertionError):
                obj.release()
        finally:
            done.set()
            thread.join(30)
        assert obj.acquire(timeout=30) is True
        obj.release()


def _hold_in_child(obj, held, done):
    obj.acquire()
    held.set()
    done.wait(60)
    obj.release()


class TestAcrossFork:
    @pytest.fixture
    def held_by_child(self):
        obj = Lockable()
        held, done = FORK.Event(), FORK.Event()
        child = FORK.Process(target=_hold_in_child, args=(obj, held, done))
        child.start()
        try:
            assert held.wait(60), "child never took the lock"
            yield obj
        finally:
            done.set()
            child.join(60)
            if child.is_alive():
                child.kill()
                child.join()
        assert child.exitcode == 0

    def test_parent_waits_for_child(self, held_by_child):
        obj = held_by_child
        start = time.monotonic()
        assert obj.acquire(block=False) is False
        assert obj.acquire(timeout=0.2) is False
        elapsed = time.monotonic() - start
        assert 0.15 <= elapsed < 10
        with pytest.raises(AssertionError):
            obj.release()
        # The failed release left the child's hold in place.
        assert obj.acquire(block=False) is False


class TestModuleNamespace:
    def test_order(self):
        expected = ["inspect", "logging", "functools", "multiprocessing", "logger", "Lockable",
                    "locked", "LockableMeta"]
        names = [n for n in vars(synchronize) if not (n.startswith("__") and n.endswith("__"))]
        assert names == expected[:len(names)]
        assert len(names) >= 6
        assert not hasattr(synchronize, "__all__")
        assert synchronize.__doc__ is None

    def test_standard_modules(self):
        import functools
        import inspect
        import logging
        assert synchronize.inspect is inspect
        assert synchronize.logging is logging
        assert synchronize.functools is functools

    def test_multiprocessing_is_the_fork_context(self):
        context = synchronize.multiprocessing
        assert not isinstance(context, types.ModuleType)
        assert context is multiprocessing.get_context("fork")
        assert context.get_start_method() == "fork"
        assert Lockable.__init__.__kwdefaults__["lock"] == context.RLock

    def test_logger(self):
        assert synchronize.logger.name == synchronize.__name__ == "orvex.async_.synchronize"
        assert synchronize.logger.handlers == []


class TestClassLayout:
    def test_bases_and_metaclass(self):
        assert type(Lockable) is type
        assert Lockable.__bases__ == (object,)
        assert Lockable.__module__ == "orvex.async_.synchronize"
        assert Lockable.__qualname__ == Lockable.__name__ == "Lockable"
        assert "lock" in Lockable.__doc__

    def test_members_in_order(self):
        own = [k for k in vars(Lockable)
               if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
        expected = ["__init__", "acquire", "release", "locked"]
        assert own == expected[:len(own)] and len(own) >= 3
        assert "__slots__" not in vars(Lockable)
        assert not any(k.startswith("_Lockable") or k == "__lock__" for k in vars(Lockable))

    def test_instances_have_a_plain_dict(self):
        obj = Lockable(lock=list)
        obj.anything = 1
        assert vars(obj) == {"__lock__": [], "anything": 1}
