"""The native function type as Python code sees it, with Lockable's methods as subjects."""
import builtins
import ctypes
import functools
import importlib
import inspect
import os
import pickle
import re
import sys
import types
import weakref

import pytest

from orvex.async_ import concurro, synchronize
from orvex.async_.synchronize import Lockable

MODULES = ["synchronize", "concurro"]


class RecordingLock(object):
    """Stands in for a lock: records how it is called, answers with a fixed object."""

    def __init__(self, answer=True):
        self.calls = []
        self.answer = answer

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return self.answer

    def release(self, *args, **kwargs):
        self.calls.append(("release", args, kwargs))
        return self.answer


def recording_lockable(answer=True):
    lock = RecordingLock(answer)
    return Lockable(lock=lambda: lock), lock


@pytest.fixture
def restore_attributes():
    """Undo changes that a test makes to the shared native functions."""
    saved = []

    def remember(func, *names):
        for name in names:
            saved.append((func, name, getattr(func, name)))

    yield remember
    for func, name, value in reversed(saved):
        setattr(func, name, value)


class TestBinding:
    def test_instance_access_binds_and_class_access_does_not(self):
        obj, lock = recording_lockable()
        bound = obj.acquire
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is obj and bound.__func__ is Lockable.acquire
        assert Lockable.__dict__["acquire"] is Lockable.acquire
        assert bound(False, 3) is True
        assert obj.release() is True
        assert lock.calls == [("acquire", (), {"block": False, "timeout": 3}),
                              ("release", (), {})]

    def test_borrowed_by_another_class(self):
        class Other(object):
            acquire = Lockable.acquire

        other = Other()
        other.__lock__ = RecordingLock("answer")
        assert Other.acquire is Lockable.acquire
        assert other.acquire(timeout=1) == "answer"
        assert other.__lock__.calls == [("acquire", (), {"block": True, "timeout": 1})]

    def test_under_classmethod_staticmethod_property(self):
        class Holder(object):
            __lock__ = RecordingLock("held")
            via_classmethod = classmethod(Lockable.acquire)
            via_staticmethod = staticmethod(Lockable.release)
            via_property = property(Lockable.release)

        holder = Holder()
        assert Holder.via_classmethod(False) == "held"
        assert holder.via_classmethod(timeout=2) == "held"
        assert Holder.via_staticmethod(holder) == "held"
        assert holder.via_staticmethod(Holder) == "held"
        assert holder.via_property == "held"
        assert Holder.__lock__.calls == [
            ("acquire", (), {"block": False, "timeout": None}),
            ("acquire", (), {"block": True, "timeout": 2}),
            ("release", (), {}),
            ("release", (), {}),
            ("release", (), {}),
        ]
        with pytest.raises(TypeError, match=r"release\(\) takes exactly 1 positional"):
            Holder.via_staticmethod()


