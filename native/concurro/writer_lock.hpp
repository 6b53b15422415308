// The batch queue's writer lock, which each worker holds while it writes its record: is it
// taken, and has whoever took it ended? multiprocessing tells neither.
#pragma once

#include "common/ref.hpp"

namespace orvex::concurro {

// lock.acquire(False): 1 when taken, 0 when not, -1 with an error set.
int try_acquire(PyObject* lock) noexcept;

// 1 when the queue's writer lock is taken, 0 when it is free, -1 with an error set.
int writer_lock_held(PyObject* queue) noexcept;

// 1 when the queue's writer lock is held by a worker that has ended, so that it is never
// released and whatever that worker wrote of its record never completes; 0 when that is not
// known (the holder may be alive: running, stopped, traced or frozen); -1 with an error set.
// The pipe's read end is fd; the caller's own reads of it must not overlap.
int writer_lock_holder_ended(PyObject* self, PyObject* queue, int fd, PyObject* records) noexcept;

// Gives back the writer lock that an ended worker held; not held is no error.
int release_writer_lock(PyObject* queue) noexcept;

}  // namespace orvex::concurro
