#include "concurro/pcall.hpp"

#include "common/handled.hpp"
#include "common/module_frame.hpp"
#include "common/names.hpp"
#include "concurro/record_reader.hpp"

namespace orvex::concurro {
namespace {

const char kPcallDoc[] =
    "Perform, and to an extent control, parallel calls.\n"
    "\n"
    "The construction lets several kinds of arguments be zipped together and passed to\n"
    "each parallel instance:\n"
    "\n"
    ":param targets: one callable, or a list of callables.\n"
    ":param timeout: the longest time any child may run, in seconds.\n"
    ":param cargs: positional arguments common to all instances.\n"
    ":param iargs: per-instance positional arguments, one tuple or list per instance.\n"
    ":param ckwargs: keyword arguments common to all instances.\n"
    ":param ikwargs: one keyword dict per instance.\n"
    ":param varkwargs: keywords whose values are lists, each list holding one value of\n"
    "    that keyword per instance.\n"
    "\n"
    "The number of instances follows from the number of targets (when more than one is\n"
    "given), the number of per-instance arguments and the number of per-instance values,\n"
    "whichever is shortest. Arguments are combined in positional order, common ones\n"
    "first. The results come back in child order.";

const char kPcallMethodDoc[] =
    "Shortcut that wraps ``start`` and ``join``: blocks, and returns the results of the\n"
    "parallel calls in the order in which they were called.";
const char kPidsDoc[] = "The list of the children's PIDs, once everything has been started.";
const char kStartDoc[] = "Start all child worker processes.";
const char kJoinDoc[] =
    "Block until the time limit is reached or all children have finished their job,\n"
    "then collect and set the results.\n"
    "\n"
    "If a child raised an exception during its execution, the same exception is raised\n"
    "here.";
const char kTerminateDoc[] =
    "Terminate all child processes; it may take a split second to take effect.";
const char kKillDoc[] = "Kill all running child processes with SIGKILL.";
const char kLivingsDoc[] = "The child processes that are currently alive.";
const char kBuildArgumentsDoc[] =
    "Internal: build each child instance's arguments from the user's inputs, combining\n"
    "the common and per-instance arguments and keyword arguments.";

// ---- small helpers ----

Ref get(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

int set(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value);
}

// A module-level name's attribute: `module_name.attr` with module_name read at call time.
Ref global_attr(FunctionObject* func, PyObject* name, PyObject* attr) {
    Ref obj = lookup_global(func, name);
    if (!obj) return fail();
    return get(obj.get(), attr);
}

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

// ---- construction and fan-out ----

// __init__(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)
Ref init_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[0];
    if (set(self, names().targets, p[1]) < 0 || set(self, names().timeout, p[2]) < 0 ||
        set(self, names().cargs, p[3]) < 0)
        return fail();
    Ref iargs = Ref::steal(PySequence_List(p[4]));
    if (!iargs || set(self, names().iargs, iargs.get()) < 0) return fail();
    if (set(self, names().ckwargs, p[5]) < 0) return fail();
    Ref ikwargs = Ref::steal(PySequence_List(p[6]));
    if (!ikwargs || set(self, names().ikwargs, ikwargs.get()) < 0) return fail();
    Ref varkwargs = Ref::steal(PyDict_New());
    if (!varkwargs) return fail();
    PyObject *key, *value;
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(p[7]);
    while (PyDict_Next(p[7], &pos, &key, &value)) {
        // Iterating a value runs Python code, which can reach this dict through gc.
        Ref key_ref = Ref::borrow(key), value_ref = Ref::borrow(value);
        Ref values = Ref::steal(PySequence_List(value));
        if (!values || PyDict_SetItem(varkwargs.get(), key, values.get()) < 0) return fail();
        if (PyDict_GET_SIZE(p[7]) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return fail();
        }
    }
    if (set(self, names().varkwargs, varkwargs.get()) < 0 ||
        set(self, names().results, Py_None) < 0)
        return fail();
    Ref queue_factory = global_attr(func, names().multiprocessing, names().SimpleQueue);
    if (!queue_factory) return fail();
    Ref queue = call0(queue_factory.get());
    if (!queue || set(self, names()._queue, queue.get()) < 0) return fail();
    Ref processes = Ref::steal(PyList_New(0));
    if (!processes || set(self, names()._processes, processes.get()) < 0) return fail();

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
        Ref current = get(self, names()._processes);
        if (!current) return fail();
        Ref child_labor = lookup_global(func, names().ChildLabor);
        if (!child_labor) return fail();
        Ref kwargs = Ref::steal(PyDict_New());
        Ref index_obj = Ref::steal(PyLong_FromSsize_t(index));
        Ref queue_now = get(self, names()._queue);
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

// Lowers smallest to len(obj) when that is not 0.
int add_count(Py_ssize_t& smallest, PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) return -1;
    if (n > 0 && n < smallest) smallest = n;
    return 0;
}

// The number of instances: the shortest non-empty count.
Py_ssize_t count_instances(FunctionObject* func, PyObject* self) {
    Ref targets = get(self, names().targets);
    if (!targets) return -1;
    bool single = PyCallable_Check(targets.get());
    Py_ssize_t smallest = PY_SSIZE_T_MAX;
    if (!single && add_count(smallest, targets.get()) < 0) return -1;
    Ref iargs = get(self, names().iargs);
    if (!iargs || add_count(smallest, iargs.get()) < 0) return -1;
    Ref ikwargs = get(self, names().ikwargs);
    if (!ikwargs || add_count(smallest, ikwargs.get()) < 0) return -1;
    Ref varkwargs = get(self, names().varkwargs);
    if (!varkwargs) return -1;
    Ref values = call_method0(varkwargs.get(), names().values);
    Ref it = values ? Ref::steal(PyObject_GetIter(values.get())) : fail();
    if (!it) return -1;
    while (Ref value = Ref::steal(PyIter_Next(it.get())))
        if (add_count(smallest, value.get()) < 0) return -1;
    if (PyErr_Occurred()) return -1;
    if (smallest < PY_SSIZE_T_MAX) return smallest;
    if (single) return 1;
    // min() of no counts: the built-in's own error for an empty sequence.
    Ref min = lookup_global(func, names().min);
    Ref no_counts = min ? Ref::steal(PyList_New(0)) : fail();
    if (!no_counts) return -1;
    if (call1(min.get(), no_counts.get())) PyErr_SetString(PyExc_ValueError, "no instance to run");
    return -1;
}

// Where each instance's target comes from: the one callable forever, or the list in order.
Ref target_source(FunctionObject* func, PyObject* self) {
    Ref targets = get(self, names().targets);
    if (!targets) return fail();
    if (!PyCallable_Check(targets.get())) return Ref::steal(PyObject_GetIter(targets.get()));
    Ref repeat = global_attr(func, names().itertools, names().repeat);
    if (!repeat) return fail();
    return call1(repeat.get(), targets.get());
}

// seq[i] as Python's subscription gives it; lists, the usual case, without the protocol.
Ref item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq)) {
        if (i >= PyList_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return fail();
        }
        return Ref::borrow(PyList_GET_ITEM(seq, i));
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return fail();
    return Ref::steal(PyObject_GetItem(seq, index.get()));
}

