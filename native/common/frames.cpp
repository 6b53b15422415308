#include "common/frames.hpp"

#include <frameobject.h>

#include <cstring>
#include <utility>

namespace orvex::frames {
namespace {

// ---- the callable that a frame's code calls to run the body ----

// Holds one native function and runs its body straight, without another frame: what the
// frame's code calls. Not a built-in function, so profilers record no C call for it.
struct BodyObject {
    PyObject_HEAD
    FunctionObject* func;
};

PyObject* body_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Ref func = Ref::borrow((PyObject*)((BodyObject*)self)->func);
    if (!func) {
        PyErr_SetString(PyExc_SystemError, "native body cleared");
        return nullptr;
    }
    return call_with_tuple((FunctionObject*)func.get(), args, kwargs, call_body);
}

int body_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(((BodyObject*)self)->func);
    return 0;
}

int body_clear(PyObject* self) noexcept {
    Py_CLEAR(((BodyObject*)self)->func);
    return 0;
}

void body_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    body_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject BodyType = [] {
    PyTypeObject t = blank_type();
    t.tp_name = "orvex.native_body";
    t.tp_basicsize = sizeof(BodyObject);
    t.tp_dealloc = body_dealloc;
    t.tp_call = body_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = body_traverse;
    t.tp_clear = body_clear;
    return t;
}();

Ref make_body(FunctionObject* f) noexcept {
    if (!(BodyType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&BodyType) < 0) return fail();
    BodyObject* body = PyObject_GC_New(BodyObject, &BodyType);
    if (!body) return fail();
    body->func = (FunctionObject*)new_ref((PyObject*)f);
    PyObject_GC_Track((PyObject*)body);
    return Ref::steal((PyObject*)body);
}

// ---- the frame's code ----

// Whether tracebacks, linecache and debuggers can read the code's file. Where linecache
// raises SyntaxError on a binary file instead of showing no line, only Python source is.
bool names_source(PyObject* code) noexcept {
    if (!kLinecacheRaisesOnBinary) return true;
    Py_ssize_t size;
    const char* file = PyUnicode_AsUTF8AndSize(((PyCodeObject*)code)->co_filename, &size);
    if (!file) {
        PyErr_Clear();
        return false;
    }
    return (size > 3 && strcmp(file + size - 3, ".py") == 0) ||
           (size > 4 && strcmp(file + size - 4, ".pyi") == 0);
}

// Code objects of the frames, by the address of the native code they are named after;
// each entry keeps that code alive, so the address is never reused. Lives for the process.
PyObject* g_frame_codes = nullptr;

// Reads an int attribute of a code object; 0 where this version's code objects lack it
// (co_posonlyargcount before 3.8). -1 with an error set.
long code_count(PyObject* code, const char* attr) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(code, attr));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return value ? PyLong_AsLong(value.get()) : -1;
}

// Appends `text` to `out`, a separator first unless out is empty.
bool append_item(Ref& out, PyObject* text) noexcept {
    Ref piece = Ref::steal(PyUnicode_GET_LENGTH(out.get()) ? PyUnicode_FromFormat(", %U", text)
                                                           : new_ref(text));
    if (!piece) return false;
    PyObject* joined = out.release();
    PyUnicode_Append(&joined, piece.get());
    out = Ref::steal(joined);
    return (bool)out;
}

