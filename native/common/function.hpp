// The native function type: C++ code that Python sees as a plain function.
#pragma once

#include "common/compat.hpp"

namespace orvex {

struct FunctionObject;

// The first parameter of a method, self or cls, as an implementation receives it.
constexpr int kSelf = 0;

// Receives the bound parameters in co_varnames order: positional ones, keyword-only ones,
// then the *args tuple and the **kwargs dict where the signature has them.
using BoundImpl = Ref (*)(FunctionObject* func, PyObject* const* params);
// Receives the call as the caller made it, for signatures that only forward arguments.
using RawImpl = Ref (*)(FunctionObject* func, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

struct FunctionObject {
    PyObject_HEAD
    PyObject* code;
    PyObject* globals;
    PyObject* builtins;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* annotate;  // __annotate__ (3.14+); null reads as None
    PyObject* weakreflist;
    PyObject* klass;        // class the function was defined in, for zero-argument super()
    PyObject* closure;      // what the function closes over (a decorator's wrapped method)
    PyObject* type_params;  // __type_params__ once assigned; null reads as ()
    PyObject* maker;        // the decorator that made a wrapper, called again by its copies
#if ORVEX_HAS_VECTORCALL
    vectorcallfunc vectorcall;
#endif
    BoundImpl impl;
    RawImpl raw;
    // The signature, read once from the code object.
    Py_ssize_t argcount;
    Py_ssize_t kwonlyargcount;
    Py_ssize_t nparams;
    bool has_varargs;
    bool has_varkw;
    // Reports Python's function type as __class__, so isinstance() and inspect take it for
    // a function; false for the locked wrappers, which must not pass for one.
    bool as_python_function;
    PyObject* varnames;  // co_varnames; a fresh tuple per read on 3.11+, so kept here
};

extern PyTypeObject FunctionType;

inline bool is_function(PyObject* obj) noexcept { return Py_TYPE(obj) == &FunctionType; }

// Static description of one function of a module.
struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* params;  // parameter list as written in a def, without defaults
    const char* doc;     // nullptr: no docstring
    BoundImpl impl;
    RawImpl raw;  // used instead of impl when set
};

// Makes the function; defaults/kwdefaults may be null. globals is the module's dict.
Ref make_function(const FunctionDef& fdef, PyObject* globals, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr, PyObject* closure = nullptr);

// A new function with proto's code, names and signature, closing over closure. Unlike the
// functions make_function makes, it does not pass for a Python function. Where pickle finds
// no name for it, it pickles as maker(closure).
Ref clone_function(FunctionObject* proto, PyObject* closure, PyObject* maker) noexcept;

// f's body alone, as a call enters it: the raw implementation, or the bound one after
// binding. New reference, or null with the error set.
PyObject* call_body(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

#if ORVEX_HAS_VECTORCALL
// The type's generic entry, which a function given an entry of its own falls back on.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept;
#endif

// A call made with an argument tuple and a keyword dict, handed to `enter` as a vector.
using VectorEntry = PyObject* (*)(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* call_with_tuple(FunctionObject* f, PyObject* args, PyObject* kwargs,
                          VectorEntry enter) noexcept;

// The parameters a call binds to, by name, as a Python function's frame holds them on entry:
// a new dict, or null with the error set where the call does not bind.
Ref bound_locals(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept;

// Looks a name up in the function's module namespace, then in the builtins.
// Null with NameError set when it is in neither.
Ref lookup_global(FunctionObject* func, PyObject* name) noexcept;

// Where the str `name` is among names (identity first, then equality): its index, -1 when
// absent, -2 with an error set.
Py_ssize_t find_name(PyObject* const* names, Py_ssize_t count, PyObject* name) noexcept;

// The class that zero-argument super() names in func, a method of a class, called on obj:
// the class func was defined in, or the by-value copy of it (as cloudpickle makes) that
// obj's class derives from instead, which a Python method's copy would name.
Ref super_class(FunctionObject* func, PyObject* obj) noexcept;

// `name.attr` with name looked up as lookup_global does, at call time.
Ref global_attr(FunctionObject* func, PyObject* name, PyObject* attr) noexcept;

// __annotations__ and, from 3.14, __annotate__, as a Python function has them
// (function_annotations.cpp).
PyObject* get_annotations(PyObject* self, void*) noexcept;
int set_annotations(PyObject* self, PyObject* value, void*) noexcept;
#if ORVEX_FUNCTIONS_HAVE_ANNOTATE
PyObject* get_annotate(PyObject* self, void*) noexcept;
int set_annotate(PyObject* self, PyObject* value, void*) noexcept;
#endif

// The type's call entry, attributes and methods, each kept in the file of its concern
// (function_binding.cpp, function_attributes.cpp, function_pickle.cpp).
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
extern PyGetSetDef function_getset[];
extern PyMemberDef function_members[];
extern PyMethodDef function_methods[];

// A new reference to value, or to None for a null field.
inline PyObject* get_or_none(PyObject* value) noexcept {
    PyObject* result = value ? value : Py_None;
    Py_INCREF(result);
    return result;
}

// Readies the type; once per module exec.
int ready_function_type() noexcept;

}  // namespace orvex
