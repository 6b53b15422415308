// Frames for native functions, so that tracebacks, profilers and tracers see their calls as
// they see a Python function's.
#pragma once

#include "common/function.hpp"

namespace orvex::frames {

// Whether a profiler or tracer watches this thread's calls: a few loads, on every call.
inline bool observed() noexcept { return __builtin_expect(calls_observed(), 0); }

// Calls f's body inside a Python frame of its own: a function whose code is named as f's
// (file, line, name), so the interpreter reports its call, lines, return and exception to
// whatever watches, and tracebacks get its line. New reference, or null with the error set.
PyObject* call_in_frame(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// Calls a logging method (logger.warning, say) with message from f's body, so that the record
// names f's caller whether f runs in a frame of its own or not. New reference, or null
// with the error set.
Ref log_from(FunctionObject* f, PyObject* log_method, PyObject* message) noexcept;

// Adds f's line to the traceback of the exception being raised by the call (args, nargs,
// kwnames) of f, as the interpreter adds a Python function's when an exception leaves it.
void add_traceback_entry(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

}  // namespace orvex::frames
