"""orvex: a concurrency toolkit (forked parallel calls, fork-safe object locking)."""

__version__: str  # from the installed distribution's metadata, read on first use


def _installed_version() -> str:
    """The installed distribution's version; "unknown" for a source tree never installed."""
    import sys

    if sys.version_info >= (3, 8):
        from importlib import metadata
    else:
        try:
            import importlib_metadata as metadata
        except ImportError:
            return _version_from_dist_info()
    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:
        return "unknown"


def _version_from_dist_info() -> str:
    """Version from the first orvex-*.dist-info/METADATA on sys.path, as installers lay it
    out: 3.7 without the importlib_metadata backport."""
    import glob
    import os
    import sys

    for entry in sys.path:
        pattern = os.path.join(entry or os.curdir, "orvex-*.dist-info", "METADATA")
        for path in sorted(glob.glob(pattern)):
            with open(path, encoding="utf-8") as metadata:
                for line in metadata:
                    if line.startswith("Version:"):
                        return line.split(":", 1)[1].strip()
                    if not line.strip():  # end of the headers
                        break
    return "unknown"


def __getattr__(name: str) -> str:
    # The metadata lookup costs more than importing the package does.
    if name == "__version__":
        global __version__
        __version__ = _installed_version()
        return __version__
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
