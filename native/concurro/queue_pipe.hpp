// Which result queues join may read from their pipe itself.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

// The read end's descriptor when queue is a SimpleQueue whose whole reading path (get,
// empty, the receiving methods of its reader connection, its two locks) is the library's
// own, judged at each call; -1 when anything differs or is missing, so that empty() and
// get() are used; -2 with an error set.
int library_pipe(PyObject* queue) noexcept;

}  // namespace orvex::concurro
