// The synchronize module's process-wide state, set when the module is executed and kept
// for the life of the process: its interned names and keyword tuples.
#pragma once

#include "common/names.hpp"

namespace orvex::synchronize {

#define ORVEX_SYNCHRONIZE_NAMES(X)                                                             \
    X(__lock__) X(__new__) X(acquire) X(release) X(block) X(timeout) X(RLock) X(warning)       \
    X(logger) X(functools) X(multiprocessing) X(inspect) X(isfunction) X(locked) X(wraps)      \
    X(startswith) X(items) X(_LockedMeta_ignore) X(self) X(_)

struct Names {
    ORVEX_SYNCHRONIZE_NAMES(ORVEX_NAME_FIELD)
    PyObject* kw_block_timeout;  // ("block", "timeout")
    PyObject* kw_block;          // ("block",)
};

namespace detail {
extern Names g_names;
}

// Valid after init_state() has succeeded once; shadows orvex::names() in this namespace.
inline const Names& names() noexcept { return detail::g_names; }
int init_state() noexcept;

}  // namespace orvex::synchronize
