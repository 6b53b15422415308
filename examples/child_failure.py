"""A child that fails: the parent gets the child's exception, with its traceback."""
import logging

from orvex.async_.concurro import Pcall


def parse(text):
    return int(text)


def main():
    logging.basicConfig(level=logging.ERROR, format="%(levelname)s %(name)s: %(message)s")
    try:
        Pcall.pcall(parse, iargs=[("1",), ("two",), ("3",)])
    except ValueError as exc:
        print("the parent caught:", repr(exc))
        print("raised in the child at:")
        print(exc.__cause__)


if __name__ == "__main__":
    main()
