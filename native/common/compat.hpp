// The one place that reads PY_VERSION_HEX: shims over C API differences of 3.7 to 3.15.
#pragma once

#include "common/ref.hpp"

#include <frameobject.h>

#include <cstring>

// Vectorcall arrived in 3.8 (underscored), public names in 3.9. Drop with 3.8 support.
#if PY_VERSION_HEX >= 0x03080000
#define ORVEX_HAS_VECTORCALL 1
#else
#define ORVEX_HAS_VECTORCALL 0
#endif

#if PY_VERSION_HEX >= 0x03090000
#define ORVEX_TPFLAGS_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#elif ORVEX_HAS_VECTORCALL
#define ORVEX_TPFLAGS_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#if ORVEX_HAS_VECTORCALL
#define ORVEX_TPFLAGS_METHOD_DESCRIPTOR Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define ORVEX_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

#ifndef PY_VECTORCALL_ARGUMENTS_OFFSET
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
#endif

// The trashcan bounds the C stack when a long chain of objects is freed. Drop the 3.7
// spelling with 3.7 support; both expect the object untracked before BEGIN.
#if PY_VERSION_HEX >= 0x03080000
#define ORVEX_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define ORVEX_TRASHCAN_END(op) Py_TRASHCAN_END
#else
#define ORVEX_TRASHCAN_BEGIN(op, dealloc) Py_TRASHCAN_SAFE_BEGIN(op)
#define ORVEX_TRASHCAN_END(op) Py_TRASHCAN_SAFE_END(op)
#endif

// From 3.9 the interpreter refuses keyword names that are not strings before a call reaches
// a C callable; on 3.7 and 3.8 the callee has to.
#if PY_VERSION_HEX < 0x03090000
#define ORVEX_CALLEE_CHECKS_KEYWORD_NAMES 1
#else
#define ORVEX_CALLEE_CHECKS_KEYWORD_NAMES 0
#endif

// Code objects carry co_qualname from 3.11 on. Drop with 3.10 support.
#if PY_VERSION_HEX >= 0x030B0000
#define ORVEX_CODE_HAS_QUALNAME 1
#else
#define ORVEX_CODE_HAS_QUALNAME 0
#endif

// Code objects locate each instruction by column as well as by line from 3.11 on, in the
// location table that PEP 657 describes. Drop with 3.10 support.
#if PY_VERSION_HEX >= 0x030B0000
#define ORVEX_CODE_HAS_COLUMNS 1
#else
#define ORVEX_CODE_HAS_COLUMNS 0
#endif

// Python functions carry __type_params__ from 3.12 on. Drop with 3.11 support.
#if PY_VERSION_HEX >= 0x030C0000
#define ORVEX_FUNCTIONS_HAVE_TYPE_PARAMS 1
#else
#define ORVEX_FUNCTIONS_HAVE_TYPE_PARAMS 0
#endif

// Python functions compute __annotations__ from __annotate__ from 3.14 on, and
// functools.wraps copies __annotate__. Drop with 3.13 support.
#if PY_VERSION_HEX >= 0x030E0000
#define ORVEX_FUNCTIONS_HAVE_ANNOTATE 1
#else
#define ORVEX_FUNCTIONS_HAVE_ANNOTATE 0
#endif

// A function's __annotate__ that returns no dict, worded as that version's functions say it.
#if PY_VERSION_HEX >= 0x030F0000
#define ORVEX_ANNOTATE_NOT_DICT "__annotate__() must return a dict, not %.100s"
#else
#define ORVEX_ANNOTATE_NOT_DICT "__annotate__ returned non-dict of type '%.100s'"
#endif

