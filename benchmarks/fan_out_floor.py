"""How far the native fan-out is from the least a fan-out can cost on this CPython.

    PYTHONPATH=src python benchmarks/fan_out_floor.py [--rounds R]

Builds benchmarks/fan_out_floor.c (needs setuptools and a C compiler) into a temporary
directory: the same argument sets made by the same CPython calls with nothing else around
them. Times it beside the native fan-out and its Python twin, interleaved, on the instance
of benchmarks/pcall.py, and prints the three times and the ratios. The Python twin over the
floor is the most any native fan-out could reach against the twin here.
"""
import argparse
import gc
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floor_build import build_floor  # noqa: E402
from pcall import fan_out_instance, fan_out_variants, interleaved_best, print_machine  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("-n", type=int, default=100000)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory() as build_dir:
        floor = build_floor("fan_out_floor", build_dir)
    p = fan_out_instance(opts.n)
    variants = fan_out_variants(p)
    shape = {"target": None, "args": None, "kwargs": None}
    inputs = (p.targets, p.cargs, p.iargs, p.ckwargs, p.ikwargs, p.varkwargs, shape)
    assert floor.build(*inputs) == variants["native"](), "the floor builds other sets"
    variants["floor"] = lambda: floor.build(*inputs)
    print_machine()
    for label, paused in (("", False), (", cyclic GC paused", True)):
        if paused:
            gc.disable()
        try:
            best = interleaved_best(variants, opts.rounds)
        finally:
            gc.enable()
        print("\n%d argument sets, best of %d interleaved rounds%s:"
              % (opts.n, opts.rounds, label))
        for name in ("native", "floor", "python"):
            print("  %-7s %8.1f ms" % (name, best[name] * 1e3))
        print("  python/native %5.2fx   python/floor %5.2fx   native/floor %5.2fx"
              % (best["python"] / best["native"], best["python"] / best["floor"],
                 best["native"] / best["floor"]))


if __name__ == "__main__":
    main()
