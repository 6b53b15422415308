"""Sphinx configuration of the orvex documentation.

Build from the repository root with the package installed (autodoc imports it):

    pip install . -r docs/requirements.txt
    python -m sphinx -W --keep-going -b html docs docs/_build/html
    python -m sphinx -W --keep-going -b doctest docs docs/_build/doctest
"""
import doctest
import os
import re
import sys

import orvex
# autodoc documents the installed modules themselves. Imported here, before autodoc looks for
# them, they are the ones it finds, and not the type stubs beside them (which newer Sphinx
# would otherwise load in their place, and the doctests would then import).
import orvex.async_.concurro  # noqa: F401
import orvex.async_.synchronize  # noqa: F401

project = "orvex"
author = "the orvex developers"
copyright = "2026, " + author
release = orvex.__version__
if release == "unknown":  # a source tree built in place: the version it declares
    with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml")) as fh:
        release = re.search(r'^version = "([^"]+)"', fh.read(), re.M).group(1)
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
]

exclude_patterns = ["_build"]
default_role = "py:obj"

autodoc_typehints = "signature"
autodoc_default_options = {"show-inheritance": True}
# The constructors' docstrings (the lock factory, the worker's two arguments) join the class's.
autoclass_content = "both"


# The Python docs' inventory, for links into the standard library. The build runs without
# access to docs.python.org: it reads a local copy (Debian's python3.X-doc package has one,
# or ORVEX_PYTHON_INVENTORY names a file) and links to the online pages; without a copy the
# names stay plain text, and -W still passes.
def _python_inventory():
    candidates = [os.environ.get("ORVEX_PYTHON_INVENTORY", "")]
    candidates += ["/usr/share/doc/python3.%d/html/objects.inv" % minor
                   for minor in range(sys.version_info[1], 10, -1)]
    return next((path for path in candidates if path and os.path.isfile(path)), None)


_inventory = _python_inventory()
intersphinx_mapping = (
    {"python": ("https://docs.python.org/3", _inventory)} if _inventory else {})

# Exception messages are compared too: the examples show what callers really get.
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1
# Examples run against the installed package; each forked child inherits the page's state.
# The children's ERROR records and the lock's warnings go nowhere unless a page asks.
doctest_global_setup = """
import logging
if not logging.getLogger().handlers:
    logging.getLogger().addHandler(logging.NullHandler())
"""

html_theme = "furo"
html_title = "orvex " + release
html_static_path = []
html_theme_options = {"navigation_with_keys": True}
