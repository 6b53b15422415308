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
_M = TypeVar("_M", bound="LockableMeta")

class _Lock(Protocol):
    # What Lockable and the wrappers call on __lock__; a fork-context RLock fits.
    def acquire(self, block: bool = ..., timeout: Optional[float] = ...) -> bool: ...
    def release(self) -> None: ...

class Lockable:
    """Base class that gives an object a lock, so that it can be used from several
    processes and threads without deadlock.

    Every method call should acquire the lock, do its work and release the lock.
    Subclassing this class is the preferred way to make lockable classes.
    Subclasses must call ``Lockable.__init__`` explicitly through ``super``, and should
    decorate the methods that need the lock with this class's own decorator,
    ``Lockable.locked``, rather than with the module-level ``locked``.
    """
    __lock__: _Lock
    def __init__(self, *, lock: Callable[[], _Lock] = ...) -> None:
        """Initialise the base class and set its built-in lock.

        :param lock: the class used for locking; expected to be a multiprocessing lock type.
            Changing it (a plain lock instead of a re-entrant one, for instance) can have
            harmful effects.
        """
    def acquire(self, block: bool = True, timeout: Optional[float] = None) -> bool:
        """Acquire the lock of this instance.

        :param block: if true, wait until the lock is free and acquired by this process or
            thread.
        :param timeout: the longest time to wait for the lock, in seconds.
        :return: whether the lock was acquired.
        """
    def release(self) -> None:
        """Release the lock of this instance.

        Only the process or thread that owns the lock may call this; otherwise, or when the
        lock is not held, the lock raises an AssertionError.
        """
    @staticmethod
    def locked(method: _F) -> _F:
        """Decorator meant for Lockable and its subclasses.

        Does the same as the module-level ``locked`` decorator, but does not check whether
        the lock object exists.

        :return: the new wrapped method.
        """

def locked(method: _F) -> _F:
    """Generic decorator that adds locking to a method of a class, so that its instances
    can be used from forked processes and from threads.

    Returns a new wrapped method that holds a multiprocessing re-entrant lock around each
    call. The lock lives in the instance attribute ``__lock__`` and is created at the
    first call when the instance has none. A lock first created inside a child process
    makes the locking useless: create it in the main process before forking, by calling
    one of the locked methods or the like.
    """

class LockableMeta(type):
    """Metaclass that adds locking and unlocking to the methods of a class, so that the class
    can be used from several processes and threads.

    Each method call first acquires the lock of the instance, does its work and releases
    the lock. This spares decorating every method by hand.

    Limitation: if no locked method is called before the process forks, the locks do not
    work across the processes.
    """
    @staticmethod
    def ignore(obj: _T) -> _T:
        """Mark an object (a method) to be left out of the automatic locking, so that it can be
        called without waiting for the lock of the instance.

        :param obj: any object; it is marked and returned.
        """
    def __new__(cls: Type[_M], name: str, bases: Tuple[type, ...], attrs: Dict[str, Any]) -> _M:
        """Called before the class is created; adds the locking to the class's functions.

        :param name: the name of the new class.
        :param bases: its parent classes.
        :param attrs: its namespace.
        """
