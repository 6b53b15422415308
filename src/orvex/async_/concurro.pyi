"""Parallel calls in forked child processes.

Pcall runs one callable, or several, each in a child forked from this process, and
returns their results in child order, or raises the first failure of a child."""
# The stdlib imports are listed as re-exports because the runtime module holds them and
# its functions look them up there at every call: rebinding e.g. ``concurro.time`` is a
# supported way to change behaviour.
import functools as functools
import itertools as itertools
import logging as logging
import os as os
import signal as signal
import time as time
from collections import namedtuple as namedtuple
from multiprocessing.context import ForkContext, ForkProcess
from multiprocessing.queues import SimpleQueue
from typing import Any, Callable, Collection, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from orvex.log import managed_handlers as managed_handlers

from .exceptions import ExceptionWithTraceback as ExceptionWithTraceback

multiprocessing: ForkContext
__pcall_infra__: bool
logger: logging.Logger

_Target = Callable[..., Any]
_Targets = Union[_Target, Collection[_Target]]
# (index, success, return value or ExceptionWithTraceback)
_Record = Tuple[int, bool, Any]

class ChildWork(NamedTuple):
    target: str
    args: str
    kwargs: str

class ChildLabor(ForkProcess):
    _index: int
    _queue: SimpleQueue[_Record]
    _work: ChildWork
    def __init__(self, index: int, queue: SimpleQueue[_Record], *args: Any, **kwargs: Any) -> None: ...
    def run(self) -> None: ...

class Pcall:
    targets: _Targets
    timeout: Optional[float]
    cargs: Iterable[Any]
    iargs: List[Iterable[Any]]
    ckwargs: Dict[str, Any]
    ikwargs: List[Mapping[str, Any]]
    varkwargs: Dict[str, List[Any]]
    results: Optional[Tuple[Any, ...]]
    # Set by start() and join(); absent before.
    starttime: float
    stoptime: float
    _queue: SimpleQueue[_Record]
    _processes: List[ChildLabor]
    # At run time pcall(cls, *args, **kwargs) hands every argument to the constructor.
    @classmethod
    def pcall(
        cls,
        targets: _Targets,
        timeout: Optional[float] = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: Dict[str, Any] = {},
        ikwargs: Iterable[Mapping[str, Any]] = (),
        **varkwargs: Iterable[Any],
    ) -> Tuple[Any, ...]: ...
    def __init__(
        self,
        targets: _Targets,
        timeout: Optional[float] = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: Dict[str, Any] = {},
        ikwargs: Iterable[Mapping[str, Any]] = (),
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @property
    def pids(self) -> Tuple[Optional[int], ...]: ...
    def start(self) -> None: ...
    def join(self) -> None: ...
    def terminate(self) -> None: ...
    def kill(self) -> None: ...
    @property
    def livings(self) -> Tuple[ChildLabor, ...]: ...
    def _build_arguments(self) -> List[Dict[str, Any]]: ...
