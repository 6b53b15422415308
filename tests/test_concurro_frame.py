"""What importing concurro binds, and the shape of its two classes."""
import collections
import functools
import inspect
import itertools
import logging
import multiprocessing
import multiprocessing.process
import os
import signal
import subprocess
import sys
import textwrap
import time
import types

import pytest

from orvex.async_ import concurro
from orvex.async_ import exceptions
from orvex.log import managed_handlers

ChildLabor, Pcall = concurro.ChildLabor, concurro.Pcall
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    exceptions.__file__))))


class TestNamespace:
    def test_order(self):
        names = [n for n in vars(concurro) if not (n.startswith("__") and n.endswith("__"))
                 or n == "__pcall_infra__"]
        assert names == ["os", "time", "signal", "logging", "itertools", "functools",
                         "namedtuple", "ExceptionWithTraceback", "managed_handlers",
                         "multiprocessing", "__pcall_infra__", "logger", "ChildWork",
                         "ChildLabor", "Pcall"]
        assert not hasattr(concurro, "__all__")

    def test_imported_objects(self):
        assert concurro.os is os and concurro.time is time and concurro.signal is signal
        assert concurro.logging is logging and concurro.itertools is itertools
        assert concurro.functools is functools
        assert concurro.namedtuple is collections.namedtuple
        assert concurro.ExceptionWithTraceback is exceptions.ExceptionWithTraceback
        assert concurro.managed_handlers is managed_handlers
        assert concurro.__pcall_infra__ is True

    def test_multiprocessing_is_the_fork_context(self):
        context = concurro.multiprocessing
        assert not isinstance(context, types.ModuleType)
        assert context is multiprocessing.get_context("fork")
        assert context.get_start_method() == "fork"
        assert context.Process is multiprocessing.get_context("fork").Process

    def test_logger_and_record_type(self):
        assert concurro.logger.name == concurro.__name__ == "orvex.async_.concurro"
        assert concurro.logger.handlers == []
        assert concurro.ChildWork._fields == ("target", "args", "kwargs")
        assert concurro.ChildWork.__name__ == "ChildWork"


class TestClassLayout:
    def test_child_labor_bases(self):
        assert type(ChildLabor) is type
        assert ChildLabor.__bases__ == (concurro.multiprocessing.Process,)
        assert issubclass(ChildLabor, multiprocessing.process.BaseProcess)
        assert not issubclass(ChildLabor, multiprocessing.Process)
        assert ChildLabor.__module__ == "orvex.async_.concurro"
        assert ChildLabor.__qualname__ == "ChildLabor" and ChildLabor.__doc__

    def test_pcall_members_in_order(self):
        assert Pcall.__bases__ == (object,) and type(Pcall) is type
        members = [k for k in vars(Pcall)
                   if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
        assert members == ["pcall", "__init__", "pids", "start", "join", "terminate", "kill",
                           "livings", "_build_arguments"]
        assert [k for k in vars(ChildLabor) if k in ("__init__", "run")] == ["__init__", "run"]

    def test_member_kinds(self):
        ns = vars(Pcall)
        assert isinstance(ns["pcall"], classmethod)
        for name in ("pids", "livings"):
            prop = ns[name]
            assert isinstance(prop, property)
            assert prop.fset is None and prop.fdel is None
            assert prop.__doc__ == prop.fget.__doc__ and prop.__doc__
        p = Pcall.__new__(Pcall)
        with pytest.raises(AttributeError):
            p.pids = []

    @pytest.mark.parametrize("func, qualname, signature", [
        (vars(Pcall)["pcall"].__func__, "Pcall.pcall", "(cls, *args, **kwargs)"),
        (Pcall.__init__, "Pcall.__init__",
         "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(),"
         " **varkwargs)"),
        (vars(Pcall)["pids"].fget, "Pcall.pids", "(self)"),
        (Pcall.start, "Pcall.start", "(self)"),
        (Pcall.join, "Pcall.join", "(self)"),
        (Pcall.terminate, "Pcall.terminate", "(self)"),
        (Pcall.kill, "Pcall.kill", "(self)"),
        (vars(Pcall)["livings"].fget, "Pcall.livings", "(self)"),
        (Pcall._build_arguments, "Pcall._build_arguments", "(self)"),
        (ChildLabor.__init__, "ChildLabor.__init__", "(self, index, queue, *args, **kwargs)"),
        (ChildLabor.run, "ChildLabor.run", "(self)"),
    ])
    def test_member_functions(self, func, qualname, signature):
        assert func.__qualname__ == qualname
        assert func.__name__ == qualname.rsplit(".", 1)[1]
        assert func.__module__ == "orvex.async_.concurro"
        assert str(inspect.signature(func)) == signature
        assert isinstance(func.__code__, types.CodeType)
        if func is Pcall.__init__:
            assert func.__doc__ is None
        else:
            assert func.__doc__ and func.__doc__.strip()

    def test_shared_ckwargs_default(self):
        defaults = Pcall.__init__.__defaults__
        assert defaults == (None, (), (), {}, ())
        assert Pcall.__init__.__kwdefaults__ is None
        assert inspect.signature(Pcall.__init__).parameters["ckwargs"].default is defaults[3]


def _run_isolated(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [PACKAGE_ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)


def test_import_needs_the_log_sibling_and_can_be_retried():
    result = _run_isolated("""
        import sys
        sys.modules["orvex.log"] = None
        try:
            import orvex.async_.concurro
        except ImportError as exc:
            print("failed:", type(exc).__name__)
        else:
            print("imported")
        assert "orvex.async_.concurro" not in sys.modules
        del sys.modules["orvex.log"]
        import orvex.async_.concurro as concurro
        print("retried:", concurro.Pcall.__qualname__, concurro.managed_handlers.__name__)
    """)
    assert result.returncode == 0, result.stdout
    assert result.stdout.splitlines() == ["failed: ModuleNotFoundError",
                                          "retried: Pcall orvex.log.managed_handlers"]
