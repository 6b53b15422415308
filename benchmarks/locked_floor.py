"""How far the native locked call is from the least a locked call can cost on this CPython.

    PYTHONPATH=src python benchmarks/locked_floor.py [--rounds R] [--number N]
    PYTHONPATH=src python benchmarks/locked_floor.py --instructions [--breakdown]  # valgrind

Builds benchmarks/locked_floor.c (needs setuptools and a C compiler) into a temporary
directory: a wrapper that acquires the same kind of semaphore through the same C functions
as the native wrappers, calls the method and releases, with nothing else around it. Times a
plain method, the method under the native ``locked``, under the floor and under the same
decorator in Python (benchmarks/locked.py), in interleaved rounds; prints the best and the
median round of each, and the medians of the per-round ratios native/floor and
python/native. With --instructions, counts instructions per call instead, with callgrind:
the difference of two loop lengths run in a fresh process each, which is the same on every
run; --breakdown adds where the native wrapper's instructions differ from the floor's,
function by function (each function's own, from callgrind_annotate).
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floor_build import build_floor, load_floor  # noqa: E402
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


def callgrind(floor_path, name, count, out):
    """Instructions of one fresh process that makes count calls of a variant."""
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
         sys.executable, os.path.abspath(__file__), "--floor", floor_path,
         "--loop", name, str(count)],
        env=dict(os.environ, PYTHONHASHSEED="0"), stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, universal_newlines=True)
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode or not found:
        sys.exit("callgrind failed for %s:\n%s" % (name, run.stderr))
    return int(found.group(1))


FLOOR_FUNCTIONS = {"take", "give_back", "wrapper_vectorcall", "wrapper_call", "wrapper_get"}


def by_function(out):
    """Each function's own instructions in a callgrind output file."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", out],
                          stdout=subprocess.PIPE, universal_newlines=True).stdout
    functions = {}
    summary = False
    for line in text.splitlines():
        if line.strip().endswith("file:function"):
            summary = True
            continue
        found = summary and re.match(r"^\s*([\d,]+)\s+(?:\([^)]*%\)\s+)?(\S.*?)$", line)
        if not found or ":" not in found.group(2):
            continue
        name = found.group(2).split(":", 1)[1]
        # The loaded file, and in newer callgrind_annotate the call count, which differs
        # between the two loop lengths.
        name = re.sub(r"(\s+\[/[^\]]*\])?$", "", name)
        name = re.sub(r"\s*\([\d,]+x\)$", "", name)
        functions[name] = functions.get(name, 0) + int(found.group(1).replace(",", ""))
    return functions


def own_code(function):
    return "orvex::" in function or function.split(" ")[0] in FLOOR_FUNCTIONS


def instructions(floor_path, short, long, breakdown):
    """Instructions per call of each variant, the benchmark loop's own included; with
    breakdown, where the native wrapper's differ from the floor's, function by function."""
    counts, functions = {}, {}
    with tempfile.TemporaryDirectory() as out_dir:
        for name in VARIANTS:
            outs = [os.path.join(out_dir, "%s.%d" % (name, count)) for count in (short, long)]
            totals = [callgrind(floor_path, name, count, out)
                      for count, out in zip((short, long), outs)]
            counts[name] = (totals[1] - totals[0]) / (long - short)
            if breakdown and name in ("native", "floor"):
                first, second = by_function(outs[0]), by_function(outs[1])
                functions[name] = {f: (second.get(f, 0) - first.get(f, 0)) / (long - short)
                                   for f in set(first) | set(second)}
    print("instructions per call (callgrind, %d - %d calls, PYTHONHASHSEED=0):" % (long, short))
    for name in VARIANTS:
        print("  %-7s %7.0f" % (name, counts[name]))
    print("  native - floor %5.0f   native/floor %5.2fx   python/native %5.2fx"
          % (counts["native"] - counts["floor"], counts["native"] / counts["floor"],
             counts["python"] / counts["native"]))
    if breakdown:
        print_breakdown(functions["native"], functions["floor"])


def print_breakdown(native, floor):
    """Own instructions per call, by function, of the native wrapper's call and the floor's."""
    for label, mine in (("the wrapper's own code", True), ("the rest", False)):
        print("  %-24s native %5.0f   floor %5.0f" % (
            label, sum(v for f, v in native.items() if own_code(f) == mine),
            sum(v for f, v in floor.items() if own_code(f) == mine)))
    rows = [(native.get(f, 0), floor.get(f, 0), f) for f in set(native) | set(floor)]
    rows = [row for row in rows if abs(row[0] - row[1]) >= 5]
    rows.sort(key=lambda row: -abs(row[0] - row[1]))
    print("own instructions per call by function, native and floor, where they differ:")
    for mine, theirs, function in rows:
        print("  %6.0f %6.0f %+6.0f  %s" % (mine, theirs, mine - theirs, function[:100]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--breakdown", action="store_true",
                        help="with --instructions: the difference function by function")
    parser.add_argument("--floor", help=argparse.SUPPRESS)
    parser.add_argument("--loop", nargs=2, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.loop:  # one callgrind run: the floor already built
        loop(instances(load_floor("locked_floor", opts.floor)), opts.loop[0], int(opts.loop[1]))
        return
    with tempfile.TemporaryDirectory() as build_dir:
        floor = build_floor("locked_floor", build_dir)
        print_machine()
        if opts.instructions:
            instructions(floor.__file__, 20000, 120000, opts.breakdown)
        else:
            timed(instances(floor), opts.rounds, opts.number)


if __name__ == "__main__":
    main()
