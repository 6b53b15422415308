"""A time limit: a stuck child is terminated and the batch raises TimeoutError."""
import logging
import time

from orvex.async_.concurro import Pcall


def work(seconds):
    time.sleep(seconds)
    return seconds


def main():
    logging.basicConfig(level=logging.ERROR, format="%(levelname)s %(name)s: %(message)s")
    batch = Pcall(work, timeout=1, iargs=[(0.1,), (60,)])
    batch.start()
    try:
        batch.join()
    except TimeoutError as exc:
        print("TimeoutError:", exc)
    batch.kill()  # nothing left to kill once terminate has taken effect; safe either way
    time.sleep(0.5)
    print("children still alive:", len(batch.livings))


if __name__ == "__main__":
    main()