class TestAttributes:
    @pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
    def test_name_setters_take_only_str(self, attr, restore_attributes):
        func = Lockable.release
        restore_attributes(func, attr)
        setattr(func, attr, "renamed")
        assert getattr(func, attr) == "renamed"
        for bad in (None, 1, b"bytes"):
            with pytest.raises(TypeError, match="must be set to a string object"):
                setattr(func, attr, bad)
        with pytest.raises(TypeError):
            delattr(func, attr)
        assert getattr(func, attr) == "renamed"

    def test_renaming_changes_repr_and_error_messages(self, restore_attributes):
        func = Lockable.release
        restore_attributes(func, "__name__", "__qualname__")
        func.__name__ = "free"
        func.__qualname__ = "Somewhere.free"
        assert repr(func).startswith("<function Somewhere.free at 0x")
        with pytest.raises(TypeError, match=r"^free\(\) takes exactly"):
            func()

    def test_module_and_doc_are_writable(self, restore_attributes):
        func = Lockable.release
        restore_attributes(func, "__module__", "__doc__")
        func.__module__ = None
        func.__doc__ = "new doc"
        assert func.__module__ is None and func.__doc__ == "new doc"
        func.__doc__ = None
        assert inspect.getdoc(func) is None

    def test_dict_takes_any_attribute(self):
        func = Lockable.release
        marker = object()
        func.custom = marker
        try:
            assert func.custom is marker
            assert func.__dict__["custom"] is marker
        finally:
            del func.custom
        assert "custom" not in func.__dict__
        with pytest.raises(AttributeError):
            func.custom

    def test_functools_wraps_from_and_onto(self, restore_attributes):
        @functools.wraps(Lockable.acquire)
        def wrapper(*args, **kwargs):
            return Lockable.acquire(*args, **kwargs)

        assert wrapper.__name__ == "acquire"
        assert wrapper.__qualname__ == "Lockable.acquire"
        assert wrapper.__doc__ == Lockable.acquire.__doc__
        assert wrapper.__wrapped__ is Lockable.acquire
        assert inspect.signature(wrapper) == inspect.signature(Lockable.acquire)

        def donor(a, b=2):
            """donor doc"""

        donor.extra = "carried"
        func = Lockable.release
        restore_attributes(func, "__name__", "__qualname__", "__doc__", "__module__")
        try:
            assert functools.update_wrapper(func, donor) is func
            assert func.__name__ == "donor" and func.__doc__ == "donor doc"
            assert func.extra == "carried" and func.__wrapped__ is donor
            # signature() follows __wrapped__, as it does for Python functions.
            assert str(inspect.signature(func)) == "(a, b=2)"
        finally:
            func.__dict__.clear()

    def test_defaults_drive_later_calls(self, restore_attributes):
        func = Lockable.acquire
        assert func.__kwdefaults__ is None
        restore_attributes(func, "__defaults__")
        obj, lock = recording_lockable()
        func.__defaults__ = (False, 7)
        obj.acquire()
        func.__defaults__ = (5,)
        obj.acquire(True)
        with pytest.raises(TypeError, match=r"at least 2 positional arguments \(1 given\)"):
            obj.acquire()
        func.__defaults__ = None
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments"):
            obj.acquire()
        del func.__defaults__
        assert func.__defaults__ is None
        with pytest.raises(TypeError, match="must be set to a tuple object"):
            func.__defaults__ = [True, None]
        assert lock.calls == [("acquire", (), {"block": False, "timeout": 7}),
                              ("acquire", (), {"block": True, "timeout": 5})]

    def test_kwdefaults_drive_later_calls(self, restore_attributes):
        func = Lockable.__init__
        factory = func.__kwdefaults__["lock"]
        assert func.__defaults__ is None
        assert list(func.__kwdefaults__) == ["lock"]
        restore_attributes(func, "__kwdefaults__")
        sentinel = object()
        func.__kwdefaults__ = {"lock": lambda: sentinel}
        assert Lockable().__lock__ is sentinel
        func.__kwdefaults__ = None
        with pytest.raises(TypeError, match=r"missing 1 required keyword-only argument: 'lock'"):
            Lockable()
        with pytest.raises(TypeError, match="must be set to a dict object"):
            func.__kwdefaults__ = [("lock", factory)]

    def test_annotations_is_a_dict(self, restore_attributes):
        func = Lockable.release
        assert func.__annotations__ == {}
        assert func.__annotations__ is func.__annotations__
        restore_attributes(func, "__annotations__")
        func.__annotations__ = {"return": int}
        assert inspect.signature(func).return_annotation is int
        with pytest.raises(TypeError, match="must be set to a dict object"):
            func.__annotations__ = "nope"

    @pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ is new in 3.14")
    def test_annotate_as_a_python_function_has_it(self, restore_attributes):
        def python(self):
            pass

        def steps(func):
            seen = [func.__annotate__]
            func.__annotate__ = lambda format: {"x": format}
            seen.append(func.__annotations__)
            func.__annotate__ = None
            seen.append(func.__annotations__)  # computed once, kept
            func.__annotations__ = {"y": 2}
            seen.append(func.__annotate__)
            func.__annotate__ = lambda format: [format]
            for bad in (lambda: func.__annotations__, lambda: delattr(func, "__annotate__"),
                        lambda: setattr(func, "__annotate__", 3)):
                with pytest.raises(TypeError) as raised:
                    bad()
                seen.append(str(raised.value))
            return seen

        restore_attributes(Lockable.release, "__annotate__", "__annotations__")
        assert steps(Lockable.release) == steps(python)

    def test_code_is_a_real_code_object(self):
        for func, argcount, kwonly, varnames in [
            (Lockable.__init__, 1, 1, ("self", "lock")),
            (Lockable.acquire, 3, 0, ("self", "block", "timeout")),
            (Lockable.release, 1, 0, ("self",)),
        ]:
            code = func.__code__
            assert isinstance(code, types.CodeType)
            assert code.co_name == func.__name__
            assert (code.co_argcount, code.co_kwonlyargcount) == (argcount, kwonly)
            assert code.co_varnames[:len(varnames)] == varnames
            assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
            assert not code.co_flags & (inspect.CO_COROUTINE | inspect.CO_GENERATOR)
            assert not inspect.iscoroutinefunction(func)
            assert not inspect.isgeneratorfunction(func)
            if sys.version_info >= (3, 11):
                assert code.co_qualname == func.__qualname__

    def test_function_made_from_the_code_runs_as_the_original(self, fast_poll):
        # A copy of a native function finds it by module and qualified name, through
        # classmethod, staticmethod and property, with the module's globals (3.7-3.9 take
        # the builtins from there) or bare ones, as a Python function's copy runs its body.
        class Twin(object):
            release = lambda self: True  # noqa: E731
            pcall = classmethod(lambda cls, *args: (3,))
            pids = property(lambda self: (None,))
            ignore = staticmethod(lambda obj: obj)

        obj, lock = recording_lockable()
        batch = concurro.Pcall(abs, iargs=[(-3,)])
        for cls, name, args, result in [
                (Lockable, "release", (obj,), True),
                (synchronize.LockableMeta, "ignore", (obj,), obj),
                (concurro.Pcall, "pcall", (concurro.Pcall, abs, None, (-3,)), (3,)),
                (concurro.Pcall, "pids", (batch,), (None,))]:
            for owner in (cls, Twin):
                held = vars(owner)[name]
                func = getattr(held, "__func__", getattr(held, "fget", held))
                for globals_ in (func.__globals__, {"__builtins__": builtins}):
                    assert types.FunctionType(func.__code__, globals_)(*args) == result, name
        assert lock.calls == [("release", (), {})] * 2
        # A wrapper's code, like a closure's, is no function without what it wraps.
        with pytest.raises(RuntimeError, match="locked.<locals>._wrapped is implemented"):
            types.FunctionType(synchronize.locked(len).__code__, vars(synchronize))(obj)

    def test_globals_are_the_module_namespace(self):
        assert Lockable.acquire.__globals__ is vars(synchronize)


