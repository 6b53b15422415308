// The bytes of one drain of a result pipe: what has arrived, cut into the queue's frames.
#pragma once

#include <time.h>

#include "common/ref.hpp"

namespace orvex::concurro {

// A drain's view of the pipe. It exists only while its drain holds the queue's reader lock,
// so no other reader of this process takes bytes from under it, and only it reads or
// changes the part of a record kept in `buffer` (self._unread) between drains.
struct PipeDrain {
    PyObject* self;     // the batch
    PyObject* queue;    // its SimpleQueue
    int fd;             // the queue's read end
    PyObject* buffer;   // a bytearray: the front of a record still arriving
    PyObject* records;  // the list whole records go to

    // Appends what the pipe holds right now, never waiting: the byte count, or -1 with an
    // error set.
    Py_ssize_t read_available() noexcept;
    // Unpickles, as get() does, every whole record at the front of buffer into records: the
    // number taken, or -1 with an error set.
    Py_ssize_t take_whole_records() noexcept;
    // The index of the worker whose record has begun at the front of buffer, when the start
    // of its pickle has arrived; -1 when there is no part or it does not tell yet.
    Py_ssize_t front_writer() const noexcept;
    bool has_part() const noexcept { return PyByteArray_GET_SIZE(buffer) > 0; }
    // Drops the part at the front of buffer. 0, or -1 with an error set.
    int discard_part() noexcept;
};

// Bytes waiting in the pipe, or -1 with an error set.
Py_ssize_t pending_bytes(int fd) noexcept;

// Waits up to timeout_ms for the pipe to have data, with the GIL released. A signal whose
// handler returns does not cut the wait short: it goes on with the time left. 1: readable;
// 0: not; -1 with an error set (a handler raised).
int wait_readable(int fd, int timeout_ms) noexcept;

// CLOCK_MONOTONIC, and the milliseconds since a reading of it.
void monotonic_now(timespec* now) noexcept;
int elapsed_ms(const timespec& since) noexcept;

}  // namespace orvex::concurro
