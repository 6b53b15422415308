// Class Pcall: one batch of parallel calls, from argument fan-out to ordered results.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

// Creates the class (and the shared ckwargs default) and binds it as `Pcall`.
int add_pcall(PyObject* module) noexcept;

}  // namespace orvex::concurro
