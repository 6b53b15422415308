"""Builds the two native modules; everything else lives in pyproject.toml."""
import os
from glob import glob

from setuptools import Extension, find_packages, setup

SANITIZE = os.environ.get("ORVEX_SANITIZE") == "1"

compile_args = ["-std=c++17", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti",
                "-Wall", "-Wextra"]
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


setup(
    packages=find_packages("src"),
    package_dir={"": "src"},
    package_data={"orvex": ["py.typed"], "orvex.async_": ["*.pyi"]},
    ext_modules=[native("concurro"), native("synchronize")],
)