// tuple(obj): an exact tuple is itself, as the built-in gives it.
Ref as_tuple(PyObject* obj) {
    if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PySequence_Tuple(obj));
}

// head + tail for two exact tuples, without the number protocol's dispatch.
Ref concat(PyObject* head, PyObject* tail) {
    Py_ssize_t n = PyTuple_GET_SIZE(head), m = PyTuple_GET_SIZE(tail);
    if (m == 0) return Ref::borrow(head);
    if (n == 0) return Ref::borrow(tail);
    Ref joined = Ref::steal(PyTuple_New(n + m));
    if (!joined) return fail();
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = PyTuple_GET_ITEM(head, k);
        Py_INCREF(v);
        PyTuple_SET_ITEM(joined.get(), k, v);
    }
    for (Py_ssize_t k = 0; k < m; ++k) {
        PyObject* v = PyTuple_GET_ITEM(tail, k);
        Py_INCREF(v);
        PyTuple_SET_ITEM(joined.get(), n + k, v);
    }
    return joined;
}

// kwargs[k] = v[i] for each (k, v) of varkwargs.items(), in order.
int add_varkwargs(PyObject* kwargs, PyObject* varkwargs, Py_ssize_t i) {
    bool plain = PyDict_CheckExact(kwargs);
    if (PyDict_CheckExact(varkwargs)) {
        PyObject *key, *values;
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(varkwargs);
        while (PyDict_Next(varkwargs, &pos, &key, &values)) {
            // Caller-defined __getitem__ or __setitem__ may change the dict under us.
            Ref key_ref = Ref::borrow(key), values_ref = Ref::borrow(values);
            Ref value = item_at(values, i);
            if (!value) return -1;
            if ((plain ? PyDict_SetItem(kwargs, key, value.get())
                       : PyObject_SetItem(kwargs, key, value.get())) < 0)
                return -1;
            if (PyDict_GET_SIZE(varkwargs) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
        return 0;
    }
    Ref items = call_method0(varkwargs, names().items);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : fail();
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "varkwargs items must be (key, values) pairs");
            return -1;
        }
        Ref value = item_at(PyTuple_GET_ITEM(item.get(), 1), i);
        if (!value || PyObject_SetItem(kwargs, PyTuple_GET_ITEM(item.get(), 0), value.get()) < 0)
            return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Keeps the containers of a batch out of the cyclic collector while the batch is built.
// Every young-generation pass would otherwise walk each container built so far that is
// still young, and a large batch builds hundreds of thousands of them. Only objects that
// nothing but the batch references are held back, so no cycle can form through them
// before they are all handed back, once, at the end (or on the way out of an error).
// Being out of the collector's sight also keeps them from gc.get_objects() while they are
// half-built.
class DeferredTracking {
public:
    // Check ok(): without its buffer the holder cannot hold anything.
    explicit DeferredTracking(Py_ssize_t capacity) noexcept
        : objects_(capacity > 0 ? PyMem_New(PyObject*, (size_t)capacity) : nullptr),
          capacity_(objects_ ? capacity : 0) {}
    ~DeferredTracking() {
        for (Py_ssize_t k = 0; k < size_; ++k)
            if (!gc_is_tracked(objects_[k])) PyObject_GC_Track(objects_[k]);
        PyMem_Free(objects_);
    }
    bool ok() const noexcept { return objects_ != nullptr; }
    DeferredTracking(const DeferredTracking&) = delete;
    DeferredTracking& operator=(const DeferredTracking&) = delete;

    // obj, a built-in container, must be referenced from the batch alone and outlive this
    // holder.
    void hold(PyObject* obj) noexcept {
        if (size_ == capacity_ || !gc_is_tracked(obj)) return;
        PyObject_GC_UnTrack(obj);
        // The collector itself leaves a tuple of atomic items untracked for good.
        if (!PyTuple_CheckExact(obj) || !atomic_items(obj)) objects_[size_++] = obj;
    }
    // obj, which the caller is about to stop referencing, when the batch will hold the only
    // reference left. Only built-in containers: an object of another type could still be
    // reached through a weak reference, and changed (even tracked again) meanwhile.
    void hold_alone(PyObject* obj) noexcept {
        if (Py_REFCNT(obj) == 2 && (PyTuple_CheckExact(obj) || PyDict_CheckExact(obj)))
            hold(obj);
    }

private:
    static bool atomic_items(PyObject* tuple) noexcept {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tuple); ++k) {
            PyObject* item = PyTuple_GET_ITEM(tuple, k);
            // The type's flag: a type object may be collectable or not, count it as one.
            if (PyType_IS_GC(Py_TYPE(item)) &&
                !(PyTuple_CheckExact(item) && !gc_is_tracked(item)))
                return false;
        }
        return true;
    }

    PyObject** objects_;
    Py_ssize_t capacity_;
    Py_ssize_t size_ = 0;
};

