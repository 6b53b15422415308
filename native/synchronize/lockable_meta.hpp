// The metaclass that wraps a class's public plain functions in the module-level `locked`.
#pragma once

#include "common/ref.hpp"

namespace orvex::synchronize {

// Creates the class and binds it as `LockableMeta`.
int add_lockable_meta(PyObject* module) noexcept;

}  // namespace orvex::synchronize
