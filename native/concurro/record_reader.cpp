// The queue's get() blocks until a whole record has arrived. A worker killed while writing
// leaves part of a record in the pipe that never completes (the parent holds a write end
// itself, so no end of file comes either), and a read interrupted by a signal half way
// leaves the stream out of step. So the parent reads the pipe of the queue that the batch
// created itself, when the queue's reading path is the library's own: what is there now,
// frame by frame, with the same unpickling as get(), never waiting long, and keeping a
// record that is still arriving for the next pass. A part is dropped only once its writer
// is known to have ended; a writer that is merely slow, stopped or starved is waited for.
#include "concurro/record_reader.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/compat.hpp"
#include "common/handled.hpp"
#include "concurro/state.hpp"
#include "concurro/workers.hpp"
#include "concurro/writer_lock.hpp"

namespace orvex::concurro {
namespace {

// How long a drain waits with nothing arriving, for the rest of a record that has begun or
// for the first bytes of a writer that holds the writer lock, before it looks at whether
// the writer is still there (what arrived is kept either way) and lets the pass go on:
// one poll period, which the pass would otherwise sleep.
constexpr int kWriterWaitMs = 250;
// How long a drain that has just taken a record waits for the next writer, woken on the
// writer lock as the last one let it go, to begin. A drain that stopped at each record's
// end would leave each next record to the next pass.
constexpr int kHandOverWaitMs = 20;

// True when the function that obj.name gives is the Python function `name` of the library
// module whose namespace is module_dict, bound to obj: what the queue's own reading path is
// made of. Judged at each call, by where the function was defined, so a replacement made
// at any time (before this module's import too) is seen. -1 with an error set.
int is_library_method(PyObject* obj, PyObject* name, PyObject* module_dict) noexcept {
    Ref bound = get_attr(obj, name);
    if (!bound) return -1;
    if (!PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != obj) return 0;
    PyObject* function = PyMethod_GET_FUNCTION(bound.get());
    if (!PyFunction_Check(function) || PyFunction_GET_GLOBALS(function) != module_dict) return 0;
    Ref code_name = get_attr(PyFunction_GET_CODE(function), names().co_name);
    if (!code_name) return -1;
    int same = PyObject_RichCompareBool(code_name.get(), name, Py_EQ);
    return same;
}

// The read end's descriptor when queue is a SimpleQueue whose whole reading path (get,
// empty, and the receiving methods of its reader connection) is the library's own and
// whose locks are the library's; -1 when anything differs, so that empty() and get() are
// used; -2 with an error set.
int library_pipe_of(PyObject* queue) noexcept {
    if ((PyObject*)Py_TYPE(queue) != state().queue_type) return -1;
    PyObject* queues_dict = PyModule_GetDict(state().queues_module);
    PyObject* connection_dict = PyModule_GetDict(state().connection_module);
    for (PyObject* name : {names().get, names().empty}) {
        int own = is_library_method(queue, name, queues_dict);
        if (own <= 0) return own < 0 ? -2 : -1;
    }
    for (PyObject* name : {names()._rlock, names()._wlock}) {
        Ref lock = get_attr(queue, name);
        if (!lock) return -2;
        if ((PyObject*)Py_TYPE(lock.get()) != state().lock_type) return -1;
    }
    Ref reader = get_attr(queue, names()._reader);
    if (!reader) return -2;
    if ((PyObject*)Py_TYPE(reader.get()) != state().connection_type) return -1;
    // empty() asks queue._poll, the reader's poll bound at construction.
    Ref poll = get_attr(queue, names()._poll);
    if (!poll) return -2;
    if (!PyMethod_Check(poll.get()) || PyMethod_GET_SELF(poll.get()) != reader.get()) return -1;
    Ref poll_function = Ref::borrow(PyMethod_GET_FUNCTION(poll.get()));
    for (PyObject* name :
         {names().recv_bytes, names()._recv_bytes, names()._recv, names().poll, names()._poll}) {
        int own = is_library_method(reader.get(), name, connection_dict);
        if (own <= 0) return own < 0 ? -2 : -1;
    }
    Ref reader_poll = get_attr(reader.get(), names().poll);
    if (!reader_poll) return -2;
    if (!PyMethod_Check(reader_poll.get()) ||
        PyMethod_GET_FUNCTION(reader_poll.get()) != poll_function.get())
        return -1;
    Ref fileno = call_method0(reader.get(), names().fileno);
    if (!fileno) return -2;
    int overflow = 0;
    long fd = PyLong_AsLongAndOverflow(fileno.get(), &overflow);
    if (fd == -1 && PyErr_Occurred()) return -2;
    if (overflow || fd < 0 || fd > INT32_MAX) return -1;
    return (int)fd;
}

// library_pipe_of(), where a part missing from the reading path (deleted, or renamed by
// another library version) leaves the queue to empty() and get().
int pipe_of(PyObject* queue) noexcept {
    int fd = library_pipe_of(queue);
    if (fd == -2 && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return -1;
    }
    return fd;
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

// Value of read_available() when another thread of this process holds the reader lock.
constexpr Py_ssize_t kReaderBusy = -2;

// read_counted() under the queue's reader lock; nothing is read while another thread of
// this process holds it (kReaderBusy).
Py_ssize_t read_available(PyObject* queue, int fd, PyObject* buffer) noexcept {
    Ref lock = Ref::steal(PyObject_GetAttr(queue, names()._rlock));
    if (!lock) return -1;
    int taken = try_acquire(lock.get());
    if (taken <= 0) return taken < 0 ? -1 : kReaderBusy;
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

// CLOCK_MONOTONIC by the system call itself: the C library's clock_gettime carries a newer
// symbol version than anything else the modules need.
void monotonic_now(timespec* now) noexcept { syscall(SYS_clock_gettime, CLOCK_MONOTONIC, now); }

int elapsed_ms(const timespec& since) noexcept {
    timespec now;
    monotonic_now(&now);
    return (int)((now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000);
}

// Waits up to timeout_ms for the pipe to have data, with the GIL released. A signal whose
// handler returns does not cut the wait short: it goes on with the time left. 1: readable;
// 0: not; -1 with an error set (a handler raised).
int wait_readable(int fd, int timeout_ms) noexcept {
    timespec start;
    monotonic_now(&start);
    for (int left = timeout_ms;;) {
        struct pollfd watched = {fd, POLLIN, 0};
        int ready, error;
        Py_BEGIN_ALLOW_THREADS
        ready = poll(&watched, 1, left);
        error = errno;
        Py_END_ALLOW_THREADS
        if (ready >= 0) return ready > 0;
        if (error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (PyErr_CheckSignals() < 0) return -1;
        left = timeout_ms - elapsed_ms(start);
        if (left <= 0) return 0;
    }
}

// The writer of the part at the front of buffer has ended: what it wrote before it ended is
// all in the pipe, the rest never comes. The part is dropped (that worker then has no
// record) and the writer lock it held is given back, so the others can put theirs.
int drop_part_of_ended_writer(PyObject* queue, int fd, PyObject* buffer,
                              PyObject* records) noexcept {
    Py_ssize_t got = read_available(queue, fd, buffer);
    if (got == kReaderBusy) return 0;  // left to the thread reading now
    if (got < 0 || take_whole_records(buffer, records) < 0) return -1;
    if (PyByteArray_GET_SIZE(buffer) > 0 && PyByteArray_Resize(buffer, 0) < 0) return -1;
    return release_writer_lock(queue);
}

// The record at the front of buffer is late. Its writer is known by the index at the start
// of its pickle; before that has arrived (a big record's length goes first, in a write of
// its own), by what is known of the writer lock's holder. 1 when the writer has ended.
int writer_of_part_ended(PyObject* self, PyObject* queue, int fd, PyObject* buffer,
                         PyObject* records) noexcept {
    Py_ssize_t index = -1;
    {
        const auto* data = (const unsigned char*)PyByteArray_AS_STRING(buffer);
        Py_ssize_t size = PyByteArray_GET_SIZE(buffer);
        Frame frame;
        if (read_frame(data, size, frame) > 0)
            index = record_index(data + frame.header, size - frame.header);
    }
    if (index < 0) return writer_lock_holder_ended(self, queue, fd, records);
    Ref processes = get_attr(self, names()._processes);
    if (!processes) return -1;
    Ref writer = Ref::steal(PySequence_GetItem(processes.get(), index));
    if (!writer) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return has_ended(writer.get());
}

}  // namespace

int drain_pipe(PyObject* self, PyObject* queue, PyObject* records, bool writers_gone) noexcept {
    int fd = pipe_of(queue);
    if (fd < 0) return fd == -1 ? 0 : -1;
    Ref buffer = unread_bytes(self);
    if (!buffer) return -1;
    bool took_record = false;
    for (;;) {
        Py_ssize_t count = PyList_GET_SIZE(records);
        Py_ssize_t got = read_available(queue, fd, buffer.get());
        // That thread reads what there is; this pass is done.
        if (got == kReaderBusy) return 1;
        if (got < 0 || take_whole_records(buffer.get(), records) < 0) return -1;
        took_record = took_record || PyList_GET_SIZE(records) > count;
        if (PyByteArray_GET_SIZE(buffer.get()) == 0) {
            if (got > 0) continue;
            if (writers_gone) return 1;
            int taken = writer_lock_held(queue);
            if (taken < 0) return -1;
            if (!taken) {
                if (!took_record) return 1;
                took_record = false;
                int more = wait_readable(fd, kHandOverWaitMs);
                if (more <= 0) return more < 0 ? -1 : 1;
                continue;
            }
            // A worker that ended holding the writer lock before writing a byte would keep
            // the others from ever putting their records.
            int ended = writer_lock_holder_ended(self, queue, fd, records);
            if (ended < 0) return -1;
            if (ended) return release_writer_lock(queue) < 0 ? -1 : 1;
            // Otherwise the holder is about to write.
            int more = wait_readable(fd, kWriterWaitMs);
            if (more <= 0) return more < 0 ? -1 : 1;
            continue;
        }
        if (writers_gone) return PyByteArray_Resize(buffer.get(), 0) < 0 ? -1 : 1;
        // Part of a record is here; its writer is normally still at it.
        int more = wait_readable(fd, kWriterWaitMs);
        if (more < 0) return -1;
        if (!more) break;
    }
    int ended = writer_of_part_ended(self, queue, fd, buffer.get(), records);
    if (ended <= 0) return ended < 0 ? -1 : 1;
    return drop_part_of_ended_writer(queue, fd, buffer.get(), records) < 0 ? -1 : 1;
}

}  // namespace orvex::concurro
