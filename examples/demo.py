"""A short tour: a lock shared with a forked child, then a parallel call."""
import multiprocessing
import os
import time

from orvex.async_.concurro import Pcall
from orvex.async_.synchronize import Lockable


class Counter(Lockable):
    def __init__(self):
        super().__init__()
        self.value = 0


def hold_lock(counter, held, seconds):
    counter.acquire()
    held.set()
    time.sleep(seconds)
    counter.release()


def square(x):
    return x * x, os.getpid()


def main():
    fork = multiprocessing.get_context("fork")
    counter = Counter()  # the lock must exist before the fork to be shared
    held = fork.Event()
    child = fork.Process(target=hold_lock, args=(counter, held, 0.5))
    child.start()
    held.wait()
    print("parent can take the lock while the child holds it:", counter.acquire(block=False))
    print("after waiting for the child:", counter.acquire(timeout=5))
    counter.release()
    child.join()

    for value, pid in Pcall.pcall(square, iargs=[(1,), (2,), (3,)]):
        print("child %d returned %d" % (pid, value))


if __name__ == "__main__":
    main()
