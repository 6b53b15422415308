#include "concurro/state.hpp"

namespace orvex::concurro {
namespace detail {
State g_state;
}  // namespace detail

namespace {

int init_names(Names& names) noexcept {
    ORVEX_CONCURRO_NAMES(ORVEX_NAME_INTERN)
    return 0;
}

}  // namespace

int init_state() noexcept {
    State& s = detail::g_state;
    if (s.queue_type) return 0;
    if (init_names(s.names) < 0) return -1;
    Ref itertools = Ref::steal(PyImport_ImportModule("itertools"));
    Ref repeat = itertools ? Ref::steal(PyObject_GetAttrString(itertools.get(), "repeat")) : fail();
    if (!repeat) return -1;
    if (!PyType_Check(repeat.get())) {
        PyErr_SetString(PyExc_ImportError, "itertools.repeat is not a type");
        return -1;
    }
    Ref queues = Ref::steal(PyImport_ImportModule("multiprocessing.queues"));
    Ref connection = Ref::steal(PyImport_ImportModule("multiprocessing.connection"));
    Ref synchronize = Ref::steal(PyImport_ImportModule("multiprocessing.synchronize"));
    Ref process = Ref::steal(PyImport_ImportModule("multiprocessing.process"));
    if (!queues || !connection || !synchronize || !process) return -1;
    Ref queue_type = get_attr(queues.get(), s.names.SimpleQueue);
    Ref connection_type = Ref::steal(PyObject_GetAttrString(connection.get(), "Connection"));
    Ref lock_type = Ref::steal(PyObject_GetAttrString(synchronize.get(), "Lock"));
    Ref process_type = Ref::steal(PyObject_GetAttrString(process.get(), "BaseProcess"));
    if (!queue_type || !connection_type || !lock_type || !process_type) return -1;
    if (!PyType_Check(process_type.get())) {
        PyErr_SetString(PyExc_ImportError, "multiprocessing.process.BaseProcess is not a type");
        return -1;
    }
    s.repeat_type = (PyTypeObject*)repeat.release();
    s.queues_module = queues.release();
    s.connection_module = connection.release();
    s.connection_type = connection_type.release();
    s.lock_type = lock_type.release();
    s.process_type = (PyTypeObject*)process_type.release();
    s.queue_type = queue_type.release();
    return 0;
}

}  // namespace orvex::concurro
