// A batch's life: construction, start, join (waiting, the time limit, collecting the
// records in child order) and the one-call pcall.
#include "concurro/batch.hpp"

#include "common/handled.hpp"
#include "concurro/state.hpp"
#include "concurro/record_reader.hpp"
#include "concurro/workers.hpp"

namespace orvex::concurro {
namespace {

const char kPcallMethodDoc[] =
    "Shortcut that wraps ``start`` and ``join``: blocks, and returns the results of the\n"
    "parallel calls in the order in which they were called.";
const char kStartDoc[] = "Start all child worker processes.";
const char kJoinDoc[] =
    "Block until the time limit is reached or all children have finished their job,\n"
    "then collect and set the results.\n"
    "\n"
    "If a child raised an exception during its execution, the same exception is raised\n"
    "here.";

// time.time(), with the module's `time` read at call time.
Ref now(FunctionObject* func) {
    Ref time = lookup_global(func, names().time);
    if (!time) return fail();
    return call_method0(time.get(), names().time);
}

// Looks a special method up on the type and binds it, as a `with` statement does.
Ref lookup_special(PyObject* obj, PyObject* name) {
    Ref attr = Ref::steal(PyObject_GetAttr((PyObject*)Py_TYPE(obj), name));
    if (!attr) return fail();
    descrgetfunc bind = Py_TYPE(attr.get())->tp_descr_get;
    if (!bind) return attr;
    return Ref::steal(bind(attr.get(), obj, (PyObject*)Py_TYPE(obj)));
}

// __init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)
enum InitParam { kInitSelf, kTargets, kTimeout, kCargs, kIargs, kCkwargs, kIkwargs, kVarkwargs };

Ref init_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[kInitSelf];
    if (PyObject_SetAttr(self, names().targets, p[kTargets]) < 0 ||
        PyObject_SetAttr(self, names().timeout, p[kTimeout]) < 0 ||
        PyObject_SetAttr(self, names().cargs, p[kCargs]) < 0)
        return fail();
    Ref iargs = Ref::steal(PySequence_List(p[kIargs]));
    if (!iargs || PyObject_SetAttr(self, names().iargs, iargs.get()) < 0) return fail();
    if (PyObject_SetAttr(self, names().ckwargs, p[kCkwargs]) < 0) return fail();
    Ref ikwargs = Ref::steal(PySequence_List(p[kIkwargs]));
    if (!ikwargs || PyObject_SetAttr(self, names().ikwargs, ikwargs.get()) < 0) return fail();
    Ref varkwargs = Ref::steal(PyDict_New());
    if (!varkwargs) return fail();
    PyObject *key, *value;
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(p[kVarkwargs]);
    while (PyDict_Next(p[kVarkwargs], &pos, &key, &value)) {
        // Iterating a value runs Python code, which can reach this dict through gc.
        Ref key_ref = Ref::borrow(key), value_ref = Ref::borrow(value);
        Ref values = Ref::steal(PySequence_List(value));
        if (!values || PyDict_SetItem(varkwargs.get(), key, values.get()) < 0) return fail();
        if (PyDict_GET_SIZE(p[kVarkwargs]) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return fail();
        }
    }
    if (PyObject_SetAttr(self, names().varkwargs, varkwargs.get()) < 0 ||
        PyObject_SetAttr(self, names().results, Py_None) < 0)
        return fail();
    Ref queue_factory = global_attr(func, names().multiprocessing, names().SimpleQueue);
    if (!queue_factory) return fail();
    Ref queue = call0(queue_factory.get());
    if (!queue || PyObject_SetAttr(self, names()._queue, queue.get()) < 0) return fail();
    Ref processes = Ref::steal(PyList_New(0));
    if (!processes || PyObject_SetAttr(self, names()._processes, processes.get()) < 0)
        return fail();

