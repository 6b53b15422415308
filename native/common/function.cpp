// The native function type, modelled on funcobject.c: its slots and the making of functions,
// with a C++ body behind the code object's signature. Binding calls, attributes, pickling
// and the lookup of globals each have a function_*.cpp of their own.
#include "common/function.hpp"

#include <cassert>
#include <cstddef>

#include "common/function_code.hpp"
#include "common/names.hpp"

namespace orvex {
namespace {

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

}  // namespace orvex
