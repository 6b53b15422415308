#include "synchronize/locked.hpp"

#include "common/frames.hpp"
#include "common/handled.hpp"
#include "common/module_setup.hpp"
#include "common/slot_cache.hpp"
#include "synchronize/state.hpp"

namespace orvex::synchronize {
namespace {

const char kLockedDoc[] =
    "Generic decorator that adds locking to a method of a class, so that its instances\n"
    "can be used from forked processes and from threads.\n"
    "\n"
    "Returns a new wrapped method that holds a multiprocessing re-entrant lock around each\n"
    "call. The lock lives in the instance attribute ``__lock__`` and is created at the\n"
    "first call when the instance has none. A lock first created inside a child process\n"
    "makes the locking useless: create it in the main process before forking, by calling\n"
    "one of the locked methods or the like.";

const char kLockableLockedDoc[] =
    "Decorator meant for Lockable and its subclasses.\n"
    "\n"
    "Does the same as the module-level ``locked`` decorator, but does not check whether\n"
    "the lock object exists.\n"
    "\n"
    ":return: the new wrapped method.";

SlotCache g_lock_slots;     // `__lock__` of the instances
SlotCache g_acquire_slots;  // `acquire` of their locks
SlotCache g_release_slots;  // `release` of their locks

// self.__lock__; *plain tells that the read ran no code (see SlotCache).
Ref read_lock(PyObject* self, bool* plain) noexcept {
    Ref lock = g_lock_slots.read(self, names().__lock__, plain);
    if (lock || *plain) return lock;
    return Ref::steal(PyObject_GetAttr(self, names().__lock__));
}

// The C functions of _multiprocessing.SemLock's acquire and release, learned from the first
// one met. The fork context's RLock keeps them bound to its semaphore as instance
// attributes; one found there is called directly, `block` by position: its signature is
// known, and calling a built-in from C runs nothing else.
struct SemLockMethods {
    PyMethodDef* acquire = nullptr;
    PyMethodDef* release = nullptr;
    bool fastcall = false;         // acquire's convention: vector or tuple
    PyObject* no_block = nullptr;  // (False,)
} g_semlock;

PyMethodDef* method_def(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* descr = _PyType_Lookup(type, name);
    if (!descr || Py_TYPE(descr) != &PyMethodDescr_Type) return nullptr;
    return ((PyMethodDescrObject*)descr)->d_method;
}

void learn_semlock(PyObject* method) noexcept {
    if (g_semlock.acquire || Py_TYPE(method) != &PyCFunction_Type) return;
    PyObject* owner = PyCFunction_GET_SELF(method);
    if (!owner || strcmp(Py_TYPE(owner)->tp_name, "_multiprocessing.SemLock") != 0) return;
    PyMethodDef* acquire = method_def(Py_TYPE(owner), names().acquire);
    PyMethodDef* release = method_def(Py_TYPE(owner), names().release);
    if (!acquire || !release || (release->ml_flags & ~METH_COEXIST) != METH_NOARGS) return;
    int convention = acquire->ml_flags & ~METH_COEXIST;
    if (convention != (METH_VARARGS | METH_KEYWORDS) &&
        convention != (METH_FASTCALL | METH_KEYWORDS))
        return;
    g_semlock.no_block = PyTuple_Pack(1, Py_False);  // kept for the life of the process
    if (!g_semlock.no_block) {
        PyErr_Clear();
        return;
    }
    g_semlock.fastcall = convention & METH_FASTCALL;
    g_semlock.acquire = acquire;
    g_semlock.release = release;
}

bool is_bound(PyObject* method, PyMethodDef* def) noexcept {
    return def && Py_TYPE(method) == &PyCFunction_Type && ((PyCFunctionObject*)method)->m_ml == def;
}

// The object a method found by is_bound is bound to (neither method is static).
PyObject* bound_self(PyObject* method) noexcept { return ((PyCFunctionObject*)method)->m_self; }

template <typename Function>
Function c_function(PyMethodDef* def) noexcept {
    return (Function)(void (*)(void))def->ml_meth;
}

// semaphore.acquire(False) and semaphore.release() through the learned C functions, which
// are handed the semaphore borrowed from the caller's reference.
PyObject* semaphore_try_acquire(PyObject* semaphore) noexcept {
    if (g_semlock.fastcall) {
        PyObject* no_block = Py_False;
        auto acquire_fast = c_function<_PyCFunctionFastWithKeywords>(g_semlock.acquire);
        return acquire_fast(semaphore, &no_block, 1, nullptr);
    }
    auto acquire_tuple = c_function<PyCFunctionWithKeywords>(g_semlock.acquire);
    return acquire_tuple(semaphore, g_semlock.no_block, nullptr);
}

PyObject* semaphore_release(PyObject* semaphore) noexcept {
    return c_function<PyCFunction>(g_semlock.release)(semaphore, nullptr);
}

// What acquire(block=False) answered, given its new reference: 1 taken, 0 held elsewhere,
// -1 error.
int taken(PyObject* got) noexcept {
    if (!got) return -1;
    int answer = got == Py_True ? 1 : got == Py_False ? 0 : PyObject_IsTrue(got);
    Py_DECREF(got);
    return answer;
}

// The same on a semaphore found borrowed in the caches: held for the call, whose signal
// check can run a handler that drops the lock.
inline int semaphore_taken(PyObject* semaphore) noexcept {
    Py_INCREF(semaphore);
    int answer = taken(semaphore_try_acquire(semaphore));
    Py_DECREF(semaphore);
    return answer;
}

inline bool semaphore_released(PyObject* semaphore) noexcept {
    Py_INCREF(semaphore);
    PyObject* done = semaphore_release(semaphore);
    Py_DECREF(semaphore);
    Py_XDECREF(done);
    return done != nullptr;
}

// lock.acquire(block=False)
Ref try_acquire(PyObject* lock, const Names& n) noexcept {
    bool plain;
    Ref acquire = g_acquire_slots.read(lock, n.acquire, &plain);
    PyObject* no_block = Py_False;
    if (!plain) return call_method(lock, n.acquire, &no_block, 0, n.kw_block);
    if (!acquire) return fail();
    if (!is_bound(acquire.get(), g_semlock.acquire)) {
        learn_semlock(acquire.get());
        if (!is_bound(acquire.get(), g_semlock.acquire))
            return call_vector(acquire.get(), &no_block, 0, n.kw_block);
    }
    return Ref::steal(semaphore_try_acquire(bound_self(acquire.get())));
}

// lock.release()
Ref call_release(PyObject* lock, const Names& n) noexcept {
    bool plain;
    Ref release = g_release_slots.read(lock, n.release, &plain);
    if (!plain) return call_method0(lock, n.release);
    if (!release) return fail();
    if (!is_bound(release.get(), g_semlock.release)) return call0(release.get());
    return Ref::steal(semaphore_release(bound_self(release.get())));
}

// The semaphore behind self's lock when the caches give it without running code: a lock
// whose `method` is the SemLock's own (learned by try_acquire). Borrowed, valid until code
// runs; the caller holds it for the call (which can run signal handlers). Else null.
inline __attribute__((always_inline)) PyObject* cached_semaphore(PyObject* self,
                                                                 SlotCache& method_slots,
                                                                 PyMethodDef* def) noexcept {
    PyObject* lock = g_lock_slots.peek(self);
    PyObject* method = lock ? method_slots.peek(lock) : nullptr;
    return method && is_bound(method, def) ? bound_self(method) : nullptr;
}

// Concurrent first calls must all store one and the same lock: creating the RLock runs
// Python code, so several threads can find none and each create one. The first lock made
// for an object is parked under its id until its maker has stored it; a latecomer stores
// the parked lock instead of its own, and one that comes after the store sees it on the
// second look. No mutex is involved, so neither a re-entrant first call (from __setattr__,
// say) nor a fork in the middle can deadlock, and the store stays a plain setattr.
// When the presence test finds the lock and a second read could not differ from it (the
// read ran no code: see SlotCache), `found` keeps it for the first acquire.
int ensure_lock(FunctionObject* f, PyObject* self, Ref& found) noexcept {
    bool plain;
    Ref present = read_lock(self, &plain);
    if (present) {
        if (plain) found = std::move(present);
        return 0;
    }
    PyErr_Clear();
    Ref context = lookup_global(f, names().multiprocessing);
    if (!context) return -1;
    Ref lock = call_method0(context.get(), names().RLock);
    if (!lock) return -1;
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key) return -1;
    Ref parked = Ref::borrow(PyDict_SetDefault(state().pending_locks, key.get(), lock.get()));
    if (!parked) return -1;
    int rc = 0;
    present = Ref::steal(PyObject_GetAttr(self, names().__lock__));
    if (!present) {
        PyErr_Clear();
        rc = PyObject_SetAttr(self, names().__lock__, parked.get());
    }
    if (parked.get() == lock.get()) {
        PendingError store_error;
        PyDict_DelItem(state().pending_locks, key.get());
    }
    return rc;
}

// The lock is held elsewhere: say so, then wait for it.
__attribute__((noinline, cold)) int wait_for_lock(FunctionObject* f, PyObject* self) noexcept {
    Ref logger = lookup_global(f, names().logger);
    if (!logger) return -1;
    Ref warning = Ref::steal(PyObject_GetAttr(logger.get(), names().warning));
    if (!warning) return -1;
    Ref text = Ref::steal(PyObject_Str(self));
    if (!text) return -1;
    Ref message = Ref::steal(PyUnicode_Format(state().wait_format, text.get()));
    if (!message) return -1;
    if (!frames::log_from(f, warning.get(), message.get())) return -1;
    Ref lock = Ref::steal(PyObject_GetAttr(self, names().__lock__));
    if (!lock) return -1;
    return call_method0(lock.get(), names().acquire) ? 0 : -1;
}

int acquire_lock(FunctionObject* f, PyObject* self, const Names& n, Ref lock) noexcept {
    if (!lock) lock = g_lock_slots.get(self, n.__lock__);
    if (!lock) return -1;
    int acquired = taken(try_acquire(lock.get(), n).release());
    if (acquired < 0) return -1;
    return acquired ? 0 : wait_for_lock(f, self);
}

inline bool release_lock_generic(PyObject* self) noexcept {
    const Names& n = names();
    Ref lock = g_lock_slots.get(self, n.__lock__);
    return lock && call_release(lock.get(), n);
}

inline bool release_lock(PyObject* self) noexcept {
    if (PyObject* semaphore = cached_semaphore(self, g_release_slots, g_semlock.release))
        return semaphore_released(semaphore);
    return release_lock_generic(self);
}

// The rest of acquiring when the cached semaphore was held elsewhere (then wait) or was
// not found (then the whole generic way, creating the lock first if asked).
template <bool kCreate>
int wait_or_acquire(FunctionObject* f, PyObject* self, const Names& n,
                    bool held_elsewhere) noexcept {
    if (held_elsewhere) return wait_for_lock(f, self);
    Ref found;
    if (kCreate && ensure_lock(f, self, found) < 0) return -1;
    return acquire_lock(f, self, n, std::move(found));
}

// As in a finally clause: the method's exception is the one being handled while the lock
// is released, so an exception of release() gets it as __context__. Returns null.
__attribute__((noinline, cold)) PyObject* release_after_error(PyObject* self) noexcept {
    HandledException raised;
    if (release_lock(self)) raised.reraise();
    return nullptr;
}

// Calls the method with the lock taken and releases the lock whatever the method did.
// args[0] is self; args and kwnames go to the method as they came. New reference.
inline PyObject* call_then_release(FunctionObject* f, PyObject* self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* method = f->closure;  // held: the collector may clear the wrapper meanwhile
    Py_INCREF(method);
    Ref result = Ref::steal(call_function(method, args, (size_t)nargs, kwnames));
    Py_DECREF(method);
    if (result) return release_lock(self) ? result.release() : nullptr;
    return release_after_error(self);
}

// Makes sure of the lock (module-level decorator only), acquires it, calls the method and
// releases the lock.
template <bool kCreate>
Ref locked_call(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    PyObject* self = args[0];
    // The lock present and its semaphore known: neither presence test nor reads run code.
    PyObject* semaphore = cached_semaphore(self, g_acquire_slots, g_semlock.acquire);
    int acquired = semaphore ? semaphore_taken(semaphore) : 0;
    if (acquired < 0 ||
        (!acquired && wait_or_acquire<kCreate>(f, self, names(), semaphore != nullptr) < 0))
        return fail();
    return Ref::steal(call_then_release(f, self, args, nargs, kwnames));
}

// `self` came as a keyword: move it to the front, the other keywords after it.
template <bool kCreate>
Ref call_with_keyword_self(FunctionObject* f, PyObject* const* args, Py_ssize_t at,
                           PyObject* kwnames) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject** stack = PyMem_New(PyObject*, (size_t)nkw);
    if (!stack) {
        PyErr_NoMemory();
        return fail();
    }
    Ref rest;
    if (nkw > 1) rest = Ref::steal(PyTuple_New(nkw - 1));
    Ref result;
    if (nkw == 1 || rest) {
        stack[0] = args[at];
        for (Py_ssize_t i = 0, j = 0; i < nkw; ++i) {
            if (i == at) continue;
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            Py_INCREF(key);
            PyTuple_SET_ITEM(rest.get(), j, key);
            stack[1 + j++] = args[i];
        }
        result = locked_call<kCreate>(f, stack, 1, rest.get());
    }
    PyMem_Free(stack);
    return result;
}

