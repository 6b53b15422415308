"""LockableMeta: which members of a class body it wraps, its marker, and its errors.

Its layout is checked in test_public_surface.py.
"""
import inspect
import types

import pytest

from orvex.async_ import synchronize
from orvex.async_.synchronize import LockableMeta, locked


def test_mixed_class_body_wraps_only_public_plain_functions():
    def public(self):
        return self.__lock__

    def _private(self):
        pass

    def __init__(self):
        pass

    def skipped(self):
        return "free"

    static, klass, prop = staticmethod(public), classmethod(public), property(public)
    attrs = {"public": public, "_private": _private, "__init__": __init__, "static": static,
             "klass": klass, "prop": prop, "skipped": LockableMeta.ignore(skipped),
             "number": 3}
    before = dict(attrs)
    cls = LockableMeta("Mixed", (), attrs)
    assert cls.__name__ == "Mixed" and type(cls) is LockableMeta
    assert list(attrs) == list(before)  # changed in place, order kept
    assert attrs["public"].__wrapped__ is public and not inspect.isfunction(attrs["public"])
    assert all(attrs[k] is before[k] for k in before if k != "public")
    assert not hasattr(skipped, "_LockedMeta_ignore")
    obj = cls()
    assert obj.public() is obj.__lock__ and obj.skipped() == "free"


def test_marker_semantics():
    class Meta(metaclass=LockableMeta):
        @LockableMeta.ignore
        def _kept(self):
            pass

        def falsy(self):
            pass

        falsy._LockedMeta_ignore = 0
        already = locked(lambda self: 1)
        also = synchronize.Lockable.locked(lambda self: 2)
        # The package's own functions are functions, as their Python twins would be.
        borrowed = synchronize.Lockable.release

        @LockableMeta.ignore
        class Nested:
            pass

    assert vars(Meta)["_kept"]._LockedMeta_ignore is True
    assert vars(Meta)["falsy"].__wrapped__._LockedMeta_ignore == 0
    assert not hasattr(vars(Meta)["already"].__wrapped__, "__wrapped__")
    assert not hasattr(vars(Meta)["also"].__wrapped__, "__wrapped__")
    assert vars(Meta)["borrowed"].__wrapped__ is synchronize.Lockable.release
    assert not hasattr(Meta.Nested, "_LockedMeta_ignore")

    def twice():
        pass

    assert LockableMeta.ignore(LockableMeta.ignore(twice)) is twice
    with pytest.raises(AttributeError):
        LockableMeta.ignore(len)
    with pytest.raises(TypeError):
        LockableMeta.ignore()


def test_subclasses_wrap_their_own_functions():
    class Base(metaclass=LockableMeta):
        def inherited(self):
            return self.own()

    class Child(Base):
        def own(self):
            return self.__lock__

    assert type(Child) is LockableMeta
    assert Child.inherited is vars(Base)["inherited"]
    assert isinstance(vars(Child)["own"], types.FunctionType) is False
    child = Child()
    assert child.inherited() is child.__lock__  # re-entrant across wrapped methods


def test_errors_propagate():
    with pytest.raises(TypeError):
        class Keyword(metaclass=LockableMeta, extra=1):
            pass
    with pytest.raises(AttributeError):
        LockableMeta.__new__(LockableMeta, "X", (), None)

    class Touchy:
        @property
        def _LockedMeta_ignore(self):
            raise RuntimeError("marker")

    with pytest.raises(RuntimeError):
        LockableMeta("X", (), {"touchy": Touchy()})
    assert type(LockableMeta("Empty", (), {})) is LockableMeta


def test_module_names_are_looked_up_at_class_creation(monkeypatch):
    applied = []
    monkeypatch.setattr(synchronize, "locked", lambda f: applied.append(f) or f)
    monkeypatch.setattr(synchronize, "inspect", types.SimpleNamespace(isfunction=callable))

    class Meta(metaclass=LockableMeta):
        def method(self):
            pass

        handler = len

    assert applied == [vars(Meta)["method"], len]