namespace orvex {

inline Py_ssize_t vector_nargs(size_t nargsf) noexcept {
    return (Py_ssize_t)(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// Calls with positional arguments in an array, keyword values after them, their names in kwnames.
inline Ref call_vector(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
#elif ORVEX_HAS_VECTORCALL
    return Ref::steal(_PyObject_Vectorcall(callable, args, nargsf, kwnames));
#else  // 3.7: the private fast call; ignores the offset flag
    return Ref::steal(
        _PyObject_FastCallKeywords(callable, (PyObject**)args, vector_nargs(nargsf), kwnames));
#endif
}

// A type object with every slot empty, for the caller to fill field by field: the
// struct's layout differs between versions, so no aggregate of it is written out.
inline PyTypeObject blank_type() noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return t;
}

// Exactly a Python function, which guards its own entry against C recursion and has a
// vectorcall entry of its own from 3.9.
inline bool is_python_function(PyObject* callable) noexcept {
    return Py_TYPE(callable) == &PyFunction_Type;
}

// The same, new reference or null; a Python function is entered through its own vectorcall,
// which the generic call would reach after a result check that it cannot fail.
inline PyObject* call_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    if (is_python_function(callable))
        return ((PyFunctionObject*)callable)->vectorcall(callable, args, nargsf, kwnames);
#endif
    return call_vector(callable, args, nargsf, kwnames).release();
}

inline Ref call0(PyObject* callable) noexcept { return call_vector(callable, nullptr, 0, nullptr); }

inline Ref call1(PyObject* callable, PyObject* arg) noexcept {
    PyObject* args[2] = {nullptr, arg};
    return call_vector(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// obj.name(*args) without a bound-method object where the interpreter allows it.
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames = nullptr) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* stack[8];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw < 8) {
        stack[0] = obj;
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[i + 1] = args[i];
        return Ref::steal(PyObject_VectorcallMethod(
            name, stack, (size_t)(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
#endif
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return fail();
    return call_vector(method.get(), args, (size_t)nargs, kwnames);
}

inline Ref call_method0(PyObject* obj, PyObject* name) noexcept {
    return call_method(obj, name, nullptr, 0);
}

inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    return call_method(obj, name, &arg, 1);
}

inline bool gc_is_tracked(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(obj);
#else
    return _PyObject_GC_IS_TRACKED(obj);
#endif
}

// A type's version tag as the interpreter's own attribute caches key on it, else 0 (no
// valid tag). From 3.11 tags are never handed out twice, and 3.13 marks a valid tag by
// being non-zero alone. On 3.10 sys._clear_type_cache() restarts the numbering, so a tag
// can come back on a changed type and a read cached under it miss a descriptor added
// since; 3.10's own attribute cache keys on type and tag all the same, so reads cached
// here answer as Python code's do. Before 3.10 the interpreter caches no attribute read
// by tag, and neither does this.
// Free-threaded builds cache nothing: the caches are process-wide and unsynchronized.
#if PY_VERSION_HEX >= 0x030A0000 && !defined(Py_GIL_DISABLED)
constexpr bool kTypeVersionCaches = true;
#else
constexpr bool kTypeVersionCaches = false;
#endif
inline unsigned int cache_type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#elif PY_VERSION_HEX >= 0x030A0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    (void)type;
    return 0;
#endif
}

// Up to 3.10, where instance attributes live in a dict alone, a dict's own version tells
// that it still holds what it held: ma_version_tag changes with every change to the dict's
// contents and is never given to another dict, so an equal version means the same dict,
// unchanged. Drop with 3.10 support (the field is deprecated from 3.12).
#if PY_VERSION_HEX < 0x030B0000
constexpr bool kDictVersions = true;
inline uint64_t dict_version(PyObject* dict) noexcept {
    return ((PyDictObject*)dict)->ma_version_tag;
}
#else
constexpr bool kDictVersions = false;
inline uint64_t dict_version(PyObject*) noexcept { return 0; }
#endif

// Inline attribute values (3.11+): instances of a plain class keep their attributes in an
// array laid out by the class's shared keys, so one name has one slot for every instance
// of one type version; the interpreter's own attribute caches rely on that. Drop each
// branch with its version.
#if PY_VERSION_HEX >= 0x030B0000 && !defined(Py_GIL_DISABLED)
constexpr bool kInlineValues = true;  // read here; free-threaded builds take the generic way
#else
constexpr bool kInlineValues = false;
#endif
namespace detail {
// The slots of obj's inline values and, where the layout records it, their number (else
// -1); null when obj keeps no inline values now (its attributes moved to a dict).
inline PyObject** inline_values(PyObject* obj, Py_ssize_t* capacity) noexcept {
#if defined(Py_GIL_DISABLED)
    (void)obj;
    (void)capacity;
    return nullptr;  // other threads write the values: the generic lookup
#elif PY_VERSION_HEX >= 0x030D0000
    // After the object: capacity, size, embedded and valid bytes, then the slots. Checked
    // in the 3.13, 3.14 and 3.15 headers (struct _dictvalues, _PyObject_InlineValues).
    PyTypeObject* type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return nullptr;
    const uint8_t* head = (const uint8_t*)obj + type->tp_basicsize;
    if (!head[3]) return nullptr;
    *capacity = head[0];
    return (PyObject**)(head + sizeof(PyObject*));
#elif PY_VERSION_HEX >= 0x030C0000
    // Three words before the object: the dict, or the slots' address + 1 (odd: tagged).
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    uintptr_t dict_or_values = ((const uintptr_t*)obj)[-3];
    if (!(dict_or_values & 1)) return nullptr;
    *capacity = -1;
    return (PyObject**)(dict_or_values + 1);
#elif PY_VERSION_HEX >= 0x030B0000
    // Four words before the object: the slots' address, null once a dict holds them.
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    *capacity = -1;
    return ((PyObject***)obj)[-4];
#else
    (void)obj;
    (void)capacity;
    return nullptr;
#endif
}
}  // namespace detail

// Where the inline values of type's instances start, to hand to inline_attribute: their
// offset in the object from 3.13, where they follow it; unused before.
inline Py_ssize_t inline_values_offset(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_basicsize;
#else
    (void)type;
    return 0;
#endif
}

// The value in slot `slot` of obj's inline values, borrowed; null when obj keeps none now
// or the slot is empty. `slot` came from inline_slot_of, and `offset` from
// inline_values_offset, on an object of the same type at the same cache_type_version. From
// 3.13 the read takes nothing from the type, so it need not wait for the type's own read.
inline PyObject* inline_attribute(PyObject* obj, Py_ssize_t offset, Py_ssize_t slot) noexcept {
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000
    const uint8_t* head = (const uint8_t*)obj + offset;
    if (!head[3] || slot >= head[0]) return nullptr;
    return ((PyObject* const*)(head + sizeof(PyObject*)))[slot];
#else
    (void)offset;
    Py_ssize_t capacity;
    PyObject** values = detail::inline_values(obj, &capacity);
    if (!values || (capacity >= 0 && slot >= capacity)) return nullptr;
    return values[slot];
#endif
}

// The slot of obj's inline values holding `value` when exactly one does, else -1.
inline Py_ssize_t inline_slot_of(PyObject* obj, PyObject* value) noexcept {
    Py_ssize_t capacity;
    PyObject** values = detail::inline_values(obj, &capacity);
    if (!values) return -1;
    Py_ssize_t found = -1;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
    // The slots in use are listed before the array: their count at byte -2, then one
    // byte per slot going down from byte -3.
    const uint8_t* order = (const uint8_t*)values;
    for (int k = 1; k <= order[-2]; ++k) {
        Py_ssize_t slot = order[-2 - k];
        if (values[slot] != value) continue;
        if (found >= 0) return -1;
        found = slot;
    }
#else
    for (Py_ssize_t slot = 0; slot < capacity; ++slot) {
        if (values[slot] != value) continue;
        if (found >= 0) return -1;
        found = slot;
    }
#endif
    return found;
}

// obj's attribute dict when it has one that reading it does not create, borrowed; else null.
// From 3.11 asking for it builds one from the inline values, which then stop being used.
inline PyObject* existing_instance_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    (void)obj;
    return nullptr;
#else
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset > 0) return *(PyObject**)((char*)obj + offset);
    PyObject** slot = offset ? _PyObject_GetDictPtr(obj) : nullptr;
    return slot ? *slot : nullptr;
#endif
}