// {"target": target, "args": args, "kwargs": kwargs}, as a copy of `shape` (a dict with
// the three keys, which spares growing a new one key by key) when one is given.
Ref make_set(PyObject* shape, PyObject* target, Ref args, Ref kwargs,
             DeferredTracking& deferred) {
    Ref one = Ref::steal(shape ? PyDict_Copy(shape) : PyDict_New());
    if (!one || PyDict_SetItem(one.get(), names().target, target) < 0 ||
        PyDict_SetItem(one.get(), names().args, args.get()) < 0 ||
        PyDict_SetItem(one.get(), names().kwargs, kwargs.get()) < 0)
        return fail();
    deferred.hold_alone(args.get());
    deferred.hold_alone(kwargs.get());
    return one;
}

// self.<name>[i] when self.<name> is true; null without an error when it is false.
Ref entry_if_any(PyObject* self, PyObject* name, Py_ssize_t i) {
    Ref seq = get(self, name);
    if (!seq) return fail();
    int truth = PyObject_IsTrue(seq.get());
    if (truth <= 0) return fail();
    return item_at(seq.get(), i);
}

// args, kwargs and target of instance i.
Ref argument_set(PyObject* self, PyObject* source, Py_ssize_t i,
                 DeferredTracking& deferred) {
    Ref cargs = get(self, names().cargs);
    if (!cargs) return fail();
    Ref args = as_tuple(cargs.get());
    if (!args) return fail();
    if (Ref entry = entry_if_any(self, names().iargs, i)) {
        Ref own = as_tuple(entry.get());
        if (!own) return fail();
        args = concat(args.get(), own.get());
        if (!args) return fail();
    } else if (PyErr_Occurred()) {
        return fail();
    }
    Ref ckwargs = get(self, names().ckwargs);
    if (!ckwargs) return fail();
    Ref kwargs = PyDict_CheckExact(ckwargs.get()) ? Ref::steal(PyDict_Copy(ckwargs.get()))
                                                  : call_method0(ckwargs.get(), names().copy);
    if (!kwargs) return fail();
    if (Ref entry = entry_if_any(self, names().ikwargs, i)) {
        if (PyDict_CheckExact(kwargs.get()) && PyDict_CheckExact(entry.get())) {
            if (PyDict_Update(kwargs.get(), entry.get()) < 0) return fail();
        } else if (!call_method1(kwargs.get(), names().update, entry.get())) {
            return fail();
        }
    } else if (PyErr_Occurred()) {
        return fail();
    }
    Ref varkwargs = get(self, names().varkwargs);
    if (!varkwargs || add_varkwargs(kwargs.get(), varkwargs.get(), i) < 0) return fail();

    Ref target = Ref::steal(PyIter_Next(source));
    if (!target) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return fail();
    }
    return make_set(nullptr, target.get(), std::move(args), std::move(kwargs), deferred);
}

