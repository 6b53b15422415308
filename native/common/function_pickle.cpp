// Pickling and copying of native functions, as pickle and copy treat Python functions.
#include "common/function.hpp"

namespace orvex {
namespace {

bool in_main(FunctionObject* f) noexcept {
    return f->module && PyUnicode_Check(f->module) &&
           PyUnicode_CompareWithASCIIString(f->module, "__main__") == 0;
}

// What a load by reference finds, importing __module__ and following __qualname__ as pickle
// does, and where it found it: owner and attribute name. Null without an error when the
// module or a name is missing, null with the error set when the lookup failed otherwise.
Ref load_by_name(FunctionObject* f, Ref* owner, Ref* last) noexcept {
    Ref module = Ref::borrow(f->module);
    Ref qualname = Ref::borrow(f->qualname);
    if (!module || !PyUnicode_Check(module.get()) || !qualname) return fail();
    Ref obj = Ref::steal(PyImport_Import(module.get()));
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref parts = obj && dot ? Ref::steal(PyUnicode_Split(qualname.get(), dot.get(), -1)) : fail();
    for (Py_ssize_t i = 0; parts && obj && i < PyList_GET_SIZE(parts.get()); ++i) {
        *owner = Ref::borrow(obj.get());
        *last = Ref::borrow(PyList_GET_ITEM(parts.get(), i));
        obj = get_attr(obj.get(), last->get());
    }
    if (obj && parts) return obj;
    if (PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    return fail();
}

// Whether the pickler at work sends the functions of __main__ by value, as cloudpickle (a
// pickler with reducer_override) and dill (a subclass of pickle's Python pickler) do; plain
// pickle, multiprocessing's among them, sends them by name. Pickling is called from the
// pickler's own Python method where it has one, so that method's `self` tells.
bool pickler_sends_main_by_value() noexcept {
    PyObject* frame = (PyObject*)PyEval_GetFrame();
    if (!frame) return false;
    Ref locals = Ref::steal(PyObject_GetAttrString(frame, "f_locals"));
    Ref self = locals ? Ref::steal(PyMapping_GetItemString(locals.get(), "self")) : fail();
    Ref pickle = self ? Ref::steal(PyImport_ImportModule("pickle")) : fail();
    Ref c_pickler = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "Pickler")) : fail();
    Ref py_pickler =
        c_pickler ? Ref::steal(PyObject_GetAttrString(pickle.get(), "_Pickler")) : fail();
    int by_value = py_pickler ? 0 : -1;
    PyObject* type = self ? (PyObject*)Py_TYPE(self.get()) : nullptr;
    if (by_value == 0 && type != py_pickler.get())
        by_value = PyObject_IsInstance(self.get(), py_pickler.get());
    if (by_value == 0 && PyObject_IsInstance(self.get(), c_pickler.get()) == 1)
        by_value = PyObject_HasAttrString(type, "reducer_override");
    // Where there is nothing to ask (no `self`, say), a plain pickler is at work.
    PyErr_Clear();
    return by_value == 1;
}

// The attribute path from the owner to f where a descriptor holds it: a class method found
// as a bound method (`pcall.__func__`), a property's getter (`pids.fget`); null without an
// error when f is not held that way.
Ref descriptor_path(FunctionObject* f, PyObject* found, PyObject* last) noexcept {
    for (const char* attr : {"__func__", "fget"}) {
        Ref held = Ref::steal(PyObject_GetAttrString(found, attr));
        if (!held) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail();
            PyErr_Clear();
            continue;
        }
        if (held.get() == (PyObject*)f)
            return Ref::steal(PyUnicode_FromFormat("%U.%s", last, attr));
    }
    return fail();
}

// Pickles by reference, like a module-level Python function or method, also where a class
// method or a property holds it, as an attribute path from its class. A wrapper that no
// name leads back to (or, in __main__, that the pickler carries by value) pickles as its
// decorator applied again to what it wraps, with the attributes it has gained, so it
// travels wherever its method can, as a closure would.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    Ref owner, last;
    Ref found = load_by_name(f, &owner, &last);
    if (!found && PyErr_Occurred()) return nullptr;
    bool wrapper = f->maker && f->closure;
    if (found.get() == self && !(wrapper && in_main(f) && pickler_sends_main_by_value()))
        return get_or_none(f->qualname);
    if (found && found.get() != self) {
        Ref path = descriptor_path(f, found.get(), last.get());
        if (!path && PyErr_Occurred()) return nullptr;
        if (path) {
            Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
            Ref getter = operator_module
                             ? Ref::steal(PyObject_CallMethod(operator_module.get(), "attrgetter",
                                                              "O", path.get()))
                             : fail();
            if (!getter) return nullptr;
            return Py_BuildValue("O(O)", getter.get(), owner.get());
        }
    }
    // The lookup ran code that may have cleared the wrapper.
    Ref maker = Ref::borrow(f->maker);
    Ref method = Ref::borrow(f->closure);
    Ref state = Ref::borrow(f->dict ? f->dict : Py_None);
    if (maker && method) return Py_BuildValue("O(O)O", maker.get(), method.get(), state.get());
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
