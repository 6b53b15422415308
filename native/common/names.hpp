// Interned names, built once and kept for the life of the process. The core holds the
// names the shared code reads; each module keeps its own list with its state.
#pragma once

#include "common/ref.hpp"

namespace orvex {

// For a list of names X(a) X(b) ...: one struct field per name, and the interning of them
// into a struct called `names` (each fails with the error set).
#define ORVEX_NAME_FIELD(n) PyObject* n;
#define ORVEX_NAME_INTERN(n) \
    if (!names.n && !(names.n = PyUnicode_InternFromString(#n))) return -1;

// clang-format off
#define ORVEX_CORE_NAMES(X)                                                                    \
    X(__code__) X(__name__) X(__import__) X(get_context) X(getLogger) X(multiprocessing)       \
    X(fork) X(logging)
// clang-format on

struct Names {
    ORVEX_CORE_NAMES(ORVEX_NAME_FIELD)
};

namespace detail {
extern Names g_names;
}

// Valid after init_names() has succeeded once. Inline: hot paths read several per call.
inline const Names& names() noexcept { return detail::g_names; }
int init_names() noexcept;

}  // namespace orvex
