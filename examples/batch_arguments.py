"""A batch that uses all five kinds of arguments; results come back in child order."""
from orvex.async_.concurro import Pcall


def describe(*args, **kwargs):
    return "args=%r kwargs=%r" % (args, dict(sorted(kwargs.items())))


def main():
    results = Pcall.pcall(
        describe,
        cargs=("common",),                 # first in every child's positional arguments
        iargs=[(0,), (1,), (2,)],          # one tuple per child, after the common ones
        ckwargs={"mode": "fast", "n": 0},  # every child's keywords, lowest precedence
        ikwargs=[{"n": 10}, {"n": 11}, {"n": 12}],  # one dict per child, overrides ckwargs
        colour=["red", "green", "blue"],   # one value per child, highest precedence
    )
    for index, text in enumerate(results):
        print(index, text)


if __name__ == "__main__":
    main()
