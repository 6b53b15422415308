"""Reference leaks: repeated native calls must leave the allocator's block count flat.

Each entry of SUBJECTS is one round of calls; add an entry to cover a new native callable.
"""
import gc
import sys

import pytest

from orvex.async_.synchronize import Lockable

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
        func.__defaults__ = func.__defaults__
        func.__get__(object(), object)
        repr(func)

    return one_round


SUBJECTS = {
    "lockable argument kinds": lockable_argument_kinds,
    "lockable construction": lockable_construction,
    "lockable default lock": lockable_default_lock,
    "native function attributes": native_function_attributes,
}


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="the allocator does not count blocks (PYTHONMALLOC=malloc)")
@pytest.mark.parametrize("subject", sorted(SUBJECTS))
def test_no_growth(subject):
    one_round = SUBJECTS[subject]()
    for _ in range(WARMUP):
        one_round()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        one_round()
    gc.collect()
    growth = sys.getallocatedblocks() - before
    assert growth < ALLOWED_GROWTH, "%d blocks more after %d rounds" % (growth, ROUNDS)