class TestIntrospection:
    def test_signatures_follow_binding_and_live_defaults(self):
        # The unbound signatures are compared with the stubs in test_public_surface.py.
        init = inspect.signature(Lockable.__init__)
        assert list(init.parameters) == ["self", "lock"]
        lock = init.parameters["lock"]
        assert lock.kind is inspect.Parameter.KEYWORD_ONLY
        assert lock.default is Lockable.__init__.__kwdefaults__["lock"]
        assert list(inspect.signature(Lockable).parameters) == ["lock"]
        assert str(inspect.signature(Lockable().release)) == "()"
        assert str(inspect.signature(concurro.Pcall.pcall)) == "(*args, **kwargs)"

    def test_kind_and_repr(self):
        def plain(self):
            pass

        func = Lockable.acquire
        assert inspect.isfunction(func) and isinstance(func, types.FunctionType)
        assert not inspect.ismethoddescriptor(func) and not inspect.isbuiltin(func)
        assert inspect.ismethod(Lockable().acquire)
        # Only isinstance() is answered: pickle, copy and the C API go by the real type.
        assert type(func) is not types.FunctionType
        assert type(func).__name__ == type(plain).__name__
        messages = set()
        for target in (func, plain):
            with pytest.raises(TypeError) as info:
                target.__class__ = Lockable
            messages.add(str(info.value))
        assert len(messages) == 1
        for func in (Lockable.__init__, Lockable.acquire, Lockable.release):
            assert re.match(r"^<function %s at 0x[0-9a-fA-F]+>$" % re.escape(func.__qualname__),
                            repr(func))


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda obj: Lockable.acquire(obj, 1, 2, 3),
         r"^acquire\(\) takes at most 3 positional arguments \(4 given\)$"),
        (lambda obj: Lockable.acquire(),
         r"^acquire\(\) takes at least 1 positional argument \(0 given\)$"),
        (lambda obj: Lockable.acquire(block=True),
         r"^acquire\(\) takes at least 1 positional argument \(0 given\)$"),
        (lambda obj: Lockable.release(obj, 2),
         r"^release\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda obj: Lockable.release(),
         r"^release\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda obj: obj.acquire(True, None, 1),
         r"^acquire\(\) takes at most 3 positional arguments \(4 given\)$"),
        (lambda obj: obj.acquire(wait=1),
         r"^acquire\(\) got an unexpected keyword argument 'wait'$"),
        (lambda obj: obj.release(block=False),
         r"^release\(\) got an unexpected keyword argument 'block'$"),
        (lambda obj: obj.acquire(False, block=False),
         r"^acquire\(\) got multiple values for argument 'block'$"),
        (lambda obj: Lockable.acquire(obj, self=obj),
         r"^acquire\(\) got multiple values for argument 'self'$"),
        (lambda obj: Lockable(1),
         r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda obj: Lockable(lambda: None, lock=list),
         r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"),
        (lambda obj: Lockable(rlock=list),
         r"^__init__\(\) got an unexpected keyword argument 'rlock'$"),
    ])
    def test_binding_errors(self, call, message):
        obj, lock = recording_lockable()
        with pytest.raises(TypeError, match=message):
            call(obj)
        assert lock.calls == []

    def test_every_way_of_passing_the_same_call(self):
        obj, lock = recording_lockable()
        args = {"block": False, "timeout": 0.5}
        Lockable.acquire(obj, False, 0.5)
        Lockable.acquire(obj, False, timeout=0.5)
        Lockable.acquire(obj, timeout=0.5, block=False)
        Lockable.acquire(self=obj, block=False, timeout=0.5)
        Lockable.acquire(*(obj, False), **{"timeout": 0.5})
        obj.acquire(**args)
        functools.partial(Lockable.acquire, obj, timeout=0.5)(False)
        assert lock.calls == [("acquire", (), args)] * 7

    def test_keyword_names_need_not_be_interned(self):
        obj, lock = recording_lockable()
        name = "".join(["time", "out"])
        obj.acquire(**{name: 3})
        assert lock.calls == [("acquire", (), {"block": True, "timeout": 3})]

    def test_argument_refcounts_unchanged(self):
        block, timeout = object(), object()
        obj = Lockable(lock=RecordingLock)
        obj.__lock__.calls = None  # keep nothing alive through the recorder
        obj.__lock__.acquire = lambda block, timeout: None
        before = sys.getrefcount(block), sys.getrefcount(timeout), sys.getrefcount(obj)
        for _ in range(100):
            obj.acquire(block, timeout)
            obj.acquire(block, timeout=timeout)
            Lockable.acquire(obj, timeout=timeout, block=block)
            Lockable.acquire.__call__(obj, block, timeout)
            for bad in (lambda: obj.acquire(block, timeout, block),
                        lambda: obj.acquire(block, block=timeout),
                        lambda: obj.acquire(block, nope=timeout)):
                try:
                    bad()
                except TypeError:
                    pass
        assert (sys.getrefcount(block), sys.getrefcount(timeout),
                sys.getrefcount(obj)) == before

    def test_message_with_a_name_that_is_no_valid_utf8(self):
        func = Lockable.release
        func.__name__ = "\udc80"
        try:
            with pytest.raises(TypeError) as info:
                func()
        finally:
            func.__name__ = "release"
        assert str(info.value) == "\udc80() takes exactly 1 positional argument (0 given)"

    def test_defaults_replaced_while_binding(self):
        # Looking up a keyword-only default compares keys; the comparison may drop the
        # very dict (and values) being read.
        func = Lockable.__init__
        saved = func.__kwdefaults__
        made = []

        class Collider(object):
            def __hash__(self):
                return hash("lock")

            def __eq__(self, other):
                func.__kwdefaults__ = {"lock": list}
                return False

        func.__kwdefaults__ = {Collider(): None, "lock": lambda: made.append(1) or "old"}
        try:
            obj = Lockable()
        finally:
            func.__kwdefaults__ = saved
        assert obj.__lock__ == "old" and made == [1]

    def test_runaway_recursion_through_native_calls_raises(self):
        class ReentrantLock(object):
            def acquire(self, block, timeout):
                return self.owner.acquire(block, timeout)

        lock = ReentrantLock()
        obj = Lockable(lock=lambda: lock)
        lock.owner = obj
        # A low limit keeps the C stack small under sanitizer builds.
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(len(inspect.stack(0)) + 100)
        try:
            with pytest.raises(RecursionError):
                obj.acquire()
        finally:
            sys.setrecursionlimit(limit)
        lock.owner = None

    def test_result_refcount(self):
        answer = object()
        obj, _ = recording_lockable(answer)
        before = sys.getrefcount(answer)
        for _ in range(100):
            obj.acquire()
            obj.release()
        assert sys.getrefcount(answer) == before


