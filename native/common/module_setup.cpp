#include "common/module_setup.hpp"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "common/names.hpp"

namespace orvex {
namespace {

// The running interpreter's "major.minor", against the one the module was compiled for.
int warn_on_version_mismatch(PyObject* module) noexcept {
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    size_t len = std::strlen(compiled);
    // "3.1" must not pass for "3.11": the character after the minor number is not a digit.
    if (std::strncmp(running, compiled, len) == 0 && !(running[len] >= '0' && running[len] <= '9'))
        return 0;
    char shown[16];
    size_t n = std::strcspn(running, " ");
    const char* second_dot = std::strchr(running, '.');
    if (second_dot) second_dot = std::strchr(second_dot + 1, '.');
    if (second_dot && (size_t)(second_dot - running) < n) n = (size_t)(second_dot - running);
    if (n >= sizeof shown) n = sizeof shown - 1;
    std::memcpy(shown, running, n);
    shown[n] = '\0';
    const char* name = PyModule_GetName(module);
    if (!name) return -1;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match "
                            "runtime version %s",
                            compiled, name, shown);
}

}  // namespace

PyObject* create_module_once(ModuleSetup& setup, PyObject* module_spec) noexcept {
    assert(module_spec && !PyErr_Occurred());
    int64_t current = current_interpreter_id();
    if (current == -1 && PyErr_Occurred()) return nullptr;
    if (setup.interpreter_id == -1) {
        setup.interpreter_id = current;
    } else if (setup.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (setup.module) {
        Py_INCREF(setup.module);
        return setup.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int exec_module_once(ModuleSetup& setup, PyObject* module, int (*body)(PyObject*)) noexcept {
    assert(module && !PyErr_Occurred());
    if (setup.module) {
        if (setup.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     setup.short_name);
        return -1;
    }
    if (init_names() < 0 || ready_function_type() < 0) return -1;
    if (warn_on_version_mismatch(module) < 0) return -1;
    // As a module run from source has them: a function rebuilt from one of the module's code
    // objects and its globals finds the builtins there (3.7-3.9 look nowhere else).
    if (PyDict_SetItemString(PyModule_GetDict(module), "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;
    if (body(module) < 0) return -1;
    Py_INCREF(module);
    setup.module = module;
    return 0;
}

int bind(PyObject* module, const char* name, Ref value) noexcept {
    if (!value) return -1;
    return PyDict_SetItemString(PyModule_GetDict(module), name, value.get());
}

Ref module_logger(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref logging = Ref::borrow(PyDict_GetItemWithError(globals, names().logging));
    Ref name = logging ? Ref::borrow(PyDict_GetItemWithError(globals, names().__name__)) : fail();
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module namespace incomplete");
        return fail();
    }
    return call_method1(logging.get(), names().getLogger, name.get());
}

Ref import_module(PyObject* module, const char* name) noexcept {
    return Ref::steal(
        PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, nullptr, 0));
}

Ref import_from(PyObject* module, const char* from_module, const char* name, int level) noexcept {
    Ref mod_name = Ref::steal(PyUnicode_FromString(from_module));
    Ref attr = Ref::steal(PyUnicode_FromString(name));
    if (!mod_name || !attr) return fail();
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attr.get()));
    if (!fromlist) return fail();
    PyObject* globals = PyModule_GetDict(module);
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), level));
    if (!imported) return fail();
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), attr.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref where = Ref::steal(PyObject_GetAttr(imported.get(), names().__name__));
        if (!where) PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%S'", attr.get(),
                     where ? where.get() : mod_name.get());
    }
    return value;
}

Ref fork_context() noexcept {
    PyObject* builtins = PyEval_GetBuiltins();
    Ref import =
        builtins ? Ref::borrow(PyDict_GetItemWithError(builtins, names().__import__)) : fail();
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return fail();
    }
    Ref mp = call1(import.get(), names().multiprocessing);
    if (!mp) return fail();
    return call_method1(mp.get(), names().get_context, names().fork);
}

Ref class_namespace(PyObject* module, const char* qualname, const char* doc) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return fail();
    Ref module_name =
        Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(module), names().__name__));
    if (!module_name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no __name__");
        return fail();
    }
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0) return fail();
    Ref q = Ref::steal(PyUnicode_FromString(qualname));
    if (!q || PyDict_SetItemString(ns.get(), "__qualname__", q.get()) < 0) return fail();
    if (doc) {
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        if (!d || PyDict_SetItemString(ns.get(), "__doc__", d.get()) < 0) return fail();
    }
    return ns;
}

int add_member(PyObject* ns, const FunctionDef& fdef, PyObject* globals, PyObject* wrapper_type,
               PyObject* defaults, PyObject* kwdefaults) noexcept {
    Ref func = make_function(fdef, globals, defaults, kwdefaults);
    if (!func) return -1;
    if (wrapper_type) {
        func = call1(wrapper_type, func.get());
        if (!func) return -1;
    }
    return PyDict_SetItemString(ns, fdef.name, func.get());
}

Ref make_class(PyObject* metatype, const char* name, PyObject* bases, PyObject* ns) noexcept {
    Ref cls = Ref::steal(PyObject_CallFunction(metatype, "sOO", name, bases, ns));
    if (!cls) return fail();
    PyObject* dict = ((PyTypeObject*)cls.get())->tp_dict;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref held = Ref::borrow(value);  // the attribute read below may run the collector
        // A staticmethod's or classmethod's function needs its class for super() too.
        Ref inner;
        if (Py_TYPE(value) == &PyStaticMethod_Type || Py_TYPE(value) == &PyClassMethod_Type) {
            inner = Ref::steal(PyObject_GetAttrString(value, "__func__"));
            if (!inner) return fail();
            value = inner.get();
        }
        if (is_function(value)) {
            FunctionObject* f = (FunctionObject*)value;
            Py_INCREF(cls.get());
            Py_XSETREF(f->klass, cls.get());
        }
    }
    return cls;
}

}  // namespace orvex
