// Interned names, built once and kept for the life of the process.
#pragma once

#include "common/ref.hpp"

namespace orvex {

#define ORVEX_NAMES(X)                                                                   \
    X(__code__) X(__name__) X(__init__) X(__lock__) X(__enter__) X(__exit__) X(__new__)    \
    X(acquire) X(release) X(block) X(timeout) X(get_context) X(Process) X(SimpleQueue)   \
    X(RLock) X(getLogger) X(namedtuple) X(partial) X(func) X(_target) X(_args) X(_kwargs) \
    X(_index) X(_queue) X(_work) X(target) X(args) X(kwargs) X(put) X(get) X(empty)      \
    X(exception) X(error) X(warning) X(logger) X(functools) X(ChildWork)                 \
    X(ExceptionWithTraceback) X(multiprocessing) X(time) X(sleep) X(os) X(kill)          \
    X(signal) X(SIGKILL) X(pid) X(is_alive) X(terminate) X(join) X(start) X(inspect)      \
    X(isfunction) X(locked) X(wraps) X(startswith) X(items) X(_LockedMeta_ignore)         \
    X(managed_handlers) X(tasklog) X(consolidate_next_forked_logfile) X(itertools)       \
    X(repeat) X(copy) X(update) X(targets) X(cargs) X(iargs) X(ckwargs) X(ikwargs)        \
    X(varkwargs) X(results) X(_processes) X(_build_arguments) X(index) X(queue)          \
    X(starttime) X(stoptime) X(livings) X(format) X(p) X(extended_msg) X(ChildLabor)     \
    X(TimeoutError) X(exitcode) X(_records) X(callable) X(min) X(append) X(values)     \
    X(__import__) X(_pending) X(fork) X(self) X(_) X(logging) X(_reader) X(_rlock) X(_wlock)        \
    X(fileno) X(_unread) X(_ForkingPickler) X(loads)

struct Names {
#define ORVEX_NAME_FIELD(n) PyObject* n;
    ORVEX_NAMES(ORVEX_NAME_FIELD)
#undef ORVEX_NAME_FIELD
    PyObject* kw_block_timeout;  // ("block", "timeout")
    PyObject* kw_block;          // ("block",)
    PyObject* kw_index_queue;    // ("index", "queue")
};

namespace detail {
extern Names g_names;
}

// Valid after init_names() has succeeded once. Inline: hot paths read several per call.
inline const Names& names() noexcept { return detail::g_names; }
int init_names() noexcept;

}  // namespace orvex
