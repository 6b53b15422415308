// Reading the result pipe: what is there now, frame by frame, with get()'s unpickling.
#include "concurro/pipe_drain.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/compat.hpp"
#include "concurro/state.hpp"

namespace orvex::concurro {
namespace {

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

}  // namespace

Py_ssize_t pending_bytes(int fd) noexcept {
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return available;
}

Py_ssize_t PipeDrain::read_available() noexcept {
    Py_ssize_t available = pending_bytes(fd);
    if (available <= 0) return available;
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

// Each record leaves the buffer before its unpickling runs Python code.
Py_ssize_t PipeDrain::take_whole_records() noexcept {
    for (Py_ssize_t taken = 0;; ++taken) {
        Py_ssize_t size = PyByteArray_GET_SIZE(buffer);
        const auto* data = (const unsigned char*)PyByteArray_AS_STRING(buffer);
        Frame frame;
        int whole = read_frame(data, size, frame);
        if (whole < 0) {
            PyErr_SetString(PyExc_RuntimeError, "the result queue holds data that is no record");
            return -1;
        }
        if (whole == 0 || (uint64_t)(size - frame.header) < frame.payload) return taken;
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

Py_ssize_t PipeDrain::front_writer() const noexcept {
    const auto* data = (const unsigned char*)PyByteArray_AS_STRING(buffer);
    Py_ssize_t size = PyByteArray_GET_SIZE(buffer);
    Frame frame;
    if (read_frame(data, size, frame) <= 0) return -1;
    return record_index(data + frame.header, size - frame.header);
}

int PipeDrain::discard_part() noexcept { return has_part() ? PyByteArray_Resize(buffer, 0) : 0; }

// By the system call itself: the C library's clock_gettime carries a newer symbol version
// than anything else the modules need.
void monotonic_now(timespec* now) noexcept { syscall(SYS_clock_gettime, CLOCK_MONOTONIC, now); }

int elapsed_ms(const timespec& since) noexcept {
    timespec now;
    monotonic_now(&now);
    return (int)((now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000);
}

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

}  // namespace orvex::concurro
