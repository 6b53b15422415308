"""Builds the two native modules and declares the licence; everything else lives in
pyproject.toml."""
import os
import shlex
import shutil
import sys
import sysconfig
from glob import glob

import setuptools
from setuptools import Extension, find_packages, setup

BUILDS = {"build", "build_ext", "bdist_wheel", "bdist_egg", "install", "develop",
          "editable_wheel"}


def missing_build_tool():
    """What a build of the native modules would lack: a compiler or the Python headers."""
    for var, default in (("CC", "gcc"), ("CXX", "g++")):
        command = os.environ.get(var) or sysconfig.get_config_var(var) or default
        program = shlex.split(command)[0]
        if not shutil.which(program):
            return "compiler %r (%s) not found" % (program, var)
    if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
        return "Python headers (Python.h) not found"
    return None


# Fail before setuptools runs anything, with one line instead of a compiler traceback.
if BUILDS.intersection(sys.argv[1:]):
    missing = missing_build_tool()
    if missing:
        sys.exit("orvex: cannot build the native modules, %s: install a C++17 compiler and "
                 "the Python headers (Debian/Ubuntu: apt-get install g++ python3-dev), or "
                 "install a prebuilt manylinux wheel (pip install --only-binary orvex orvex)"
                 % missing)

SANITIZE = os.environ.get("ORVEX_SANITIZE") == "1"

compile_args = ["-std=c++17", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti",
                "-Wall", "-Wextra"]
# CI builds turn warnings into errors; a user's newer compiler must not break an install.
if os.environ.get("ORVEX_WERROR") == "1":
    compile_args.append("-Werror")
# Keep the C++ runtime out of the modules' dependencies: nothing but libpython/libc.
link_args = ["-static-libstdc++", "-static-libgcc", "-Wl,--as-needed"]
if SANITIZE:
    compile_args += ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
                     "-fno-omit-frame-pointer", "-O0", "-g", "-UNDEBUG"]
    link_args = ["-fsanitize=address,undefined"]


def native(name):
    sources = sorted(glob("native/common/*.cpp")) + sorted(glob("native/%s/*.cpp" % name))
    return Extension(
        "orvex.async_." + name,
        sources=sources,
        include_dirs=["native"],
        depends=sorted(glob("native/common/*.hpp")) + sorted(glob("native/%s/*.hpp" % name)),
        language="c++",
        extra_compile_args=compile_args,
        extra_link_args=link_args,
    )


# setuptools 77 and later take the licence as an SPDX expression; the releases that 3.7 and
# 3.8 can run take the older free-text field.
if int(setuptools.__version__.split(".")[0]) >= 77:
    LICENSE = {"license_expression": "MIT", "license_files": ["LICENSE"]}
else:
    LICENSE = {"license": "MIT", "license_files": ["LICENSE"]}

setup(
    packages=find_packages("src"),
    package_dir={"": "src"},
    package_data={"orvex": ["py.typed"], "orvex.async_": ["*.pyi"]},
    ext_modules=[native("concurro"), native("synchronize")],
    **LICENSE
)