// The id of the running interpreter, to refuse a second one.
inline int64_t current_interpreter_id() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Whether a profiler or tracer watches the calls made on this thread, read where the
// interpreter keeps it, cheaply enough for every call. Each branch goes with its version.
// From 3.12 a sys.monitoring tool counts when it listens to the start or the return of
// Python functions, to their lines or to calls, as any of these would show a Python
// function's frame to it; sys.setprofile, sys.settrace and cProfile are such tools.
namespace detail {
#if PY_VERSION_HEX >= 0x030D0000
inline uint64_t g_monitoring_version = 0;
inline PyMonitoringState g_watched_events[4] = {};
inline bool g_watched = false;
#elif PY_VERSION_HEX >= 0x030C0000
// 3.12 has no C API that tells whether an event is monitored: the running frame's code
// object knows, since setting a global event instruments every executing code object at
// once. Its frame starts with the code. The tools per event are bytes in event order:
// PY_START 0, PY_RETURN 2, CALL 4, LINE 5, read at once. Drop with 3.12 support.
struct InterpreterFrameHead {
    PyCodeObject* f_code;
};
constexpr uint64_t kWatchedEventBytes = 0x0000ffff00ff00ffULL;
#endif
}  // namespace detail

inline bool calls_observed() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
#ifndef Py_GIL_DISABLED
    // The running thread's eval breaker carries the interpreter's monitoring version above
    // its 8 event bits, as the interpreter compares it on entering code: while it equals
    // the version last seen, so do the states. Cheaper than the call below, which fetches
    // the thread state and the interpreter's own copy.
    uintptr_t breaker =
        __atomic_load_n(&PyThreadState_GetUnchecked()->eval_breaker, __ATOMIC_RELAXED);
    if ((breaker & ~(uintptr_t)0xff) == detail::g_monitoring_version) return detail::g_watched;
