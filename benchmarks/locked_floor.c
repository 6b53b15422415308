/* The least a locked call can cost: a method wrapper that takes the semaphore of a
 * fork-context RLock through the C functions of _multiprocessing.SemLock's own acquire and
 * release, the same ones the native wrappers end in, calls the method in between, and does
 * nothing else: no read of __lock__, no caches, no argument checks, no frames for
 * profilers, no waiting. The semaphore is handed over once and trusted.
 * Built and timed by benchmarks/locked_floor.py; not part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

#if PY_VERSION_HEX >= 0x03080000
#define FLOOR_VECTORCALL 1
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#endif

typedef PyObject* (*FastKeywords)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

static PyMethodDef *acquire_def, *release_def;
static PyObject* no_block; /* (False,), for an acquire that takes a tuple */

typedef struct {
    PyObject_HEAD
    PyObject* method;
    PyObject* semaphore;
#ifdef FLOOR_VECTORCALL
    vectorcallfunc vectorcall;
#endif
} Wrapper;

/* semaphore.acquire(False), answered without waiting: 0 taken, -1 otherwise. */
static int take(PyObject* semaphore) {
    PyObject* taken;
    if (acquire_def->ml_flags & METH_FASTCALL) {
        PyObject* arg = Py_False;
        taken = ((FastKeywords)(void (*)(void))acquire_def->ml_meth)(semaphore, &arg, 1, NULL);
    } else {
        taken = ((PyCFunctionWithKeywords)(void (*)(void))acquire_def->ml_meth)(semaphore,
                                                                             no_block, NULL);
    }
    if (!taken) return -1;
    Py_DECREF(taken);
    if (taken == Py_True) return 0;
    PyErr_SetString(PyExc_RuntimeError, "the floor never waits for its lock");
    return -1;
}

/* Releases the semaphore after the method gave result (null: it raised). */
static PyObject* give_back(PyObject* semaphore, PyObject* result) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = result ? NULL : PyErr_GetRaisedException();
    PyObject* released = release_def->ml_meth(semaphore, NULL);
    if (raised) PyErr_SetRaisedException(raised);
#else
    PyObject *type = NULL, *value = NULL, *tb = NULL;
    if (!result) PyErr_Fetch(&type, &value, &tb);
    PyObject* released = release_def->ml_meth(semaphore, NULL);
    if (!result) PyErr_Restore(type, value, tb);
#endif
    if (!released) {
        Py_XDECREF(result);
        return NULL;
    }
    Py_DECREF(released);
    return result;
}

#ifdef FLOOR_VECTORCALL
static PyObject* wrapper_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    Wrapper* w = (Wrapper*)callable;
    if (take(w->semaphore) < 0) return NULL;
    return give_back(w->semaphore, PyObject_Vectorcall(w->method, args, nargsf, kwnames));
}
#endif

static PyObject* wrapper_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    Wrapper* w = (Wrapper*)callable;
    if (take(w->semaphore) < 0) return NULL;
    return give_back(w->semaphore, PyObject_Call(w->method, args, kwargs));
}

static PyObject* wrapper_get(PyObject* self, PyObject* obj, PyObject* type) {
    (void)type;
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

static void wrapper_dealloc(PyObject* self) {
    Wrapper* w = (Wrapper*)self;
    Py_XDECREF(w->method);
    Py_XDECREF(w->semaphore);
    PyObject_Free(self);
}

static PyTypeObject WrapperType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "locked_floor.Wrapper",
    .tp_basicsize = sizeof(Wrapper),
};

static PyMethodDef* method_def(PyObject* semaphore, const char* name) {
    PyObject* descr = PyObject_GetAttrString((PyObject*)Py_TYPE(semaphore), name);
    PyMethodDef* def = NULL;
    if (descr && Py_TYPE(descr) == &PyMethodDescr_Type) def = ((PyMethodDescrObject*)descr)->d_method;
    Py_XDECREF(descr);
    if (!def && !PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%s of %s is not a built-in method", name,
                     Py_TYPE(semaphore)->tp_name);
    return def;
}

/* wrap(method, semaphore): the method under the floor's lock, for a class body;
 * semaphore is an RLock's _semlock. */
static PyObject* wrap(PyObject* module, PyObject* const* argv, Py_ssize_t argc) {
    (void)module;
    if (argc != 2) {
        PyErr_SetString(PyExc_TypeError, "wrap() takes 2 arguments");
        return NULL;
    }
    if (!acquire_def) {
        PyMethodDef* acquire = method_def(argv[1], "acquire");
        PyMethodDef* release = acquire ? method_def(argv[1], "release") : NULL;
        if (!release) return NULL;
        acquire_def = acquire;
        release_def = release;
    }
    Wrapper* w = PyObject_New(Wrapper, &WrapperType);
    if (!w) return NULL;
    Py_INCREF(argv[0]);
    w->method = argv[0];
    Py_INCREF(argv[1]);
    w->semaphore = argv[1];
#ifdef FLOOR_VECTORCALL
    w->vectorcall = wrapper_vectorcall;
#endif
    return (PyObject*)w;
}

static PyMethodDef methods[] = {
    {"wrap", (PyCFunction)(void (*)(void))wrap, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "locked_floor", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_locked_floor(void) {
    WrapperType.tp_dealloc = wrapper_dealloc;
    WrapperType.tp_call = wrapper_call;
    WrapperType.tp_descr_get = wrapper_get;
    WrapperType.tp_flags = Py_TPFLAGS_DEFAULT;
#ifdef FLOOR_VECTORCALL
    /* Like a function: the interpreter calls it with self in front, making no bound method. */
    WrapperType.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    WrapperType.tp_vectorcall_offset = offsetof(Wrapper, vectorcall);
#endif
    no_block = PyTuple_Pack(1, Py_False);
    if (!no_block || PyType_Ready(&WrapperType) < 0) return NULL;
    return PyModule_Create(&floor_module);
}
