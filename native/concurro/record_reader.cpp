// The queue's get() blocks until a whole record has arrived. A worker killed while writing
// leaves part of a record in the pipe that never completes (the parent holds a write end
// itself, so no end of file comes either), and a read interrupted by a signal half way
// leaves the stream out of step. So the parent reads the pipe of the queue that the batch
// created itself: what is there now, frame by frame, with the same unpickling as get(),
// never waiting long, and keeping a record that is still arriving for the next pass.
#include "concurro/record_reader.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/compat.hpp"
#include "common/handled.hpp"
#include "concurro/state.hpp"
#include "concurro/workers.hpp"

namespace orvex::concurro {
namespace {

// How long a drain waits for more of a record that has begun to arrive.
constexpr int kRestOfRecordWaitMs = 50;
// How long the writer lock may stay taken with nothing arriving before its holder is taken
// for dead (when some worker has ended without a record).
constexpr int kSilentHolderWaitMs = 500;

// lock.acquire(False): 1 when taken, 0 when not, -1 with an error set.
int try_acquire(PyObject* lock) noexcept {
    PyObject* no_block = Py_False;
    Ref got = call_method(lock, names().acquire, &no_block, 1);
    return got ? PyObject_IsTrue(got.get()) : -1;
}

// 1 when someone holds lock, 0 when it is free (taken and given back), -1 with an error set.
int held_elsewhere(PyObject* lock) noexcept {
    int taken = try_acquire(lock);
    if (taken <= 0) return taken < 0 ? -1 : 1;
    return call_method0(lock, names().release) ? 0 : -1;
}

// True when obj.name is the method `function` bound to obj; -1 with an error set.
int is_bound(PyObject* obj, PyObject* name, PyObject* function) noexcept {
    Ref bound = Ref::steal(PyObject_GetAttr(obj, name));
    if (!bound) return -1;
    return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == function &&
           PyMethod_GET_SELF(bound.get()) == obj;
}

// The read end's descriptor when queue is a SimpleQueue as the batch made it; -1 when it
// is anything else; -2 with an error set.
int pipe_of(PyObject* queue) noexcept {
    if ((PyObject*)Py_TYPE(queue) != state().queue_type) return -1;
    for (auto [name, function] : {std::pair{names().get, state().queue_get},
                                  std::pair{names().empty, state().queue_empty}}) {
        int same = is_bound(queue, name, function);
        if (same <= 0) return same < 0 ? -2 : -1;
    }
    Ref reader = Ref::steal(PyObject_GetAttr(queue, names()._reader));
    if (!reader) return -2;
    if ((PyObject*)Py_TYPE(reader.get()) != state().connection_type) return -1;
    Ref fileno = call_method0(reader.get(), names().fileno);
    if (!fileno) return -2;
    int overflow = 0;
    long fd = PyLong_AsLongAndOverflow(fileno.get(), &overflow);
    if (fd == -1 && PyErr_Occurred()) return -2;
    if (overflow || fd < 0 || fd > INT32_MAX) return -1;
    return (int)fd;
}

// self._unread, made empty on first use.
Ref unread_bytes(PyObject* self) noexcept {
    Ref buffer = Ref::steal(PyObject_GetAttr(self, names()._unread));
    if (!buffer) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail();
        PyErr_Clear();
        buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
        if (!buffer || PyObject_SetAttr(self, names()._unread, buffer.get()) < 0) return fail();
    }
    if (!PyByteArray_CheckExact(buffer.get())) {
        PyErr_SetString(PyExc_TypeError, "_unread must be a bytearray");
        return fail();
    }
    return buffer;
}

// Appends what the pipe holds right now; never waits. The byte count, or -1 with an error.
// The caller holds the queue's reader lock, so no get() elsewhere takes the bytes between
// the count and the read.
Py_ssize_t read_counted(int fd, PyObject* buffer) noexcept {
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    if (available <= 0) return 0;
    Py_ssize_t old_size = PyByteArray_GET_SIZE(buffer);
    if (PyByteArray_Resize(buffer, old_size + available) < 0) return -1;
    ssize_t got;
    do {
        got = read(fd, PyByteArray_AS_STRING(buffer) + old_size, (size_t)available);
    } while (got < 0 && errno == EINTR);
    int read_errno = errno;
    // Shrinking a bytearray only moves its end.
    if (PyByteArray_Resize(buffer, old_size + (got > 0 ? got : 0)) < 0) return -1;
    if (got < 0) {
        errno = read_errno;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return got;
}

// read_counted() under the queue's reader lock; nothing is read while another thread of
// this process holds it.
Py_ssize_t read_available(PyObject* queue, int fd, PyObject* buffer) noexcept {
    Ref lock = Ref::steal(PyObject_GetAttr(queue, names()._rlock));
    if (!lock) return -1;
    int taken = try_acquire(lock.get());
    if (taken <= 0) return taken;
    Py_ssize_t got = read_counted(fd, buffer);
    if (got >= 0) return call_method0(lock.get(), names().release) ? got : -1;
    PendingError read_error;
    call_method0(lock.get(), names().release);
    return -1;
}

// A frame as the queue's connection sends it: a 4-byte big-endian signed length, or -1
// followed by an 8-byte length for payloads past 2 GiB, then the pickled record.
struct Frame {
    Py_ssize_t header = 0;
    uint64_t payload = 0;
};

// 1: the header is whole; 0: not yet; -1: no valid header (the stream is out of step).
int read_frame(const unsigned char* data, Py_ssize_t size, Frame& frame) noexcept {
    if (size < 4) return 0;
    int32_t length = (int32_t)((uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 |
                               (uint32_t)data[2] << 8 | (uint32_t)data[3]);
    if (length >= 0) {
        frame.header = 4;
        frame.payload = (uint64_t)length;
        return 1;
    }
    if (length != -1) return -1;
    if (size < 12) return 0;
    uint64_t long_length = 0;
    for (int k = 4; k < 12; ++k) long_length = long_length << 8 | data[k];
    if (long_length > (uint64_t)(PY_SSIZE_T_MAX - 12)) return -1;
    frame.header = 12;
    frame.payload = long_length;
    return 1;
}

// The index field of the record whose pickle starts at data, or -1 when it cannot be told
// (yet). A record pickles as PROTO, then (protocol 4 and up) FRAME, then its first field.
Py_ssize_t record_index(const unsigned char* data, Py_ssize_t size) noexcept {
    if (size < 2 || data[0] != 0x80) return -1;
    Py_ssize_t at = 2;
    if (size > at && data[at] == 0x95) at += 9;
    if (size <= at) return -1;
    switch (data[at]) {
        case 'K':  // BININT1
            return size > at + 1 ? data[at + 1] : -1;
        case 'M':  // BININT2, little-endian
            return size > at + 2 ? data[at + 1] | data[at + 2] << 8 : -1;
        case 'J': {  // BININT, little-endian signed
            if (size <= at + 4) return -1;
            int32_t value = (int32_t)((uint32_t)data[at + 1] | (uint32_t)data[at + 2] << 8 |
                                      (uint32_t)data[at + 3] << 16 | (uint32_t)data[at + 4] << 24);
            return value;
        }
        default:
            return -1;
    }
}

// Unpickles, as get() does, every whole record at the front of buffer into records. Each
// record leaves the buffer before its unpickling runs Python code.
int take_whole_records(PyObject* buffer, PyObject* records) noexcept {
    for (;;) {
        Py_ssize_t size = PyByteArray_GET_SIZE(buffer);
        const auto* data = (const unsigned char*)PyByteArray_AS_STRING(buffer);
        Frame frame;
        int whole = read_frame(data, size, frame);
        if (whole < 0) {
            PyErr_SetString(PyExc_RuntimeError, "the result queue holds data that is no record");
            return -1;
        }
        if (whole == 0 || (uint64_t)(size - frame.header) < frame.payload) return 0;
        Py_ssize_t end = frame.header + (Py_ssize_t)frame.payload;
        Ref payload = Ref::steal(
            PyBytes_FromStringAndSize((const char*)data + frame.header, (Py_ssize_t)frame.payload));
        if (!payload || PySequence_DelSlice(buffer, 0, end) < 0) return -1;
        Ref pickler = Ref::steal(PyObject_GetAttr(state().queues_module, names()._ForkingPickler));
        if (!pickler) return -1;
        Ref record = call_method1(pickler.get(), names().loads, payload.get());
        if (!record || PyList_Append(records, record.get()) < 0) return -1;
    }
}

// Waits up to timeout_ms for the pipe to have data, with the GIL released. 1: readable.
int wait_readable(int fd, int timeout_ms) noexcept {
    struct pollfd watched = {fd, POLLIN, 0};
    int ready;
    Py_BEGIN_ALLOW_THREADS
    ready = poll(&watched, 1, timeout_ms);
    Py_END_ALLOW_THREADS
    if (ready < 0) {
        if (errno == EINTR) return PyErr_CheckSignals() < 0 ? -1 : 0;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

// 1 when some worker has ended without a record among records and another is still alive.
int worker_lost_while_others_wait(PyObject* self, PyObject* records) noexcept {
    Ref received = Ref::steal(PySet_New(nullptr));
    if (!received) return -1;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(records); ++k) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records, k));
        Ref index = Ref::steal(PySequence_GetItem(record.get(), 0));
        if (!index || PySet_Add(received.get(), index.get()) < 0) return -1;
    }
    bool lost = false, waiting = false;
    Py_ssize_t next_index = 0;
    if (for_each_worker(self, [&](PyObject* worker) {
            Py_ssize_t i = next_index++;
            int alive = is_alive(worker);
            if (alive != 0) {
                waiting = true;
                return alive < 0 ? -1 : 0;
            }
            Ref index = Ref::steal(PyLong_FromSsize_t(i));
            int has = index ? PySet_Contains(received.get(), index.get()) : -1;
            if (has < 0) return -1;
            lost = lost || !has;
            return 0;
        }) < 0)
        return -1;
    return lost && waiting;
}

// 1 when the writer of whatever is late can be taken for dead without knowing who it is: a
// worker has ended without a record, others wait, and the pipe stays silent for a while.
int silent_writer_lost(PyObject* self, int fd, PyObject* records) noexcept {
    int suspect = worker_lost_while_others_wait(self, records);
    if (suspect <= 0) return suspect;
    int more = wait_readable(fd, kSilentHolderWaitMs);
    return more < 0 ? -1 : !more;
}

// Hands back the queue's writer lock, which a dead writer held; not held is no error.
int release_writer_lock(PyObject* queue) noexcept {
    Ref lock = Ref::steal(PyObject_GetAttr(queue, names()._wlock));
    if (!lock) return -1;
    if (call_method0(lock.get(), names().release)) return 0;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    return 0;
}

// The record at the front of buffer is late. If its writer has died, the rest never comes:
// the part is dropped (that worker then has no record), and the queue's writer lock, which
// the writer held while it wrote, is released so that the other workers can put theirs.
// The writer is known by the index at the start of its pickle; before that has arrived, by
// the same signs as a silent lock holder.
int drop_if_writer_died(PyObject* self, PyObject* queue, int fd, PyObject* buffer,
                        PyObject* records) noexcept {
    Py_ssize_t index = -1;
    {
        const auto* data = (const unsigned char*)PyByteArray_AS_STRING(buffer);
        Py_ssize_t size = PyByteArray_GET_SIZE(buffer);
        Frame frame;
        if (read_frame(data, size, frame) > 0)
            index = record_index(data + frame.header, size - frame.header);
    }
    int dead;
    if (index >= 0) {
        Ref processes = Ref::steal(PyObject_GetAttr(self, names()._processes));
        if (!processes) return -1;
        Ref writer = Ref::steal(PySequence_GetItem(processes.get(), index));
        if (!writer) {
            if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
            PyErr_Clear();
            return 0;
        }
        int alive = is_alive(writer.get());
        dead = alive < 0 ? -1 : !alive;
    } else {
        dead = silent_writer_lost(self, fd, records);
    }
    if (dead <= 0) return dead;
    // Whatever it wrote before it died is in the pipe by now.
    if (read_available(queue, fd, buffer) < 0 || take_whole_records(buffer, records) < 0) return -1;
    if (PyByteArray_GET_SIZE(buffer) == 0) return 0;
    if (PyByteArray_Resize(buffer, 0) < 0) return -1;
    return release_writer_lock(queue);
}

// The pipe is empty. A worker killed after taking the queue's writer lock and before
// writing a byte would keep the others from ever putting their records: when the lock stays
// taken while a silent writer is lost, it is released.
int free_lock_of_silent_writer(PyObject* self, PyObject* queue, int fd,
                               PyObject* records) noexcept {
    Ref lock = Ref::steal(PyObject_GetAttr(queue, names()._wlock));
    if (!lock) return -1;
    int held = held_elsewhere(lock.get());
    if (held <= 0) return held;
    int lost = silent_writer_lost(self, fd, records);
    if (lost <= 0) return lost;
    held = held_elsewhere(lock.get());
    if (held <= 0) return held;
    return release_writer_lock(queue);
}

}  // namespace

int drain_pipe(PyObject* self, PyObject* queue, PyObject* records, bool writers_gone) noexcept {
    int fd = pipe_of(queue);
    if (fd < 0) return fd == -1 ? 0 : -1;
    Ref buffer = unread_bytes(self);
    if (!buffer) return -1;
    for (;;) {
        if (read_available(queue, fd, buffer.get()) < 0 ||
            take_whole_records(buffer.get(), records) < 0)
            return -1;
        if (PyByteArray_GET_SIZE(buffer.get()) == 0) {
            if (writers_gone) return 1;
            return free_lock_of_silent_writer(self, queue, fd, records) < 0 ? -1 : 1;
        }
        if (writers_gone) return PyByteArray_Resize(buffer.get(), 0) < 0 ? -1 : 1;
        // Part of a record is here; its writer is normally still at it.
        int more = wait_readable(fd, kRestOfRecordWaitMs);
        if (more < 0) return -1;
        if (!more) break;
    }
    return drop_if_writer_died(self, queue, fd, buffer.get(), records) < 0 ? -1 : 1;
}

}  // namespace orvex::concurro
