"""Checks that the built API reference names every public member of both native modules.

    python docs/check_api.py docs/_build/html

Reads the site's object inventory (objects.inv) and compares it with what the installed
modules hold: their classes, functions and module attributes that are not imports, the
public members of each class, and the instance attributes that the type stubs beside the
modules declare (the modules set those in ``__init__``, where no introspection finds them).
A constructor counts as named by its class's entry, which shows its signature. Prints what
is missing and exits 1 if anything is.
"""
import ast
import os
import sys
import types
import zlib

from orvex.async_ import concurro, synchronize

MODULES = (concurro, synchronize)
MODULE_DUNDERS = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__",
                  "__builtins__", "__cached__"}
CLASS_IMPLICIT = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                  "__slotnames__", "__init__"}


def documented(html_dir):
    """The Python objects the inventory names, by full name."""
    with open(os.path.join(html_dir, "objects.inv"), "rb") as fh:
        for _ in range(4):  # the header: format, project, version, compression
            fh.readline()
        text = zlib.decompress(fh.read()).decode("utf-8")
    names = set()
    for line in text.splitlines():
        name, role = line.split(None, 2)[:2]
        if role.startswith("py:"):
            names.add(name)
    return names


def stub_declarations(module):
    """Class name -> the names its stub declares in the class body."""
    directory, filename = os.path.split(module.__file__)
    path = os.path.join(directory, filename.split(".")[0] + ".pyi")
    with open(path) as fh:
        tree = ast.parse(fh.read())
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names = declared.setdefault(node.name, set())
            for item in node.body:
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    names.add(item.target.id)
                elif isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    names.add(item.name)
    return declared


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def public(name, declared=()):
    """Public by its name, or a special member that the stub declares (``__new__``)."""
    return not name.startswith("_") or (is_dunder(name) and name in declared)


def is_own(module, value):
    """Defined by the module itself, as opposed to imported into it."""
    if isinstance(value, types.ModuleType):
        return False
    owner = getattr(value, "__module__", None)
    if isinstance(value, (type, types.FunctionType, types.BuiltinFunctionType)):
        return owner == module.__name__
    return True  # a plain value the module made: a context, a logger, a flag


def public_members(module):
    declared = stub_declarations(module)
    members = []
    for name, value in vars(module).items():
        if name in MODULE_DUNDERS or not is_own(module, value):
            continue
        if name.startswith("_") and not is_dunder(name):
            continue
        full = "%s.%s" % (module.__name__, name)
        members.append(full)
        if isinstance(value, type):
            own = declared.get(name, set())
            names = set(vars(value)) | own
            members += ["%s.%s" % (full, member) for member in sorted(names)
                        if member not in CLASS_IMPLICIT and public(member, own)]
    return members


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    names = documented(sys.argv[1])
    expected = [member for module in MODULES for member in public_members(module)]
    missing = [member for member in expected if member not in names]
    for member in missing:
        print("not in the API reference: %s" % member)
    print("API reference: %d of %d public members named"
          % (len(expected) - len(missing), len(expected)))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
