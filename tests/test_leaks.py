"""Reference leaks: repeated native calls must leave the allocator's block count flat.

Each entry of SUBJECTS is one round of calls; add an entry to cover a new native callable.
"""
import copy
import functools
import gc
import logging
import sys

import pytest

from orvex.async_.concurro import Pcall
from orvex.async_.synchronize import Lockable, LockableMeta, locked

ROUNDS = 100000
WARMUP = 2000
# Free lists and caches may settle a little after warm-up; a leak grows with ROUNDS.
ALLOWED_GROWTH = 500


class CheapLock(object):
    def acquire(self, block=True, timeout=None):
        return True

    def release(self):
        return None


def _expect_type_error(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except TypeError:
        return
    raise AssertionError("no TypeError from %r" % (call,))


def lockable_argument_kinds():
    obj = Lockable(lock=CheapLock)
    acquire, release = Lockable.acquire, Lockable.release

    def one_round():
        acquire(obj)                          # defaults
        acquire(obj, False)                   # positional, one default
        acquire(obj, True, 1.5)               # all positional
        acquire(obj, timeout=2.5)             # keyword, default before it
        acquire(obj, block=False, timeout=None)
        acquire(self=obj, timeout=1)          # everything by keyword
        obj.acquire(False)                    # bound method
        release(obj)
        Lockable.acquire.__call__(obj, True, timeout=3)  # tuple-and-dict protocol
        _expect_type_error(acquire, obj, 1, 2, 3)        # too many positionals
        _expect_type_error(acquire)                      # too few
        _expect_type_error(acquire, obj, nope=1)         # unexpected keyword
        _expect_type_error(acquire, obj, True, block=1)  # multiple values
        _expect_type_error(release, obj, 1)

    return one_round


def lockable_construction():
    def one_round():
        Lockable(lock=CheapLock)              # keyword-only argument
        obj = Lockable.__new__(Lockable)
        obj.__init__(lock=CheapLock)
        _expect_type_error(Lockable, CheapLock)          # keyword-only given positionally
        _expect_type_error(Lockable, lock=CheapLock())   # not callable
        _expect_type_error(Lockable, rlock=CheapLock)

    return one_round


def lockable_default_lock():
    # Real fork-context locks: construction makes a semaphore, so fewer per round.
    holder = Lockable()

    def one_round():
        holder.acquire()
        holder.acquire(block=False)
        holder.release()
        holder.release()
        if one_round.count % 50 == 0:
            Lockable()
        one_round.count += 1

    one_round.count = 0
    return one_round


def native_function_attributes():
    func = Lockable.acquire

    def one_round():
        func.__name__, func.__qualname__, func.__doc__, func.__module__
        func.__defaults__, func.__kwdefaults__, func.__annotations__, func.__code__
        func.__class__, func.__closure__, getattr(func, "__type_params__", None)
        func.__defaults__ = func.__defaults__
        func.__code__ = func.__code__
        func.__get__(object(), object)
        repr(func)
        func.__reduce__(), copy.copy(func), copy.deepcopy(func)
        unnamed.__reduce__(), named.__reduce__()

    unnamed = locked(lambda self: None)  # reduces to locked(method)
    named = locked  # by reference
    return one_round


def reduce_through_descriptors():
    # By their path from the class: the getter of a property, a class method.
    getter, pcall = vars(Pcall)["pids"].fget, vars(Pcall)["pcall"].__func__

    def one_round():
        getter.__reduce__(), pcall.__reduce__()

    return one_round


def pcall_construction():
    def target(*args, **kwargs):
        return args

    argument_sets = Pcall.__new__(Pcall)
    argument_sets.__dict__.update(
        targets=[target, functools.partial(target, 0)], cargs=(1,), iargs=[(2,), [3]],
        ckwargs={"a": 1}, ikwargs=[{"b": 2}, {"c": 3}], varkwargs={"x": [4, 5]})

    def one_round():
        argument_sets._build_arguments()
        if one_round.count % 5 == 0:
            # Every construction makes a queue (a pipe and a semaphore): fewer of them.
            batch = Pcall(target, 1, (1,), [(1,), "ab"], {"k": 1}, [{"m": 2}, {"n": 3}],
                          x=[1, 2, 3], y="ab")
            batch._build_arguments()
            batch.pids, batch.livings
            _expect_type_error(Pcall)
            _expect_type_error(Pcall, target, 1, 2, 3, 4, 5, 6)
            try:
                Pcall(target, x=[])
            except IndexError:
                pass
        one_round.count += 1

    one_round.count = 0
    return one_round


class _LockThatWaits(object):
    """acquire(block=False) fails every other time, so the waiting path runs too."""

    def __init__(self):
        self.turn = 0

    def acquire(self, block=True, timeout=None):
        self.turn += 1
        return block or self.turn % 2 == 0

    def release(self):
        return None


class _FailingRelease(CheapLock):
    def release(self):
        raise KeyError("release")


def locked_calls():
    class Plain(object):
        @locked
        def work(self, x, y=0, **kw):
            return x + y

        @locked
        def fail(self):
            raise ValueError("method")

        @Lockable.locked
        def strict(self, x):
            return x

        def __str__(self):
            return "plain 100%"

    class Meta(metaclass=LockableMeta):
        def work(self, x):
            return x

    quiet = logging.getLogger("orvex.async_.synchronize")
    was_disabled = quiet.disabled
    quiet.disabled = True
    uncontended, contended, failing = Plain(), Plain(), Plain()
    uncontended.__lock__ = CheapLock()
    contended.__lock__ = _LockThatWaits()
    failing.__lock__ = _FailingRelease()
    meta = Meta()
    meta.__lock__ = CheapLock()

    def one_round():
        uncontended.work(1, y=2, z=3)
        uncontended.strict(1)
        Plain.work(self=uncontended, x=1)
        contended.work(1)
        meta.work(1)
        for call, exc in ((uncontended.fail, ValueError), (failing.fail, KeyError),
                          (failing.work, KeyError), (Plain().strict, AttributeError)):
            try:
                call() if call.__name__ == "fail" else call(1)
            except exc:
                pass
        _expect_type_error(Plain.work)
        if one_round.count % 50 == 0:
            Plain().work(1)                    # creates a fork-context lock
            locked(lambda self: None)          # decorating
        one_round.count += 1

    one_round.count = 0

    def cleanup():
        quiet.disabled = was_disabled

    return one_round, cleanup


def observed_calls():
    # Under a profiler each call runs in a frame of its own; errors carry its line.
    obj = Lockable(lock=CheapLock)
    work = locked(lambda self, x: x)

    def one_round():
        obj.acquire(timeout=1)
        obj.release()
        work(obj, 1)
        _expect_type_error(obj.acquire, 1, 2, 3)

    def cleanup():
        sys.setprofile(None)

    sys.setprofile(lambda frame, event, arg: None)
    return one_round, cleanup


SUBJECTS = {
    "calls under a profiler": observed_calls,
    "pcall construction and fan-out": pcall_construction,
    "locked calls": locked_calls,
    "lockable argument kinds": lockable_argument_kinds,
    "lockable construction": lockable_construction,
    "lockable default lock": lockable_default_lock,
    "native function attributes": native_function_attributes,
    "reduce through descriptors": reduce_through_descriptors,
}


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="the allocator does not count blocks (PYTHONMALLOC=malloc)")
@pytest.mark.parametrize("subject", sorted(SUBJECTS))
def test_no_growth(subject):
    made = SUBJECTS[subject]()
    one_round, cleanup = made if isinstance(made, tuple) else (made, lambda: None)
    try:
        for _ in range(WARMUP):
            one_round()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            one_round()
        gc.collect()
        growth = sys.getallocatedblocks() - before
    finally:
        cleanup()
    assert growth < ALLOWED_GROWTH, "%d blocks more after %d rounds" % (growth, ROUNDS)
