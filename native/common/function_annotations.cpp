// __annotations__ and __annotate__ of the native function type, as funcobject.c has them:
// from 3.14 __annotations__ is computed by __annotate__ on first read and kept; assigning
// __annotations__ drops __annotate__, and assigning a new __annotate__ drops what the old
// one computed.
#include "common/function.hpp"

namespace orvex {
namespace {

#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
// __annotate__(VALUE), checked to be a dict; a new reference.
Ref call_annotate(PyObject* annotate) noexcept {
    Ref format = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
    if (!format) return fail();
    Ref computed = call1(annotate, format.get());
    if (computed && !PyDict_Check(computed.get())) {
        PyErr_Format(PyExc_TypeError, ORVEX_ANNOTATE_NOT_DICT, Py_TYPE(computed.get())->tp_name);
        return fail();
    }
    return computed;
}
#endif

}  // namespace

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    if (f->annotations) return new_ref(f->annotations);
#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
    if (f->annotate) {
        // Held: the call may assign __annotate__ anew.
        Ref annotate = Ref::borrow(f->annotate);
        Ref computed = call_annotate(annotate.get());
        if (!computed) return nullptr;
        Py_XSETREF(f->annotations, new_ref(computed.get()));
        return computed.release();
    }
#endif
    f->annotations = PyDict_New();
    return new_xref(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, new_xref(value));
#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
    Py_CLEAR(f->annotate);
#endif
    return 0;
}

#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
PyObject* get_annotate(PyObject* self, void*) noexcept {
    PyObject* annotate = ((FunctionObject*)self)->annotate;
    return new_ref(annotate ? annotate : Py_None);
}

int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = (FunctionObject*)self;
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value == Py_None) {  // what was computed stays
        Py_CLEAR(f->annotate);
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, new_ref(value));
    Py_CLEAR(f->annotations);
    return 0;
}
#endif

}  // namespace orvex
