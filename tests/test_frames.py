"""Native functions and locked wrappers in tracebacks, profilers and tracers, each compared
with the same class and decorator written in Python."""
import cProfile
import functools
import linecache
import multiprocessing
import pstats
import sys
import traceback

import pytest

from orvex.async_.synchronize import Lockable, locked

CTX = multiprocessing.get_context("fork")
NAMES = {"_wrapped", "work", "acquire", "release"}


def py_locked(method):
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        if not self.__lock__.acquire(block=False):
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return _wrapped


class PyLockable(object):
    def __init__(self):
        self.__lock__ = CTX.RLock()

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
            return 1
    return Account


NATIVE = twin_class(Lockable, locked)
TWIN = twin_class(PyLockable, py_locked)
KINDS = pytest.mark.parametrize("cls", [NATIVE, TWIN], ids=["native", "python"])
# Up to 3.9 linecache fails on a code object that names the extension module, so the
# native functions get their lines only once their code names a source file.
needs_source = pytest.mark.skipif(
    sys.version_info < (3, 10)
    and not Lockable.acquire.__code__.co_filename.endswith((".py", ".pyi")),
    reason="code objects name the extension module")


def run_all(obj):
    obj.work()
    obj.acquire()
    obj.release()


def observed(install, cls):
    """The call and return events of the functions in NAMES, with the caller's name."""
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


@needs_source
@pytest.mark.parametrize("install", [sys.setprofile, sys.settrace], ids=["profile", "trace"])
def test_profile_and_trace_see_call_and_return(install):
    assert observed(install, NATIVE) == observed(install, TWIN)


@needs_source
def test_cprofile_counts_calls_and_callers():
    def table(cls):
        obj, profiler = cls(), cProfile.Profile()
        profiler.runcall(lambda: [run_all(obj) for _ in range(3)])
        stats = pstats.Stats(profiler).stats
        return {key[2]: (value[1], sorted(caller[2] for caller in value[4]))
                for key, value in stats.items() if key[2] in NAMES}

    assert table(NATIVE) == table(TWIN)
    assert table(NATIVE)["work"] == (3, ["_wrapped"])


@needs_source
@KINDS
def test_traceback_has_a_line_per_function(cls):
    obj = cls()
    with pytest.raises(ValueError) as wrapped:
        obj.work(fail=True)
    with pytest.raises(AssertionError) as released:
        obj.release()
    for info, names in ((wrapped, ["_wrapped", "work"]), (released, ["release"])):
        frames = list(traceback.walk_tb(info.tb))[1:]
        assert [frame.f_code.co_name for frame, _ in frames] == names
        text = "".join(traceback.format_exception(info.type, info.value, info.tb))
        for frame, line in frames:
            linecache.getline(frame.f_code.co_filename, line)
            assert 'line %d, in %s' % (line, frame.f_code.co_name) in text


@needs_source
@KINDS
@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_profiler_raising_at_call_stops_it(cls, error):
    obj = cls()

    def profiler(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "acquire":
            raise error("profiler")

    sys.setprofile(profiler)
    try:
        with pytest.raises(error):
            obj.acquire()
    finally:
        sys.setprofile(None)
    with pytest.raises(AssertionError):
        obj.release()  # the lock was never taken
    run_all(obj)
