"""What hostile but legal Python code does to the native modules: an exception, never a
crash, a leaked lock or a hang."""
import gc
import multiprocessing
import os
import signal
import struct
import textwrap
import threading
import time

import pytest

from orvex.async_.concurro import Pcall
from orvex.async_.synchronize import Lockable, locked


def lock_is_free(obj):
    def try_lock():
        got = obj.__lock__.acquire(False)
        if got:
            obj.__lock__.release()
        box.append(got)

    box = []
    t = threading.Thread(target=try_lock)
    t.start()
    t.join()
    return box[0]


def test_everything_a_decorator_lets_gc_reach_is_safe_to_call():
    class Plain:
        pass

    for decorator in (locked, Lockable.locked):
        for obj in gc.get_referents(decorator):
            if callable(obj) and not isinstance(obj, type):
                try:
                    obj(Plain())
                except Exception:
                    pass


def test_wrapper_chains_raise_recursion_error_and_free_without_overflow():
    class Plain:
        def method(self):
            return 1

    # Up to 3.13 the depth is counted; from 3.14 the stack space left is, so a chain that
    # is spent on one build runs to its end on another: it grows until it is spent.
    chain, depth = Plain.method, 0
    obj = Plain()
    for more in (20000, 180000):
        for _ in range(more):
            chain = locked(chain)
        depth += more
        try:
            assert chain(obj) == 1
        except RecursionError:
            break
    else:
        pytest.fail("%d wrappers called each other without RecursionError" % depth)
    assert lock_is_free(obj)
    for _ in range(100000 - depth):
        chain = locked(chain)
    del chain  # frees at least 100,000 wrappers, each holding the next


def test_a_locked_method_recursing_without_end_raises_and_leaves_its_lock_free():
    # The wrapper leaves the stack guard to the Python method it calls, through a builtin
    # (sorted's key) as well as directly.
    class Direct:
        @locked
        def method(self, n):
            return self.method(n + 1)

    class ThroughBuiltin(Lockable):
        @Lockable.locked
        def method(self, n):
            return sorted([1, 2], key=lambda _: self.method(n + 1))

    for cls in (Direct, ThroughBuiltin):
        obj = cls()
        with pytest.raises(RecursionError):
            obj.method(0)
        assert lock_is_free(obj)


def test_fan_out_survives_a_finalizer_that_empties_its_inputs():
    # Up to 3.11 the collector runs inside allocations: a finalizer that empties iargs
    # while an entry of it is being copied must not free that entry under the copy.
    p = Pcall(len)

    class Bomb:
        def __init__(self, fuse):
            self.fuse, self.cycle = fuse, self

        def __del__(self):
            if self.fuse:
                Bomb(self.fuse - 1)
            else:
                p.iargs.clear()

    threshold = gc.get_threshold()
    try:
        for fuse in range(10):
            p.iargs = [[i] * 25 for i in range(300)]
            gc.set_threshold(1)
            Bomb(fuse)
            sets = p._build_arguments()
            gc.set_threshold(*threshold)
            assert all(s["args"] in ((i,) * 25, ()) for i, s in enumerate(sets))
    finally:
        gc.set_threshold(*threshold)


def test_join_holds_what_a_record_frees_through_gc(fast_poll):
    class Worker:
        pid, exitcode = 123, 0

        def is_alive(self):
            return False

        def join(self):
            pass

    class Record:
        def __init__(self, index):
            self.index = index

        def __getitem__(self, i):
            if i == 0:
                return self.index
            # Empty every container that refers to this record or to the workers.
            for holder in gc.get_referrers(self) + gc.get_referrers(first_worker):
                if isinstance(holder, (dict, list)) and holder is not vars(self):
                    holder.clear()
            return True if i == 1 else "value"

    p = Pcall(len, iargs=[(), ()])
    first_worker = Worker()
    p._processes = [first_worker, Worker()]
    p._records = [Record(0), Record(1)]
    with pytest.raises(RuntimeError, match="process-1 .* ended without a result"):
        p.join()


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves the address space a limit would cut")
def test_batch_bookkeeping_out_of_memory_is_memory_error(run_python):
    # The argument-set list fits under the limit, its bookkeeping does not; the list's
    # empty slots must never be in sight of gc.get_objects().
    script = textwrap.dedent("""
        import gc, resource
        from orvex.async_.concurro import Pcall

        class Targets:
            def __len__(self):
                return 1 << 27
            def __iter__(self):
                return self
            def __next__(self):
                for obj in gc.get_objects():
                    if type(obj) is list:
                        len(obj), obj[:1]
                raise ValueError("no more")

        p = Pcall(len)
        p.targets = Targets()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, hard))
        try:
            p._build_arguments()
        except (MemoryError, ValueError) as e:
            print(type(e).__name__)
    """)
    done = run_python("-c", script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() in ("MemoryError", "ValueError")


def test_non_string_keywords_are_refused_before_anything_runs():
    class Plain:
        @locked
        def method(self, **kwargs):
            return kwargs

    obj = Plain()
    obj.method()
    with pytest.raises(TypeError):
        obj.method(**{1: 2})
    assert lock_is_free(obj)
    with pytest.raises(TypeError):
        Pcall(len, **{1: [1]})
    with pytest.raises(TypeError):
        Lockable().acquire(**{1: 2})
    with pytest.raises(TypeError):  # no interpreter check on this road, on any version
        type(Lockable.acquire).__call__(Lockable.acquire, Lockable(), **{1: 2})


def big(n, delay):
    time.sleep(delay)
    return b"x" * n


def dies_holding_the_writer_lock(n, delay, header=False):
    queue = multiprocessing.current_process()._queue
    queue._wlock.acquire()
    if header:  # a big record's length goes first, in a write of its own
        os.write(queue._writer.fileno(), struct.pack("!i", n))
    os.kill(os.getpid(), signal.SIGKILL)


def dies_after_a_length_header(n, delay):
    dies_holding_the_writer_lock(n, delay, header=True)


@pytest.mark.parametrize("first, timeout", [(big, None), (big, 30),
                                            (dies_holding_the_writer_lock, None),
                                            (dies_after_a_length_header, None)])
def test_join_survives_a_worker_killed_while_writing(reaped, fast_poll, request, first, timeout):
    # Worker 0 dies holding the queue's writer lock, part of its record written (it fills
    # the pipe and is killed), only its length, or nothing; workers 1 and 2 then wait for
    # that lock. Before its record's index has arrived, only /proc tells that it ended.
    if first is not big:
        request.getfixturevalue("kernel_view")
    p = reaped(Pcall([first, big, big], timeout, iargs=[(8 << 20, 0), (10, 0.5), (10, 0.5)]))
    p.start()
    time.sleep(0.3)
    if p._processes[0].is_alive():
        os.kill(p.pids[0], signal.SIGKILL)
    with pytest.raises(RuntimeError, match="process-0 .* ended without a result"):
        p.join()
    assert sorted(record[0] for record in p._records) == [1, 2]
