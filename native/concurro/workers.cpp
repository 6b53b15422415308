// What join asks of a worker's process beyond what multiprocessing tells.
#include "concurro/workers.hpp"

#include <sys/wait.h>

#include <cerrno>

namespace orvex::concurro {

int has_ended(PyObject* worker) {
    int alive = is_alive(worker);
    if (alive <= 0) return alive < 0 ? -1 : 1;
    Ref pid_obj = get_attr(worker, names().pid);
    if (!pid_obj) return -1;
    if (!PyLong_Check(pid_obj.get())) return 0;
    long pid = PyLong_AsLong(pid_obj.get());
    if (pid == -1 && PyErr_Occurred()) return -1;
    if (pid <= 0) return 0;
    // WNOWAIT leaves a child that has just exited to is_alive(), which collects its status.
    siginfo_t info;
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0) return 0;
    return errno == ECHILD ? 1 : 0;
}

}  // namespace orvex::concurro
