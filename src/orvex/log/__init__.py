"""Logging support for the package's forked workers."""
from . import managed_handlers  # noqa: F401
