// Process control and introspection of a running batch: pids, livings, terminate, kill.
#include "concurro/control.hpp"

#include "concurro/state.hpp"
#include "concurro/workers.hpp"

namespace orvex::concurro {
namespace {

const char kPidsDoc[] = "The list of the children's PIDs, once everything has been started.";
const char kLivingsDoc[] = "The child processes that are currently alive.";
const char kTerminateDoc[] =
    "Terminate all child processes; it may take a split second to take effect.";
const char kKillDoc[] = "Kill all running child processes with SIGKILL.";

// pids (getter)
Ref pids_impl(FunctionObject*, PyObject* const* p) {
    Ref pids = Ref::steal(PyList_New(0));
    if (!pids) return fail();
    if (for_each_worker(p[kSelf], [&](PyObject* worker) {
            Ref pid = get_attr(worker, names().pid);
            return pid ? PyList_Append(pids.get(), pid.get()) : -1;
        }) < 0)
        return fail();
    return Ref::steal(PyList_AsTuple(pids.get()));
}

// livings (getter)
Ref livings_impl(FunctionObject*, PyObject* const* p) {
    Ref living = Ref::steal(PyList_New(0));
    if (!living) return fail();
    if (for_each_worker(p[kSelf], [&](PyObject* worker) {
            int alive = is_alive(worker);
            if (alive <= 0) return alive;
            return PyList_Append(living.get(), worker);
        }) < 0)
        return fail();
    return Ref::steal(PyList_AsTuple(living.get()));
}

// terminate(self)
Ref terminate_impl(FunctionObject*, PyObject* const* p) {
    if (for_each_worker(p[kSelf], [](PyObject* worker) {
            return call_method0(worker, names().terminate) ? 0 : -1;
        }) < 0)
        return fail();
    return Ref::borrow(Py_None);
}

// kill(self): only workers seen running; an ended child's PID may belong to anyone now.
Ref kill_impl(FunctionObject* func, PyObject* const* p) {
    if (for_each_worker(p[kSelf], [func](PyObject* worker) {
            int alive = is_alive(worker);
            if (alive <= 0) return alive;
            Ref os_kill = global_attr(func, names().os, names().kill);
            if (!os_kill) return -1;
            Ref pid = get_attr(worker, names().pid);
            if (!pid) return -1;
            Ref sigkill = global_attr(func, names().signal, names().SIGKILL);
            if (!sigkill) return -1;
            PyObject* args[2] = {pid.get(), sigkill.get()};
            return call_vector(os_kill.get(), args, 2, nullptr) ? 0 : -1;
        }) < 0)
        return fail();
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef kPids = {"pids", "Pcall.pids", "self", kPidsDoc, pids_impl, nullptr};
const FunctionDef kLivings = {"livings",   "Pcall.livings", "self",
                              kLivingsDoc, livings_impl,    nullptr};
const FunctionDef kTerminate = {"terminate",   "Pcall.terminate", "self",
                                kTerminateDoc, terminate_impl,    nullptr};
const FunctionDef kKill = {"kill", "Pcall.kill", "self", kKillDoc, kill_impl, nullptr};

}  // namespace orvex::concurro
