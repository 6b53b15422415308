"""Native functions and locked wrappers in tracebacks, profilers and tracers, each compared
with the same class and decorator written in Python."""
import cProfile
import functools
import multiprocessing
import pstats
import sys
import traceback

import pytest

from orvex.async_.synchronize import Lockable, locked

NAMES = {"_wrapped", "work", "acquire", "release"}
# Up to 3.9 linecache fails on a code object that names the extension module, so there the
# native functions get their frames only once their code names a source file.
pytestmark = pytest.mark.skipif(
    sys.version_info < (3, 10)
    and not Lockable.acquire.__code__.co_filename.endswith((".py", ".pyi")),
    reason="code objects name the extension module")


def py_locked(method):
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return _wrapped


class PyLockable(object):
    def __init__(self):
        self.__lock__ = multiprocessing.get_context("fork").RLock()

    def acquire(self, block=True, timeout=None):
        return self.__lock__.acquire(block=block, timeout=timeout)

    def release(self):
        return self.__lock__.release()


def twin_class(base, decorate):
    class Account(base):
        @decorate
        def work(self, fail=False):
            if fail:
                raise ValueError("work")
    return Account


NATIVE, TWIN = twin_class(Lockable, locked), twin_class(PyLockable, py_locked)


def run_all(obj):
    obj.work()
    obj.acquire()
    obj.release()


@pytest.mark.parametrize("install", [sys.setprofile, sys.settrace])
def test_profile_and_trace_see_call_and_return(install):
    def events(cls):
        obj, seen = cls(), []

        def hook(frame, event, arg):
            if event in ("call", "return") and frame.f_code.co_name in NAMES:
                seen.append((event, frame.f_code.co_name, frame.f_back.f_code.co_name))
            return hook

        install(hook)
        try:
            run_all(obj)
        finally:
            install(None)
        return seen

    assert events(NATIVE) == events(TWIN)


def test_cprofile_counts_calls_and_callers():
    def table(cls):
        obj, profiler = cls(), cProfile.Profile()
        profiler.runcall(lambda: [run_all(obj) for _ in range(3)])
        return {key[2]: (value[1], sorted(caller[2] for caller in value[4]))
                for key, value in pstats.Stats(profiler).stats.items() if key[2] in NAMES}

    assert table(NATIVE) == table(TWIN)
    assert table(NATIVE)["work"] == (3, ["_wrapped"])


@pytest.mark.parametrize("cls", [NATIVE, TWIN], ids=["native", "python"])
def test_traceback_has_a_line_per_function(cls):
    obj = cls()
    for call, names in ((lambda: obj.work(fail=True), ["_wrapped", "work"]),
                        (obj.release, ["release"])):   # not held: AssertionError
        with pytest.raises(Exception) as info:
            call()
        frames = [(f, n) for f, n in traceback.walk_tb(info.tb) if f.f_code.co_name in NAMES]
        assert [frame.f_code.co_name for frame, _ in frames] == names
        text = "".join(traceback.format_exception(info.type, info.value, info.tb))
        for frame, line in frames:
            assert 'line %d, in %s' % (line, frame.f_code.co_name) in text


@pytest.mark.parametrize("cls", [NATIVE, TWIN], ids=["native", "python"])
def test_profiler_interrupting_a_call_stops_it_before_the_body(cls):
    obj = cls()

    def profiler(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "acquire":
            raise KeyboardInterrupt

    sys.setprofile(profiler)
    try:
        with pytest.raises(KeyboardInterrupt):
            obj.acquire()
    finally:
        sys.setprofile(None)
    with pytest.raises(AssertionError):
        obj.release()  # the lock was never taken
    run_all(obj)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring arrived in 3.12")
def test_a_monitoring_tool_of_returns_alone_sees_every_return():
    monitoring, tool = sys.monitoring, 5

    def returns(cls):
        obj, seen = cls(), []

        def on_return(code, offset, value):
            if code.co_name in NAMES:
                seen.append(code.co_name)

        monitoring.use_tool_id(tool, "returns")
        monitoring.register_callback(tool, monitoring.events.PY_RETURN, on_return)
        monitoring.set_events(tool, monitoring.events.PY_RETURN)
        try:
            run_all(obj)
        finally:
            monitoring.set_events(tool, 0)
            monitoring.register_callback(tool, monitoring.events.PY_RETURN, None)
            monitoring.free_tool_id(tool)
        return seen

    assert returns(NATIVE) == returns(TWIN) == ["work", "_wrapped", "acquire", "release"]