// _wrapped(self, *args, **kwargs), taking the call as made so a locked call copies nothing.
template <bool kCreate>
Ref wrapped_raw(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    if (!f->closure) {  // cleared by the collector, as a cell of a Python closure can be
        PyErr_SetString(PyExc_NameError,
                        "free variable 'method' referenced before assignment in enclosing scope");
        return fail();
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        Py_ssize_t at =
            find_name(&PyTuple_GET_ITEM(kwnames, 0), PyTuple_GET_SIZE(kwnames), names().self);
        if (at == -2) return fail();
        if (at >= 0) {
            if (nargs == 0) return call_with_keyword_self<kCreate>(f, args, at, kwnames);
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument 'self'", f->name);
            return fail();
        }
    }
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                     f->name);
        return fail();
    }
    return locked_call<kCreate>(f, args, nargs, kwnames);
}

// Each decorator keeps the prototype of its wrappers in a capsule: cloning spares every
// class built by the metaclass a stub compilation per method. The prototype wraps nothing,
// so Python code must never reach it: the capsule hides it from gc.get_referents() and it
// is left untracked, out of gc.get_objects().
const char kPrototypeCapsule[] = "orvex.async_.synchronize.wrapper_prototype";

void release_prototype(PyObject* capsule) noexcept {
    Py_XDECREF((PyObject*)PyCapsule_GetPointer(capsule, kPrototypeCapsule));
}

