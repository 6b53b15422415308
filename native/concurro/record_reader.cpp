// A worker killed while writing leaves part of a record in the pipe that never completes
// (the parent holds a write end itself, so no end of file comes either). So a drain takes
// what is there now, never waiting long, and keeps a record that is still arriving for the
// next drain; a part is dropped only once its writer is known to have ended (writer_lock.cpp
// judges that), and a writer that is merely slow, stopped or starved is waited for.
#include "concurro/record_reader.hpp"

#include <algorithm>

#include "common/compat.hpp"
#include "common/handled.hpp"
#include "concurro/pipe_drain.hpp"
#include "concurro/queue_pipe.hpp"
#include "concurro/state.hpp"
#include "concurro/writer_lock.hpp"

namespace orvex::concurro {
namespace {

// How long a drain waits with nothing arriving, for the rest of a record that has begun or
// for the first bytes of a writer that holds the writer lock, before it looks at whether
// the writer is still there (what arrived is kept either way) and lets the pass go on:
// one poll period, which the pass would otherwise sleep. Also what a drain bounded to one
// poll period may take in all.
constexpr int kWriterWaitMs = 250;
// How long a drain that has just taken a record waits for the next writer, woken on the
// writer lock as the last one let it go, to begin. A drain that stopped at each record's
// end would leave each next record to the next pass.
constexpr int kHandOverWaitMs = 20;

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

// The time a wait of wanted_ms may take within the drain's bound; 0 when it is spent.
int wait_within(DrainMode mode, const timespec& started, int wanted_ms) noexcept {
    if (mode != DrainMode::kOnePollPeriod) return wanted_ms;
    return std::max(0, std::min(wanted_ms, kWriterWaitMs - elapsed_ms(started)));
}

bool bound_spent(DrainMode mode, const timespec& started) noexcept {
    return wait_within(mode, started, kWriterWaitMs) == 0;
}

// The drain proper, its reader lock held.
int drain_locked(PipeDrain& drain, DrainMode mode) noexcept {
    timespec started;
    monotonic_now(&started);
    bool took_record = false;
    for (;;) {
        Py_ssize_t got = drain.read_available();
        Py_ssize_t taken = got < 0 ? -1 : drain.take_whole_records();
        if (taken < 0) return -1;
        took_record = took_record || taken > 0;
        if (mode == DrainMode::kWritersGone) {
            if (got > 0) continue;
            return drain.discard_part() < 0 ? -1 : 1;
        }
        int wait_ms;
        if (!drain.has_part()) {
            if (got > 0) {
                if (bound_spent(mode, started)) return 1;
                continue;
            }
            int taken_lock = writer_lock_held(drain.queue);
            if (taken_lock < 0) return -1;
            if (!taken_lock) {
                if (!took_record) return 1;
                took_record = false;
                wait_ms = wait_within(mode, started, kHandOverWaitMs);
            } else {
                // A worker that ended holding the writer lock before writing a byte would
                // keep the others from ever putting their records.
                int reclaimed = reclaim_writer_lock(drain);
                if (reclaimed != 0) return reclaimed < 0 ? -1 : 1;
                // Otherwise the holder is about to write.
                wait_ms = wait_within(mode, started, kWriterWaitMs);
            }
            if (wait_ms == 0) return 1;
            int more = wait_readable(drain.fd, wait_ms);
            if (more <= 0) return more < 0 ? -1 : 1;
            continue;
        }
        // Part of a record is here; its writer is normally still at it.
        wait_ms = wait_within(mode, started, kWriterWaitMs);
        if (wait_ms == 0) return 1;
        int more = wait_readable(drain.fd, wait_ms);
        if (more < 0) return -1;
        if (more) continue;
        // Only a whole silent wait is a reason to look at the writer.
        if (wait_ms < kWriterWaitMs) return 1;
        return reclaim_writer_lock(drain) < 0 ? -1 : 1;
    }
}

}  // namespace

int drain_pipe(PyObject* self, PyObject* queue, PyObject* records, DrainMode mode) noexcept {
    int fd = library_pipe(queue);
    if (fd < 0) return fd == -1 ? 0 : -1;
    // The reader lock is held for the whole drain, its waits included: what is read, what is
    // kept of a part and what is decided about the writer lock are one thread's at a time.
    Ref reader_lock = get_attr(queue, names()._rlock);
    if (!reader_lock) return -1;
    if (mode == DrainMode::kWritersGone) {
        // The last drain must see every byte: it waits for a drain of another thread.
        if (!call_method0(reader_lock.get(), names().acquire)) return -1;
    } else {
        int taken = try_acquire(reader_lock.get());
        if (taken <= 0) return taken < 0 ? -1 : 1;  // that thread reads what there is
    }
    Ref buffer = unread_bytes(self);
    int outcome = -1;
    if (buffer) {
        PipeDrain drain{self, queue, fd, buffer.get(), records};
        outcome = drain_locked(drain, mode);
    }
    if (outcome < 0) {
        PendingError error;
        call_method0(reader_lock.get(), names().release);
        return -1;
    }
    return call_method0(reader_lock.get(), names().release) ? outcome : -1;
}

}  // namespace orvex::concurro
