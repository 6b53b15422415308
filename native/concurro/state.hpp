// The concurro module's process-wide state, set when the module is executed and kept for
// the life of the process: its interned names and the standard types it recognises.
#pragma once

#include "common/names.hpp"

namespace orvex::concurro {

// clang-format off
#define ORVEX_CONCURRO_NAMES(X)                                                                \
    X(__name__) X(__init__) X(__enter__) X(__exit__) X(acquire) X(release) X(timeout)          \
    X(Process) X(SimpleQueue) X(namedtuple) X(partial) X(func) X(_target) X(_args)             \
    X(_kwargs) X(_index) X(_queue) X(_work) X(target) X(args) X(kwargs) X(put) X(get)          \
    X(empty) X(exception) X(error) X(logger) X(functools) X(ChildWork)                         \
    X(ExceptionWithTraceback) X(multiprocessing) X(time) X(sleep) X(os) X(kill) X(signal)      \
    X(SIGKILL) X(pid) X(is_alive) X(terminate) X(join) X(start) X(items)                       \
    X(managed_handlers) X(tasklog) X(consolidate_next_forked_logfile) X(itertools)             \
    X(repeat) X(copy) X(update) X(targets) X(cargs) X(iargs) X(ckwargs) X(ikwargs)             \
    X(varkwargs) X(results) X(_processes) X(_build_arguments) X(index) X(queue)                \
    X(starttime) X(stoptime) X(livings) X(format) X(p) X(extended_msg) X(ChildLabor)           \
    X(TimeoutError) X(exitcode) X(_records) X(min) X(append) X(values) X(_reader) X(_rlock)    \
    X(_wlock) X(fileno) X(_unread) X(_ForkingPickler) X(loads) X(_poll) X(poll)            \
    X(recv_bytes) X(_recv_bytes) X(_recv) X(co_name) X(_semlock) X(handle)      \
    X(_get_value) X(_parent_pid) X(_popen) X(returncode)
// clang-format on

struct Names {
    ORVEX_CONCURRO_NAMES(ORVEX_NAME_FIELD)
};

struct State {
    Names names;
    PyTypeObject* repeat_type;  // itertools.repeat, an iterator the fan-out reads itself
    // The result queue the batch makes and the library modules its reading path comes from,
    // for reading it directly.
    PyObject* queues_module;      // multiprocessing.queues (its _ForkingPickler)
    PyObject* connection_module;  // multiprocessing.connection
    PyObject* queue_type;         // multiprocessing.queues.SimpleQueue
    PyObject* connection_type;    // multiprocessing.connection.Connection
    PyObject* lock_type;          // multiprocessing.synchronize.Lock
    PyTypeObject* process_type;   // multiprocessing.process.BaseProcess
};

namespace detail {
extern State g_state;
}

// Valid after init_state() has succeeded once.
inline const State& state() noexcept { return detail::g_state; }
// Shadows orvex::names() inside this module's namespace.
inline const Names& names() noexcept { return detail::g_state.names; }
int init_state() noexcept;

}  // namespace orvex::concurro