Ref hide_prototype(Ref proto) noexcept {
    PyObject_GC_UnTrack(proto.get());
    Ref capsule = Ref::steal(PyCapsule_New(proto.get(), kPrototypeCapsule, release_prototype));
    if (capsule) proto.release();
    return capsule;
}

// locked(method)
enum DecorateParam { kMethod };

Ref decorate_impl(FunctionObject* f, PyObject* const* p) {
    PyObject* method = p[kMethod];
    Ref capsule = Ref::borrow(f->closure);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), kPrototypeCapsule)) {
        PyErr_SetString(PyExc_SystemError, "locked: the decorator was cleared");
        return fail();
    }
    Ref functools = lookup_global(f, names().functools);
    if (!functools) return fail();
    Ref wraps = call_method1(functools.get(), names().wraps, method);
    if (!wraps) return fail();
    auto* proto = (FunctionObject*)PyCapsule_GetPointer(capsule.get(), kPrototypeCapsule);
    Ref wrapper = clone_function(proto, method, (PyObject*)f);
    if (!wrapper) return fail();
    return call1(wraps.get(), wrapper.get());
}

const FunctionDef kWrapper = {
    "_wrapped", "locked.<locals>._wrapped", "self, *args, **kwargs", nullptr,
    nullptr,    wrapped_raw<true>};
