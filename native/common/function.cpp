// The native function type, modelled on funcobject.c: same attributes, same binding,
// same setter errors, with a C++ body behind the code object's signature.
#include "common/function.hpp"

#include <structmember.h>

#include <cassert>

#include "common/frames.hpp"
#include "common/function_code.hpp"
#include "common/names.hpp"

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

// Binds a call to the code object's parameters, as the interpreter binds a Python function.
Ref bind_and_call(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 && nargs == f->argcount && f->nparams == f->argcount) return f->impl(f, args);

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
    result = f->impl(f, params);
done:
    for (Py_ssize_t i = 0; i < named; ++i) Py_XDECREF(params[i]);
    if (params != stack) PyMem_Free(params);
    return result;
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
        if (!r) frames::add_traceback_entry(f);
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

namespace {

// The tuple-and-dict protocol: all calls on 3.7, and callers that hold a tuple and a dict.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return call_with_tuple((FunctionObject*)self, args, kwargs, function_dispatch);
}

// ---- the type's slots ----

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    assert(!PyErr_Occurred());
    // Any non-None obj binds: classmethod hands us (type, type) on 3.10-3.12, (type, NULL) on 3.9.
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", ((FunctionObject*)self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->klass);
    Py_VISIT(f->closure);
    Py_VISIT(f->type_params);
    Py_VISIT(f->maker);
    Py_VISIT(f->varnames);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    // code and name stay: the binder and repr read them until dealloc.
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->maker);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    PyObject_GC_UnTrack(self);
    // A wrapper of a wrapper of ... frees its whole chain from here.
    ORVEX_TRASHCAN_BEGIN(self, function_dealloc)
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->code);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->varnames);
    PyObject_GC_Del(self);
    ORVEX_TRASHCAN_END(self)
}

// ---- attributes ----

PyObject* get_code(PyObject* self, void*) noexcept {
    PyObject* code = ((FunctionObject*)self)->code;
    Py_INCREF(code);
    return code;
}

int set_readonly_code(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError, "__code__ of a native function cannot be replaced");
    return -1;
}

PyObject* get_or_none(PyObject* value) noexcept {
    PyObject* result = value ? value : Py_None;
    Py_INCREF(result);
    return result;
}

int set_slot(PyObject** slot, PyObject* value) noexcept {
    Py_XINCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->name);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    return set_slot(&((FunctionObject*)self)->name, value);
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    return set_slot(&((FunctionObject*)self)->qualname, value);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return set_slot(&((FunctionObject*)self)->defaults, value);
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return set_slot(&((FunctionObject*)self)->kwdefaults, value);
}

PyObject* get_globals(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->globals);
}

PyObject* get_builtins(PyObject* self, void*) noexcept {
    return get_or_none(((FunctionObject*)self)->builtins);
}

// What isinstance() and inspect ask: the package's own functions answer Python's function
// type, as mock's specs do, while type() stays this one, so pickle, copy and the C API
// still treat them as what they are.
PyObject* get_class(PyObject* self, void*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    PyObject* cls = f->as_python_function ? (PyObject*)&PyFunction_Type : (PyObject*)Py_TYPE(self);
    Py_INCREF(cls);
    return cls;
}

// Refused as object.__class__ refuses it for a Python function, message and all.
int set_class(PyObject* self, PyObject* value, void*) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString("__class__"));
    if (!name) return -1;
    PyObject* descr = _PyType_Lookup(&PyBaseObject_Type, name.get());  // object's is immutable
    if (!descr || !Py_TYPE(descr)->tp_descr_set) {
        PyErr_SetString(PyExc_TypeError, "__class__ assignment is not supported");
        return -1;
    }
    return Py_TYPE(descr)->tp_descr_set(descr, self, value);
}

// Nothing is held in cells: the C++ body reaches what it uses directly.
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

int set_readonly(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

#if ORVEX_FUNCTIONS_HAVE_TYPE_PARAMS
PyObject* get_type_params(PyObject* self, void*) noexcept {
    PyObject* params = ((FunctionObject*)self)->type_params;
    if (!params) return PyTuple_New(0);
    Py_INCREF(params);
    return params;
}

int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    return set_slot(&((FunctionObject*)self)->type_params, value);
}
#endif

