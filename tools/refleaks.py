"""Reference-leak pass over every public entry point of the native modules.

Works like CPython's `regrtest -R`: each entry point runs a few warm-up times, then RUNS
more times with `sys.gettotalrefcount()` and `sys.getallocatedblocks()` read after each
run; it leaks when every one of the last CHECK runs grew. Needs a debug CPython for the
reference count (a release build measures blocks only).

    python -X dev tools/refleaks.py [-w WARMUPS] [-r RUNS] [-k CHECK] [-l] [NAME ...]

NAME picks the entry points whose name contains it. Exits 1 on a leak or on an entry
point that misbehaves (a wrong exception or none where one is due).
"""
import argparse
import gc
import logging
import os
import sys
import time
import traceback
import types

from orvex.async_ import concurro
from orvex.async_.concurro import Pcall
from orvex.async_.synchronize import Lockable, LockableMeta, locked


class CheapLock(object):
    def acquire(self, block=True, timeout=None):
        return True

    def release(self):
        return None


class BusyLock(CheapLock):
    """acquire(block=False) fails, so a locked call takes the waiting path and logs."""

    def acquire(self, block=True, timeout=None):
        return block


class FailingRelease(CheapLock):
    def release(self):
        raise KeyError("release")


class Discard(logging.Handler):
    """Formats every record, so that the logging path runs in full, and keeps nothing."""

    def emit(self, record):
        self.format(record)


