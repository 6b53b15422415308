// Class ChildLabor: the worker process, one unit of work per forked child.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

// Creates the class on the fork context's Process (read from the module now) and binds it.
int add_child_labor(PyObject* module) noexcept;

}  // namespace orvex::concurro
