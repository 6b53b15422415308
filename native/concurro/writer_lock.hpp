// The batch queue's writer lock, which each worker holds while it writes its record, and
// what becomes of it when its holder ends without letting it go: multiprocessing tells
// neither who holds it nor whether they live.
#pragma once

#include "common/ref.hpp"
#include "concurro/pipe_drain.hpp"

namespace orvex::concurro {

// lock.acquire(False): 1 when taken, 0 when not, -1 with an error set.
int try_acquire(PyObject* lock) noexcept;

// 1 when the queue's writer lock is taken, 0 when it is free, -1 with an error set.
int writer_lock_held(PyObject* queue) noexcept;

// When the writer lock is held by a worker known to have ended, so that it would never be
// released and the part of a record that worker wrote would never complete: takes what
// the pipe still holds, drops that part (the worker then has no record) and gives the lock
// back, so the others can put theirs. Judged and done by the drain's thread alone, under
// the reader lock that the drain holds, on facts that hold until the lock is given back.
// 1 when it was given back; 0 when the holder is not known to have ended (it may be
// running, stopped, traced or frozen); -1 with an error set.
int reclaim_writer_lock(PipeDrain& drain) noexcept;

}  // namespace orvex::concurro
