// The queue's get() blocks until a whole record has arrived, and a read interrupted half
// way leaves the stream out of step; so join reads the pipe of the queue that the batch
// created itself, as long as nothing of the queue's reading path was replaced: a replacement
// (an instrumentation library wrapping get, say) is called as the plain algorithm calls it.
#include "concurro/queue_pipe.hpp"

#include <cstdint>

#include "common/compat.hpp"
#include "concurro/state.hpp"

namespace orvex::concurro {
namespace {

// True when the function that obj.name gives is the Python function `name` of the library
// module whose namespace is module_dict, bound to obj: what the queue's own reading path is
// made of. Judged at each call, by where the function was defined, so a replacement made
// at any time (before this module's import too) is seen. -1 with an error set.
int is_library_method(PyObject* obj, PyObject* name, PyObject* module_dict) noexcept {
    Ref bound = get_attr(obj, name);
    if (!bound) return -1;
    if (!PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != obj) return 0;
    PyObject* function = PyMethod_GET_FUNCTION(bound.get());
    if (!PyFunction_Check(function) || PyFunction_GET_GLOBALS(function) != module_dict) return 0;
    Ref code_name = get_attr(PyFunction_GET_CODE(function), names().co_name);
    if (!code_name) return -1;
    int same = PyObject_RichCompareBool(code_name.get(), name, Py_EQ);
    return same;
}

int library_pipe_of(PyObject* queue) noexcept {
    if ((PyObject*)Py_TYPE(queue) != state().queue_type) return -1;
    PyObject* queues_dict = PyModule_GetDict(state().queues_module);
    PyObject* connection_dict = PyModule_GetDict(state().connection_module);
    for (PyObject* name : {names().get, names().empty}) {
        int own = is_library_method(queue, name, queues_dict);
        if (own <= 0) return own < 0 ? -2 : -1;
    }
    for (PyObject* name : {names()._rlock, names()._wlock}) {
        Ref lock = get_attr(queue, name);
        if (!lock) return -2;
        if ((PyObject*)Py_TYPE(lock.get()) != state().lock_type) return -1;
    }
    Ref reader = get_attr(queue, names()._reader);
    if (!reader) return -2;
    if ((PyObject*)Py_TYPE(reader.get()) != state().connection_type) return -1;
    // empty() asks queue._poll, the reader's poll bound at construction.
    Ref poll = get_attr(queue, names()._poll);
    if (!poll) return -2;
    if (!PyMethod_Check(poll.get()) || PyMethod_GET_SELF(poll.get()) != reader.get()) return -1;
    Ref poll_function = Ref::borrow(PyMethod_GET_FUNCTION(poll.get()));
    for (PyObject* name :
         {names().recv_bytes, names()._recv_bytes, names()._recv, names().poll, names()._poll}) {
        int own = is_library_method(reader.get(), name, connection_dict);
        if (own <= 0) return own < 0 ? -2 : -1;
    }
    Ref reader_poll = get_attr(reader.get(), names().poll);
    if (!reader_poll) return -2;
    if (!PyMethod_Check(reader_poll.get()) ||
        PyMethod_GET_FUNCTION(reader_poll.get()) != poll_function.get())
        return -1;
    Ref fileno = call_method0(reader.get(), names().fileno);
    if (!fileno) return -2;
    int overflow = 0;
    long fd = PyLong_AsLongAndOverflow(fileno.get(), &overflow);
    if (fd == -1 && PyErr_Occurred()) return -2;
    if (overflow || fd < 0 || fd > INT32_MAX) return -1;
    return (int)fd;
}

}  // namespace

// A part missing from the reading path (deleted, or renamed by another library version)
// leaves the queue to empty() and get().
int library_pipe(PyObject* queue) noexcept {
    int fd = library_pipe_of(queue);
    if (fd == -2 && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return -1;
    }
    return fd;
}

}  // namespace orvex::concurro
