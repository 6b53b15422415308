"""Pcall figures, measured side by side in one run.

    PYTHONPATH=src python benchmarks/pcall.py [fan-out] [batches] [big-result]

With no section named, runs all three.

Prints: the native fan-out against the same algorithm in Python, the wall time of small
batches against a fork Pool and a fork ProcessPoolExecutor, and the throughput of one big
result against a raw pipe between forked processes.
"""
import concurrent.futures
import gc
import itertools
import multiprocessing
import os
import platform
import sys
import time
import types

from orvex.async_ import concurro

Pcall = concurro.Pcall
FORK = multiprocessing.get_context("fork")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def print_machine():
    print("Machine: %d CPUs (nproc), %s" % (len(os.sched_getaffinity(0)), cpu_model()))
    print("Python %s (%s)" % (platform.python_version(), platform.python_implementation()))


def best_of(repeats, func):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = func()
        best = min(best, time.perf_counter() - start)
        # freeing what the call built is the caller's cost, not the call's
        del result
    return best


# ---- fan-out ----

def build_arguments_python(self):
    """The fan-out algorithm, line for line, in plain Python."""
    if callable(self.targets):
        counts = [len(self.iargs), len(self.ikwargs)]
        counts += [len(v) for v in self.varkwargs.values()]
        counts = [c for c in counts if c] or [1]
    else:
        counts = [len(self.targets), len(self.iargs), len(self.ikwargs)]
        counts += [len(v) for v in self.varkwargs.values()]
        counts = [c for c in counts if c]
    iterations = min(counts)
    if callable(self.targets):
        source = itertools.repeat(self.targets)
    else:
        source = iter(self.targets)
    sets = []
    for i in range(iterations):
        args = tuple(self.cargs)
        if self.iargs:
            args = args + tuple(self.iargs[i])
        kwargs = self.ckwargs.copy()
        if self.ikwargs:
            kwargs.update(self.ikwargs[i])
        for k, v in self.varkwargs.items():
            kwargs[k] = v[i]
        sets.append({"target": next(source), "args": args, "kwargs": kwargs})
    return sets


def fan_out_instance(n):
    """A Pcall with all five kinds of arguments, n sets, without creating workers."""
    def target(*args, **kwargs):
        return None

    p = Pcall.__new__(Pcall)
    p.targets = [target] * n
    p.timeout = None
    p.cargs = (1, "two")
    p.iargs = [(i, i + 1) for i in range(n)]
    p.ckwargs = {"common": 0, "shadowed": 0}
    p.ikwargs = [{"shadowed": i, "own": -i} for i in range(n)]
    p.varkwargs = {"x": list(range(n)), "y": [str(i) for i in range(n)]}
    return p


def interleaved_best(variants, rounds):
    """Best time of each variant; every round runs each once, so drift hits all alike."""
    best = {label: float("inf") for label in variants}
    for _ in range(rounds):
        for label, func in variants.items():
            best[label] = min(best[label], best_of(1, func))
    return best


def fan_out_variants(p):
    """The native fan-out and its Python twin, checked to agree, ready to time."""
    native = p._build_arguments()
    python = build_arguments_python(p)
    assert native == python, "native fan-out differs from the Python algorithm"
    return {"native": p._build_arguments, "python": lambda: build_arguments_python(p)}


def bench_fan_out(n=100000, rounds=7):
    p = fan_out_instance(n)
    variants = fan_out_variants(p)
    best = interleaved_best(variants, rounds)
    print("_build_arguments, %d argument sets (all five kinds), best of %d interleaved rounds:"
          % (n, rounds))
    print("  native   %8.1f ms" % (best["native"] * 1e3))
    print("  python   %8.1f ms" % (best["python"] * 1e3))
    print("  ratio    %8.2fx faster" % (best["python"] / best["native"]))
    # Both sides build the same 300,000 containers; show how much of it is the collector.
    gc.disable()
    try:
        paused = interleaved_best(variants, rounds)
    finally:
        gc.enable()
    print("  with the cyclic GC paused: native %.1f ms, python %.1f ms, ratio %.2fx"
          % (paused["native"] * 1e3, paused["python"] * 1e3,
             paused["python"] / paused["native"]))


