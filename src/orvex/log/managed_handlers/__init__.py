"""Log handlers that know about forked children."""
from . import tasklog  # noqa: F401
