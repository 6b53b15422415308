"""Runs every script in examples/ as a user would, and checks what it prints."""
import glob
import os
import re

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
SYNC_LOGGER = "orvex.async_.synchronize"


def alive(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            return not re.search(r"^State:\s+Z", status.read(), re.M)
    except FileNotFoundError:
        return False


def check_batch_arguments(out, err):
    assert out.splitlines() == [
        "%d args=('common', %d) kwargs={'colour': '%s', 'mode': 'fast', 'n': %d}"
        % (i, i, colour, 10 + i)
        for i, colour in enumerate(["red", "green", "blue"])
    ]
    assert err == ""


def check_child_failure(out, err):
    assert out.startswith(
        "the parent caught: ValueError(\"invalid literal for int() with base 10: 'two'\")\n"
        "raised in the child at:\n")
    # The child's own traceback, carried to the parent, and logged in the child.
    frame = re.compile(r'File ".*child_failure\.py", line \d+, in parse\n')
    child_tb = out.split("raised in the child at:\n", 1)[1]
    assert frame.search(child_tb)
    assert "ValueError: invalid literal for int() with base 10: 'two'" in child_tb
    assert err.startswith("ERROR orvex.async_.concurro: Caught error while executing target")
    assert "args = ('two',)" in err and frame.search(err)


def check_time_limit(out, err):
    assert out.splitlines() == [
        "TimeoutError: Not all child processes finished running.",
        "children still alive: 0",
    ]
    assert err.startswith("ERROR orvex.async_.concurro: The following processes are still "
                          "running after 1 seconds:\n")
    stuck = [int(pid) for pid in re.findall(r"PID-(\d+): target=work, args=\(60,\)", err)]
    assert len(stuck) == 1
    assert not alive(stuck[0])


def check_shared_counter_meta(out, err):
    assert out.splitlines() == [
        "while the parent holds the lock: 0",
        "expected: 40",
        "counter: 40",
    ]
    warnings = err.splitlines()
    # A worker that starts late on a loaded machine may find the lock free: at least one
    # waits, and the total stays exact either way.
    assert len(warnings) >= 1
    assert set(warnings) == {"WARNING %s: Waiting for lock on Counter" % SYNC_LOGGER}


def check_lockable_subclass(out, err):
    warning = "WARNING %s: Waiting for lock on Account(95)" % SYNC_LOGGER
    lines = out.splitlines()
    # Depositors that reached the held lock in time each logged one warning.
    waits = [line for line in lines if line == warning]
    assert 1 <= len(waits) <= 3
    assert [line for line in lines if line != warning] == [
        "after fee: 95",  # the re-entrant call logged nothing
        "audited balance: 95",
        "after deposits: 125",
        "refused: insufficient funds",
        "lock free again: True",
    ]
    assert err == ""


def check_demo(out, err):
    lines = out.splitlines()
    assert lines[:2] == ["parent can take the lock while the child holds it: False",
                         "after waiting for the child: True"]
    returned = [line.split()[-1] for line in lines[2:]]
    assert returned == ["1", "4", "9"]
    pids = {line.split()[1] for line in lines[2:]}
    assert len(pids) == 3 and str(os.getpid()) not in pids


def check_typed_usage(out, err):
    assert out.splitlines() == [
        "pcall: (1, 4, 9)",
        "pids before start: (None, None, None)",
        "alive after join: 0",
        "ran for less than the limit: True",
        "batch: (2, 30, 400)",
        "worker: square (7,) {}",
        "acquired: True total: 4",
        "names: 1 2",
        "store: x",
    ]
    assert err == ""


@pytest.mark.parametrize("path", sorted(glob.glob(os.path.join(EXAMPLES, "*.py"))),
                         ids=os.path.basename)
def test_example(path, tmp_path, run_python):
    name = os.path.splitext(os.path.basename(path))[0]
    check = globals().get("check_" + name)
    assert check is not None, "no assertions for examples/%s.py" % name
    proc = run_python(path, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    check(proc.stdout, proc.stderr)