// The fan-out's inputs read once, when nothing of the class or the inputs runs Python code
// between the per-instance reads. Up to 3.11 the collector may still run finalizers inside
// any allocation; for them the snapshot reads as if the collection had come after the
// fan-out. The snapshot owns what it read, every item taken from the live lists is owned
// while it is used, and sizes are read again after each allocation.
struct Snapshot {
    Ref cargs, iargs, ckwargs, ikwargs, varkwargs;
    Ref pairs;         // varkwargs as (key, values, key, values, ...)
    Ref set_template;  // {"target": None, "args": None, "kwargs": None}
};

PyTypeObject* g_repeat_type;  // itertools.repeat, taken when the module is executed

bool is_builtin_iterator(PyObject* it) {
    PyTypeObject* type = Py_TYPE(it);
    return type == &PyListIter_Type || type == &PyTupleIter_Type || type == g_repeat_type;
}

// Reading the inputs runs no code of the class: plain attributes, no descriptors.
bool plain_inputs(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (PyObject* name : {names().cargs, names().iargs, names().ckwargs, names().ikwargs,
                           names().varkwargs})
        if (_PyType_Lookup(type, name)) return false;
    return true;
}

// Merging dicts whose keys are all exact str compares no keys with Python code.
bool str_keys(PyObject* dict) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// False (no error) when some input could run Python code or is not a plain attribute.
bool take_snapshot(FunctionObject* func, PyObject* self, PyObject* source, Snapshot& snap) {
    if ((PyObject*)Py_TYPE(self) != func->klass || !is_builtin_iterator(source) ||
        !plain_inputs(Py_TYPE(self)))
        return false;
    snap.cargs = get(self, names().cargs);
    snap.iargs = get(self, names().iargs);
    snap.ckwargs = get(self, names().ckwargs);
    snap.ikwargs = get(self, names().ikwargs);
    snap.varkwargs = get(self, names().varkwargs);
    if (!snap.cargs || !snap.iargs || !snap.ckwargs || !snap.ikwargs || !snap.varkwargs) {
        PyErr_Clear();  // the generic path reads them again and reports the error
        return false;
    }
    if (!(PyTuple_CheckExact(snap.cargs.get()) || PyList_CheckExact(snap.cargs.get())) ||
        !PyList_CheckExact(snap.iargs.get()) || !PyDict_CheckExact(snap.ckwargs.get()) ||
        !PyList_CheckExact(snap.ikwargs.get()) || !PyDict_CheckExact(snap.varkwargs.get()) ||
        !str_keys(snap.ckwargs.get()))
        return false;
    snap.set_template = Ref::steal(PyDict_New());
    if (!snap.set_template ||
        PyDict_SetItem(snap.set_template.get(), names().target, Py_None) < 0 ||
        PyDict_SetItem(snap.set_template.get(), names().args, Py_None) < 0 ||
        PyDict_SetItem(snap.set_template.get(), names().kwargs, Py_None) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = PyDict_GET_SIZE(snap.varkwargs.get());
    Ref pairs = Ref::steal(PyTuple_New(2 * n));
    if (!pairs) {
        PyErr_Clear();
        return false;
    }
    // Filled below without allocating, so no collection sees its empty slots; a finalizer
    // run by the allocations above may have changed the inputs, so they are checked again.
    if (PyDict_GET_SIZE(snap.varkwargs.get()) != n || !str_keys(snap.ckwargs.get()))
        return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(snap.varkwargs.get(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyList_CheckExact(value)) return false;
        Py_INCREF(key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(pairs.get(), k++, key);
        PyTuple_SET_ITEM(pairs.get(), k++, value);
    }
    snap.pairs = std::move(pairs);
    return true;
}

// One argument set from a snapshot; null without an error when entry i needs the generic path.
Ref fast_argument_set(const Snapshot& snap, PyObject* source, Py_ssize_t i,
                      DeferredTracking& deferred) {
    PyObject* iargs = snap.iargs.get();
    PyObject* ikwargs = snap.ikwargs.get();
    Ref own;
    if (PyList_GET_SIZE(iargs)) {
        if (i >= PyList_GET_SIZE(iargs)) return fail();
        own = Ref::borrow(PyList_GET_ITEM(iargs, i));
        if (!PyTuple_CheckExact(own.get()) && !PyList_CheckExact(own.get())) return fail();
    }
    Ref own_kwargs;
    if (PyList_GET_SIZE(ikwargs)) {
        if (i >= PyList_GET_SIZE(ikwargs)) return fail();
        own_kwargs = Ref::borrow(PyList_GET_ITEM(ikwargs, i));
        // With str keys only, kwargs.update(own_kwargs) below calls no __eq__ of a key.
        if (!PyDict_CheckExact(own_kwargs.get()) || !str_keys(own_kwargs.get())) return fail();
    }
    Ref args = as_tuple(snap.cargs.get());
    if (!args) return fail();
    if (own) {
        Ref tail = as_tuple(own.get());
        args = tail ? concat(args.get(), tail.get()) : fail();
        if (!args) return fail();
    }
    Ref kwargs = Ref::steal(PyDict_Copy(snap.ckwargs.get()));
    if (!kwargs) return fail();
    if (own_kwargs && PyDict_Update(kwargs.get(), own_kwargs.get()) < 0) return fail();
    PyObject* pairs = snap.pairs.get();
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(pairs); k += 2) {
        PyObject* values = PyTuple_GET_ITEM(pairs, k + 1);
        if (i >= PyList_GET_SIZE(values)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return fail();
        }
        Ref value = Ref::borrow(PyList_GET_ITEM(values, i));
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(pairs, k), value.get()) < 0)
            return fail();
    }
    Ref target = Ref::steal(PyIter_Next(source));
    if (!target) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return fail();
    }
    return make_set(snap.set_template.get(), target.get(), std::move(args), std::move(kwargs),
                    deferred);
}

