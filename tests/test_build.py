"""The built modules depend on nothing but the Python runtime and the C library; the
package knows its installed version; a build without a compiler stops at once."""
import importlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import orvex

MODULES = ["orvex.async_.synchronize", "orvex.async_.concurro"]


def needed_libraries(path):
    out = subprocess.check_output(["readelf", "-d", path], universal_newlines=True)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
@pytest.mark.parametrize("name", MODULES)
def test_no_cxx_runtime_dependency(name):
    needed = needed_libraries(importlib.import_module(name).__file__)
    if any(lib.startswith(("libasan", "libubsan")) for lib in needed):
        pytest.skip("sanitizer build links its own runtimes")
    assert not [lib for lib in needed if lib.startswith(("libstdc++", "libgcc_s"))], needed


def test_version_is_the_installed_distributions():
    installed = {os.path.realpath(sysconfig.get_paths()[k]) for k in ("purelib", "platlib")}
    if os.path.realpath(os.path.dirname(os.path.dirname(orvex.__file__))) not in installed:
        pytest.skip("orvex is imported from a source tree")
    # On 3.7 without the importlib_metadata backport both sides are the dist-info reader.
    assert orvex.__version__ == orvex._version_from_dist_info() != "unknown"


def test_build_without_compiler_fails_in_one_line():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.exists(os.path.join(root, "setup.py")):
        pytest.skip("no source tree beside the tests")
    pytest.importorskip("setuptools")
    env = dict(os.environ, CXX="/nonexistent/g++")
    proc = subprocess.run([sys.executable, "setup.py", "build_ext"], cwd=root, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert len(proc.stderr.splitlines()) == 1
    assert "/nonexistent/g++" in proc.stderr and "apt-get install g++" in proc.stderr
