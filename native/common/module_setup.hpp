// What both modules' import steps share: the create/exec rules and the body's helpers.
#pragma once

#include "common/function.hpp"

namespace orvex {

// One-time setup of a module: the one interpreter and the one module object it may live in.
struct ModuleSetup {
    const char* short_name;  // "concurro"
    const char* doc;         // the module docstring
    int64_t interpreter_id;  // -1 until the first create
    PyObject* module;        // strong; set once an exec step has completed
};

// Py_mod_create: refuses a second interpreter; hands back the initialised module if any.
PyObject* create_module_once(ModuleSetup& setup, PyObject* module_spec) noexcept;
// Py_mod_exec: runs body once per process, on one module object.
int exec_module_once(ModuleSetup& setup, PyObject* module, int (*body)(PyObject* module)) noexcept;

// A module built by Body under those rules: multi-phase initialisation whose create
// and exec slots go through create_module_once and exec_module_once; PyInit_<name>
// returns init().
template <ModuleSetup& Setup, int (*Body)(PyObject* module)>
struct NativeModule {
    static PyObject* create(PyObject* module_spec, PyModuleDef*) noexcept {
        return create_module_once(Setup, module_spec);
    }
    static int exec(PyObject* module) noexcept { return exec_module_once(Setup, module, Body); }
    static PyObject* init() noexcept { return PyModuleDef_Init(&def); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, (void*)create},
        {Py_mod_exec, (void*)exec},
        {0, nullptr},
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        Setup.short_name,
        Setup.doc,
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
};

// Binds name in the module namespace; takes the reference (a null one propagates the error).
int bind(PyObject* module, const char* name, Ref value) noexcept;
// logging.getLogger(__name__), through the `logging` the module has bound.
Ref module_logger(PyObject* module) noexcept;
// `import name`, absolute.
Ref import_module(PyObject* module, const char* name) noexcept;
// `from from_module import name`, with the given level (1: relative to the module's package).
Ref import_from(PyObject* module, const char* from_module, const char* name, int level) noexcept;
// builtins.__import__("multiprocessing").get_context("fork")
Ref fork_context() noexcept;

// Builds a class body namespace the way a class statement starts one.
Ref class_namespace(PyObject* module, const char* qualname, const char* doc) noexcept;
// Adds a native function to a class namespace, optionally through a wrapper type
// (classmethod, property, staticmethod).
int add_member(PyObject* ns, const FunctionDef& fdef, PyObject* globals,
               PyObject* wrapper_type = nullptr, PyObject* defaults = nullptr,
               PyObject* kwdefaults = nullptr) noexcept;
// metatype(name, bases, ns), then lets the class's native functions know their class.
Ref make_class(PyObject* metatype, const char* name, PyObject* bases, PyObject* ns) noexcept;

}  // namespace orvex
