"""A class made with LockableMeta, shared by threads and by forked processes.

Every public method holds the instance's lock. The first locked call happens in the
parent before anything forks, so the lock exists before the fork and the children share
it; a lock first created inside a child would protect that child only.

The counter's value lives in shared memory, so that the children's additions are seen
by the parent. The result goes to stdout; the "Waiting for lock on" warnings go to the
log on stderr.
"""
import logging
import multiprocessing
import threading
import time

from orvex.async_.synchronize import LockableMeta

FORK = multiprocessing.get_context("fork")
ROUNDS = 10


class Counter(metaclass=LockableMeta):
    def __init__(self):
        self._value = FORK.RawValue("i", 0)

    def __str__(self):
        return "Counter"

    def add(self, n):
        value = self._value.value
        time.sleep(0.001)  # without the lock, another worker's addition would be lost here
        self._value.value = value + n
        return self._value.value

    @LockableMeta.ignore
    def peek(self):
        """Left unlocked: a quick read that need not wait for a long update."""
        return self._value.value


def work(counter):
    for _ in range(ROUNDS):
        counter.add(1)


def main():
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    counter = Counter()
    counter.add(0)  # the first locked call creates the lock: before any fork or thread

    processes = [FORK.Process(target=work, args=(counter,)) for _ in range(2)]
    threads = [threading.Thread(target=work, args=(counter,)) for _ in range(2)]

    # Hold the lock while the workers start, so that each has to wait (and logs so).
    # Processes are forked before the threads exist: forking a threaded process is unsafe.
    counter.__lock__.acquire()
    for worker in processes + threads:
        worker.start()
    time.sleep(0.5)
    print("while the parent holds the lock:", counter.peek())
    counter.__lock__.release()

    for worker in processes + threads:
        worker.join()
    print("expected:", ROUNDS * len(processes + threads))
    print("counter:", counter.peek())


if __name__ == "__main__":
    main()
