#include "concurro/child_labor.hpp"

#include "common/handled.hpp"
#include "common/module_setup.hpp"
#include "concurro/state.hpp"

namespace orvex::concurro {
namespace {

const char kChildLaborDoc[] =
    "Worker class derived from the process class of the 'fork' context, customised only\n"
    "to be used by the parallel call (``Pcall``).";

const char kInitDoc[] =
    "Standard process construction, plus two more arguments.\n"
    "\n"
    ":param index: the worker's order in its batch.\n"
    ":param queue: the multiprocessing Queue that pipes the result back to the parent.";

const char kRunDoc[] =
    "Process entry point: run the target in the child.\n"
    "\n"
    "Returns nothing; the target's return value or error is put on the queue as the\n"
    "triple (index, success, result).";

// str(target.__name__), or str(target) for a callable without a name.
Ref describe_target(PyObject* target) {
    Ref name = Ref::steal(PyObject_GetAttr(target, names().__name__));
    if (!name) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail();
        PyErr_Clear();
        return Ref::steal(PyObject_Str(target));
    }
    return Ref::steal(PyObject_Str(name.get()));
}

Ref str_of_attr(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) return fail();
    return Ref::steal(PyObject_Str(value.get()));
}

// __init__(self, index, queue, *args, **kwargs)
enum InitParam { kInitSelf, kIndex, kQueue, kArgs, kKwargs };

Ref init_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[kInitSelf];
    Ref klass = super_class(func, self);
    if (!klass) return fail();
    Ref super = Ref::steal(
        PyObject_CallFunctionObjArgs((PyObject*)&PySuper_Type, klass.get(), self, nullptr));
    if (!super) return fail();
    Ref base_init = Ref::steal(PyObject_GetAttr(super.get(), names().__init__));
    if (!base_init) return fail();
    PyObject* kwargs = PyDict_GET_SIZE(p[kKwargs]) ? p[kKwargs] : nullptr;
    Ref done = Ref::steal(PyObject_Call(base_init.get(), p[kArgs], kwargs));
    if (!done) return fail();

    if (PyObject_SetAttr(self, names()._index, p[kIndex]) < 0 ||
        PyObject_SetAttr(self, names()._queue, p[kQueue]) < 0)
        return fail();

    Ref target = Ref::steal(PyObject_GetAttr(self, names()._target));
    if (!target) return fail();
    Ref functools = lookup_global(func, names().functools);
    if (!functools) return fail();
    Ref partial = Ref::steal(PyObject_GetAttr(functools.get(), names().partial));
    if (!partial) return fail();
    int is_partial = PyObject_IsInstance(target.get(), partial.get());
    if (is_partial < 0) return fail();
    if (is_partial) {
        target = Ref::steal(PyObject_GetAttr(target.get(), names().func));
        if (!target) return fail();
    }
    Ref target_text = describe_target(target.get());
    if (!target_text) return fail();
    Ref args_text = str_of_attr(self, names()._args);
    if (!args_text) return fail();
    Ref kwargs_text = str_of_attr(self, names()._kwargs);
    if (!kwargs_text) return fail();
    Ref child_work = lookup_global(func, names().ChildWork);
    if (!child_work) return fail();
    PyObject* fields[3] = {target_text.get(), args_text.get(), kwargs_text.get()};
    Ref work = call_vector(child_work.get(), fields, 3, nullptr);
    if (!work || PyObject_SetAttr(self, names()._work, work.get()) < 0) return fail();
    return Ref::borrow(Py_None);
}

