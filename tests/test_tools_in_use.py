"""The tools people run every day, over code that uses the package and over its twin written
with Python defs and a functools.wraps decorator, each in a fresh interpreter: what the tool
reports must match. A tool missing from this interpreter skips its test."""
import json
import sys
import textwrap

import pytest

TWINS = textwrap.dedent("""\
    import functools, json, multiprocessing, sys
    from orvex.async_.synchronize import Lockable, LockableMeta, locked

    def py_locked(method):
        @functools.wraps(method)
        def _wrapped(self, *args, **kwargs):
            with self.__lock__:
                return method(self, *args, **kwargs)
        return _wrapped

    class PyLockable(object):
        def __init__(self):
            self.__lock__ = multiprocessing.get_context("fork").RLock()

        def acquire(self, blocking=True, timeout=-1):
            return self.__lock__.acquire(blocking, timeout)

        def release(self):
            return self.__lock__.release()

    def account(base, decorate):
        class Account(base):
            @decorate
            def work(self, n=1, fail=False):
                if fail:
                    raise ValueError("work")
                return n
        return Account

    PAIR = {"native": account(Lockable, Lockable.locked), "twin": account(PyLockable, py_locked)}
    NAMES = ("work", "_wrapped", "acquire", "release")

    def run(cls, times=1):
        obj = cls()
        for _ in range(times):
            obj.work(2)
            obj.acquire()
            obj.release()
""")


@pytest.fixture
def run_tool(run_python, tmp_path):
    """Runs TWINS and then `body` as __main__ of a fresh interpreter, skipping when one of
    `modules` is missing; returns what the script printed last, read as JSON."""
    def run(body, modules=()):
        script = "\n".join(["import importlib.util, sys",
                            "if not all(map(importlib.util.find_spec, %r)): sys.exit(99)"
                            % (list(modules),), TWINS, textwrap.dedent(body)])
        (tmp_path / "app.py").write_text(script)
        done = run_python(str(tmp_path / "app.py"), cwd=str(tmp_path))
        if done.returncode == 99:
            pytest.skip("%s not installed" % ", ".join(modules))
        if done.returncode == 98:
            pytest.skip(done.stdout)
        assert done.returncode == 0, done.stdout + done.stderr
        return json.loads(done.stdout.splitlines()[-1])
    return run


def test_traceback_formatters_finish_and_name_real_instructions(run_tool):
    # IPython formats through stack_data and executing, which map tb_lasti to an instruction
    # and once looped for ever on the package's entries; the time limit ends a hang.
    got = run_tool("""
        import dis, faulthandler, traceback
        from IPython.core.ultratb import AutoFormattedTB
        faulthandler.dump_traceback_later(60, exit=True)

        def formatter(mode):
            try:
                return AutoFormattedTB(mode=mode, theme_name="nocolor")
            except TypeError:  # IPython before 9
                return AutoFormattedTB(mode=mode, color_scheme="NoColor")

        def instruction(code, lasti):
            return lasti in [i.offset for i in dis.get_instructions(code)]

        report = {}
        for label, cls in PAIR.items():
            obj, seen = cls(), []
            for call in (lambda: obj.work(fail=True), obj.release):
                try:
                    call()
                except Exception:
                    kind, error, tb = sys.exc_info()
                texts = [formatter(mode).text(kind, error, tb) for mode in ("Context", "Verbose")]
                frames = list(traceback.TracebackException(
                    kind, error, tb, capture_locals=True).format())
                entries = []
                while tb:
                    code = tb.tb_frame.f_code
                    if code.co_name in NAMES and label == "native" and code.co_name != "work":
                        # A frame that never ran stops where PyFrame_New leaves it, which
                        # may be inside the first instruction's cache (3.15).
                        entries.append([instruction(code, tb.tb_lasti),
                                        0 <= tb.tb_frame.f_lasti < len(code.co_code),
                                        tb.tb_lineno == code.co_firstlineno])
                    tb = tb.tb_next
                seen.append([[text.count('raise ValueError("work")') for text in texts],
                             ["failed resolving arguments" in text for text in texts],
                             len(frames) > 0, entries])
            report[label] = seen
        print(json.dumps(report))
    """, ["IPython"])
    native, twin = got["native"], got["twin"]
    assert [row[:3] for row in native] == [row[:3] for row in twin]
    assert native[0][:2] == [[1, 1], [False, False]]
    # The package's own entries (the wrapper's, release's) name a real instruction on the
    # def line.
    assert [row[3] for row in native] == [[[True] * 3], [[True] * 3]]


def test_plain_pickle_sends_main_wrappers_by_name_to_process_pools(run_tool):
    got = run_tool("""
        import concurrent.futures, pickle

        class Tally(Lockable):
            @Lockable.locked
            def bump(self, n):
                return n + 1

        class Plain(object):
            @locked
            def bump(self, n):
                return n + 2

        class Ledger(metaclass=LockableMeta):
            def bump(self, n):
                return n + 3

        class Twin(object):
            @py_locked
            def bump(self, n):
                return n + 4

        def call(f, cls, n):
            if cls is Twin:
                obj = cls()
                obj.__lock__ = multiprocessing.RLock()
                return f(obj, n)
            return f(cls(), n)

        if __name__ == "__main__":
            sent = [(Tally.bump, Tally), (Plain.bump, Plain), (Ledger.bump, Ledger),
                    (Twin.bump, Twin)]
            report = [[pickle.loads(pickle.dumps(f)) is f for f, _ in sent]]
            for method in ("spawn", "forkserver"):
                context = multiprocessing.get_context(method)
                with context.Pool(2) as pool:
                    report.append(pool.starmap(call, [(f, cls, 1) for f, cls in sent]))
                with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as ex:
                    report.append(list(ex.map(call, *zip(*[(f, c, 1) for f, c in sent]))))
            print(json.dumps(report))
    """)
    assert got == [[True] * 4] + [[2, 3, 4, 5]] * 4


