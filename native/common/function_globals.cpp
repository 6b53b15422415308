// Names a native function's body looks up at call time: globals of its module, builtins,
// and the class that zero-argument super() names.
#include "common/function.hpp"

namespace orvex {

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
