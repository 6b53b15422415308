"""Carrying a child process's exception, with its traceback, back to the parent."""
import pickle
import traceback


class RemoteTraceback(Exception):
    """The formatted traceback of an exception raised in another process."""

    def __init__(self, tb):
        super().__init__(tb)
        self.tb = tb

    def __str__(self):
        return self.tb


class RemoteError(Exception):
    """Stands in for a child's exception whose own type could not be rebuilt here."""

    def __init__(self, type_name, message, tb):
        super().__init__(type_name, message, tb)
        self.type_name = type_name
        self.message = message
        self.tb = tb

    def __str__(self):
        return "%s: %s" % (self.type_name, self.message)


def _rebuild(exc, tb):
    exc.__cause__ = RemoteTraceback(tb)
    return exc


def _text_of(exc):
    # A failing __str__ must not cost the parent the whole report.
    try:
        return str(exc)
    except Exception:
        return "<exception str() failed>"


def _rebuild_fallback(type_name, message, tb):
    return _rebuild(RemoteError(type_name, message, tb), tb)


class _Carrier(object):
    """Unpickles into the original exception, or into a stand-in carrying its text."""

    def __init__(self, exc, tb):
        self.exc = exc
        self.tb = tb

    def __reduce__(self):
        try:
            # Prove the exception survives the round trip before promising it.
            pickle.loads(pickle.dumps(self.exc))
        except Exception:
            kind = type(self.exc)
            name = "%s.%s" % (kind.__module__, kind.__qualname__)
            return _rebuild_fallback, (name, _text_of(self.exc), self.tb)
        return _rebuild, (self.exc, self.tb)


def ExceptionWithTraceback(e):
    """Wrap exception ``e`` for the trip from a child process to its parent.

    Unpickling the result gives an exception of the original type whose ``__cause__``
    holds the child's formatted traceback; an exception that cannot be pickled arrives
    as a stand-in carrying its type name, message and traceback text.
    """
    tb = "".join(traceback.format_exception(type(e), e, e.__traceback__))
    tb = '\n"""\n%s"""' % tb
    return _Carrier(e, tb)