class TestReferences:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickles_by_reference(self, protocol):
        for func in (Lockable.__init__, Lockable.acquire, Lockable.release):
            assert pickle.loads(pickle.dumps(func, protocol)) is func

    @pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
    def test_bound_method_pickles_by_reference(self, protocol):
        obj = Lockable(lock=PicklableLock)
        copy = pickle.loads(pickle.dumps(obj.acquire, protocol))
        assert copy.__func__ is Lockable.acquire
        assert isinstance(copy.__self__, Lockable) and copy() == "picklable"

    def test_weakref(self):
        ref = weakref.ref(Lockable.acquire)
        assert ref() is Lockable.acquire
        assert weakref.proxy(Lockable.release).__name__ == "release"


class PicklableLock(object):
    def acquire(self, block, timeout):
        return "picklable"


def _fresh_module_object(name):
    return types.ModuleType("orvex.async_." + name)


@pytest.mark.parametrize("name", MODULES)
class TestModuleFrame:
    def test_reimport_after_sys_modules_removal_gives_same_object(self, name):
        full = "orvex.async_." + name
        module = importlib.import_module(full)
        saved = sys.modules.pop(full)
        try:
            again = importlib.import_module(full)
            assert again is module
        finally:
            sys.modules[full] = saved

    def test_exec_on_same_module_object_is_a_no_op(self, name):
        module = importlib.import_module("orvex.async_." + name)
        before = dict(vars(module))
        module.__spec__.loader.exec_module(module)
        after = vars(module)
        assert list(after) == list(before)
        assert all(after[k] is before[k] for k in before)

    def test_exec_on_another_module_object_is_refused(self, name):
        module = importlib.import_module("orvex.async_." + name)
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        module_def = api.PyModule_GetDef(module)
        assert module_def
        other = _fresh_module_object(name)
        message = ("Module '%s' has already been imported. Re-initialisation is not supported."
                   % name)
        with pytest.raises(RuntimeError) as info:
            api.PyModule_ExecDef(other, module_def)
        assert str(info.value) == message
        assert set(vars(other)) <= {"__name__", "__doc__", "__package__", "__loader__",
                                    "__spec__"}

    def test_subinterpreter_import_is_refused(self, name, tmp_path):
        testcapi = pytest.importorskip("_testcapi")
        importlib.import_module("orvex.async_." + name)
        out = tmp_path / "result.txt"
        package_root = os.path.dirname(os.path.dirname(
            os.path.dirname(os.path.abspath(synchronize.__file__))))
        code = "\n".join([
            "import sys",
            "sys.path.insert(0, %r)" % package_root,
            "try:",
            "    import orvex.async_.%s" % name,
            "    text = 'imported'",
            "except BaseException as exc:",
            "    text = type(exc).__name__ + ': ' + str(exc)",
            "with open(%r, 'w') as f:" % str(out),
            "    f.write(text)",
        ])
        assert testcapi.run_in_subinterp(code) == 0
        assert out.read_text() == ("ImportError: Interpreter change detected - this module can"
                                   " only be loaded into one interpreter per process.")