// _build_arguments(self)
Ref build_arguments_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[0];
    Py_ssize_t iterations = count_instances(func, self);
    if (iterations < 0) return fail();
    Ref source = target_source(func, self);
    if (!source) return fail();
    Ref sets = Ref::steal(PyList_New(iterations));
    if (!sets) return fail();
    // Declared after sets, so it hands sets back whole or before freeing it on an error.
    DeferredTracking deferred(3 * iterations + 1);
    if (!deferred.ok()) {
        PyErr_NoMemory();
        return fail();
    }
    deferred.hold(sets.get());  // its empty slots are never in sight of gc.get_objects()
    Snapshot snap;
    bool fast = take_snapshot(func, self, source.get(), snap);
    for (Py_ssize_t i = 0; i < iterations; ++i) {
        Ref one;
        if (fast) {
            one = fast_argument_set(snap, source.get(), i, deferred);
            if (!one && PyErr_Occurred()) return fail();
            fast = (bool)one;  // once Python code may run, every read is made afresh
        }
        if (!one) one = argument_set(self, source.get(), i, deferred);
        if (!one) return fail();
        deferred.hold(one.get());
        PyList_SET_ITEM(sets.get(), i, one.release());
    }
    return sets;
}

// ---- running ----

// start(self)
Ref start_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[0];
    Ref started_at = now(func);
    if (!started_at || set(self, names().starttime, started_at.get()) < 0) return fail();
    Ref tasklog = global_attr(func, names().managed_handlers, names().tasklog);
    if (!tasklog) return fail();
    Ref manager = call_method0(tasklog.get(), names().consolidate_next_forked_logfile);
    if (!manager) return fail();
    Ref enter = lookup_special(manager.get(), names().__enter__);
    if (!enter) return fail();
    Ref exit = lookup_special(manager.get(), names().__exit__);
    if (!exit) return fail();
    if (!call0(enter.get())) return fail();

    bool ok = true;
    Ref processes = get(self, names()._processes);
    Ref it = processes ? Ref::steal(PyObject_GetIter(processes.get())) : fail();
    if (!it) ok = false;
    while (ok) {
        Ref worker = Ref::steal(PyIter_Next(it.get()));
        if (!worker) {
            ok = !PyErr_Occurred();
            break;
        }
        if (!call_method0(worker.get(), names().start)) ok = false;
    }
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
// workers have ended (writers_gone), a record still in part counts as none.
int drain(PyObject* self, PyObject* records, bool writers_gone) {
    Ref queue = get(self, names()._queue);
    if (!queue) return -1;
    int read = drain_pipe(self, queue.get(), records, writers_gone);
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
    Ref processes = get(self, names()._processes);
    Ref it = processes ? Ref::steal(PyObject_GetIter(processes.get())) : fail();
    if (!it) return -1;
    while (Ref worker = Ref::steal(PyIter_Next(it.get()))) {
        Ref alive = call_method0(worker.get(), names().is_alive);
        if (!alive) return -1;
        int truth = PyObject_IsTrue(alive.get());
        if (truth != 0) return truth;
    }
    return PyErr_Occurred() ? -1 : 0;
}

