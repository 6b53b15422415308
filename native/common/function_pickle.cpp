// Pickling and copying of native functions, as pickle and copy treat Python functions.
#include "common/function.hpp"

namespace orvex {
namespace {

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

}  // namespace

PyMethodDef function_methods[] = {
    {"__reduce__", (PyCFunction)function_reduce, METH_NOARGS, nullptr},
    {"__copy__", (PyCFunction)function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", (PyCFunction)function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orvex
