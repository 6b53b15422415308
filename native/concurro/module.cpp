// orvex.async_.concurro: the module definition and its import steps.
#include "common/module_setup.hpp"
#include "concurro/state.hpp"
#include "concurro/child_labor.hpp"
#include "concurro/pcall.hpp"
#include "concurro/record_reader.hpp"

namespace orvex::concurro {
namespace {

ModuleSetup g_setup = {
    "concurro",
    "Parallel calls in forked child processes.\n\n"
    "Pcall runs one callable, or several, each in a child forked from this process, and\n"
    "returns their results in child order, or raises the first failure of a child.",
    -1, nullptr};

// ChildWork = namedtuple("ChildWork", ["target", "args", "kwargs"])
Ref make_child_work(PyObject* globals) noexcept {
    Ref namedtuple = Ref::borrow(PyDict_GetItemWithError(globals, names().namedtuple));
    if (!namedtuple) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'namedtuple' is not defined");
        return fail();
    }
    Ref type_name = Ref::steal(PyUnicode_FromString("ChildWork"));
    Ref fields = Ref::steal(PyList_New(3));
    if (!type_name || !fields) return fail();
    PyObject* field_names[3] = {names().target, names().args, names().kwargs};
    for (int i = 0; i < 3; ++i) {
        Py_INCREF(field_names[i]);
        PyList_SET_ITEM(fields.get(), i, field_names[i]);
    }
    PyObject* args[2] = {type_name.get(), fields.get()};
    Ref type = call_vector(namedtuple.get(), args, 2, nullptr);
    if (!type) return fail();
    // namedtuple names the calling Python frame's module, which here is the import machinery's.
    Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, names().__name__));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0)
        return fail();
    return type;
}

int body(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    if (init_state() < 0) return -1;
    if (bind(module, "os", import_module(module, "os")) < 0 ||
        bind(module, "time", import_module(module, "time")) < 0 ||
        bind(module, "signal", import_module(module, "signal")) < 0 ||
        bind(module, "logging", import_module(module, "logging")) < 0 ||
        bind(module, "itertools", import_module(module, "itertools")) < 0 ||
        bind(module, "functools", import_module(module, "functools")) < 0 ||
        bind(module, "namedtuple", import_from(module, "collections", "namedtuple", 0)) < 0 ||
        bind(module, "ExceptionWithTraceback",
             import_from(module, "exceptions", "ExceptionWithTraceback", 1)) < 0 ||
        bind(module, "managed_handlers", import_from(module, "orvex.log", "managed_handlers", 0)) <
            0 ||
        bind(module, "multiprocessing", fork_context()) < 0 ||
        bind(module, "__pcall_infra__", Ref::borrow(Py_True)) < 0)
        return -1;
    if (bind(module, "logger", module_logger(module)) < 0 ||
        bind(module, "ChildWork", make_child_work(globals)) < 0)
        return -1;
    if (add_child_labor(module) < 0) return -1;
    return add_pcall(module);
}

using Module = NativeModule<g_setup, body>;

}  // namespace
}  // namespace orvex::concurro

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_concurro(void) {
    return orvex::concurro::Module::init();
}
