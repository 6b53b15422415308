// The attributes of the native function type, with funcobject.c's setter errors.
#include "common/function.hpp"

#include <structmember.h>

namespace orvex {
namespace {

PyObject* get_code(PyObject* self, void*) noexcept {
    PyObject* code = ((FunctionObject*)self)->code;
    Py_INCREF(code);
    return code;
}

// Whether two code objects take the same parameters, which the binder read once.
int same_signature(PyObject* a, PyObject* b) noexcept {
    for (const char* attr :
         {"co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_varnames"}) {
        Ref x = Ref::steal(PyObject_GetAttrString(a, attr));
        Ref y = x ? Ref::steal(PyObject_GetAttrString(b, attr)) : fail();
        if (!y && PyErr_ExceptionMatches(PyExc_AttributeError)) {  // no co_posonlyargcount
            PyErr_Clear();
            continue;
        }
        int same = y ? PyObject_RichCompareBool(x.get(), y.get(), Py_EQ) : -1;
        if (same <= 0) return same;
    }
    const int kinds = CO_VARARGS | CO_VARKEYWORDS;
    return (((PyCodeObject*)a)->co_flags & kinds) == (((PyCodeObject*)b)->co_flags & kinds);
}

// Only by a code object with the same parameters, as line profilers do to mark a function
// they watch: the body stays native, and the code is what tools read.
int set_code(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    int same = value && PyCode_Check(value) ? same_signature(f->code, value) : 0;
    if (same < 0) return -1;
    if (!same) {
        PyErr_SetString(PyExc_AttributeError,
                        "__code__ of a native function can only be replaced by a code object "
                        "with the same parameters");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(f->code, value);
    return 0;
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

}  // namespace

PyGetSetDef function_getset[] = {
    {"__code__", get_code, set_code, nullptr, nullptr},
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

}  // namespace orvex