def raises(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    except BaseException as exc:
        raise AssertionError("%r raised %r, not %s" % (call, exc, error.__name__)) from exc
    raise AssertionError("%r raised no %s" % (call, error.__name__))


def target(*args, **kwargs):
    return args, kwargs


def fail(*args):
    raise ValueError(args)


def vanish():
    os._exit(3)


# Each entry is (name, loops per run, factory); the factory returns one call of the entry
# point, with its error paths.

def lockable_construction():
    class Sub(Lockable):
        def __init__(self):
            super().__init__(lock=CheapLock)

    def once():
        Lockable()                                    # a fork-context RLock
        Lockable(lock=CheapLock)
        Lockable.__new__(Lockable).__init__(lock=CheapLock)
        Sub()
        raises(TypeError, Lockable, CheapLock)        # keyword-only
        raises(TypeError, Lockable, lock=CheapLock())  # not callable
        raises(TypeError, Lockable, rlock=CheapLock)
    return once


def acquire_release():
    real, cheap, bare = Lockable(), Lockable(lock=CheapLock), Lockable.__new__(Lockable)
    acquire, release = Lockable.acquire, Lockable.release

    def once():
        real.acquire()
        real.acquire(False)
        real.acquire(block=True, timeout=1)
        acquire(self=real)
        for _ in range(4):
            real.release()
        acquire(cheap, True, 1.5)
        acquire(cheap, timeout=2.5)
        acquire.__call__(cheap, False, timeout=None)
        release(self=cheap)
        raises(AttributeError, acquire, bare)         # no __lock__
        raises(AttributeError, release, bare)
    return once


def observed_calls():
    """Calls while a profiler watches, each in a frame of its own; a failing one too."""
    obj, bare = Lockable(lock=CheapLock), Lockable.__new__(Lockable)
    work = locked(lambda self, x: x)

    def once():
        sys.setprofile(lambda frame, event, arg: None)
        try:
            obj.acquire(timeout=1)
            obj.release()
            work(obj, 1)
            raises(AttributeError, bare.acquire)
        finally:
            sys.setprofile(None)
    return once


def decorators():
    def method(self, x, y=0, **kwargs):
        return x + y

    def once():
        locked(method)
        Lockable.locked(method)
        Lockable.locked(locked(method))
        locked(1)                                     # fails at each call, not here
        raises(TypeError, locked)
        raises(TypeError, Lockable.locked, method, method)
    return once


def locked_calls():
    class Plain(object):
        @locked
        def work(self, x, y=0, **kwargs):
            return x + y

        @Lockable.locked
        def strict(self, x):
            return x

        @locked
        def fail(self):
            raise ValueError("method")

        broken = locked(1)

        def __str__(self):
            return "plain 100%"

    cheap, busy, failing, bare = Plain(), Plain(), Plain(), Plain()
    cheap.__lock__, busy.__lock__, failing.__lock__ = CheapLock(), BusyLock(), FailingRelease()

    def once():
        cheap.work(1, y=2, z=3)
        cheap.strict(1)
        Plain.work(self=cheap, x=1)                   # keyword self
        Plain.strict(cheap, x=1)
        busy.work(1)                                  # waits, logs a warning
        Plain().work(1)                               # lock created at the first call
        raises(AttributeError, bare.strict, 1)        # Lockable.locked, no lock
        raises(ValueError, cheap.fail)
        raises(KeyError, failing.work, 1)
        raises(KeyError, failing.fail)
        raises(TypeError, cheap.broken)
        raises(TypeError, Plain.work)
        raises(TypeError, Plain.work, cheap, self=cheap)
    return once


def lockable_meta():
    def method(self):
        return self

    def once():
        attrs = {"a": method, "_b": method, "c": LockableMeta.ignore(lambda self: 1),
                 "d": staticmethod(method), "e": property(method), "n": 1}
        cls = LockableMeta("Made", (object,), attrs)
        cls().a()

        class Stated(Lockable, metaclass=LockableMeta):
            def work(self, x):
                return x

            @LockableMeta.ignore
            def peek(self):
                return None
        Stated().work(1)
        raises(TypeError, LockableMeta, "Bad", (1,), {})
        raises(TypeError, LockableMeta.ignore)
    return once


def pcall_construction():
    def once():
        Pcall([target, target], 5, (1,), [(2,), [3]], {"a": 1}, [{"b": 2}, {"c": 3}],
              x=[4, 5])
        Pcall(targets=target, timeout=None, cargs=[1], iargs=iter([(2,), (3,)]),
              ckwargs={"a": 1}, ikwargs=({"b": n} for n in range(3)), y="ab")
        Pcall(target)._build_arguments()
        raises(TypeError, Pcall)
        raises(TypeError, Pcall, target, 1, 2, 3, 4, 5, 6)
        raises(TypeError, Pcall, target, timeout=1, **{"targets": target})
        raises(IndexError, Pcall, target, x=[])
    return once


def pcall_batch():
    def once():
        Pcall.pcall(target, iargs=[(1,), (2,)], ckwargs={"k": 1})
    return once


def start_join():
    def once():
        p = Pcall([target, target], cargs=(1,), z=["a", "b"])
        p.start()
        p.join()
        p.join()                                      # keeps the results
        p = Pcall([target, fail, vanish], iargs=[(1,), (2,), ()])
        p.start()
        raises(ValueError, p.join)                    # a child's failure
        p = Pcall(vanish)
        p.start()
        raises(RuntimeError, p.join)                  # ended without a result
        raises(AssertionError, Pcall(target).join)    # before start
    return once


def time_limit():
    def once():
        p = Pcall([target, time.sleep], timeout=0.05, iargs=[(), (60,)])
        p.start()
        raises(TimeoutError, p.join)                  # logs, terminates
        p._processes[1].join()
        raises(RuntimeError, p.join)
    return once


def pids_livings():
    def once():
        p = Pcall(target, iargs=[(1,), (2,)])
        p.pids, p.livings
        p.start()
        p.pids, p.livings
        p.join()
        p.pids, p.livings
    return once


def terminate_kill():
    def once():
        for method in (Pcall.terminate, Pcall.kill):
            p = Pcall(time.sleep, iargs=[(60,), (60,)])
            p.start()
            method(p)
            raises(RuntimeError, p.join)
            p.terminate()
            p.kill()
        p = Pcall(target)
        p.kill()                                      # before start: nothing to do
        raises(AttributeError, p.terminate)
    return once


def bad_arguments():
    holder = Lockable(lock=CheapLock)
    p = Pcall(target)

    class Plain(object):
        work = locked(lambda self, **kwargs: None)

    def once():
        raises(TypeError, Lockable.acquire)
        raises(TypeError, Lockable.acquire, holder, 1, 2, 3)
        raises(TypeError, Lockable.acquire, holder, nope=1)
        raises(TypeError, Lockable.acquire, holder, True, block=1)
        raises(TypeError, lambda: Lockable.acquire(holder, **{1: 2}))
        raises(TypeError, Lockable.release, holder, 1)
        raises(TypeError, lambda: Plain().work(**{1: 2}))
        raises(TypeError, Pcall.start, p, 1)
        raises(TypeError, Pcall.pcall)
        raises(TypeError, lambda: Pcall(target, **{1: [1]}))
        raises(TypeError, Pcall.pids.fget)
        raises(TypeError, locked, 1, 2)
    return once


def function_attributes():
    func = Lockable.acquire

    def annotated(self, x: int) -> str:
        pass

    wrapper = locked(annotated)

    def once():
        func.__name__, func.__qualname__, func.__doc__, func.__module__
        func.__defaults__, func.__kwdefaults__, func.__annotations__, func.__code__
        func.__defaults__ = func.__defaults__
        if hasattr(wrapper, "__annotate__"):  # 3.14+: computed anew after each assignment
            wrapper.__annotate__ = wrapper.__annotate__
        wrapper.__annotations__
        func.__get__(object(), object)
        repr(func)
    return once


ENTRY_POINTS = [
    ("Lockable()", 50, lockable_construction),
    ("acquire/release", 100, acquire_release),
    ("calls under a profiler", 100, observed_calls),
    ("locked decorators", 200, decorators),
    ("locked calls", 30, locked_calls),
    ("LockableMeta class creation", 50, lockable_meta),
    ("Pcall construction", 20, pcall_construction),
    ("Pcall.pcall", 2, pcall_batch),
    ("start/join", 1, start_join),
    ("join past the time limit", 1, time_limit),
    ("pids/livings", 2, pids_livings),
    ("terminate/kill", 1, terminate_kill),
    ("bad arguments", 200, bad_arguments),
    ("native function attributes", 200, function_attributes),
]


def settle():
    # sys._clear_type_cache is deprecated from 3.14.
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    gc.collect()


def measure(once, loops, warmups, runs):
    """Deltas of the reference total and of the block count, one per measured run."""
    totalrefcount = getattr(sys, "gettotalrefcount", None) or (lambda: 0)
    # Filled in place, so that storing a delta adds no reference of its own.
    refs, blocks = [0] * runs, [0] * runs
    rc_before = blocks_before = 0
    for i in range(warmups + runs):
        for _ in range(loops):
            once()
        settle()
        blocks_after = sys.getallocatedblocks()
        rc_after = totalrefcount()
        if i >= warmups:
            refs[i - warmups] = rc_after - rc_before
            blocks[i - warmups] = blocks_after - blocks_before
        rc_before, blocks_before = rc_after, blocks_after
    return refs, blocks


def grows(deltas, check):
    return all(delta >= 1 for delta in deltas[-check:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-w", "--warmups", type=int, default=3)
    parser.add_argument("-r", "--runs", type=int, default=8)
    parser.add_argument("-k", "--check", type=int, default=4,
                        help="a leak is growth in every one of the last CHECK runs")
    parser.add_argument("-l", "--list", action="store_true", help="list the entry points")
    parser.add_argument("names", nargs="*")
    options = parser.parse_args()
    chosen = [e for e in ENTRY_POINTS
              if not options.names or any(n in e[0] for n in options.names)]
    if options.list or not chosen:
        print("\n".join(name for name, _, _ in ENTRY_POINTS))
        return 0 if chosen else 2
    check = min(options.check, options.runs)
    if not hasattr(sys, "gettotalrefcount"):
        print("refleaks: not a debug build, measuring allocated blocks only")

    # Quiet loggers that still format every record; a poll of 5 ms keeps batches short.
    for name in ("orvex.async_.concurro", "orvex.async_.synchronize"):
        logger = logging.getLogger(name)
        logger.addHandler(Discard())
        logger.propagate = False
    concurro.time = types.SimpleNamespace(time=time.time, sleep=lambda s: time.sleep(0.005))

    labels = ["%s (%d)" % (name, loops) for name, loops, _ in chosen]
    width = max(len(label) for label in labels + ["entry point (loops)"])
    print("%-*s  %-34s  %-34s  %s" % (width, "entry point (loops)",
                                      "refs deltas", "blocks deltas", "verdict"))
    bad = []
    started = time.time()
    for label, (name, loops, factory) in zip(labels, chosen):
        try:
            refs, blocks = measure(factory(), loops, options.warmups, options.runs)
        except Exception:
            print("%-*s  ERROR" % (width, label))
            traceback.print_exc(file=sys.stdout)
            bad.append(name)
            continue
        leaks = [what for what, deltas in (("refs", refs), ("blocks", blocks))
                 if grows(deltas, check)]
        if not hasattr(sys, "gettotalrefcount"):
            refs = "n/a"
        print("%-*s  %-34s  %-34s  %s" % (width, label, refs, blocks,
                                          "LEAK (%s)" % ", ".join(leaks) if leaks else "ok"))
        sys.stdout.flush()
        if leaks:
            bad.append(name)
    print("refleaks: %d entry points in %.1f s, %s" % (
        len(chosen), time.time() - started,
        "failed: " + "; ".join(bad) if bad else "no leak"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
