// Whether the holder of the queue's writer lock has ended is known without guessing only by
// elimination: the holder is a worker that took the lock and has not released it; a worker
// seen blocked in the lock's own wait is not it. So when the lock stays taken and every
// worker still alive is seen waiting for it, twice, with the lock seen taken in between and
// nothing written to the pipe meanwhile, the holder is a worker that has ended. (A holder
// that released the lock has written its record first, and a waiter that took it over is
// seen holding it in the second look.) Whatever cannot be seen counts as not waiting, so
// the answer is then "not known".
//
// The holder is known in two more ways: by the index at the start of the part of its record
// that has arrived, or by the part's worker having ended. Either way the decision is taken
// and acted on by the drain that holds the queue's reader lock, so no other thread of this
// process reads, judges or gives the lock back meanwhile; and the facts it rests on stay
// true until the lock is given back, since only the ended holder could have let it go.
#include "concurro/writer_lock.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>

#include <cstdio>

#include "common/compat.hpp"
#include "concurro/proc_view.hpp"
#include "concurro/state.hpp"
#include "concurro/workers.hpp"

namespace orvex::concurro {
namespace {

// 1 when someone holds lock, 0 when it is free, -1 with an error set. Read off the
// semaphore's value, which leaves a writer that is taking the lock over undisturbed.
int held(PyObject* lock) noexcept {
    Ref semlock = get_attr(lock, names()._semlock);
    Ref value = semlock ? call_method0(semlock.get(), names()._get_value) : fail();
    if (!value) return -1;
    int free = PyObject_IsTrue(value.get());
    return free < 0 ? -1 : !free;
}

// The address of the lock's semaphore, the same in the parent and every forked child.
// 0 when the lock does not tell it; -1 with an error set.
int semaphore_address(PyObject* lock, uintptr_t* address) noexcept {
    Ref semlock = get_attr(lock, names()._semlock);
    Ref handle = semlock ? get_attr(semlock.get(), names().handle) : fail();
    if (!handle) return -1;
    if (!PyLong_Check(handle.get())) return 0;
    unsigned long long value = PyLong_AsUnsignedLongLong(handle.get());
    if (PyErr_Occurred()) return -1;
    *address = (uintptr_t)value;
    return value != 0;
}

bool is_futex_call(long number) noexcept {
#ifdef SYS_futex_time64
    if (number == SYS_futex_time64) return true;
#endif
    return number == SYS_futex;
}

// The numbers of a /proc syscall line, read by hand: from glibc 2.38 the headers send
// strtol() and strtoull() to new symbols, which the modules must not need. Each skips the
// blanks before its number and fails when there is none.
bool read_decimal(const char*& p, long* out) noexcept {
    while (*p == ' ') ++p;
    bool negative = *p == '-';
    if (negative) ++p;
    const char* start = p;
    long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (p - start == 18) return false;  // no system call number is that long
        value = value * 10 + (*p - '0');
    }
    *out = negative ? -value : value;
    return p != start;
}

bool read_hex(const char*& p, unsigned long long* out) noexcept {
    while (*p == ' ') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    unsigned long long value = 0;  // wraps past 16 digits, which no argument has
    const char* start = p;
    for (;; ++p) {
        int digit = *p >= '0' && *p <= '9'   ? *p - '0'
                    : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                    : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                             : -1;
        if (digit < 0) break;
        value = value * 16 + (unsigned)digit;
    }
    *out = value;
    return p != start;
}

// True when the main thread of process pid is blocked in a futex wait on the semaphore at
// address, as sem_wait() waits (on the value word: the first or, on big-endian 64-bit
// layouts, the second half of the first 8 bytes). Stopped in that wait counts too: the
// kernel restarts the same wait on SIGCONT. False when /proc does not tell, or does not
// show this machine's own view.
bool waits_on_semaphore(long pid, uintptr_t address) noexcept {
    if (!proc_syscall_view_is_own()) return false;
    char path[48];
    snprintf(path, sizeof path, "/proc/%ld/syscall", pid);
    SyscallLine line;
    if (read_syscall_line(path, line) <= 0) return false;
    // "NR ARG1 ARG2 ...", or "running", or "-1 SP PC" outside a system call.
    const char* p = line.text;
    long number;
    unsigned long long word, operation;
    if (!read_decimal(p, &number) || !is_futex_call(number)) return false;
    if (!read_hex(p, &word) || !read_hex(p, &operation)) return false;
    int command = (int)(operation & FUTEX_CMD_MASK);
    if (command != FUTEX_WAIT && command != FUTEX_WAIT_BITSET) return false;
    return word == address || word == address + sizeof(int);
}

// 1 when every worker that has not ended is seen waiting for the semaphore; 0 when one is
// not; -1 with an error set.
int living_workers_all_wait(PyObject* self, uintptr_t address) noexcept {
    int waiting = 1;
    if (for_each_worker(self, [&](PyObject* worker) {
            int ended = has_ended(worker);
            if (ended != 0) return ended < 0 ? -1 : 0;
            Ref pid = get_attr(worker, names().pid);
            if (!pid) return -1;
            long number = PyLong_Check(pid.get()) ? PyLong_AsLong(pid.get()) : 0;
            if (number == -1 && PyErr_Occurred()) return -1;
            if (number > 0 && waits_on_semaphore(number, address)) return 0;
            waiting = 0;
            return 1;
        }) < 0)
        return -1;
    return waiting;
}

// 1 when some worker has ended without a record among records: the one worker that can have
// died holding the lock. 0 when none has; -1 with an error set.
int worker_ended_without_record(PyObject* self, PyObject* records) noexcept {
    Ref received = Ref::steal(PySet_New(nullptr));
    if (!received) return -1;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(records); ++k) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records, k));
        Ref index = Ref::steal(PySequence_GetItem(record.get(), 0));
        if (!index || PySet_Add(received.get(), index.get()) < 0) return -1;
    }
    Py_ssize_t next_index = 0;
    return for_each_worker(self, [&](PyObject* worker) {
        Ref index = Ref::steal(PyLong_FromSsize_t(next_index++));
        int has = index ? PySet_Contains(received.get(), index.get()) : -1;
        if (has != 0) return has < 0 ? -1 : 0;
        int ended = has_ended(worker);
        return ended < 0 ? -1 : ended;
    });
}