// The parameter list of a def taking code's parameters, without defaults (the frame's
// function gets those as attributes), and the arguments that pass them on as they came.
bool signature_text(PyObject* code, Ref& params, Ref& forward) noexcept {
    Ref names = Ref::steal(PyObject_GetAttrString(code, "co_varnames"));
    long argcount = code_count(code, "co_argcount");
    long posonly = code_count(code, "co_posonlyargcount");
    long kwonly = code_count(code, "co_kwonlyargcount");
    long flags = code_count(code, "co_flags");
    if (!names || !PyTuple_Check(names.get()) || argcount < 0 || posonly < 0 || kwonly < 0 ||
        flags < 0)
        return false;
    params = Ref::steal(PyUnicode_FromString(""));
    forward = Ref::steal(PyUnicode_FromString(""));
    Ref slash = Ref::steal(PyUnicode_FromString("/"));
    Ref star = Ref::steal(PyUnicode_FromString("*"));
    if (!params || !forward || !slash || !star) return false;
    auto name = [&](long i) { return PyTuple_GET_ITEM(names.get(), i); };
    for (long i = 0; i < argcount; ++i) {
        if (!append_item(params, name(i)) || !append_item(forward, name(i))) return false;
        if (i + 1 == posonly && !append_item(params, slash.get())) return false;
    }
    long next = argcount + kwonly;
    if (flags & CO_VARARGS) {
        Ref starred = Ref::steal(PyUnicode_FromFormat("*%U", name(next++)));
        if (!starred || !append_item(params, starred.get()) || !append_item(forward, starred.get()))
            return false;
    } else if (kwonly && !append_item(params, star.get())) {
        return false;
    }
    for (long i = argcount; i < argcount + kwonly; ++i) {
        Ref keyword = Ref::steal(PyUnicode_FromFormat("%U=%U", name(i), name(i)));
        if (!keyword || !append_item(params, name(i)) || !append_item(forward, keyword.get()))
            return false;
    }
    if (flags & CO_VARKEYWORDS) {
        Ref starred = Ref::steal(PyUnicode_FromFormat("**%U", name(next)));
        if (!starred || !append_item(params, starred.get()) || !append_item(forward, starred.get()))
            return false;
    }
    return true;
}

// A code object named as f's code (a wrapper's frame is its code's, not the name that
// functools.wraps gave it), taking the same parameters, whose body hands them on to the
// free variable __native__ on the def line itself, so that every line event and traceback
// line falls on f's line.
Ref compile_frame_code(FunctionObject* f) noexcept {
    Ref filename = Ref::steal(PyObject_GetAttrString(f->code, "co_filename"));
    Ref name = Ref::steal(PyObject_GetAttrString(f->code, "co_name"));
    Ref params, forward;
    if (!filename || !name || !signature_text(f->code, params, forward)) return fail();
    Ref source =
        Ref::steal(PyUnicode_FromFormat("def _frame(__native__):\n"
                                        "    def %U(%U): return __native__(%U)\n"
                                        "    return %U\n",
                                        name.get(), params.get(), forward.get(), name.get()));
    if (!source) return fail();
    const char* text = PyUnicode_AsUTF8(source.get());
    if (!text) return fail();
    Ref module_code =
        Ref::steal(Py_CompileStringObject(text, filename.get(), Py_file_input, nullptr, 0));
    if (!module_code) return fail();
    // The module's code holds _frame's, which holds the one wanted.
    Ref code = std::move(module_code);
    for (int depth = 0; depth < 2; ++depth) {
        Ref consts = Ref::steal(PyObject_GetAttrString(code.get(), "co_consts"));
        if (!consts) return fail();
        code = fail();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
            if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)))
                code = Ref::borrow(PyTuple_GET_ITEM(consts.get(), i));
        }
        if (!code) {
            PyErr_SetString(PyExc_SystemError, "frame code not found");
            return fail();
        }
    }
    return code_renamed_as(code.get(), f->code);
}

// The frame's code for f, made once per code object; None when f's code names no source.
Ref frame_code(FunctionObject* f) noexcept {
    if (!g_frame_codes && !(g_frame_codes = PyDict_New())) return fail();
    Ref key = Ref::steal(PyLong_FromVoidPtr(f->code));
    if (!key) return fail();
    PyObject* entry = PyDict_GetItemWithError(g_frame_codes, key.get());
    if (entry) return Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    if (PyErr_Occurred()) return fail();
    Ref code = names_source(f->code) ? compile_frame_code(f) : Ref::borrow(Py_None);
    if (!code) return fail();
    Ref pair = Ref::steal(PyTuple_Pack(2, f->code, code.get()));
    if (!pair || PyDict_SetItem(g_frame_codes, key.get(), pair.get()) < 0) return fail();
    return code;
}