const char kStillRunningLine[] =
    "    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}";
const char kStillRunningMessage[] =
    "The following processes are still running after {timeout} seconds:\n{extended_msg}\n";

// Reports the workers still running, terminates the batch and raises TimeoutError.
Ref time_out(FunctionObject* func, PyObject* self) {
    Ref template_ = Ref::steal(PyUnicode_FromString(kStillRunningLine));
    Ref livings = get(self, names().livings);
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
    Ref timeout = get(self, names().timeout);
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
    Ref processes = get(self, names()._processes);
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
            Ref pid = get(worker, names().pid);
            Ref exitcode = pid ? get(worker, names().exitcode) : fail();
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
    PyObject* self = p[0];
    // Records live on the instance: a later join still has what an earlier one drained.
    Ref records = get(self, names()._records);
    if (!records) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail();
        PyErr_Clear();
        records = Ref::steal(PyList_New(0));
        if (!records || set(self, names()._records, records.get()) < 0) return fail();
    }
    if (!PyList_Check(records.get())) {
        PyErr_SetString(PyExc_TypeError, "_records must be a list");
        return fail();
    }
    Ref quarter = Ref::steal(PyFloat_FromDouble(0.25));
    if (!quarter) return fail();
    for (;;) {
        int alive = any_alive(self);
        if (alive < 0) return fail();
        if (!alive) break;
        if (drain(self, records.get(), false) < 0) return fail();
        Ref time = lookup_global(func, names().time);
        if (!time || !call_method1(time.get(), names().sleep, quarter.get())) return fail();
        Ref timeout = get(self, names().timeout);
        if (!timeout) return fail();
        int limited = PyObject_IsTrue(timeout.get());
        if (limited < 0) return fail();
        if (limited) {
            Ref current = now(func);
            Ref started = current ? get(self, names().starttime) : fail();
            Ref deadline = started ? Ref::steal(PyNumber_Add(timeout.get(), started.get())) : fail();
            if (!deadline) return fail();
            int late = PyObject_RichCompareBool(current.get(), deadline.get(), Py_GT);
            if (late < 0) return fail();
            if (late) return time_out(func, self);
        }
    }
    Ref stopped = now(func);
    if (!stopped || set(self, names().stoptime, stopped.get()) < 0) return fail();
    if (drain(self, records.get(), true) < 0) return fail();
    Ref processes = get(self, names()._processes);
    Ref it = processes ? Ref::steal(PyObject_GetIter(processes.get())) : fail();
    if (!it) return fail();
    while (Ref worker = Ref::steal(PyIter_Next(it.get())))
        if (!call_method0(worker.get(), names().join)) return fail();
    if (PyErr_Occurred()) return fail();
    Ref results = collect(self, records.get());
    if (!results || set(self, names().results, results.get()) < 0) return fail();
    return Ref::borrow(Py_None);
}

