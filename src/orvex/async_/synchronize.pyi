import functools as functools
import inspect as inspect
import logging as logging
from multiprocessing.context import ForkContext
from typing import Any, Callable, Dict, Optional, Tuple, Type, TypeVar

multiprocessing: ForkContext
logger: logging.Logger

_F = TypeVar("_F", bound=Callable[..., Any])
_T = TypeVar("_T")

class Lockable:
    __lock__: Any
    def __init__(self, *, lock: Callable[[], Any] = ...) -> None: ...
    def acquire(self, block: bool = True, timeout: Optional[float] = None) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: _F) -> _F: ...

def locked(method: _F) -> _F: ...

class LockableMeta(type):
    @staticmethod
    def ignore(obj: _T) -> _T: ...
    @staticmethod
    def __new__(cls: Type[type], name: str, bases: Tuple[type, ...], attrs: Dict[str, Any]) -> Any: ...
