// What join asks of a worker's process beyond what multiprocessing tells.
#include "concurro/workers.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace orvex::concurro {
namespace {

// The pid of the child that worker's start() forked in this process and that nobody has
// collected yet as far as multiprocessing knows; 0 for anything else (a stand-in, a process
// object of another parent, one not started or already collected); -1 with an error set.
// Only a multiprocessing process object is asked anything.
long uncollected_child_pid(PyObject* worker) noexcept {
    if (!PyType_IsSubtype(Py_TYPE(worker), state().process_type)) return 0;
    Ref parent = get_attr(worker, names()._parent_pid);
    if (!parent) return -1;
    if (!PyLong_Check(parent.get())) return 0;
    long parent_pid = PyLong_AsLong(parent.get());
    if (parent_pid == -1 && PyErr_Occurred()) return -1;
    if (parent_pid != (long)getpid()) return 0;
    Ref popen = get_attr(worker, names()._popen);
    if (!popen) return -1;
    if (popen.get() == Py_None) return 0;
    Ref returncode = get_attr(popen.get(), names().returncode);
    if (!returncode) return -1;
    if (returncode.get() != Py_None) return 0;
    Ref pid_obj = get_attr(popen.get(), names().pid);
    if (!pid_obj) return -1;
    if (!PyLong_Check(pid_obj.get())) return 0;
    long pid = PyLong_AsLong(pid_obj.get());
    if (pid == -1 && PyErr_Occurred()) return -1;
    return pid > 0 ? pid : 0;
}

}  // namespace

int has_ended(PyObject* worker) {
    int alive = is_alive(worker);
    if (alive <= 0) return alive < 0 ? -1 : 1;
    long pid = uncollected_child_pid(worker);
    if (pid <= 0) return pid < 0 ? -1 : 0;
    // WNOWAIT leaves a child that has just exited to is_alive(), which collects its status.
    // ECHILD for a child this process forked and never collected: someone else did.
    siginfo_t info;
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0) return 0;
    return errno == ECHILD ? 1 : 0;
}

}  // namespace orvex::concurro
