// Class Lockable: an object that owns a fork-shared re-entrant lock in __lock__.
#pragma once

#include "common/ref.hpp"

namespace orvex::synchronize {

// Creates the class (its namespace read from the module) and binds it as `Lockable`.
int add_lockable(PyObject* module) noexcept;

}  // namespace orvex::synchronize
