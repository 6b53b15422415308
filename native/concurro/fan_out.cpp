// The fan-out: one argument set (target, args, kwargs) per instance of a batch, zipped from
// the common and per-instance inputs a Pcall holds. Two roads build the same sets: the
// generic one reads every input afresh for each instance, as Python code would; the
// snapshot road, taken while the inputs are built-in types that run no Python code when
// read, reads them once. Any instance the snapshot road cannot build exactly (a type it does
// not know, a key that is not a str) goes to the generic road, and so do all after it.
#include "concurro/fan_out.hpp"

#include "common/deferred_tracking.hpp"
#include "common/slot_cache.hpp"
#include "concurro/state.hpp"

namespace orvex::concurro {
namespace {

const char kBuildArgumentsDoc[] =
    "Internal: build each child instance's arguments from the user's inputs, combining\n"
    "the common and per-instance arguments and keyword arguments.";

// ---- shared by both roads ----

// Lowers smallest to len(obj) when that is not 0.
int add_count(Py_ssize_t& smallest, PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) return -1;
    if (n > 0 && n < smallest) smallest = n;
    return 0;
}

// The number of instances: the shortest non-empty count.
Py_ssize_t count_instances(FunctionObject* func, PyObject* self) {
    Ref targets = get_attr(self, names().targets);
    if (!targets) return -1;
    bool single = PyCallable_Check(targets.get());
    Py_ssize_t smallest = PY_SSIZE_T_MAX;
    if (!single && add_count(smallest, targets.get()) < 0) return -1;
    Ref iargs = get_attr(self, names().iargs);
    if (!iargs || add_count(smallest, iargs.get()) < 0) return -1;
    Ref ikwargs = get_attr(self, names().ikwargs);
    if (!ikwargs || add_count(smallest, ikwargs.get()) < 0) return -1;
    Ref varkwargs = get_attr(self, names().varkwargs);
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
    Ref targets = get_attr(self, names().targets);
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

// {"target": target, "args": args, "kwargs": kwargs}, as a copy of `shape` (a dict with
// the three keys, which spares growing a new one key by key) when one is given.
Ref make_set(PyObject* shape, PyObject* target, Ref args, Ref kwargs, DeferredTracking& deferred) {
    Ref one = Ref::steal(shape ? PyDict_Copy(shape) : PyDict_New());
    if (!one || PyDict_SetItem(one.get(), names().target, target) < 0 ||
        PyDict_SetItem(one.get(), names().args, args.get()) < 0 ||
        PyDict_SetItem(one.get(), names().kwargs, kwargs.get()) < 0)
        return fail();
    deferred.hold_alone(args.get());
    deferred.hold_alone(kwargs.get());
    return one;
}

// ---- the generic road ----

// self.<name>[i] when self.<name> is true; null without an error when it is false.
Ref entry_if_any(PyObject* self, PyObject* name, Py_ssize_t i) {
    Ref seq = get_attr(self, name);
    if (!seq) return fail();
    int truth = PyObject_IsTrue(seq.get());
    if (truth <= 0) return fail();
    return item_at(seq.get(), i);
}

// args, kwargs and target of instance i.
Ref argument_set(PyObject* self, PyObject* source, Py_ssize_t i, DeferredTracking& deferred) {
    Ref cargs = get_attr(self, names().cargs);
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
    Ref ckwargs = get_attr(self, names().ckwargs);
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
    Ref varkwargs = get_attr(self, names().varkwargs);
    if (!varkwargs || add_varkwargs(kwargs.get(), varkwargs.get(), i) < 0) return fail();

    Ref target = Ref::steal(PyIter_Next(source));
    if (!target) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return fail();
    }
    return make_set(nullptr, target.get(), std::move(args), std::move(kwargs), deferred);
}

// ---- the snapshot road ----

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

bool is_builtin_iterator(PyObject* it) {
    PyTypeObject* type = Py_TYPE(it);
    return type == &PyListIter_Type || type == &PyTupleIter_Type || type == state().repeat_type;
}

// Reading the inputs runs no code of the class: plain attributes, no descriptors.
bool plain_inputs(PyTypeObject* type) {
    for (PyObject* name :
         {names().cargs, names().iargs, names().ckwargs, names().ikwargs, names().varkwargs})
        if (!reads_plainly(type, name)) return false;
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
    snap.cargs = get_attr(self, names().cargs);
    snap.iargs = get_attr(self, names().iargs);
    snap.ckwargs = get_attr(self, names().ckwargs);
    snap.ikwargs = get_attr(self, names().ikwargs);
    snap.varkwargs = get_attr(self, names().varkwargs);
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
    if (PyDict_GET_SIZE(snap.varkwargs.get()) != n || !str_keys(snap.ckwargs.get())) return false;
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
        if (!PyDict_CheckExact(own_kwargs.get())) return fail();
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
    if (own_kwargs) {
        // kwargs.update(own_kwargs) with str keys only, so no key's __eq__ runs. Each pair is
        // held while inserted (an allocation may run a finalizer up to 3.11); a key that is
        // not a str, or own_kwargs changing under the loop, sends the instance to the
        // generic road, which builds it again from scratch.
        PyObject *key, *value;
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(own_kwargs.get());
        while (PyDict_Next(own_kwargs.get(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return fail();
            Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            if (PyDict_SetItem(kwargs.get(), key, value) < 0) return fail();
            if (PyDict_GET_SIZE(own_kwargs.get()) != size) return fail();
        }
    }
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
    PyObject* self = p[kSelf];
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

}  // namespace

const FunctionDef kBuildArguments = {"_build_arguments", "Pcall._build_arguments", "self",
                                     kBuildArgumentsDoc, build_arguments_impl,     nullptr};

}  // namespace orvex::concurro