    Ref argument_sets = call_method0(self, names()._build_arguments);
    if (!argument_sets) return fail();
    Ref iterator = Ref::steal(PyObject_GetIter(argument_sets.get()));
    if (!iterator) return fail();
    for (Py_ssize_t index = 0;; ++index) {
        Ref argument_set = Ref::steal(PyIter_Next(iterator.get()));
        if (!argument_set) {
            if (PyErr_Occurred()) return fail();
            break;
        }
        Ref current = get_attr(self, names()._processes);
        if (!current) return fail();
        Ref child_labor = lookup_global(func, names().ChildLabor);
        if (!child_labor) return fail();
        Ref kwargs = Ref::steal(PyDict_New());
        Ref index_obj = Ref::steal(PyLong_FromSsize_t(index));
        Ref queue_now = get_attr(self, names()._queue);
        if (!kwargs || !index_obj || !queue_now ||
            PyDict_SetItem(kwargs.get(), names().index, index_obj.get()) < 0 ||
            PyDict_SetItem(kwargs.get(), names().queue, queue_now.get()) < 0)
            return fail();
        // `ChildLabor(index=..., queue=..., **argument_set)`: a repeated keyword is an error.
        Ref keys = Ref::steal(PyMapping_Keys(argument_set.get()));
        if (!keys) return fail();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), k));
            if (!PyUnicode_Check(key.get())) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return fail();
            }
            int present = PyDict_Contains(kwargs.get(), key.get());
            if (present < 0) return fail();
            if (present) {
                PyErr_Format(PyExc_TypeError, "got multiple values for keyword argument '%U'",
                             key.get());
                return fail();
            }
            Ref v = Ref::steal(PyObject_GetItem(argument_set.get(), key.get()));
            if (!v || PyDict_SetItem(kwargs.get(), key.get(), v.get()) < 0) return fail();
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return fail();
        Ref worker = Ref::steal(PyObject_Call(child_labor.get(), empty.get(), kwargs.get()));
        if (!worker) return fail();
        Ref appended = call_method1(current.get(), names().append, worker.get());
        if (!appended) return fail();
    }
    return Ref::borrow(Py_None);
}

// start(self)
Ref start_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[kSelf];
    Ref started_at = now(func);
    if (!started_at || PyObject_SetAttr(self, names().starttime, started_at.get()) < 0)
        return fail();
    Ref tasklog = global_attr(func, names().managed_handlers, names().tasklog);
    if (!tasklog) return fail();
    Ref manager = call_method0(tasklog.get(), names().consolidate_next_forked_logfile);
    if (!manager) return fail();
    Ref enter = lookup_special(manager.get(), names().__enter__);
    if (!enter) return fail();
    Ref exit = lookup_special(manager.get(), names().__exit__);
    if (!exit) return fail();
    if (!call0(enter.get())) return fail();

    bool ok = for_each_worker(self, [](PyObject* worker) {
                  return call_method0(worker, names().start) ? 0 : -1;
              }) == 0;
    if (ok) {
        PyObject* nones[3] = {Py_None, Py_None, Py_None};
        if (!call_vector(exit.get(), nones, 3, nullptr)) return fail();
        return Ref::borrow(Py_None);
    }
    HandledException e;
    PyObject* info[3] = {e.type(), e.value(), e.traceback()};
    Ref suppress = call_vector(exit.get(), info, 3, nullptr);
    if (!suppress) return fail();
    int truth = PyObject_IsTrue(suppress.get());
    if (truth < 0) return fail();
    if (truth) return Ref::borrow(Py_None);
    e.reraise();
    return fail();
}

// Takes every record off the queue, as long as the queue says it has one. The queue the
// batch made is read without waiting for a record that may never be whole; once the
// workers have ended (kWritersGone), a record still in part counts as none.
int drain(PyObject* self, PyObject* records, DrainMode mode) {
    Ref queue = get_attr(self, names()._queue);
    if (!queue) return -1;
    int read = drain_pipe(self, queue.get(), records, mode);
    if (read != 0) return read < 0 ? -1 : 0;
    for (;;) {
        Ref empty = call_method0(queue.get(), names().empty);
        if (!empty) return -1;
        int is_empty = PyObject_IsTrue(empty.get());
        if (is_empty < 0) return -1;
        if (is_empty) return 0;
        Ref record = call_method0(queue.get(), names().get);
        if (!record || PyList_Append(records, record.get()) < 0) return -1;
    }
}

// 1 when some worker is alive, stopping at the first one.
int any_alive(PyObject* self) {
    return for_each_worker(self, [](PyObject* worker) {
        int ended = has_ended(worker);
        return ended < 0 ? -1 : !ended;
    });
}

const char kStillRunningLine[] =
    "    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}";
