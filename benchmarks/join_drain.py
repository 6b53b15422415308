"""join's two ways of reading the result queue, side by side in one process.

    PYTHONPATH=src python benchmarks/join_drain.py [rounds]

A batch of 64 children, each returning 1 MB, is joined once through the direct read of
the queue's pipe and once through empty()/get() (forced by giving the queue a get that is
not the library's own), in interleaved rounds. Prints, per road, the median number of
0.25 s passes (sleeps) and the median wall time, and the ratios of the direct read to
the get() road.
"""
import functools
import statistics
import sys
import time
import types

from orvex.async_ import concurro
from pcall import print_machine

CHILDREN = 64
SIZE = 1 << 20


def result(i):
    return b"x" * SIZE


def run(road):
    sleeps = []

    def sleep(seconds):
        sleeps.append(seconds)
        time.sleep(seconds)

    concurro.time = types.SimpleNamespace(time=time.time, sleep=sleep)
    try:
        p = concurro.Pcall(result, iargs=[(i,) for i in range(CHILDREN)])
        if road == "get":
            queue = p._queue
            queue.get = functools.partial(type(queue).get, queue)
        start = time.perf_counter()
        p.start()
        p.join()
        elapsed = time.perf_counter() - start
    finally:
        concurro.time = time
    assert len(p.results) == CHILDREN and all(len(r) == SIZE for r in p.results)
    return len(sleeps), elapsed


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    print_machine()
    figures = {"direct": [], "get": []}
    for _ in range(rounds):
        for road in ("direct", "get"):
            figures[road].append(run(road))
    medians = {}
    for road, runs in figures.items():
        passes = statistics.median(r[0] for r in runs)
        wall = statistics.median(r[1] for r in runs)
        medians[road] = (passes, wall)
        print("%-6s passes %4.1f  wall %.3f s  (%d rounds of %d children x %d MB)"
              % (road, passes, wall, rounds, CHILDREN, SIZE >> 20))
    print("direct / get(): passes %.2fx, wall %.2fx"
          % (medians["direct"][0] / medians["get"][0], medians["direct"][1] / medians["get"][1]))


if __name__ == "__main__":
    main()
