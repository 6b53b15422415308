"""Cost of one locked method call: a plain method, the method under the native
``locked``, and under the same decorator written in Python. Prints nanoseconds per call
and the Python/native ratios, of whole calls and of the cost the locking adds.

    PYTHONPATH=src python benchmarks/locked.py [--number N] [--repeat R]

Each variant gets its own class compiled from the same source, so the interpreter's
per-code specialisation of one cannot slow another; the rounds interleave the variants
and the best round counts, which keeps a busy machine from favouring one of them.
"""
import argparse
import functools
import logging
import multiprocessing as _mp
import timeit

from orvex.async_ import synchronize

multiprocessing = _mp.get_context("fork")
logger = logging.getLogger(__name__)


def py_locked(method):
    """The native decorator's algorithm, step for step, in Python."""
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        try:
            self.__lock__
        except BaseException:
            self.__lock__ = multiprocessing.RLock()
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % str(self))
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return _wrapped


COUNTER = '''
class Counter:
    def __init__(self):
        self.value = 0

    def method(self, step):
        self.value += step

    if decorate is not None:
        method = decorate(method)
'''


def counter(decorate):
    namespace = {"decorate": decorate}
    exec(COUNTER, namespace)
    instance = namespace["Counter"]()
    instance.method(1)  # the first call creates the lock; time the steady state
    return instance


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=100)
    opts = parser.parse_args()
    variants = [("plain method", counter(None)),
                ("native locked", counter(synchronize.locked)),
                ("python locked", counter(py_locked))]
    best = {label: float("inf") for label, _ in variants}
    for _ in range(opts.repeat):
        for label, instance in variants:
            seconds = timeit.timeit("c.method(1)", globals={"c": instance}, number=opts.number)
            best[label] = min(best[label], seconds / opts.number * 1e9)
    for label, _ in variants:
        print("%-14s %8.1f ns/call" % (label, best[label]))
    plain, native, python = (best[label] for label, _ in variants)
    print("python/native  %8.2fx  per call" % (python / native))
    print("python/native  %8.2fx  cost added to the plain call"
          % ((python - plain) / (native - plain)))


if __name__ == "__main__":
    main()