// pcall(cls, *args, **kwargs)
Ref pcall_impl(FunctionObject*, PyObject* const* p) {
    PyObject* kwargs = PyDict_GET_SIZE(p[2]) ? p[2] : nullptr;
    Ref instance = Ref::steal(PyObject_Call(p[0], p[1], kwargs));
    if (!instance) return fail();
    if (!call_method0(instance.get(), names().start)) return fail();
    if (!call_method0(instance.get(), names().join)) return fail();
    return get(instance.get(), names().results);
}

// ---- control and introspection ----

// Calls per_worker on each worker of _processes, in child order, stopping at an error.
template <typename PerWorker>
int for_each_worker(PyObject* self, PerWorker per_worker) {
    Ref processes = get(self, names()._processes);
    Ref it = processes ? Ref::steal(PyObject_GetIter(processes.get())) : fail();
    if (!it) return -1;
    while (Ref worker = Ref::steal(PyIter_Next(it.get())))
        if (per_worker(worker.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

// pids (getter)
Ref pids_impl(FunctionObject*, PyObject* const* p) {
    Ref pids = Ref::steal(PyList_New(0));
    if (!pids) return fail();
    if (for_each_worker(p[0], [&](PyObject* worker) {
            Ref pid = get(worker, names().pid);
            return pid ? PyList_Append(pids.get(), pid.get()) : -1;
        }) < 0)
        return fail();
    return Ref::steal(PyList_AsTuple(pids.get()));
}

// livings (getter)
Ref livings_impl(FunctionObject*, PyObject* const* p) {
    Ref living = Ref::steal(PyList_New(0));
    if (!living) return fail();
    if (for_each_worker(p[0], [&](PyObject* worker) {
            Ref alive = call_method0(worker, names().is_alive);
            if (!alive) return -1;
            int truth = PyObject_IsTrue(alive.get());
            if (truth <= 0) return truth;
            return PyList_Append(living.get(), worker);
        }) < 0)
        return fail();
    return Ref::steal(PyList_AsTuple(living.get()));
}

// terminate(self)
Ref terminate_impl(FunctionObject*, PyObject* const* p) {
    if (for_each_worker(p[0], [](PyObject* worker) {
            return call_method0(worker, names().terminate) ? 0 : -1;
        }) < 0)
        return fail();
    return Ref::borrow(Py_None);
}

// kill(self): only workers seen running; an ended child's PID may belong to anyone now.
Ref kill_impl(FunctionObject* func, PyObject* const* p) {
    if (for_each_worker(p[0], [func](PyObject* worker) {
            Ref alive = call_method0(worker, names().is_alive);
            if (!alive) return -1;
            int truth = PyObject_IsTrue(alive.get());
            if (truth <= 0) return truth;
            Ref os_kill = global_attr(func, names().os, names().kill);
            if (!os_kill) return -1;
            Ref pid = get(worker, names().pid);
            if (!pid) return -1;
            Ref sigkill = global_attr(func, names().signal, names().SIGKILL);
            if (!sigkill) return -1;
            PyObject* args[2] = {pid.get(), sigkill.get()};
            return call_vector(os_kill.get(), args, 2, nullptr) ? 0 : -1;
        }) < 0)
        return fail();
    return Ref::borrow(Py_None);
}

const FunctionDef kPcall = {"pcall", "Pcall.pcall", "cls, *args, **kwargs", kPcallMethodDoc,
                             pcall_impl, nullptr};
const FunctionDef kInit = {"__init__", "Pcall.__init__",
                            "self, targets, timeout, cargs, iargs, ckwargs, ikwargs, **varkwargs",
                            nullptr, init_impl, nullptr};
const FunctionDef kPids = {"pids", "Pcall.pids", "self", kPidsDoc, pids_impl, nullptr};
const FunctionDef kStart = {"start", "Pcall.start", "self", kStartDoc, start_impl, nullptr};
const FunctionDef kJoin = {"join", "Pcall.join", "self", kJoinDoc, join_impl, nullptr};
const FunctionDef kTerminate = {"terminate", "Pcall.terminate", "self", kTerminateDoc,
                                 terminate_impl, nullptr};
const FunctionDef kKill = {"kill", "Pcall.kill", "self", kKillDoc, kill_impl, nullptr};
const FunctionDef kLivings = {"livings", "Pcall.livings", "self", kLivingsDoc, livings_impl,
                               nullptr};
const FunctionDef kBuildArguments = {"_build_arguments", "Pcall._build_arguments", "self",
                                      kBuildArgumentsDoc, build_arguments_impl, nullptr};

}  // namespace

int add_pcall(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref itertools = Ref::steal(PyImport_ImportModule("itertools"));
    Ref repeat = itertools ? Ref::steal(PyObject_GetAttrString(itertools.get(), "repeat")) : fail();
    if (!repeat) return -1;
    if (!PyType_Check(repeat.get())) {
        PyErr_SetString(PyExc_ImportError, "itertools.repeat is not a type");
        return -1;
    }
    g_repeat_type = (PyTypeObject*)repeat.release();  // kept for the life of the process
    Ref ns = class_namespace(module, "Pcall", kPcallDoc);
    if (!ns) return -1;
    // The one ckwargs default, shared by every construction that omits it.
    Ref shared_ckwargs = Ref::steal(PyDict_New());
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!shared_ckwargs || !empty) return -1;
    Ref defaults = Ref::steal(
        PyTuple_Pack(5, Py_None, empty.get(), empty.get(), shared_ckwargs.get(), empty.get()));
    if (!defaults) return -1;
    PyObject* classmethod = (PyObject*)&PyClassMethod_Type;
    PyObject* property = (PyObject*)&PyProperty_Type;
    if (add_member(ns.get(), kPcall, globals, classmethod) < 0 ||
        add_member(ns.get(), kInit, globals, nullptr, defaults.get()) < 0 ||
        add_member(ns.get(), kPids, globals, property) < 0 ||
        add_member(ns.get(), kStart, globals) < 0 || add_member(ns.get(), kJoin, globals) < 0 ||
        add_member(ns.get(), kTerminate, globals) < 0 ||
        add_member(ns.get(), kKill, globals) < 0 ||
        add_member(ns.get(), kLivings, globals, property) < 0 ||
        add_member(ns.get(), kBuildArguments, globals) < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyBaseObject_Type));
    if (!bases) return -1;
    return bind(module, "Pcall",
                make_class((PyObject*)&PyType_Type, "Pcall", bases.get(), ns.get()));
}

}  // namespace orvex::concurro
