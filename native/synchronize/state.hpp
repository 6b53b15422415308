// The synchronize module's process-wide state, set when the module is executed and kept
// for the life of the process: its interned names, keyword tuples, the wait message and
// the table of first locks being stored.
#pragma once

#include "common/names.hpp"

namespace orvex::synchronize {

// clang-format off
#define ORVEX_SYNCHRONIZE_NAMES(X)                                                             \
    X(__lock__) X(__new__) X(acquire) X(release) X(block) X(timeout) X(RLock) X(warning)       \
    X(logger) X(functools) X(multiprocessing) X(inspect) X(isfunction) X(locked) X(wraps)      \
    X(startswith) X(items) X(_LockedMeta_ignore) X(self) X(_)
// clang-format on

struct Names {
    ORVEX_SYNCHRONIZE_NAMES(ORVEX_NAME_FIELD)
    PyObject* kw_block_timeout;  // ("block", "timeout")
    PyObject* kw_block;          // ("block",)
};

struct State {
    Names names;
    PyObject* wait_format;  // "Waiting for lock on %s"
    // {id(self): lock} while the first lock of an object is being stored (see locked.cpp).
    PyObject* pending_locks;
};

namespace detail {
extern State g_state;
}

// Valid after init_state() has succeeded once.
inline const State& state() noexcept { return detail::g_state; }
// Shadows orvex::names() inside this module's namespace.
inline const Names& names() noexcept { return detail::g_state.names; }
int init_state() noexcept;

}  // namespace orvex::synchronize
