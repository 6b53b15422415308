"""Fixtures shared by several test modules."""
import json
import logging
import os
import signal
import subprocess
import sys
import time
import types

import pytest

import orvex
from orvex.async_ import concurro


@pytest.fixture(scope="session")
def run_python():
    """Runs a fresh interpreter that imports the same orvex as these tests, installed or
    from a source tree; returns the completed process with its text output."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(orvex.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))

    def run(*args, **kwargs):
        return subprocess.run([sys.executable] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120,
                              **kwargs)

    return run


@pytest.fixture
def fast_poll(monkeypatch):
    """The module's `time` with a short poll, so that a batch ends in milliseconds.
    Returns the intervals join() asked to sleep."""
    sleeps = []

    def sleep(seconds):
        sleeps.append(seconds)
        time.sleep(0.01)

    monkeypatch.setattr(concurro, "time", types.SimpleNamespace(time=time.time, sleep=sleep))
    return sleeps


class JsonLinesHandler(logging.Handler):
    """Appends every record as one JSON line; children inherit it through the fork."""

    def __init__(self, path):
        super().__init__()
        self.path = path

    def emit(self, record):
        entry = {
            "pid": record.process,
            "level": record.levelname,
            "msg": record.msg,
            "args": list(record.args) if record.args else [],
            "exc": (logging.Formatter().formatException(record.exc_info)
                    if record.exc_info else None),
        }
        with open(self.path, "a") as fh:
            fh.write(json.dumps(entry) + "\n")

    def entries(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path) as fh:
            return [json.loads(line) for line in fh]


@pytest.fixture
def child_log(tmp_path):
    """What the concurro logger records in any process, the forked children included."""
    handler = JsonLinesHandler(str(tmp_path / "child-log.jsonl"))
    logger = logging.getLogger("orvex.async_.concurro")
    logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)


@pytest.fixture
def reaped():
    """Registers a batch; at teardown no child of it is left, whatever state it is in."""
    batches = []
    yield lambda p: batches.append(p) or p
    for p in batches:
        for worker in p._processes:
            if worker.pid is None:
                continue
            if worker.is_alive():
                os.kill(worker.pid, signal.SIGKILL)
            worker.join(30)


def _kernel_view_of_a_child():
    """None when /proc shows the kernel's own view of a forked child: the program it runs
    is ours, and the read it is blocked in shows with its descriptor and size. Otherwise
    why not: under user-mode emulation the kernel runs the emulator, and its /proc shows
    the emulator and the host's system calls."""
    ours = os.readlink("/proc/self/exe")
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(w)
            os.read(r, 1)
        finally:
            os._exit(0)
    os.close(r)
    try:
        try:
            theirs = os.readlink("/proc/%d/exe" % pid)
        except OSError as exc:
            return "/proc does not show a child's program (%s)" % exc
        if theirs != ours:
            return ("/proc shows a child running %s, not %s: user-mode emulation, where /proc "
                    "shows the host's view of the emulator" % (theirs, ours))
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                with open("/proc/%d/syscall" % pid) as fh:
                    fields = fh.read().split()
            except OSError as exc:
                return "/proc does not show a child's system call (%s)" % exc
            if len(fields) > 3 and fields[1] == hex(r) and fields[3] == "0x1":
                return None
            time.sleep(0.01)
        return "/proc does not show the read a child is blocked in"
    finally:
        os.close(w)
        os.waitpid(pid, 0)


@pytest.fixture(scope="session")
def kernel_view():
    """Skips a test that needs /proc to show the kernel's own view of another process (the
    system call a worker is blocked in), as user-mode emulation and some sandboxes do not."""
    reason = _kernel_view_of_a_child()
    if reason:
        pytest.skip(reason)