// self._target(*self._args, **self._kwargs), taking any iterable and mapping as Python does.
Ref call_target(PyObject* self) {
    Ref target = Ref::steal(PyObject_GetAttr(self, names()._target));
    if (!target) return fail();
    Ref args = Ref::steal(PyObject_GetAttr(self, names()._args));
    if (!args) return fail();
    if (!PyTuple_CheckExact(args.get())) {
        args = Ref::steal(PySequence_Tuple(args.get()));
        if (!args) return fail();
    }
    Ref kwargs = Ref::steal(PyObject_GetAttr(self, names()._kwargs));
    if (!kwargs) return fail();
    if (!PyDict_CheckExact(kwargs.get())) {
        Ref copy = Ref::steal(PyDict_New());
        if (!copy || PyDict_Update(copy.get(), kwargs.get()) < 0) return fail();
        kwargs = std::move(copy);
    }
    return Ref::steal(PyObject_Call(target.get(), args.get(), kwargs.get()));
}

Ref failure_message(PyObject* self, PyObject* index) {
    Ref work = Ref::steal(PyObject_GetAttr(self, names()._work));
    if (!work) return fail();
    Ref target = Ref::steal(PyObject_GetAttr(work.get(), names().target));
    if (!target) return fail();
    Ref args = Ref::steal(PyObject_GetAttr(work.get(), names().args));
    if (!args) return fail();
    Ref kwargs = Ref::steal(PyObject_GetAttr(work.get(), names().kwargs));
    if (!kwargs) return fail();
    return Ref::steal(PyUnicode_FromFormat(
        "Caught error while executing target in child process-%S:\n  target = %S\n"
        "  args = %S\n  kwargs = %S\n\n",
        index, target.get(), args.get(), kwargs.get()));
}

// The `except Exception as e:` branch of run: log with traceback, wrap for the parent.
Ref report_failure(FunctionObject* func, PyObject* self, PyObject* index) {
    HandledException e;
    Ref message = failure_message(self, index);
    if (!message) return fail();
    Ref logger = lookup_global(func, names().logger);
    if (!logger) return fail();
    Ref logged = call_method1(logger.get(), names().exception, message.get());
    if (!logged) return fail();
    Ref wrap = lookup_global(func, names().ExceptionWithTraceback);
    if (!wrap) return fail();
    return call1(wrap.get(), e.value());
}

// run(self)
Ref run_impl(FunctionObject* func, PyObject* const* p) {
    PyObject* self = p[kSelf];
    Ref index = Ref::steal(PyObject_GetAttr(self, names()._index));
    if (!index) return fail();
    Ref record;
    Ref result = call_target(self);
    if (result) {
        record = Ref::steal(PyTuple_Pack(3, index.get(), Py_True, result.get()));
    } else {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return fail();
        Ref wrapped = report_failure(func, self, index.get());
        if (!wrapped) return fail();
        record = Ref::steal(PyTuple_Pack(3, index.get(), Py_False, wrapped.get()));
    }
    if (!record) return fail();
    Ref queue = Ref::steal(PyObject_GetAttr(self, names()._queue));
    if (!queue) return fail();
    Ref put = call_method1(queue.get(), names().put, record.get());
    if (!put) return fail();
    return Ref::borrow(Py_None);
}

const FunctionDef kInit = {
    "__init__", "ChildLabor.__init__", "self, index, queue, *args, **kwargs", kInitDoc, init_impl,
    nullptr};
const FunctionDef kRun = {"run", "ChildLabor.run", "self", kRunDoc, run_impl, nullptr};

}  // namespace

int add_child_labor(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref context = Ref::borrow(PyDict_GetItemWithError(globals, names().multiprocessing));
    if (!context) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'multiprocessing' is not defined");
        return -1;
    }
    Ref base = Ref::steal(PyObject_GetAttr(context.get(), names().Process));
    if (!base) return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref ns = class_namespace(module, "ChildLabor", kChildLaborDoc);
    if (!bases || !ns) return -1;
    if (add_member(ns.get(), kInit, globals) < 0 || add_member(ns.get(), kRun, globals) < 0)
        return -1;
    // The metaclass of the bases, as a class statement would pick it.
    return bind(module, "ChildLabor",
                make_class((PyObject*)Py_TYPE(base.get()), "ChildLabor", bases.get(), ns.get()));
}

}  // namespace orvex::concurro
