"""Builds a benchmark's bare C floor into a directory and imports it."""
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def build_floor(name, build_dir):
    """Compiles benchmarks/<name>.c into build_dir and returns the imported module."""
    try:
        from setuptools import Distribution, Extension
    except ImportError:
        sys.exit("%s.py needs setuptools (pip install setuptools) and a C compiler" % name)
    extension = Extension(name, [os.path.join(HERE, name + ".c")], extra_compile_args=["-O2"])
    dist = Distribution({"name": name, "ext_modules": [extension]})
    command = dist.get_command_obj("build_ext")
    command.build_lib = build_dir
    command.build_temp = os.path.join(build_dir, "temp")
    command.ensure_finalized()
    command.run()
    return load_floor(name, command.get_ext_fullpath(name))


def load_floor(name, path):
    """Imports a floor already built at path."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
