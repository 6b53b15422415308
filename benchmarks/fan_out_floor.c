/* The least a fan-out can cost: the argument sets of benchmarks/pcall.py's instance built
 * by the same CPython calls the native fan-out ends in (tuple fill, dict copy, dict
 * insertions), with the same collector deferral, and nothing else: no attribute reads, no
 * type tests, no snapshot, no fallback. Inputs come already unpacked and are trusted.
 * Built and timed by benchmarks/fan_out_floor.py; not part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* fill_args(PyObject* cargs, PyObject* own) {
    Py_ssize_t nc = PyTuple_GET_SIZE(cargs), no = PyTuple_GET_SIZE(own);
    PyObject* args = PyTuple_New(nc + no);
    if (!args) return NULL;
    for (Py_ssize_t k = 0; k < nc; k++) {
        PyObject* v = PyTuple_GET_ITEM(cargs, k);
        Py_INCREF(v);
        PyTuple_SET_ITEM(args, k, v);
    }
    for (Py_ssize_t k = 0; k < no; k++) {
        PyObject* v = PyTuple_GET_ITEM(own, k);
        Py_INCREF(v);
        PyTuple_SET_ITEM(args, nc + k, v);
    }
    return args;
}

static PyObject* fill_kwargs(PyObject* ckwargs, PyObject* own, PyObject* varkwargs,
                             Py_ssize_t i) {
    PyObject* kwargs = PyDict_Copy(ckwargs);
    if (!kwargs) return NULL;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(own, &pos, &key, &value))
        if (PyDict_SetItem(kwargs, key, value) < 0) goto error;
    pos = 0;
    while (PyDict_Next(varkwargs, &pos, &key, &value))
        if (PyDict_SetItem(kwargs, key, PyList_GET_ITEM(value, i)) < 0) goto error;
    return kwargs;
error:
    Py_DECREF(kwargs);
    return NULL;
}

static PyObject *target_key, *args_key, *kwargs_key;

/* build(targets, cargs, iargs, ckwargs, ikwargs, varkwargs, shape) -> list of sets;
 * shape is {"target": None, "args": None, "kwargs": None}. */
static PyObject* build(PyObject* module, PyObject* const* argv, Py_ssize_t argc) {
    (void)module;
    if (argc != 7) {
        PyErr_SetString(PyExc_TypeError, "build() takes 7 arguments");
        return NULL;
    }
    PyObject *targets = argv[0], *cargs = argv[1], *iargs = argv[2], *ckwargs = argv[3];
    PyObject *ikwargs = argv[4], *varkwargs = argv[5], *shape = argv[6];
    Py_ssize_t n = PyList_GET_SIZE(iargs);
    PyObject* sets = PyList_New(n);
    PyObject** deferred = PyMem_New(PyObject*, n);
    if (!sets || !deferred) {
        Py_XDECREF(sets);
        PyMem_Free(deferred);
        return PyErr_NoMemory();
    }
    PyObject_GC_UnTrack(sets);
    Py_ssize_t built = 0;
    for (; built < n; built++) {
        PyObject* args = fill_args(cargs, PyList_GET_ITEM(iargs, built));
        PyObject* kwargs = args ? fill_kwargs(ckwargs, PyList_GET_ITEM(ikwargs, built),
                                              varkwargs, built)
                                : NULL;
        PyObject* one = kwargs ? PyDict_Copy(shape) : NULL;
        int failed = !one ||
                     PyDict_SetItem(one, target_key, PyList_GET_ITEM(targets, built)) < 0 ||
                     PyDict_SetItem(one, args_key, args) < 0 ||
                     PyDict_SetItem(one, kwargs_key, kwargs) < 0;
        Py_XDECREF(args);
        Py_XDECREF(kwargs);
        if (failed) {
            Py_XDECREF(one);
            break;
        }
        PyObject_GC_UnTrack(args);  /* atomic items: the collector would untrack it too */
        PyObject_GC_UnTrack(one);
        deferred[built] = one;
        PyList_SET_ITEM(sets, built, one);
    }
    for (Py_ssize_t k = 0; k < built; k++) PyObject_GC_Track(deferred[k]);
    PyMem_Free(deferred);
    if (built < n) {
        for (Py_ssize_t k = built; k < n; k++) {
            Py_INCREF(Py_None);
            PyList_SET_ITEM(sets, k, Py_None);
        }
        PyObject_GC_Track(sets);
        Py_DECREF(sets);
        return NULL;
    }
    PyObject_GC_Track(sets);
    return sets;
}

static PyMethodDef methods[] = {
    {"build", (PyCFunction)(void (*)(void))build, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "fan_out_floor", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_fan_out_floor(void) {
    target_key = PyUnicode_InternFromString("target");
    args_key = PyUnicode_InternFromString("args");
    kwargs_key = PyUnicode_InternFromString("kwargs");
    if (!target_key || !args_key || !kwargs_key) return NULL;
    return PyModule_Create(&floor_module);
}