// 1 when the holder is known to have ended by elimination, the part at the front of the
// drain's buffer, if any, not telling whose it is; 0 when not; -1 with an error set.
int holder_ended_by_elimination(PipeDrain& drain, PyObject* lock) noexcept {
    int suspect = worker_ended_without_record(drain.self, drain.records);
    if (suspect <= 0) return suspect;
    uintptr_t address = 0;
    int known = semaphore_address(lock, &address);
    if (known <= 0) return known;
    Py_ssize_t before = pending_bytes(drain.fd);
    if (before < 0) return -1;
    for (int look = 0; look < 2; ++look) {
        int taken = held(lock);
        if (taken <= 0) return taken;
        int waiting = living_workers_all_wait(drain.self, address);
        if (waiting <= 0) return waiting;
    }
    int taken = held(lock);
    if (taken <= 0) return taken;
    Py_ssize_t after = pending_bytes(drain.fd);
    if (after < 0) return -1;
    return after == before;
}

// 1 when worker number index of the batch has ended; 0 when it runs or there is no such
// worker; -1 with an error set.
int worker_ended(PyObject* self, Py_ssize_t index) noexcept {
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

int writer_lock_held(PyObject* queue) noexcept {
    Ref lock = get_attr(queue, names()._wlock);
    return lock ? held(lock.get()) : -1;
}

int try_acquire(PyObject* lock) noexcept {
    PyObject* no_block = Py_False;
    Ref got = call_method(lock, names().acquire, &no_block, 1);
    return got ? PyObject_IsTrue(got.get()) : -1;
}

int reclaim_writer_lock(PipeDrain& drain) noexcept {
    Ref lock = get_attr(drain.queue, names()._wlock);
    if (!lock) return -1;
    int taken = held(lock.get());
    if (taken <= 0) return taken;
    Py_ssize_t writer = drain.front_writer();
    int ended = writer >= 0 ? worker_ended(drain.self, writer)
                            : holder_ended_by_elimination(drain, lock.get());
    if (ended <= 0) return ended;
    // All that the holder wrote is in the pipe now, and no one else can have written.
    Py_ssize_t got = drain.read_available();
    Py_ssize_t taken_records = got < 0 ? -1 : drain.take_whole_records();
    if (taken_records < 0) return -1;
    // A record completed: the part judged by was whole after all, so its writer had let the
    // lock go and what follows is another writer's. Judged again with what is there now.
    if (taken_records > 0) return 0;
    // Judged by elimination, on a pipe that had stayed silent: bytes now mean a writer lives.
    if (writer < 0 && got > 0) return 0;
    if (drain.discard_part() < 0) return -1;
    if (call_method0(lock.get(), names().release)) return 1;
    // Released meanwhile by someone outside the batch's reading: nothing left to give back.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    return 1;
}

}  // namespace orvex::concurro