const char kStillRunningMessage[] =
    "The following processes are still running after {timeout} seconds:\n{extended_msg}\n";

// Reports the workers still running, terminates the batch and raises TimeoutError.
Ref time_out(FunctionObject* func, PyObject* self) {
    Ref template_ = Ref::steal(PyUnicode_FromString(kStillRunningLine));
    Ref livings = get_attr(self, names().livings);
    Ref it = livings ? Ref::steal(PyObject_GetIter(livings.get())) : fail();
    Ref lines = Ref::steal(PyList_New(0));
    if (!template_ || !it || !lines) return fail();
    PyObject* p_name = PyTuple_Pack(1, names().p);
    Ref kw_p = Ref::steal(p_name);
    if (!kw_p) return fail();
    while (Ref worker = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* arg = worker.get();
        Ref line = call_method(template_.get(), names().format, &arg, 0, kw_p.get());
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return fail();
    }
    if (PyErr_Occurred()) return fail();
    if (!call_method0(self, names().terminate)) return fail();

    Ref message_template = Ref::steal(PyUnicode_FromString(kStillRunningMessage));
    Ref newline = Ref::steal(PyUnicode_FromString("\n"));
    if (!message_template || !newline) return fail();
    Ref timeout = get_attr(self, names().timeout);
    Ref extended = Ref::steal(PyUnicode_Join(newline.get(), lines.get()));
    Ref kw = Ref::steal(PyTuple_Pack(2, names().timeout, names().extended_msg));
    if (!timeout || !extended || !kw) return fail();
    PyObject* values[2] = {timeout.get(), extended.get()};
    Ref message = call_method(message_template.get(), names().format, values, 0, kw.get());
    if (!message) return fail();
    Ref logger = lookup_global(func, names().logger);
    if (!logger || !call_method1(logger.get(), names().error, message.get())) return fail();
    Ref timeout_error = lookup_global(func, names().TimeoutError);
    if (!timeout_error) return fail();
    Ref text = Ref::steal(PyUnicode_FromString("Not all child processes finished running."));
    if (!text) return fail();
    Ref exc = call1(timeout_error.get(), text.get());
    if (!exc) return fail();
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    return fail();
}

// Raises what a record-less or failed child left, in child order; null when all succeeded.
// On success, returns the results tuple.
Ref collect(PyObject* self, PyObject* records) {
    Ref processes = get_attr(self, names()._processes);
    if (!processes) return fail();
    // A tuple: Python code run below could empty a list found through gc.get_referrers().
    Ref workers = Ref::steal(PySequence_Tuple(processes.get()));
    if (!workers) return fail();
    Ref by_index = Ref::steal(PyDict_New());
    if (!by_index) return fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records, i));  // a record's code may run
        Ref index = Ref::steal(PySequence_GetItem(record.get(), 0));
        if (!index || PyDict_SetItem(by_index.get(), index.get(), record.get()) < 0) return fail();
    }
    Py_ssize_t n = PyTuple_GET_SIZE(workers.get());
    Ref results = Ref::steal(PyTuple_New(n));
    if (!results) return fail();
    // Out of gc.get_objects() until every slot is filled (the empty tuple is never tracked).
    if (n > 0) PyObject_GC_UnTrack(results.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return fail();
        // The record's own __getitem__ below may remove it from by_index.
        Ref record_ref = Ref::borrow(PyDict_GetItemWithError(by_index.get(), index.get()));
        PyObject* record = record_ref.get();
        if (!record) {
            if (PyErr_Occurred()) return fail();
            PyObject* worker = PyTuple_GET_ITEM(workers.get(), i);
            Ref pid = get_attr(worker, names().pid);
            Ref exitcode = pid ? get_attr(worker, names().exitcode) : fail();
            if (!exitcode) return fail();
            PyErr_Format(PyExc_RuntimeError,
                         "Child process-%zd (PID %S) ended without a result (exit code %S)", i,
                         pid.get(), exitcode.get());
            return fail();
        }
        Ref success = Ref::steal(PySequence_GetItem(record, 1));
        if (!success) return fail();
        int ok = PyObject_IsTrue(success.get());
        if (ok < 0) return fail();
        Ref result = Ref::steal(PySequence_GetItem(record, -1));
        if (!result) return fail();
        if (!ok) {
            // A plain `raise result`: an exception class or instance, anything else is TypeError.
            if (PyExceptionInstance_Check(result.get())) {
                PyErr_SetObject((PyObject*)Py_TYPE(result.get()), result.get());
            } else if (PyExceptionClass_Check(result.get())) {
                PyErr_SetNone(result.get());
            } else {
                PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
            }
            return fail();
        }
        PyTuple_SET_ITEM(results.get(), i, result.release());
    }
    if (n > 0 && !gc_is_tracked(results.get())) PyObject_GC_Track(results.get());
    return results;
}

