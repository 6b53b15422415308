// Reading result records off a batch's queue without ever waiting for a dead writer.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

enum class DrainMode {
    kUnbounded,      // reads for as long as records keep arriving
    kOnePollPeriod,  // gives the pass back after one poll period, whatever still arrives
    kWritersGone,    // no worker can write any more: a record not yet whole counts as none
};

// Moves the whole records that the pipe of `queue` holds into `records`, keeping a record
// that is still arriving in `self._unread` for the next call. While another thread of this
// process drains the same queue, a drain that is not the last (kWritersGone) leaves the
// reading to it. 1: done; 0: the queue is not of the kind created by the batch (or its
// reading path was replaced), so the caller reads it through empty() and get(); -1: error.
int drain_pipe(PyObject* self, PyObject* queue, PyObject* records, DrainMode mode) noexcept;

}  // namespace orvex::concurro
