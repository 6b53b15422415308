// Calls into the native function type: binding a call to the code object's parameters as
// the interpreter binds a Python function's, and the entries that lead there.
#include "common/function.hpp"

#include <cassert>

#include "common/frames.hpp"

namespace orvex {
namespace {

// Keeps the binder off the heap for every signature in this package.
constexpr Py_ssize_t kStackParams = 16;

// ---- argument binding ----

Ref raise_positional_count(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t num_min = f->argcount - ndefaults;
    Py_ssize_t num_max = f->argcount;
    bool exact = ndefaults == 0 && !f->has_varargs;
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < num_min) {
        expected = num_min;
        more_or_less = "at least";
    } else {
        expected = num_max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return fail();
}

// Index of a keyword among the named parameters, -1 when none, -2 with an error set.
Py_ssize_t find_keyword(FunctionObject* f, PyObject* key) {
    Py_ssize_t named = f->argcount + f->kwonlyargcount;
    return find_name(&PyTuple_GET_ITEM(f->varnames, 0), named, key);
}

// Binds a call to the code object's parameters, as the interpreter binds a Python function,
// and hands them to use(params), which returns what the binding gives.
template <typename Use>
Ref bind_then(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              Use use) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* stack[kStackParams];
    PyObject** params = stack;
    if (f->nparams > kStackParams) {
        params = PyMem_New(PyObject*, (size_t)f->nparams);
        if (!params) {
            PyErr_NoMemory();
            return fail();
        }
    }
    for (Py_ssize_t i = 0; i < f->nparams; ++i) params[i] = nullptr;
    Ref varargs, varkw;
    Ref result;
    Py_ssize_t named = f->argcount + f->kwonlyargcount;
    Py_ssize_t npos = nargs < f->argcount ? nargs : f->argcount;

    // Each named parameter owns its reference from the moment it is bound: looking up a
    // keyword-only default may run a key's __eq__, which may replace the defaults.
    for (Py_ssize_t i = 0; i < npos; ++i) params[i] = new_ref(args[i]);
    if (nargs > f->argcount && !f->has_varargs) {
        raise_positional_count(f, nargs);
        goto done;
    }
    if (f->has_varargs) {
        Py_ssize_t extra = nargs - npos;
        varargs = Ref::steal(PyTuple_New(extra));
        if (!varargs) goto done;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            Py_INCREF(args[npos + i]);
            PyTuple_SET_ITEM(varargs.get(), i, args[npos + i]);
        }
        params[named] = varargs.get();
    }
    if (f->has_varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) goto done;
        params[named + (f->has_varargs ? 1 : 0)] = varkw.get();
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[nargs + j];
        Py_ssize_t at = find_keyword(f, key);
        if (at == -2) goto done;
        if (at < 0) {
            if (!varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->name, key);
                goto done;
            }
            if (PyDict_SetItem(varkw.get(), key, value) < 0) goto done;
            continue;
        }
        if (params[at]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->name,
                         key);
            goto done;
        }
        params[at] = new_ref(value);
    }
    if (npos < f->argcount) {
        Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = f->argcount - ndefaults;
        for (Py_ssize_t i = npos; i < f->argcount; ++i) {
            if (params[i]) continue;
            if (i < first_default) {
                raise_positional_count(f, nargs);
                goto done;
            }
            params[i] = new_ref(PyTuple_GET_ITEM(f->defaults, i - first_default));
        }
    }
    for (Py_ssize_t i = f->argcount; i < named; ++i) {
        if (params[i]) continue;
        PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
        PyObject* value = nullptr;
        if (f->kwdefaults) {
            Ref kwdefaults = Ref::borrow(f->kwdefaults);
            value = PyDict_GetItemWithError(kwdefaults.get(), name);
            if (!value && PyErr_Occurred()) goto done;
            Py_XINCREF(value);
        }
        if (!value) {
            PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'",
                         f->name, name);
            goto done;
        }
        params[i] = value;
    }
    result = use(params);
done:
    for (Py_ssize_t i = 0; i < named; ++i) Py_XDECREF(params[i]);
    if (params != stack) PyMem_Free(params);
    return result;
}

