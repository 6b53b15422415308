"""The stubs against the built modules (stubtest), and the stubs as a type checker sees
them (mypy --strict). Skipped where mypy is not installed."""
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytest.importorskip("mypy.stubtest")

import orvex  # noqa: E402

MODULES = ["orvex.async_.concurro", "orvex.async_.synchronize"]
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
# The sibling pure-Python modules are not annotated; only the example and the stubs are
# under test here.
MYPY_INI = """\
[mypy]
[mypy-orvex.log.*]
ignore_errors = True
[mypy-orvex.async_.exceptions]
ignore_errors = True
"""


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Runs mypy on the orvex that this interpreter imports, installed or from src/."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(orvex.__file__)))
    installed = {os.path.realpath(sysconfig.get_paths()[k]) for k in ("purelib", "platlib")}
    env = dict(os.environ)
    # mypy finds installed packages on its own and refuses site-packages on MYPYPATH.
    if os.path.realpath(root) not in installed:
        env["MYPYPATH"] = root
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    work = tmp_path_factory.mktemp("mypy")
    (work / "mypy.ini").write_text(MYPY_INI)
    return env, work


def run_mypy(mypy_env, *args):
    env, work = mypy_env
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(work / "mypy.ini"),
         "--cache-dir", str(work / "cache"), "--no-error-summary"] + list(args),
        cwd=str(work), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True,
    )


def test_stubtest_finds_no_mismatch(mypy_env):
    env, work = mypy_env
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(work / "mypy.ini")]
        + MODULES,
        cwd=str(work), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True,
    )
    assert proc.returncode == 0, proc.stdout


def test_typed_example_passes_strict(mypy_env):
    proc = run_mypy(mypy_env, "--strict", os.path.join(EXAMPLES, "typed_usage.py"))
    assert proc.returncode == 0, proc.stdout


def test_checker_sees_the_real_types(mypy_env, tmp_path):
    source = tmp_path / "probe.py"
    source.write_text(textwrap.dedent("""\
        import threading
        from orvex.async_.concurro import Pcall
        from orvex.async_.synchronize import Lockable, LockableMeta, locked

        class C(Lockable):
            @Lockable.locked
            def f(self, x: int) -> str: return str(x)

            @locked
            def g(self, y: bytes) -> bytes: return y

        class M(metaclass=LockableMeta):
            pass

        def h(x: int) -> int: return x

        reveal_type(C().f)
        reveal_type(C.g)
        reveal_type(LockableMeta.ignore(h))
        reveal_type(Pcall(h).pids)
        reveal_type(Pcall(h).livings)
        reveal_type(Pcall.pcall(h))
        reveal_type(M)
        Pcall(h).pids = ()  # E
        Lockable(lock=threading.RLock)  # E
        Lockable(None)  # E
        Pcall(h, ckwargs=[("a", 1)])  # E
        Pcall.pcall(h, ckwargs=[("a", 1)])  # E
    """))
    out = run_mypy(mypy_env, "--strict", str(source)).stdout
    lines = [line.split(": ", 1)[1] for line in out.splitlines() if line.startswith(str(source))]
    # Older mypy releases spell builtins with their module prefix and optionals as Union.
    revealed = [line.split('"')[1].replace("builtins.", "")
                .replace("Union[int, None]", "int | None")
                for line in lines if line.startswith("note: Revealed type")]
    assert revealed == [
        "def (x: int) -> str",
        "def (self: probe.C, y: bytes) -> bytes",
        "def (x: int) -> int",
        "tuple[int | None, ...]",
        "tuple[orvex.async_.concurro.ChildLabor, ...]",
        "tuple[Any, ...]",
        "def () -> probe.M",
    ], out
    # Each line marked E fails at run time; the checker must say so first.
    errors = {int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line}
    marked = {n for n, line in enumerate(source.read_text().splitlines(), 1)
              if line.endswith("# E")}
    assert errors == marked, out