# ---- small batches ----

def trivial(x):
    return x


def run_pcall(n):
    assert Pcall.pcall(trivial, iargs=[(i,) for i in range(n)]) == tuple(range(n))


def run_pool(n):
    with FORK.Pool(n) as pool:
        assert pool.map(trivial, range(n)) == list(range(n))


def run_executor(n):
    kwargs = {"mp_context": FORK} if sys.version_info >= (3, 7) else {}
    with concurrent.futures.ProcessPoolExecutor(max_workers=n, **kwargs) as executor:
        assert list(executor.map(trivial, range(n))) == list(range(n))


def run_pcall_short_poll(n):
    real = concurro.time
    concurro.time = types.SimpleNamespace(time=time.time,
                                          sleep=lambda s: time.sleep(0.001))
    try:
        run_pcall(n)
    finally:
        concurro.time = real


def bench_batches(sizes=(1, 8, 64), repeats=5):
    print("Batch of n trivial children, best of %d, wall time in ms:" % repeats)
    rows = [
        ("Pcall.pcall (0.25 s poll)", run_pcall),
        ("Pcall.pcall (1 ms poll)*", run_pcall_short_poll),
        ("fork Pool(n).map", run_pool),
        ("fork ProcessPoolExecutor(n)", run_executor),
    ]
    print("  %-30s" % "n" + "".join("%10d" % n for n in sizes))
    timings = {}
    for label, func in rows:
        timings[label] = [best_of(repeats, lambda: func(n)) for n in sizes]
        print("  %-30s" % label + "".join("%10.1f" % (t * 1e3) for t in timings[label]))
    base = timings["Pcall.pcall (0.25 s poll)"]
    for label in ("fork Pool(n).map", "fork ProcessPoolExecutor(n)"):
        ratios = "".join("%10.2f" % (b / t) for b, t in zip(base, timings[label]))
        print("  %-30s" % ("Pcall / " + label.split("(")[0].strip()) + ratios)
    print("  * the module's `time` replaced, to show the cost beyond the poll period")


# ---- one big result ----

def make_bytes(size):
    return bytes(size)


def raw_pipe_copy(size, chunk=1 << 20):
    payload = bytes(size)
    received = bytearray(size)
    start = time.perf_counter()
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        view = memoryview(payload)
        sent = 0
        while sent < size:
            sent += os.write(w, view[sent:sent + chunk])
        os._exit(0)
    os.close(w)
    view = memoryview(received)
    got = 0
    with os.fdopen(r, "rb", buffering=0) as reader:
        while got < size:
            n = reader.readinto(view[got:got + chunk])
            if not n:
                break
            got += n
    os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    assert got == size
    return elapsed


def bench_big_result(size=256 * 1024 * 1024, repeats=3):
    def one():
        result, = Pcall.pcall(make_bytes, iargs=[(size,)])
        assert len(result) == size

    t_pcall = best_of(repeats, one)
    t_pipe = min(raw_pipe_copy(size) for _ in range(repeats))
    mb = size / (1024.0 * 1024.0)
    print("One child returning %d MB, best of %d:" % (mb, repeats))
    print("  Pcall.pcall      %7.3f s  %8.1f MB/s" % (t_pcall, mb / t_pcall))
    print("  raw os.pipe copy %7.3f s  %8.1f MB/s" % (t_pipe, mb / t_pipe))
    print("  Pcall throughput is %.2f of the raw pipe's" % (t_pipe / t_pcall))


SECTIONS = {"fan-out": bench_fan_out, "batches": bench_batches, "big-result": bench_big_result}


def main():
    chosen = sys.argv[1:] or list(SECTIONS)
    unknown = [name for name in chosen if name not in SECTIONS]
    if unknown:
        sys.exit("unknown section(s): %s; choose from %s"
                 % (", ".join(unknown), ", ".join(SECTIONS)))
    print_machine()
    for name in chosen:
        print()
        SECTIONS[name]()


if __name__ == "__main__":
    main()
