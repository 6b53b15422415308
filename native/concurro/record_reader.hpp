// Reading result records off a batch's queue without ever waiting for a dead writer.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

// Moves the whole records that the pipe of `queue` holds into `records`, keeping a record
// that is still arriving in `self._unread` for the next call. When `writers_gone` is set,
// no worker can write any more, and a record that is not whole is dropped.
// 1: done; 0: the queue is not of the kind created by the batch (or its get or empty were
// replaced), so the caller reads it through empty() and get(); -1: error set.
int drain_pipe(PyObject* self, PyObject* queue, PyObject* records, bool writers_gone) noexcept;

}  // namespace orvex::concurro
