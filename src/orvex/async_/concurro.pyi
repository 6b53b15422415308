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
    """Worker class derived from the process class of the 'fork' context, customised only
    to be used by the parallel call (``Pcall``).
    """
    _index: int
    _queue: SimpleQueue[_Record]
    _work: ChildWork
    def __init__(self, index: int, queue: SimpleQueue[_Record], *args: Any, **kwargs: Any) -> None:
        """Standard process construction, plus two more arguments.

        :param index: the worker's order in its batch.
        :param queue: the multiprocessing Queue that pipes the result back to the parent.
        """
    def run(self) -> None:
        """Process entry point: run the target in the child.

        Returns nothing; the target's return value or error is put on the queue as the
        triple (index, success, result).
        """

class Pcall:
    """Perform, and to an extent control, parallel calls.

    The construction lets several kinds of arguments be zipped together and passed to
    each parallel instance:

    :param targets: one callable, or a list of callables.
    :param timeout: the longest time any child may run, in seconds.
    :param cargs: positional arguments common to all instances.
    :param iargs: per-instance positional arguments, one tuple or list per instance.
    :param ckwargs: keyword arguments common to all instances.
    :param ikwargs: one keyword dict per instance.
    :param varkwargs: keywords whose values are lists, each list holding one value of
        that keyword per instance.

    The number of instances follows from the number of targets (when more than one is
    given), the number of per-instance arguments and the number of per-instance values,
    whichever is shortest. Arguments are combined in positional order, common ones
    first. The results come back in child order.
    """
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
    ) -> Tuple[Any, ...]:
        """Shortcut that wraps ``start`` and ``join``: blocks, and returns the results of the
        parallel calls in the order in which they were called.
        """
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
    def pids(self) -> Tuple[Optional[int], ...]:
        """The list of the children's PIDs, once everything has been started."""
    def start(self) -> None:
        """Start all child worker processes."""
    def join(self) -> None:
        """Block until the time limit is reached or all children have finished their job,
        then collect and set the results.

        If a child raised an exception during its execution, the same exception is raised
        here.
        """
    def terminate(self) -> None:
        """Terminate all child processes; it may take a split second to take effect."""
    def kill(self) -> None:
        """Kill all running child processes with SIGKILL."""
    @property
    def livings(self) -> Tuple[ChildLabor, ...]:
        """The child processes that are currently alive."""
    def _build_arguments(self) -> List[Dict[str, Any]]:
        """Internal: build each child instance's arguments from the user's inputs, combining
        the common and per-instance arguments and keyword arguments.
        """
