#include "synchronize/lockable.hpp"

#include "common/module_setup.hpp"
#include "synchronize/state.hpp"
#include "synchronize/locked.hpp"

namespace orvex::synchronize {
namespace {

const char kLockableDoc[] =
    "Base class that gives an object a lock, so that it can be used from several\n"
    "processes and threads without deadlock.\n"
    "\n"
    "Every method call should acquire the lock, do its work and release the lock.\n"
    "Subclassing this class is the preferred way to make lockable classes.\n"
    "Subclasses must call ``Lockable.__init__`` explicitly through ``super``, and should\n"
    "decorate the methods that need the lock with this class's own decorator,\n"
    "``Lockable.locked``, rather than with the module-level ``locked``.";

const char kInitDoc[] =
    "Initialise the base class and set its built-in lock.\n"
    "\n"
    ":param lock: the class used for locking; expected to be a multiprocessing lock type.\n"
    "    Changing it (a plain lock instead of a re-entrant one, for instance) can have\n"
    "    harmful effects.";

const char kAcquireDoc[] =
    "Acquire the lock of this instance.\n"
    "\n"
    ":param block: if true, wait until the lock is free and acquired by this process or\n"
    "    thread.\n"
    ":param timeout: the longest time to wait for the lock, in seconds.\n"
    ":return: whether the lock was acquired.";

const char kReleaseDoc[] =
    "Release the lock of this instance.\n"
    "\n"
    "Only the process or thread that owns the lock may call this; otherwise, or when the\n"
    "lock is not held, the lock raises an AssertionError.";

// __init__(self, *, lock=multiprocessing.RLock)
enum InitParam { kInitSelf, kLock };

Ref init_impl(FunctionObject*, PyObject* const* p) {
    Ref lock = call0(p[kLock]);
    if (!lock) return fail();
    if (PyObject_SetAttr(p[kInitSelf], names().__lock__, lock.get()) < 0) return fail();
    return Ref::borrow(Py_None);
}

// acquire(self, block=True, timeout=None)
enum AcquireParam { kAcquireSelf, kBlock, kTimeout };

Ref acquire_impl(FunctionObject*, PyObject* const* p) {
    Ref lock = get_attr(p[kAcquireSelf], names().__lock__);
    if (!lock) return fail();
    // lock.acquire(block=block, timeout=timeout): the two values lie in order from kBlock.
    return call_method(lock.get(), names().acquire, &p[kBlock], 0, names().kw_block_timeout);
}

// release(self)
Ref release_impl(FunctionObject*, PyObject* const* p) {
    Ref lock = get_attr(p[kSelf], names().__lock__);
    if (!lock) return fail();
    return call_method0(lock.get(), names().release);
}

const FunctionDef kInit = {"__init__", "Lockable.__init__", "self, *, lock",
                           kInitDoc,   init_impl,           nullptr};
const FunctionDef kAcquire = {"acquire",   "Lockable.acquire", "self, block, timeout",
                              kAcquireDoc, acquire_impl,       nullptr};
const FunctionDef kRelease = {"release",   "Lockable.release", "self",
                              kReleaseDoc, release_impl,       nullptr};

}  // namespace

int add_lockable(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref ns = class_namespace(module, "Lockable", kLockableDoc);
    if (!ns) return -1;
    Ref context = Ref::borrow(PyDict_GetItemWithError(globals, names().multiprocessing));
    if (!context) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'multiprocessing' is not defined");
        return -1;
    }
    Ref factory = Ref::steal(PyObject_GetAttr(context.get(), names().RLock));
    if (!factory) return -1;
    Ref kwdefaults = Ref::steal(PyDict_New());
    if (!kwdefaults || PyDict_SetItemString(kwdefaults.get(), "lock", factory.get()) < 0) return -1;
    Ref acquire_defaults = Ref::steal(PyTuple_Pack(2, Py_True, Py_None));
    if (!acquire_defaults) return -1;
    if (add_member(ns.get(), kInit, globals, nullptr, nullptr, kwdefaults.get()) < 0 ||
        add_member(ns.get(), kAcquire, globals, nullptr, acquire_defaults.get()) < 0 ||
        add_member(ns.get(), kRelease, globals) < 0 || add_lockable_locked(ns.get(), globals) < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyBaseObject_Type));
    if (!bases) return -1;
    return bind(module, "Lockable",
                make_class((PyObject*)&PyType_Type, "Lockable", bases.get(), ns.get()));
}

}  // namespace orvex::synchronize
