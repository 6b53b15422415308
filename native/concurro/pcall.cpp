// Class Pcall: the class body. Its members live with their concern: the fan-out, the
// batch's life, process control.
#include "concurro/pcall.hpp"

#include "common/module_setup.hpp"
#include "concurro/batch.hpp"
#include "concurro/control.hpp"
#include "concurro/fan_out.hpp"

namespace orvex::concurro {
namespace {

const char kPcallDoc[] =
    "Perform, and to an extent control, parallel calls.\n"
    "\n"
    "The construction lets several kinds of arguments be zipped together and passed to\n"
    "each parallel instance:\n"
    "\n"
    ":param targets: one callable, or a list of callables.\n"
    ":param timeout: the longest time any child may run, in seconds.\n"
    ":param cargs: positional arguments common to all instances.\n"
    ":param iargs: per-instance positional arguments, one tuple or list per instance.\n"
    ":param ckwargs: keyword arguments common to all instances.\n"
    ":param ikwargs: one keyword dict per instance.\n"
    ":param varkwargs: keywords whose values are lists, each list holding one value of\n"
    "    that keyword per instance.\n"
    "\n"
    "The number of instances follows from the number of targets (when more than one is\n"
    "given), the number of per-instance arguments and the number of per-instance values,\n"
    "whichever is shortest. Arguments are combined in positional order, common ones\n"
    "first. The results come back in child order.";

}  // namespace

int add_pcall(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref ns = class_namespace(module, "Pcall", kPcallDoc);
    if (!ns) return -1;
    // The one ckwargs default, shared by every construction that omits it.
    Ref shared_ckwargs = Ref::steal(PyDict_New());
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!shared_ckwargs || !empty) return -1;
    Ref defaults = Ref::steal(
        PyTuple_Pack(5, Py_None, empty.get(), empty.get(), shared_ckwargs.get(), empty.get()));
    if (!defaults) return -1;
    PyObject* classmethod = (PyObject*)&PyClassMethod_Type;
    PyObject* property = (PyObject*)&PyProperty_Type;
    if (add_member(ns.get(), kPcall, globals, classmethod) < 0 ||
        add_member(ns.get(), kInit, globals, nullptr, defaults.get()) < 0 ||
        add_member(ns.get(), kPids, globals, property) < 0 ||
        add_member(ns.get(), kStart, globals) < 0 || add_member(ns.get(), kJoin, globals) < 0 ||
        add_member(ns.get(), kTerminate, globals) < 0 || add_member(ns.get(), kKill, globals) < 0 ||
        add_member(ns.get(), kLivings, globals, property) < 0 ||
        add_member(ns.get(), kBuildArguments, globals) < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyBaseObject_Type));
    if (!bases) return -1;
    return bind(module, "Pcall",
                make_class((PyObject*)&PyType_Type, "Pcall", bases.get(), ns.get()));
}

}  // namespace orvex::concurro