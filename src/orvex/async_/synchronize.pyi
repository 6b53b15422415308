# See concurro.pyi: the runtime looks these up in its own namespace at every call.
import functools as functools
import inspect as inspect
import logging as logging
from multiprocessing.context import ForkContext
from typing import Any, Callable, Dict, Optional, Protocol, Tuple, Type, TypeVar

multiprocessing: ForkContext
logger: logging.Logger

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")
_M = TypeVar("_M", bound=LockableMeta)

class _Lock(Protocol):
    # What Lockable and the wrappers call on __lock__; a fork-context RLock fits.
    def acquire(self, block: bool = ..., timeout: Optional[float] = ...) -> bool: ...
    def release(self) -> None: ...

class Lockable:
    __lock__: _Lock
    def __init__(self, *, lock: Callable[[], _Lock] = ...) -> None: ...
    def acquire(self, block: bool = True, timeout: Optional[float] = None) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: _F) -> _F: ...

def locked(method: _F) -> _F: ...

class LockableMeta(type):
    @staticmethod
    def ignore(obj: _T) -> _T: ...
    def __new__(cls: Type[_M], name: str, bases: Tuple[type, ...], attrs: Dict[str, Any]) -> _M: ...