PyGetSetDef function_getset[] = {
    {"__code__", get_code, set_readonly_code, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, set_readonly, nullptr, nullptr},
#if ORVEX_FUNCTIONS_HAVE_TYPE_PARAMS
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
    {"__class__", get_class, set_class, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {(char*)"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {(char*)"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Whether a load by reference, importing __module__ and following __qualname__ as pickle
// does, gives back this very object; never in __main__, which another process lacks.
// -1 with an error set when the lookup failed otherwise than by a missing module or name.
int found_by_name(FunctionObject* f) noexcept {
    Ref module = Ref::borrow(f->module);
    Ref qualname = Ref::borrow(f->qualname);
    if (!module || !PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "__main__") == 0)
        return 0;
    Ref obj = Ref::steal(PyImport_Import(module.get()));
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref parts = obj && dot ? Ref::steal(PyUnicode_Split(qualname.get(), dot.get(), -1)) : fail();
    for (Py_ssize_t i = 0; parts && obj && i < PyList_GET_SIZE(parts.get()); ++i)
        obj = get_attr(obj.get(), PyList_GET_ITEM(parts.get(), i));
    if (obj && parts) return obj.get() == (PyObject*)f;
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

// Pickles by reference, like a module-level Python function or method. A wrapper that no
// name leads back to pickles as its decorator applied again to what it wraps, with the
// attributes it has gained, so it travels wherever its method can, as a closure would.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    if (f->maker && f->closure) {
        int found = found_by_name(f);
        if (found < 0) return nullptr;
        // The lookup ran code that may have cleared the wrapper.
        Ref maker = Ref::borrow(f->maker);
        Ref method = Ref::borrow(f->closure);
        Ref state = Ref::borrow(f->dict ? f->dict : Py_None);
        if (!found && maker && method)
            return Py_BuildValue("O(O)O", maker.get(), method.get(), state.get());
    }
    return get_or_none(f->qualname);
}

// Functions are copied as themselves, as copy does Python's, whatever their __reduce__ says.
PyObject* function_copy(PyObject* self, PyObject*) noexcept { return new_ref(self); }

PyMethodDef function_methods[] = {
    {"__reduce__", (PyCFunction)function_reduce, METH_NOARGS, nullptr},
    {"__copy__", (PyCFunction)function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", (PyCFunction)function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- creation ----

}  // namespace

PyTypeObject FunctionType = [] {
    PyTypeObject t = blank_type();
    // Named as Python's function type: tools print type(f).__name__.
    t.tp_name = "function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
#if ORVEX_HAS_VECTORCALL
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    t.tp_call = function_call;
    t.tp_repr = function_repr;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | ORVEX_TPFLAGS_METHOD_DESCRIPTOR
#if ORVEX_HAS_VECTORCALL
                 | ORVEX_TPFLAGS_VECTORCALL
#endif
        ;
    t.tp_doc = "A function implemented natively that behaves like a Python function.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

int ready_function_type() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    return PyType_Ready(&FunctionType);
}

Ref make_function(const FunctionDef& fdef, PyObject* globals, PyObject* defaults,
                  PyObject* kwdefaults, PyObject* closure) {
    Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, names().__name__));
    if (!module_name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no __name__");
        return fail();
    }
    Ref module_file = Ref::borrow(PyDict_GetItemString(globals, "__file__"));
    Ref code = make_code(fdef, module_name.get(), module_file.get());
    if (!code) return fail();
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) return fail();
    Ref name = Ref::steal(PyUnicode_InternFromString(fdef.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(fdef.qualname));
    Ref varnames = Ref::steal(PyObject_GetAttrString(code.get(), "co_varnames"));
    Ref argcount = Ref::steal(PyObject_GetAttrString(code.get(), "co_argcount"));
    Ref kwonly = Ref::steal(PyObject_GetAttrString(code.get(), "co_kwonlyargcount"));
    Ref flags = Ref::steal(PyObject_GetAttrString(code.get(), "co_flags"));
    if (!name || !qualname || !varnames || !argcount || !kwonly || !flags) return fail();

    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return fail();
    // Every field is set before anything can fail, so dealloc sees a whole object.
    f->code = code.release();
    f->globals = new_ref(globals);
    f->builtins = new_ref(PyModule_GetDict(builtins_module.get()));
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module_name.release();
    f->doc = fdef.doc ? PyUnicode_FromString(fdef.doc) : new_ref(Py_None);
    f->dict = nullptr;
    f->defaults = defaults && defaults != Py_None ? new_xref(defaults) : nullptr;
    f->kwdefaults = kwdefaults && kwdefaults != Py_None ? new_xref(kwdefaults) : nullptr;
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->weakreflist = nullptr;
    f->klass = nullptr;
    f->closure = new_xref(closure);
    f->type_params = nullptr;
    f->maker = nullptr;
#if ORVEX_HAS_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    f->impl = fdef.impl;
    f->raw = fdef.raw;
    long co_flags = PyLong_AsLong(flags.get());
    f->argcount = PyLong_AsSsize_t(argcount.get());
    f->kwonlyargcount = PyLong_AsSsize_t(kwonly.get());
    f->has_varargs = (co_flags & CO_VARARGS) != 0;
    f->has_varkw = (co_flags & CO_VARKEYWORDS) != 0;
    f->as_python_function = true;
    f->nparams = f->argcount + f->kwonlyargcount + f->has_varargs + f->has_varkw;
    f->varnames = varnames.release();
    PyObject_GC_Track((PyObject*)f);
    Ref result = Ref::steal((PyObject*)f);
    if (!f->doc) return fail();
    return result;
}

