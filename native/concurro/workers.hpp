// Walking a batch's workers.
#pragma once

#include "common/function.hpp"
#include "concurro/state.hpp"

namespace orvex::concurro {

// Calls per_worker on each worker of _processes, in child order, read afresh. per_worker
// returns 0 to go on, 1 to stop there, -1 with an error set; so does the walk.
template <typename PerWorker>
inline int for_each_worker(PyObject* self, PerWorker per_worker) {
    Ref processes = get_attr(self, names()._processes);
    Ref it = processes ? Ref::steal(PyObject_GetIter(processes.get())) : fail();
    if (!it) return -1;
    while (Ref worker = Ref::steal(PyIter_Next(it.get()))) {
        int outcome = per_worker(worker.get());
        if (outcome != 0) return outcome;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// worker.is_alive() as a truth value: 1, 0, or -1 with an error set.
inline int is_alive(PyObject* worker) {
    Ref alive = call_method0(worker, names().is_alive);
    return alive ? PyObject_IsTrue(alive.get()) : -1;
}

// 1 when join may take the worker as ended: is_alive() says so, or the worker is a
// multiprocessing process that this process started and whose child is no longer ours to
// wait for (its status was collected behind multiprocessing's back, by a waitpid that an
// interrupt cut off before the exit code was stored, or by anyone else), which is_alive()
// would otherwise report as running for ever. Any other object is judged by is_alive()
// alone. 0 while it runs; -1 with an error set.
int has_ended(PyObject* worker);

}  // namespace orvex::concurro
