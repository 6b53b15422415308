"""join reads the result pipe itself: it never drops, splits or interleaves a living
child's record, whatever the child's scheduling and the parent's signals."""
import multiprocessing
import os
import signal
import textwrap
import threading
import time

import pytest

from orvex.async_.concurro import Pcall

BIG = 64 << 10  # sent as a length, then the payload, in two writes


def fails(delay):
    raise ValueError("child 0")


def pauses_inside_put(how, at_write):
    """Returns a big result whose put() pauses, holding the queue's writer lock, before
    its first write (nothing sent) or its second (the length sent, not the payload)."""
    writer = multiprocessing.current_process()._queue._writer
    send, writes = writer._send, []

    def pausing_send(buf, *rest):
        if len(writes) == at_write:
            if how == "stop":
                os.kill(os.getpid(), signal.SIGSTOP)
            else:
                time.sleep(0.3)
        writes.append(len(buf))
        return send(buf, *rest)

    writer._send = pausing_send
    return b"1" * BIG


def exits_without_record(delay):
    os._exit(3)


def big_later(delay):
    time.sleep(delay)
    return str(delay).encode() * BIG


def process_state(pid):
    with open("/proc/%d/stat" % pid) as fh:
        return fh.read().rsplit(")", 1)[1].split()[0]


def resume_once_stopped(pid, stopped_for):
    deadline = time.time() + 20
    while process_state(pid) != "T" and time.time() < deadline:
        time.sleep(0.01)
    time.sleep(stopped_for)
    os.kill(pid, signal.SIGCONT)


@pytest.fixture
def interval_timer():
    """A Python SIGALRM handler that returns, run every 5 ms in the parent."""
    alarms = []
    previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    yield alarms
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("how, at_write", [("stop", 0), ("stop", 1), ("sleep", 1)])
def test_a_paused_writer_keeps_its_record(reaped, fast_poll, request, how, at_write):
    # Child 0 fails, child 2 ends without a record, and child 1 pauses in put() holding the
    # writer lock (stopped for a second, or sleeping while the parent's timer fires) while
    # children 3 and 4 wait for that lock.
    if how == "sleep":
        assert request.getfixturevalue("interval_timer") is not None
    targets = [fails, pauses_inside_put, exits_without_record, big_later, big_later]
    iargs = [(0,), (how, at_write), (0,), (0.3,), (0.4,)]
    p = reaped(Pcall(targets, 60, iargs=iargs))
    p.start()
    if how == "stop":
        threading.Thread(target=resume_once_stopped, args=(p.pids[1], 1.0), daemon=True).start()
    with pytest.raises(ValueError, match="child 0"):
        p.join()
    records = {record[0]: record for record in p._records}
    assert sorted(records) == [0, 1, 3, 4]
    assert records[1][2] == b"1" * BIG
    assert records[3][2] == b"0.3" * BIG and records[4][2] == b"0.4" * BIG
    assert [w.exitcode for w in p._processes] == [0, 0, 3, 0, 0]


def test_replaced_reading_paths_are_used(run_python):
    script = textwrap.dedent("""
        import functools, multiprocessing.connection as connection, multiprocessing.queues as queues
        calls = []

        def counted(function):
            @functools.wraps(function)
            def wrapper(*args, **kwargs):
                calls.append(function.__name__)
                return function(*args, **kwargs)
            return wrapper

        # Replaced before the package is imported, as an instrumentation library does.
        original_get = queues.SimpleQueue.get
        queues.SimpleQueue.get = counted(original_get)
        from orvex.async_.concurro import Pcall
        print(Pcall.pcall(abs, iargs=[(-1,), (-2,)]), calls.count("get"))
        queues.SimpleQueue.get = original_get

        original_recv = connection.Connection.recv_bytes
        connection.Connection.recv_bytes = counted(original_recv)
        print(Pcall.pcall(abs, iargs=[(-3,), (-4,)]), calls.count("recv_bytes"))
        connection.Connection.recv_bytes = original_recv

        p = Pcall(abs, iargs=[(-5,), (-6,)])
        p._queue._wlock = None  # what SimpleQueue itself sets where writes need no lock
        p.start()
        p.join()
        print(p.results)
    """)
    done = run_python("-c", script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:3] == ["(1, 2) 2", "(3, 4) 2", "(5, 6)"]


def test_a_child_reaped_behind_multiprocessing_counts_as_ended(fast_poll):
    # A waitpid whose status was lost (an interrupt between it and the store) leaves
    # is_alive() true for good; join must still end, with every record that came.
    p = Pcall(abs, 30, iargs=[(-42,)])
    p.start()
    os.waitpid(p.pids[0], 0)
    p.join()
    assert p.results == (42,)
    assert p._processes[0].is_alive()  # what multiprocessing still believes


def test_interrupted_then_concurrent_joins_lose_nothing(reaped, fast_poll):
    delays = (0.1, 0.2, 0.3, 0.4)
    p = reaped(Pcall(big_later, iargs=[(d,) for d in delays]))
    p.start()
    main = threading.get_ident()
    # A runner started in the background inherits SIGINT ignored.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.25, signal.pthread_kill, (main, signal.SIGINT)).start()
    try:
        with pytest.raises(KeyboardInterrupt):
            p.join()
    finally:
        signal.signal(signal.SIGINT, handler)
    outcomes = []
    joins = [threading.Thread(target=lambda: outcomes.append(p.join())) for _ in range(2)]
    for t in joins:
        t.start()
    for t in joins:
        t.join(60)
    assert outcomes == [None, None]
    assert p.results == tuple(str(d).encode() * BIG for d in delays)
    assert sorted(record[0] for record in p._records) == [0, 1, 2, 3]
