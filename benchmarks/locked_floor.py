"""How far the native locked call is from the least a locked call can cost on this CPython.

    PYTHONPATH=src python benchmarks/locked_floor.py [--rounds R] [--number N]
    PYTHONPATH=src python benchmarks/locked_floor.py --instructions    # needs valgrind

Builds benchmarks/locked_floor.c (needs setuptools and a C compiler) into a temporary
directory: a wrapper that acquires the same kind of semaphore through the same C functions
as the native wrappers, calls the method and releases, with nothing else around it. Times a
plain method, the method under the native ``locked``, under the floor and under the same
decorator in Python (benchmarks/locked.py), in interleaved rounds; prints the best and the
median round of each, and the medians of the per-round ratios native/floor and
python/native. With --instructions, counts instructions per call instead, with callgrind:
the difference of two loop lengths run in a fresh process each, which is the same on every
run and shows what the wrappers' difference is made of.
"""
import argparse
import importlib.util
import os
import re
import statistics
import subprocess
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floor_build import build_floor  # noqa: E402
from locked import counter, multiprocessing, py_locked  # noqa: E402
from pcall import print_machine  # noqa: E402

from orvex.async_ import synchronize  # noqa: E402

VARIANTS = ("plain", "native", "floor", "python")


def instances(floor):
    """One instance per variant, each of its own class, with its lock made."""
    made = {"plain": counter(None), "native": counter(synchronize.locked),
            "python": counter(py_locked)}
    lock = multiprocessing.RLock()
    made["floor"] = counter(lambda method: floor.wrap(method, lock._semlock))
    made["floor"].__lock__ = lock  # as the native decorator leaves its instance
    return made


def load_floor(path):
    spec = importlib.util.spec_from_file_location("locked_floor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def timed(made, rounds, number):
    per_round = {name: [] for name in VARIANTS}
    for _ in range(rounds):
        for name in VARIANTS:
            seconds = timeit.timeit("c.method(1)", globals={"c": made[name]}, number=number)
            per_round[name].append(seconds / number * 1e9)
    print("%d interleaved rounds of %d calls, ns per call:" % (rounds, number))
    for name in VARIANTS:
        print("  %-7s best %7.1f   median %7.1f"
              % (name, min(per_round[name]), statistics.median(per_round[name])))

    def ratio(a, b):
        return statistics.median(x / y for x, y in zip(per_round[a], per_round[b]))

    print("  native/floor  %5.2fx   python/native %5.2fx   (medians of the rounds' ratios)"
          % (ratio("native", "floor"), ratio("python", "native")))


def loop(made, name, count):
    c = made[name]
    for _ in range(count):
        c.method(1)


def instructions(floor_path, short, long):
    """Instructions per call of each variant, the benchmark loop's own included."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    counts = {}
    for name in VARIANTS:
        totals = []
        for count in (short, long):
            with tempfile.NamedTemporaryFile() as out:
                run = subprocess.run(
                    ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out.name,
                     sys.executable, os.path.abspath(__file__), "--floor", floor_path,
                     "--loop", name, str(count)],
                    env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                    universal_newlines=True)
            found = re.search(r"Collected : (\d+)", run.stderr)
            if run.returncode or not found:
                sys.exit("callgrind failed for %s:\n%s" % (name, run.stderr))
            totals.append(int(found.group(1)))
        counts[name] = (totals[1] - totals[0]) / (long - short)
    print("instructions per call (callgrind, %d - %d calls, PYTHONHASHSEED=0):" % (long, short))
    for name in VARIANTS:
        print("  %-7s %7.0f" % (name, counts[name]))
    print("  native - floor %5.0f   native/floor %5.2fx   python/native %5.2fx"
          % (counts["native"] - counts["floor"], counts["native"] / counts["floor"],
             counts["python"] / counts["native"]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--floor", help=argparse.SUPPRESS)
    parser.add_argument("--loop", nargs=2, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.loop:  # one callgrind run: the floor already built
        loop(instances(load_floor(opts.floor)), opts.loop[0], int(opts.loop[1]))
        return
    with tempfile.TemporaryDirectory() as build_dir:
        floor = build_floor("locked_floor", build_dir)
        print_machine()
        if opts.instructions:
            instructions(floor.__file__, 20000, 120000)
        else:
            timed(instances(floor), opts.rounds, opts.number)


if __name__ == "__main__":
    main()
