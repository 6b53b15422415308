"""The built modules depend on nothing but the Python runtime and the C library."""
import importlib
import re
import shutil
import subprocess

import pytest

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
