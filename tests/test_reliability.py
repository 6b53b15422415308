"""Many batches, big results, wide batches and killed batches leave nothing behind."""
import gc
import hashlib
import multiprocessing
import os
import signal
import time

import pytest

from orvex.async_.concurro import Pcall
FORK = multiprocessing.get_context("fork")


pytestmark = pytest.mark.usefixtures("fast_poll")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def zombie_children():
    """PIDs of this process's children that have ended but were never reaped."""
    zombies = []
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as fh:
                stat = fh.read()
        except OSError:
            continue
        # the command name may hold spaces; the fields after it are fixed
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] == "Z" and int(fields[1]) == me:
            zombies.append(int(entry))
    return zombies


def is_our_child(pid):
    try:
        with open("/proc/%d/stat" % pid) as fh:
            stat = fh.read()
    except OSError:
        return False
    return int(stat[stat.rindex(")") + 2:].split()[1]) == os.getpid()


def double(x):
    return 2 * x


def test_sequential_batches_leak_neither_children_nor_descriptors():
    Pcall.pcall(double, iargs=[(0,), (1,)])
    gc.collect()
    fds_before = open_fds()
    pids = []
    for i in range(300):
        p = Pcall(double, iargs=[(i,), (i + 1,)])
        p.start()
        p.join()
        assert p.results == (2 * i, 2 * i + 2)
        pids.extend(p.pids)
        del p
    gc.collect()
    assert zombie_children() == []
    assert not any(is_our_child(pid) for pid in pids)
    assert open_fds() <= fds_before + 2


def big_result(size):
    data = os.urandom(size)
    return hashlib.sha256(data).hexdigest(), data


def test_64_megabytes_arrive_intact():
    size = 64 * 1024 * 1024
    (digest, data), = Pcall.pcall(big_result, timeout=120, iargs=[(size,)])
    assert len(data) == size
    assert hashlib.sha256(data).hexdigest() == digest


def test_batch_of_256_children():
    n = 256
    p = Pcall(double, timeout=300, iargs=[(i,) for i in range(n)])
    p.start()
    p.join()
    assert p.results == tuple(2 * i for i in range(n))
    assert len(set(p.pids)) == n
    assert all(w.exitcode == 0 for w in p._processes)
    assert zombie_children() == []


def test_timeout_then_kill_leaves_no_child():
    ready = FORK.Semaphore(0)

    def stubborn():
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        ready.release()
        time.sleep(120)

    n = 4
    p = Pcall(stubborn, timeout=0.2, iargs=[()] * n)
    p.start()
    for _ in range(n):
        assert ready.acquire(timeout=60)
    with pytest.raises(TimeoutError):
        p.join()
    # SIGTERM is ignored, so they outlive terminate(); kill() must end them.
    assert len(p.livings) == n
    p.kill()
    deadline = time.time() + 30
    while p.livings:
        assert time.time() < deadline, "killed children still alive"
        time.sleep(0.01)
    assert [w.exitcode for w in p._processes] == [-signal.SIGKILL] * n
    assert zombie_children() == []
    assert not any(is_our_child(pid) for pid in p.pids)
    assert p.kill() is None
