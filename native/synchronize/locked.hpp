// The locked decorators: wrappers that hold the instance's __lock__ around each call.
#pragma once

#include "common/ref.hpp"

namespace orvex::synchronize {

// Adds `locked`, the staticmethod of Lockable, to the Lockable class namespace.
int add_lockable_locked(PyObject* ns, PyObject* globals) noexcept;
// Binds the module-level decorator `locked`.
int add_locked(PyObject* module) noexcept;

}  // namespace orvex::synchronize