// join(self)
Ref join_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[kSelf];
    // Records live on the instance: a later join still has what an earlier one drained.
    Ref records = get_attr(self, names()._records);
    if (!records) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail();
        PyErr_Clear();
        records = Ref::steal(PyList_New(0));
        if (!records || PyObject_SetAttr(self, names()._records, records.get()) < 0) return fail();
    }
    if (!PyList_Check(records.get())) {
        PyErr_SetString(PyExc_TypeError, "_records must be a list");
        return fail();
    }
    Ref poll_period = Ref::steal(PyFloat_FromDouble(0.25));
    if (!poll_period) return fail();
    // Under a time limit a drain gives the pass back within a poll period, however the
    // children write, so that the limit is tested; the limit is known from the previous
    // pass's test (the first pass takes it as set).
    DrainMode mode = DrainMode::kOnePollPeriod;
    for (;;) {
        int alive = any_alive(self);
        if (alive < 0) return fail();
        if (!alive) break;
        if (drain(self, records.get(), mode) < 0) return fail();
        Ref time = lookup_global(func, names().time);
        if (!time || !call_method1(time.get(), names().sleep, poll_period.get())) return fail();
        Ref timeout = get_attr(self, names().timeout);
        if (!timeout) return fail();
        int limited = PyObject_IsTrue(timeout.get());
        if (limited < 0) return fail();
        mode = limited ? DrainMode::kOnePollPeriod : DrainMode::kUnbounded;
        if (limited) {
            Ref current = now(func);
            Ref started = current ? get_attr(self, names().starttime) : fail();
            Ref deadline =
                started ? Ref::steal(PyNumber_Add(timeout.get(), started.get())) : fail();
            if (!deadline) return fail();
            int late = PyObject_RichCompareBool(current.get(), deadline.get(), Py_GT);
            if (late < 0) return fail();
            if (late) return time_out(func, self);
        }
    }
    Ref stopped = now(func);
    if (!stopped || PyObject_SetAttr(self, names().stoptime, stopped.get()) < 0) return fail();
    if (drain(self, records.get(), DrainMode::kWritersGone) < 0) return fail();
    if (for_each_worker(
            self, [](PyObject* worker) { return call_method0(worker, names().join) ? 0 : -1; }) < 0)
        return fail();
    Ref results = collect(self, records.get());
    if (!results || PyObject_SetAttr(self, names().results, results.get()) < 0) return fail();
    return Ref::borrow(Py_None);
}

// pcall(cls, *args, **kwargs)
enum PcallParam { kCls, kArgs, kKwargs };

Ref pcall_impl(FunctionObject*, PyObject* const* p) {
    PyObject* kwargs = PyDict_GET_SIZE(p[kKwargs]) ? p[kKwargs] : nullptr;
    Ref instance = Ref::steal(PyObject_Call(p[kCls], p[kArgs], kwargs));
    if (!instance) return fail();
    if (!call_method0(instance.get(), names().start)) return fail();
    if (!call_method0(instance.get(), names().join)) return fail();
    return get_attr(instance.get(), names().results);
}

}  // namespace

const FunctionDef kInit = {"__init__",
                           "Pcall.__init__",
                           "self, targets, timeout, cargs, iargs, ckwargs, ikwargs, **varkwargs",
                           nullptr,
                           init_impl,
                           nullptr};
const FunctionDef kStart = {"start", "Pcall.start", "self", kStartDoc, start_impl, nullptr};
const FunctionDef kJoin = {"join", "Pcall.join", "self", kJoinDoc, join_impl, nullptr};
const FunctionDef kPcall = {"pcall",         "Pcall.pcall", "cls, *args, **kwargs",
                            kPcallMethodDoc, pcall_impl,    nullptr};

}  // namespace orvex::concurro