const FunctionDef kLockableWrapper = {"_wrapped",
                                      "Lockable.locked.<locals>._wrapped",
                                      "self, *args, **kwargs",
                                      nullptr,
                                      nullptr,
                                      wrapped_raw<false>};
const FunctionDef kLocked = {"locked", "locked", "method", kLockedDoc, decorate_impl, nullptr};
const FunctionDef kLockableLocked = {"locked",           "Lockable.locked", "method",
                                     kLockableLockedDoc, decorate_impl,     nullptr};

#if ORVEX_HAS_VECTORCALL
// The wrappers' own entry. The common call, self by position, no keywords, nothing watching,
// and the lock's semaphore known to the caches, runs here in one piece; any other goes the
// generic way (function_vectorcall, then wrapped_raw), which takes the same steps.
template <bool kCreate>
PyObject* locked_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
    auto* f = (FunctionObject*)callable;
    Py_ssize_t nargs = vector_nargs(nargsf);
    PyObject* semaphore = nullptr;
    if (nargs > 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && f->closure &&
        !frames::observed())
        semaphore = cached_semaphore(args[0], g_acquire_slots, g_semlock.acquire);
    if (!semaphore) return function_vectorcall(callable, args, nargsf, kwnames);
    // A Python method guards its own entry against running off the C stack; anything else
    // (another wrapper, say) is guarded here, as the generic way does.
    bool guarded = !is_python_function(f->closure);
    if (guarded && Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* self = args[0];
    int acquired = semaphore_taken(semaphore);
    PyObject* result = nullptr;
    if (acquired > 0 || (acquired == 0 && wait_for_lock(f, self) == 0))
        result = call_then_release(f, self, args, nargs, kwnames);
    if (!result) frames::add_traceback_entry(f, args, nargs, kwnames);
    if (guarded) Py_LeaveRecursiveCall();
    return result;
}
#endif