Ref bind_and_call(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) != 0;
    if (!keywords && nargs == f->argcount && f->nparams == f->argcount) return f->impl(f, args);
    return bind_then(f, args, nargs, kwnames,
                     [f](PyObject* const* params) { return f->impl(f, params); });
}

#if ORVEX_HAS_VECTORCALL && ORVEX_CALLEE_CHECKS_KEYWORD_NAMES
// Python functions refuse keyword names that are not strings before binding anything.
bool keyword_names_are_strings(FunctionObject* f, PyObject* kwnames) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->name);
            return false;
        }
    }
    return true;
}
#endif

inline Ref run_body(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return f->raw ? f->raw(f, args, nargs, kwnames) : bind_and_call(f, args, nargs, kwnames);
}

PyObject* function_dispatch(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    assert(!PyErr_Occurred());
    assert(nargs >= 0 && (args || nargs == 0));
    // Forwarding calls are guarded too: a chain of wrappers ends in RecursionError, as a
    // chain of Python decorators does, instead of running off the C stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* r;
    if (frames::observed()) {
        r = frames::call_in_frame(f, args, nargs, kwnames);
    } else {
        r = run_body(f, args, nargs, kwnames).release();
        if (!r) frames::add_traceback_entry(f, args, nargs, kwnames);
    }
    Py_LeaveRecursiveCall();
    assert((r != nullptr) != (PyErr_Occurred() != nullptr));
    return r;
}

}  // namespace

#if ORVEX_HAS_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
#if ORVEX_CALLEE_CHECKS_KEYWORD_NAMES  // the tuple-and-dict road checks in function_call
    if (kwnames && !keyword_names_are_strings((FunctionObject*)self, kwnames)) return nullptr;
#endif
    return function_dispatch((FunctionObject*)self, args, vector_nargs(nargsf), kwnames);
}
#endif

PyObject* call_body(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return run_body(f, args, nargs, kwnames).release();
}

PyObject* call_with_tuple(FunctionObject* f, PyObject* args, PyObject* kwargs,
                          VectorEntry enter) noexcept {
    assert(PyTuple_Check(args) && (!kwargs || PyDict_Check(kwargs)));
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return enter(f, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    PyObject** stack = PyMem_New(PyObject*, (size_t)(nargs + nkw));
    if (!stack) return PyErr_NoMemory();
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    PyObject* result = nullptr;
    // A finalizer run by the allocation above may have resized the caller's dict.
    if (kwnames && PyDict_GET_SIZE(kwargs) != nkw) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        kwnames = fail();
    }
    if (kwnames) {
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, j = 0;
        PyObject *key, *value;
        while (j < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            // Reached through type(f).__call__, no interpreter checks the names first.
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->name);
                break;
            }
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), j, key);
            stack[nargs + j] = value;
            ++j;
        }
        if (j == nkw) {
            // The dict is the caller's; its values must outlive a callee that mutates it.
            for (Py_ssize_t i = 0; i < nkw; ++i) Py_INCREF(stack[nargs + i]);
            result = enter(f, stack, nargs, kwnames.get());
            for (Py_ssize_t i = 0; i < nkw; ++i) Py_DECREF(stack[nargs + i]);
        }
    }
    PyMem_Free(stack);
    return result;
}

// The tuple-and-dict protocol: all calls on 3.7, and callers that hold a tuple and a dict.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return call_with_tuple((FunctionObject*)self, args, kwargs, function_dispatch);
}

Ref bound_locals(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return bind_then(f, args, nargs, kwnames, [f](PyObject* const* params) {
        Ref locals = Ref::steal(PyDict_New());
        for (Py_ssize_t i = 0; locals && i < f->nparams; ++i) {
            if (PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(f->varnames, i), params[i]) < 0)
                return fail();
        }
        return locals;
    });
}

Py_ssize_t find_name(PyObject* const* names, Py_ssize_t count, PyObject* name) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i)
        if (names[i] == name) return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int cmp = PyUnicode_Compare(names[i], name);
        if (cmp == 0) return i;
        if (cmp == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

}  // namespace orvex
