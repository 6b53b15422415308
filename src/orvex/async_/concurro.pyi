import functools as functools
import itertools as itertools
import logging as logging
import os as os
import signal as signal
import time as time
from collections import namedtuple as namedtuple
from multiprocessing.context import ForkContext, ForkProcess
from multiprocessing.queues import SimpleQueue
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from orvex.log import managed_handlers as managed_handlers

from .exceptions import ExceptionWithTraceback as ExceptionWithTraceback

multiprocessing: ForkContext
__pcall_infra__: bool
logger: logging.Logger

class ChildWork(NamedTuple):
    target: str
    args: str
    kwargs: str

class ChildLabor(ForkProcess):
    _index: int
    _queue: SimpleQueue[Tuple[int, bool, Any]]
    _work: ChildWork
    def __init__(self, index: int, queue: SimpleQueue[Tuple[int, bool, Any]], *args: Any, **kwargs: Any) -> None: ...
    def run(self) -> None: ...

_Target = Callable[..., Any]

class Pcall:
    targets: Union[_Target, Sequence[_Target]]
    timeout: Optional[float]
    cargs: Iterable[Any]
    iargs: List[Iterable[Any]]
    ckwargs: Mapping[str, Any]
    ikwargs: List[Mapping[str, Any]]
    varkwargs: Dict[str, List[Any]]
    results: Optional[Tuple[Any, ...]]
    starttime: float
    stoptime: float
    _queue: SimpleQueue[Tuple[int, bool, Any]]
    _processes: List[ChildLabor]
    @classmethod
    def pcall(cls, *args: Any, **kwargs: Any) -> Tuple[Any, ...]: ...
    def __init__(
        self,
        targets: Union[_Target, Sequence[_Target]],
        timeout: Optional[float] = None,
        cargs: Iterable[Any] = (),
        iargs: Iterable[Iterable[Any]] = (),
        ckwargs: Mapping[str, Any] = ...,
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
