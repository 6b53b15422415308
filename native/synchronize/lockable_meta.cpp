#include "synchronize/lockable_meta.hpp"

#include "common/module_setup.hpp"
#include "synchronize/state.hpp"

namespace orvex::synchronize {
namespace {

const char kMetaDoc[] =
    "Metaclass that adds locking and unlocking to the methods of a class, so that the class\n"
    "can be used from several processes and threads.\n"
    "\n"
    "Each method call first acquires the lock of the instance, does its work and releases\n"
    "the lock. This spares decorating every method by hand.\n"
    "\n"
    "Limitation: if no locked method is called before the process forks, the locks do not\n"
    "work across the processes.";

const char kIgnoreDoc[] =
    "Mark an object (a method) to be left out of the automatic locking, so that it can be\n"
    "called without waiting for the lock of the instance.\n"
    "\n"
    ":param obj: any object; it is marked and returned.";

const char kNewDoc[] =
    "Called before the class is created; adds the locking to the class's functions.\n"
    "\n"
    ":param name: the name of the new class.\n"
    ":param bases: its parent classes.\n"
    ":param attrs: its namespace.";

// ignore(obj)
enum IgnoreParam { kObj };

Ref ignore_impl(FunctionObject*, PyObject* const* p) {
    if (PyObject_SetAttr(p[kObj], names()._LockedMeta_ignore, Py_True) < 0) return fail();
    return Ref::borrow(p[kObj]);
}

// `key, value = item`, with the interpreter's messages.
int unpack_pair(PyObject* item, Ref* key, Ref* value) noexcept {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        *key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        *value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref* slots[2] = {key, value};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int truth(Ref value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

// The three tests on one namespace entry, first match wins.
int wrap_entry(FunctionObject* f, PyObject* attrs, PyObject* key, PyObject* value) noexcept {
    const Names& n = names();
    int is_private = truth(call_method1(key, n.startswith, n._));
    if (is_private != 0) return is_private < 0 ? -1 : 0;

    Ref marker = Ref::steal(PyObject_GetAttr(value, n._LockedMeta_ignore));
    if (!marker) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    } else {
        int ignored = PyObject_IsTrue(marker.get());
        if (ignored != 0) {
            if (ignored < 0) return -1;
            return PyObject_DelAttr(value, n._LockedMeta_ignore);
        }
    }

    Ref inspect = lookup_global(f, n.inspect);
    if (!inspect) return -1;
    int is_function = truth(call_method1(inspect.get(), n.isfunction, value));
    if (is_function <= 0) return is_function;
    Ref locked = lookup_global(f, n.locked);
    if (!locked) return -1;
    Ref wrapped = call1(locked.get(), value);
    if (!wrapped) return -1;
    return PyObject_SetItem(attrs, key, wrapped.get());
}

// __new__(cls, name, bases, attrs)
enum NewParam { kCls, kName, kBases, kAttrs };

Ref new_impl(FunctionObject* f, PyObject* const* p) {
    PyObject *cls = p[kCls], *attrs = p[kAttrs];
    Ref items = call_method0(attrs, names().items);
    if (!items) return fail();
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return fail();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (unpack_pair(item.get(), &key, &value) < 0) return fail();
        if (wrap_entry(f, attrs, key.get(), value.get()) < 0) return fail();
    }
    if (PyErr_Occurred()) return fail();

    Ref klass = super_class(f, cls);
    if (!klass) return fail();
    PyObject* super_args[2] = {klass.get(), cls};
    Ref next = call_vector((PyObject*)&PySuper_Type, super_args, 2, nullptr);
    if (!next) return fail();
    Ref next_new = Ref::steal(PyObject_GetAttr(next.get(), names().__new__));
    if (!next_new) return fail();
    return call_vector(next_new.get(), p, 4, nullptr);
}

const FunctionDef kIgnore = {"ignore",   "LockableMeta.ignore", "obj",
                             kIgnoreDoc, ignore_impl,           nullptr};
const FunctionDef kNew = {
    "__new__", "LockableMeta.__new__", "cls, name, bases, attrs", kNewDoc, new_impl, nullptr};

}  // namespace

int add_lockable_meta(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref ns = class_namespace(module, "LockableMeta", kMetaDoc);
    if (!ns) return -1;
    PyObject* staticmethod = (PyObject*)&PyStaticMethod_Type;
    // type.__new__ wraps only Python functions in staticmethod; ours is wrapped here.
    if (add_member(ns.get(), kIgnore, globals, staticmethod) < 0 ||
        add_member(ns.get(), kNew, globals, staticmethod) < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyType_Type));
    if (!bases) return -1;
    return bind(module, "LockableMeta",
                make_class((PyObject*)&PyType_Type, "LockableMeta", bases.get(), ns.get()));
}

}  // namespace orvex::synchronize