Ref make_decorator(const FunctionDef& fdef, const FunctionDef& wrapper, PyObject* globals,
                   bool creates_lock) {
    Ref proto = make_function(wrapper, globals);
    if (!proto) return fail();
#if ORVEX_HAS_VECTORCALL
    // Where the caches cannot read inline values (up to 3.10), the semaphore is never known
    // beforehand, and the entry would only add its tests to the generic way.
    if (kTypeVersionCaches && kInlineValues) {
        ((FunctionObject*)proto.get())->vectorcall =
            creates_lock ? locked_vectorcall<true> : locked_vectorcall<false>;
    }
#endif
    (void)creates_lock;
    Ref capsule = hide_prototype(std::move(proto));
    if (!capsule) return fail();
    return make_function(fdef, globals, nullptr, nullptr, capsule.get());
}

}  // namespace

int add_lockable_locked(PyObject* ns, PyObject* globals) noexcept {
    Ref decorator = make_decorator(kLockableLocked, kLockableWrapper, globals, false);
    if (!decorator) return -1;
    Ref method = call1((PyObject*)&PyStaticMethod_Type, decorator.get());
    if (!method) return -1;
    return PyDict_SetItemString(ns, "locked", method.get());
}

int add_locked(PyObject* module) noexcept {
    return bind(module, "locked",
                make_decorator(kLocked, kWrapper, PyModule_GetDict(module), true));
}

}  // namespace orvex::synchronize