// The Python function that runs f's body in its frame: the frame code closing over a body;
// None when f has no frame. Making the code runs Python code, which may clear or replace
// f's fields: globals and qualname are held from the start.
Ref frame_function(FunctionObject* f) noexcept {
    Ref globals = Ref::borrow(f->globals);
    Ref qualname = Ref::borrow(f->qualname);
    if (!globals) return Ref::borrow(Py_None);  // cleared by the collector
    Ref code = frame_code(f);
    if (!code || code.get() == Py_None) return code;
    Ref body = make_body(f);
    if (!body) return fail();
    Ref cell = Ref::steal(PyCell_New(body.get()));
    if (!cell) return fail();
    Ref closure = Ref::steal(PyTuple_Pack(1, cell.get()));
    if (!closure) return fail();
    Ref func = Ref::steal(PyFunction_NewWithQualName(code.get(), globals.get(), qualname.get()));
    if (!func || PyFunction_SetClosure(func.get(), closure.get()) < 0) return fail();
    // The frame binds the call as f does, so it takes f's defaults as they are now.
    Ref defaults = Ref::borrow(f->defaults ? f->defaults : Py_None);
    Ref kwdefaults = Ref::borrow(f->kwdefaults ? f->kwdefaults : Py_None);
    if (PyFunction_SetDefaults(func.get(), defaults.get()) < 0 ||
        PyFunction_SetKwDefaults(func.get(), kwdefaults.get()) < 0)
        return fail();
    return func;
}

}  // namespace

PyObject* call_in_frame(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    Ref func = frame_function(f);
    if (!func) return nullptr;
    if (func.get() == Py_None) return call_body(f, args, nargs, kwnames);
    return call_vector(func.get(), args, (size_t)nargs, kwnames).release();
}

Ref log_from(FunctionObject* f, PyObject* log_method, PyObject* message) noexcept {
#if ORVEX_LOGGING_HAS_STACKLEVEL
    // In f's frame, the record would name the stub's line: one level up is f's caller.
    PyObject* frame = (PyObject*)PyEval_GetFrame();
    if (frame && g_frame_codes) {
        Ref code = frame_code(f);
        Ref running = code ? Ref::steal(PyObject_GetAttrString(frame, "f_code")) : fail();
        if (!running) return fail();
        if (code.get() != Py_None && running.get() == code.get()) {
            Ref args = Ref::steal(PyTuple_Pack(1, message));
            Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:i}", "stacklevel", 2)) : fail();
            if (!kwargs) return fail();
            return Ref::steal(PyObject_Call(log_method, args.get(), kwargs.get()));
        }
    }
#else
    (void)f;
#endif
    return call1(log_method, message);
}

void add_traceback_entry(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    Ref globals = Ref::borrow(f->globals);
    if (!globals || !names_source(f->code)) return;
    // The entry names the code's first instruction, which like all of the stub's body sits
    // on the def line without columns: traceback formatters map lasti to an instruction and
    // must find one. If the entry cannot be made, the exception goes on without it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref frame = Ref::steal((PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)f->code,
                                                  globals.get(), nullptr));
    Ref entry;
    if (frame) {
        frame_at_first_instruction((PyFrameObject*)frame.get());
        // Its locals are the parameters as the call bound them, where it binds.
        Ref locals = bound_locals(f, args, nargs, kwnames);
        if (!locals || frame_set_locals((PyFrameObject*)frame.get(), locals.get()) < 0)
            PyErr_Clear();
        entry = Ref::steal(PyObject_CallFunction((PyObject*)&PyTraceBack_Type, "OOii",
                                                 tb ? tb : Py_None, frame.get(), 0,
                                                 ((PyCodeObject*)f->code)->co_firstlineno));
    }
    if (entry) {
        Py_XDECREF(tb);
        tb = entry.release();
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace orvex::frames