def test_dill_sends_functions_that_descriptors_hold(run_tool):
    got = run_tool("""
        import dill
        from orvex.async_.concurro import Pcall
        try:
            dill.dumps(lambda: None)
        except Exception as error:
            print("dill cannot send a Python function here: %r" % error)
            sys.exit(98)

        class Sub(Pcall):
            pass

        class Twin(object):
            @classmethod
            def pcall(cls, *args):
                return args

            @property
            def pids(self):
                return []

        report = {}
        for label, cls in (("native", Pcall), ("subclass", Sub), ("twin", Twin)):
            owner = Twin if cls is Twin else Pcall
            sent = [cls.pcall, cls.pcall.__func__, vars(owner)["pids"].fget]
            back = [dill.loads(dill.dumps(f)) for f in sent]
            report[label] = [f.__name__ for f in back]
        print(json.dumps(report))
    """, ["dill"])
    assert got["native"] == got["subclass"] == got["twin"] == ["pcall", "pcall", "pids"]


def test_profilers_name_the_class_and_frames_take_the_parameters(run_tool):
    got = run_tool("""
        import yappi, pyinstrument

        def yappi_names(cls):
            yappi.clear_stats()
            yappi.start()
            run(cls, 3)
            yappi.stop()
            return sorted({s.name for s in yappi.get_func_stats()
                           if s.name.startswith("Account.")})

        def pyinstrument_classes(cls):
            profiler = pyinstrument.Profiler(interval=0.0001)
            profiler.start()
            run(cls, 3000)
            profiler.stop()
            found = set()
            def walk(frame):
                if frame.function in NAMES and frame.file_path.endswith((".py", ".pyi")):
                    found.add(frame.class_name)
                for child in frame.children:
                    walk(child)
            walk(profiler.last_session.root_frame())
            return sorted(found, key=str)

        def parameters(cls):
            seen = set()
            def hook(frame, event, arg):
                if event == "call" and frame.f_code.co_name in NAMES:
                    names = frame.f_code.co_varnames[:frame.f_code.co_argcount]
                    seen.add((frame.f_code.co_name, names, "self" in frame.f_locals))
            sys.setprofile(hook)
            run(cls)
            sys.setprofile(None)
            return sorted(seen)

        print(json.dumps({label: [yappi_names(cls), pyinstrument_classes(cls), parameters(cls)]
                          for label, cls in PAIR.items()}))
    """, ["yappi", "pyinstrument"])
    native, twin = got["native"], got["twin"]
    assert native[0] == twin[0] == ["Account.__init__", "Account._wrapped", "Account.acquire",
                                    "Account.release", "Account.work"]
    assert native[1] == ["Account"]
    # The twin's own acquire and release take `blocking`, not the native names.
    assert [row[0] for row in native[2]] == [row[0] for row in twin[2]]
    assert all(row[2] for row in native[2])


def test_line_profiler_accepts_the_package_and_times_the_user(run_tool):
    got = run_tool("""
        import warnings
        from line_profiler import LineProfiler
        warnings.simplefilter("ignore")

        report = {}
        for label, cls in PAIR.items():
            profiler = LineProfiler()
            for f in (cls.acquire, cls.work, cls.work.__wrapped__):
                profiler.add_function(f)
            profiler.enable_by_count()
            run(cls, 3)
            profiler.disable_by_count()
            # Keyed by the function's qualified name in line_profiler 5, by its name before.
            report[label] = [sum(h for _, h, _ in timings)
                             for key, timings in profiler.get_stats().timings.items()
                             if key[2].split(".")[-1] == "work"]
        print(json.dumps(report))
    """, ["line_profiler"])
    assert got["native"] == got["twin"] == [6]  # 2 lines, 3 calls


@pytest.mark.skipif(sys.version_info < (3, 8), reason="logging takes no stacklevel")
def test_waiting_for_the_lock_names_the_caller_with_and_without_a_tool(run_tool):
    got = run_tool("""
        import logging, threading, time
        records = []

        class Keep(logging.Handler):
            def emit(self, record):
                records.append([record.filename, record.funcName])

        logging.getLogger("orvex").addHandler(Keep())
        obj = PAIR["native"]()

        def caller():
            obj.work()

        def contend():
            obj.acquire()
            thread = threading.Thread(target=caller)
            thread.start()
            time.sleep(0.2)
            obj.release()
            thread.join()

        contend()
        threading.setprofile(lambda *args: None)
        contend()
        threading.setprofile(None)
        print(json.dumps(records))
    """)
    assert got == [["app.py", "caller"]] * 2
