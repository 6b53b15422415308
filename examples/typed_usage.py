"""Every public name of the two modules, used with full annotations.

Type-checks under ``mypy --strict`` and runs as it stands.
"""
from typing import List, Optional, Tuple

from orvex.async_.concurro import ChildLabor, ChildWork, Pcall
from orvex.async_.synchronize import Lockable, LockableMeta, locked


def square(x: int) -> int:
    return x * x


def add(x: int, y: int, scale: int = 1) -> int:
    return (x + y) * scale


class Tally(Lockable):
    def __init__(self) -> None:
        super().__init__()
        self.total = 0

    @Lockable.locked
    def add(self, n: int) -> int:
        self.total += n
        return self.total

    @Lockable.locked
    def add_twice(self, n: int) -> int:
        self.add(n)  # re-entrant: the same thread already holds the lock
        return self.add(n)


class Names:
    def __init__(self) -> None:
        self.names: List[str] = []

    @locked
    def append(self, name: str) -> int:
        self.names.append(name)
        return len(self.names)


class Store(metaclass=LockableMeta):
    def __init__(self) -> None:
        self.items: List[str] = []

    def put(self, item: str) -> int:
        self.items.append(item)
        return len(self.items)

    @LockableMeta.ignore
    def peek(self) -> Optional[str]:
        return self.items[-1] if self.items else None


def run_batch() -> Tuple[int, ...]:
    batch = Pcall(
        add,
        timeout=10.0,
        cargs=(1,),
        iargs=[(1,), (2,), (3,)],
        ckwargs={"scale": 1},
        ikwargs=[{}, {"scale": 10}, {}],
        scale=[1, 10, 100],
    )
    before: Tuple[Optional[int], ...] = batch.pids
    print("pids before start:", before)
    batch.start()
    batch.join()
    alive: Tuple[ChildLabor, ...] = batch.livings
    print("alive after join:", len(alive))
    batch.terminate()  # nothing left to stop; both are harmless after join
    batch.kill()
    print("ran for less than the limit:", batch.stoptime - batch.starttime < 10.0)
    results = batch.results
    assert results is not None
    return tuple(int(r) for r in results)


def describe_worker() -> ChildWork:
    worker: ChildLabor = Pcall(square, iargs=[(7,)])._processes[0]
    return worker._work


def main() -> None:
    print("pcall:", Pcall.pcall(square, iargs=[(1,), (2,), (3,)]))
    print("batch:", run_batch())
    work = describe_worker()
    print("worker:", work.target, work.args, work.kwargs)

    tally = Tally()
    got: bool = tally.acquire(block=False, timeout=None)
    tally.release()
    print("acquired:", got, "total:", tally.add_twice(2))

    names = Names()
    print("names:", names.append("a"), names.append("b"))

    store = Store()
    store.put("x")
    print("store:", store.peek())


if __name__ == "__main__":
    main()