Ref clone_function(FunctionObject* proto, PyObject* closure, PyObject* maker) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return fail();
    f->code = new_ref(proto->code);
    f->globals = new_xref(proto->globals);
    f->builtins = new_xref(proto->builtins);
    f->name = new_ref(proto->name);
    f->qualname = new_ref(proto->qualname);
    f->module = new_xref(proto->module);
    f->doc = new_xref(proto->doc);
    f->dict = nullptr;
    f->defaults = new_xref(proto->defaults);
    f->kwdefaults = new_xref(proto->kwdefaults);
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->weakreflist = nullptr;
    f->klass = nullptr;
    f->closure = new_xref(closure);
    f->type_params = nullptr;
    f->maker = new_xref(maker);
#if ORVEX_HAS_VECTORCALL
    f->vectorcall = proto->vectorcall;
#endif
    f->impl = proto->impl;
    f->raw = proto->raw;
    f->argcount = proto->argcount;
    f->kwonlyargcount = proto->kwonlyargcount;
    f->nparams = proto->nparams;
    f->has_varargs = proto->has_varargs;
    f->has_varkw = proto->has_varkw;
    f->as_python_function = false;
    f->varnames = new_ref(proto->varnames);
    PyObject_GC_Track((PyObject*)f);
    return Ref::steal((PyObject*)f);
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

namespace {

// Whether two classes have the same __module__ and __qualname__; -1 with an error set.
int same_name(PyObject* a, PyObject* b) noexcept {
    for (const char* attr : {"__module__", "__qualname__"}) {
        Ref x = Ref::steal(PyObject_GetAttrString(a, attr));
        Ref y = x ? Ref::steal(PyObject_GetAttrString(b, attr)) : fail();
        int same = y ? PyObject_RichCompareBool(x.get(), y.get(), Py_EQ) : -1;
        if (same <= 0) return same;
    }
    return 1;
}

}  // namespace

Ref super_class(FunctionObject* func, PyObject* obj) noexcept {
    Ref klass = Ref::borrow(func->klass);
    if (!klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return fail();
    }
    Ref type = Ref::borrow(PyType_Check(obj) ? obj : (PyObject*)Py_TYPE(obj));
    auto* base = (PyTypeObject*)klass.get();
    if (PyType_IsSubtype((PyTypeObject*)type.get(), base) || PyType_IsSubtype(Py_TYPE(obj), base))
        return klass;
    Ref mro = Ref::borrow(((PyTypeObject*)type.get())->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref candidate = Ref::borrow(PyTuple_GET_ITEM(mro.get(), i));
        int same = same_name(candidate.get(), klass.get());
        if (same < 0) return fail();
        if (same) return candidate;
    }
    return klass;  // super() then refuses obj as it would
}

Ref global_attr(FunctionObject* func, PyObject* name, PyObject* attr) noexcept {
    Ref obj = lookup_global(func, name);
    if (!obj) return fail();
    return get_attr(obj.get(), attr);
}

Ref lookup_global(FunctionObject* func, PyObject* name) noexcept {
    if (!func->globals || !func->builtins) {  // cleared by the collector
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return fail();
    }
    PyObject* value = PyDict_GetItemWithError(func->globals, name);
    if (value || PyErr_Occurred()) return Ref::borrow(value);
    value = PyDict_GetItemWithError(func->builtins, name);
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

}  // namespace orvex
