"""The sibling modules that concurro leans on: the log context and the exception carrier."""
import logging
import multiprocessing
import pickle
from multiprocessing.reduction import ForkingPickler

import pytest

from orvex.async_.exceptions import ExceptionWithTraceback
from orvex.log.managed_handlers import tasklog

FORK = multiprocessing.get_context("fork")


class TestConsolidateNextForkedLogfile:
    # Pcall.start() reaches it as managed_handlers.tasklog.consolidate_next_forked_logfile.
    def test_context_manager_that_does_nothing_and_suppresses_nothing(self):
        root = logging.getLogger()
        handlers, level = list(root.handlers), root.level
        for _ in range(2):
            manager = tasklog.consolidate_next_forked_logfile()
            manager.__enter__()
            assert not manager.__exit__(None, None, None)
        assert root.handlers == handlers and root.level == level

        error = ValueError("start failed")
        with pytest.raises(ValueError) as info:
            with tasklog.consolidate_next_forked_logfile():
                raise error
        assert info.value is error


class KeepsExtra(Exception):
    def __init__(self, message, extra=None):
        super().__init__(message)
        self.extra = extra


class NeedsArgsItDrops(Exception):
    def __init__(self, code, detail):
        super().__init__("code %s: %s" % (code, detail))


class HoldsUnpicklable(Exception):
    def __init__(self, message):
        super().__init__(message)
        self.callback = lambda: None


class UnprintableAndUnpicklable(Exception):
    def __init__(self):
        super().__init__()
        self.callback = lambda: None

    def __str__(self):
        raise RuntimeError("no text for you")


def _local_class():
    class Local(Exception):
        pass

    return Local


LocalError = _local_class()


def raise_in_frame(exc):
    def failing_function():
        raise exc

    try:
        failing_function()
    except BaseException as caught:
        return caught


def round_trip(exc, dumps=pickle.dumps):
    return pickle.loads(dumps(ExceptionWithTraceback(exc)))


class TestExceptionWithTraceback:
    @pytest.mark.parametrize("dumps", [pickle.dumps, ForkingPickler.dumps])
    def test_arrives_as_original_type_with_traceback_cause(self, dumps):
        sent = raise_in_frame(KeepsExtra("broken", extra=[1, 2]))
        got = round_trip(sent, dumps)
        assert type(got) is KeepsExtra
        assert got.args == ("broken",) and got.extra == [1, 2]
        cause = str(got.__cause__)
        assert "Traceback (most recent call last)" in cause
        assert "failing_function" in cause
        assert "KeepsExtra: broken" in cause
        with pytest.raises(KeepsExtra):
            raise got

    def test_standard_exceptions(self):
        for sent in (ValueError("v"), KeyError("k"), OSError(2, "missing", "f.txt"),
                     ZeroDivisionError()):
            got = round_trip(raise_in_frame(sent))
            assert type(got) is type(sent) and got.args == sent.args

    def test_exception_never_raised_has_a_cause_too(self):
        got = round_trip(ValueError("not raised"))
        assert type(got) is ValueError
        assert "ValueError: not raised" in str(got.__cause__)

    def test_chained_exceptions_show_in_the_traceback_text(self):
        try:
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise ValueError("outer") from inner
        except ValueError as exc:
            got = round_trip(exc)
        assert "KeyError: 'inner'" in str(got.__cause__)
        assert "ValueError: outer" in str(got.__cause__)

    @pytest.mark.parametrize("sent, name, message", [
        (NeedsArgsItDrops(404, "gone"), "NeedsArgsItDrops", "code 404: gone"),
        (HoldsUnpicklable("has a lambda"), "HoldsUnpicklable", "has a lambda"),
        (UnprintableAndUnpicklable(), "UnprintableAndUnpicklable", ""),
        (LocalError("local"), "Local", "local"),
    ], ids=["drops-args", "unpicklable", "no-text", "local-class"])
    def test_fallback_for_exceptions_that_do_not_survive_pickling(self, sent, name, message):
        got = round_trip(raise_in_frame(sent))
        assert isinstance(got, Exception)
        text = str(got)
        assert name in text and message in text
        assert "failing_function" in str(got.__cause__)
        with pytest.raises(Exception) as info:
            raise got
        assert info.value is got


def _fail_and_send(queue, exc):
    try:
        raise exc
    except Exception as caught:
        queue.put(ExceptionWithTraceback(caught))


def _send_through_fork(exc):
    queue = FORK.SimpleQueue()
    child = FORK.Process(target=_fail_and_send, args=(queue, exc))
    child.start()
    got = queue.get()
    child.join(60)
    assert child.exitcode == 0
    return got


@pytest.mark.parametrize("sent, check", [
    (KeepsExtra("from child", extra="x"), lambda got: type(got) is KeepsExtra and got.extra == "x"),
    (NeedsArgsItDrops(1, "child"),
     lambda got: "NeedsArgsItDrops" in str(got) and "code 1: child" in str(got)),
], ids=["original-type", "fallback"])
def test_arrives_across_fork(sent, check):
    got = _send_through_fork(sent)
    assert isinstance(got, Exception) and check(got)
    assert "_fail_and_send" in str(got.__cause__)