#endif
    // Updates the states only when the interpreter's monitoring version changed; ExitScope
    // has nothing to undo, as no event is fired from this scope.
    static const uint8_t kEvents[4] = {PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN,
                                       PY_MONITORING_EVENT_CALL, PY_MONITORING_EVENT_LINE};
    PyMonitoring_EnterScope(detail::g_watched_events, &detail::g_monitoring_version, kEvents, 4);
    bool watched = false;
    for (const PyMonitoringState& state : detail::g_watched_events) watched |= state.active != 0;
    detail::g_watched = watched;
    return watched;
#elif PY_VERSION_HEX >= 0x030C0000
    PyThreadState* tstate = PyThreadState_GET();
    auto* frame = (detail::InterpreterFrameHead*)tstate->cframe->current_frame;
    if (!frame) return false;
    _PyCoMonitoringData* monitoring = frame->f_code->_co_monitoring;
    if (!monitoring) return false;
    uint64_t tools;
    memcpy(&tools, monitoring->active_monitors.tools, sizeof tools);
    return (tools & detail::kWatchedEventBytes) != 0;
#elif PY_VERSION_HEX >= 0x030A0000
    return PyThreadState_GET()->cframe->use_tracing != 0;
#else
    return PyThreadState_GET()->use_tracing != 0;
#endif
}

// A frame made by PyFrame_New, which never ran, as if it had stopped at its code's first
// instruction: up to 3.10 it says -1, which readers of f_lasti take for no instruction
// (3.11 and later place it at the start already). Drop with 3.10 support.
inline void frame_at_first_instruction(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lasti = 0;
#else
    (void)frame;
#endif
}

// Gives a frame made by PyFrame_New, which never ran, the values of its locals, from a dict
// by name. From 3.13 the frame's locals are a proxy that writes through; before, a dict that
// PyFrame_LocalsToFast copies in. -1 with an error set. Drop the second branch with 3.12.
inline int frame_set_locals(PyFrameObject* frame, PyObject* values) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    Ref proxy = Ref::steal(PyFrame_GetLocals(frame));
    if (!proxy) return -1;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(values, &pos, &name, &value))
        if (PyObject_SetItem(proxy.get(), name, value) < 0) return -1;
    return 0;
#else
    Ref locals = Ref::steal(PyObject_GetAttrString((PyObject*)frame, "f_locals"));
    if (!locals || PyDict_Update(locals.get(), values) < 0) return -1;
    PyFrame_LocalsToFast(frame, 0);
    return 0;
#endif
}

// logging's calls take stacklevel from 3.8. Drop with 3.7 support.
#if PY_VERSION_HEX >= 0x03080000
#define ORVEX_LOGGING_HAS_STACKLEVEL 1
#else
#define ORVEX_LOGGING_HAS_STACKLEVEL 0
#endif

// Up to 3.9 linecache.getline() raises SyntaxError on a file that is not Python source (an
// extension module), where later versions find no line. Drop with 3.9 support.
#if PY_VERSION_HEX < 0x030A0000
constexpr bool kLinecacheRaisesOnBinary = true;
#else
constexpr bool kLinecacheRaisesOnBinary = false;
#endif

// The code object `code` renamed as `like` names itself: file, first line, qualified name.
// Before 3.8 code objects have no replace(); a fresh one that nothing else holds is
// changed in place. Drop the first branch with 3.7 support.
inline Ref code_renamed_as(PyObject* code, PyObject* like) noexcept {
#if PY_VERSION_HEX < 0x03080000
    PyCodeObject* mine = (PyCodeObject*)code;
    PyCodeObject* theirs = (PyCodeObject*)like;
    Py_INCREF(theirs->co_filename);
    Py_SETREF(mine->co_filename, theirs->co_filename);
    mine->co_firstlineno = theirs->co_firstlineno;
    return Ref::borrow(code);
#else
    static const char* const kFields[] = {
        "co_filename",
        "co_firstlineno",
#if PY_VERSION_HEX >= 0x030B0000
        "co_qualname",
#endif
    };
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return fail();
    for (const char* field : kFields) {
        Ref value = Ref::steal(PyObject_GetAttrString(like, field));
        if (!value || PyDict_SetItemString(kwargs.get(), field, value.get()) < 0) return fail();
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!replace || !empty) return fail();
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
#endif
}

}  // namespace orvex
