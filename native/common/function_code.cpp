#include "common/function_code.hpp"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/names.hpp"

// Text is built in Python str objects and parsed in place: the C++ string library would
// link parts of the C++ runtime into the modules, and with them newer C library symbols.
namespace orvex {
namespace {

size_t identifier_length(const char* s) noexcept {
    size_t n = 0;
    while (isalnum((unsigned char)s[n]) || s[n] == '_') ++n;
    return n;
}

bool identifier_is(const char* s, const char* name, size_t length) noexcept {
    return identifier_length(s) == length && strncmp(s, name, length) == 0;
}

size_t count_triple_quotes(const char* s) noexcept {
    size_t count = 0;
    for (const char* at = strstr(s, "\"\"\""); at; at = strstr(at + 3, "\"\"\"")) ++count;
    return count;
}

// The line of `def name` in a stub: at the top level for "name", in the body of
// `class Owner` for "Owner.name"; 0 when the stub cannot be read or has no such def.
// Lines inside triple-quoted text are skipped.
long stub_def_line(const char* path, const char* qualname, size_t qualname_length) noexcept {
    const char* owner = nullptr;
    size_t owner_length = 0;
    const char* name = qualname;
    size_t name_length = qualname_length;
    if (const char* dot = (const char*)memchr(qualname, '.', qualname_length)) {
        owner = qualname;
        owner_length = (size_t)(dot - qualname);
        name = dot + 1;
        name_length = qualname_length - owner_length - 1;
        if (memchr(name, '.', name_length)) return 0;
    }
    FILE* fh = fopen(path, "r");
    if (!fh) return 0;
    char* line = nullptr;
    size_t capacity = 0;
    long lineno = 0, found = 0;
    bool in_text = false, in_owner = false;
    while (!found && getline(&line, &capacity, fh) != -1) {
        ++lineno;
        if (count_triple_quotes(line) % 2) in_text = !in_text;
        if (in_text || strstr(line, "\"\"\"")) continue;
        size_t indent = strspn(line, " ");
        if (line[indent] == '\0' || line[indent] == '\n' || line[indent] == '#') continue;
        if (indent == 0) {
            in_owner = owner && strncmp(line, "class ", 6) == 0 &&
                       identifier_is(line + 6, owner, owner_length);
        }
        size_t at = strncmp(line + indent, "def ", 4) == 0          ? indent + 4
                    : strncmp(line + indent, "async def ", 10) == 0 ? indent + 10
                                                                    : 0;
        if (!at || !identifier_is(line + at, name, name_length)) continue;
        if (indent == 0 ? owner == nullptr : in_owner) found = lineno;
    }
    free(line);
    fclose(fh);
    return found;
}

// Appends the text that format and its arguments make (as PyUnicode_FromFormat) to text.
bool append(Ref& text, const char* format, ...) noexcept {
    va_list arguments;
    va_start(arguments, format);
    Ref piece = Ref::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    if (!piece) return false;
    PyObject* joined = text.release();
    PyUnicode_Append(&joined, piece.get());
    text = Ref::steal(joined);
    return (bool)text;
}

// Appends the first length bytes of s.
bool append_part(Ref& text, const char* s, size_t length) noexcept {
    Ref piece = Ref::steal(PyUnicode_FromStringAndSize(s, (Py_ssize_t)length));
    return piece && append(text, "%U", piece.get());
}

// The .pyi beside the extension file, named after the module's last component.
Ref stub_path(PyObject* module_name, PyObject* module_file) noexcept {
    if (!module_file || !PyUnicode_Check(module_file)) return fail();
    Py_ssize_t slash =
        PyUnicode_FindChar(module_file, '/', 0, PyUnicode_GET_LENGTH(module_file), -1);
    Py_ssize_t dot = PyUnicode_FindChar(module_name, '.', 0, PyUnicode_GET_LENGTH(module_name), -1);
    if (slash == -2 || dot == -2) return fail();
    Ref dir = Ref::steal(PyUnicode_Substring(module_file, 0, slash + 1));
    Ref last =
        Ref::steal(PyUnicode_Substring(module_name, dot + 1, PyUnicode_GET_LENGTH(module_name)));
    if (!dir || !last) return fail();
    return Ref::steal(PyUnicode_FromFormat("%U%U.pyi", dir.get(), last.get()));
}

// The arguments that pass a def's parameters on as they came: "a, b, *args, c=c, **kw".
bool append_forwarded_arguments(Ref& text, const char* params) noexcept {
    bool keyword_only = false, first = true;
    for (const char* at = params;;) {
        const char* comma = strchr(at, ',');
        size_t length = comma ? (size_t)(comma - at) : strlen(at);
        while (length && *at == ' ') ++at, --length;
        while (length && at[length - 1] == ' ') --length;
        if (length == 1 && *at == '*') {
            keyword_only = true;
        } else if (length && !(length == 1 && *at == '/')) {
            if (!first && !append(text, ", ")) return false;
            first = false;
            if (!append_part(text, at, length)) return false;
            if (*at == '*') {
                keyword_only = keyword_only || at[1] != '*';
            } else if (keyword_only && !(append(text, "=") && append_part(text, at, length))) {
                return false;
            }
        }
        if (!comma) return true;
        at = comma + 1;
    }
}

// One line, so that every instruction of the body sits on the def's line. A copy looks the
// function up at each call, as pickle's by-reference load does, unwrapping what a class
// keeps it in (classmethod, staticmethod, property); it uses builtins only, since it may
// run with the globals of the module or with those a copier rebuilt.
bool append_body_source(Ref& text, const FunctionDef& fdef, const char* module_name) noexcept {
    const char* qualname = fdef.qualname;
    if (!append(text, "def %s(%s): ", fdef.name, fdef.params)) return false;
    if (strchr(qualname, '<')) {  // made by a call; no name leads to it
        return append(text,
                      "raise RuntimeError('%s is implemented natively; a function made from "
                      "its code object cannot run')\n",
                      qualname);
    }
    if (!append(text,
                "return (lambda f: getattr(f, '__func__', getattr(f, 'fget', f)))("
                "__import__('%s', None, None, ('__name__',), 0)",
                module_name))
        return false;
    const char* start = qualname;
    for (const char* dot = strchr(start, '.'); dot; start = dot + 1, dot = strchr(start, '.'))
        if (!append(text, ".") || !append_part(text, start, (size_t)(dot - start))) return false;
    return append(text, ".__dict__['%s'])(", start) &&
           append_forwarded_arguments(text, fdef.params) && append(text, ")\n");
}

#if ORVEX_CODE_HAS_COLUMNS
// Appends one byte to a bytearray.
bool append_byte(PyObject* table, unsigned int byte) noexcept {
    Py_ssize_t size = PyByteArray_GET_SIZE(table);
    if (PyByteArray_Resize(table, size + 1) < 0) return false;
    PyByteArray_AS_STRING(table)[size] = (char)byte;
    return true;
}

// Appends a location-table signed varint: zigzag, then 6-bit groups, 0x40 marking more.
bool append_svarint(PyObject* table, long value) noexcept {
    unsigned long v = value < 0 ? ((unsigned long)-value << 1) | 1 : (unsigned long)value << 1;
    for (; v >= 64; v >>= 6)
        if (!append_byte(table, 0x40 | (v & 0x3f))) return false;
    return append_byte(table, (unsigned int)v);
}

// The code (and the code it holds) located by line only: its columns are those of the
// generated source, which would underline the wrong part of the stub's line.
Ref without_columns(PyObject* code) noexcept {
    Ref lines = Ref::steal(PyObject_CallMethod(code, "co_lines", nullptr));
    Ref first = lines ? Ref::steal(PyObject_GetAttrString(code, "co_firstlineno")) : fail();
    Ref it = first ? Ref::steal(PyObject_GetIter(lines.get())) : fail();
    if (!it) return fail();
    long previous = PyLong_AsLong(first.get());
    Ref table = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!table) return fail();
    while (Ref range = Ref::steal(PyIter_Next(it.get()))) {
        long start, end;
        PyObject* line;
        if (!PyArg_ParseTuple(range.get(), "llO", &start, &end, &line)) return fail();
        for (long units = (end - start) / 2; units > 0; units -= 8) {
            int length = units < 8 ? (int)units : 8;
            if (line == Py_None) {  // no location
                if (!append_byte(table.get(), 0x80 | (15 << 3) | (length - 1))) return fail();
                continue;
            }
            long number = PyLong_AsLong(line);
            if (number == -1 && PyErr_Occurred()) return fail();
            // A line, no columns.
            if (!append_byte(table.get(), 0x80 | (13 << 3) | (length - 1)) ||
                !append_svarint(table.get(), number - previous))
                return fail();
            previous = number;
        }
    }
    if (PyErr_Occurred()) return fail();
    Ref consts = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
    if (!consts) return fail();
    Py_ssize_t n = PyTuple_GET_SIZE(consts.get());
    Ref new_consts = Ref::steal(PyTuple_New(n));
    if (!new_consts) return fail();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        Ref kept = PyCode_Check(item) ? without_columns(item) : Ref::borrow(item);
        if (!kept) return fail();
        PyTuple_SET_ITEM(new_consts.get(), i, kept.release());
    }
    Ref bytes = Ref::steal(PyBytes_FromObject(table.get()));
    Ref replace = bytes ? Ref::steal(PyObject_GetAttrString(code, "replace")) : fail();
    Ref kw = replace ? Ref::steal(Py_BuildValue("{s:O,s:O}", "co_linetable", bytes.get(),
                                                "co_consts", new_consts.get()))
                     : fail();
    Ref empty = kw ? Ref::steal(PyTuple_New(0)) : fail();
    if (!empty) return fail();
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kw.get()));
}
#endif

}  // namespace

Ref make_code(const FunctionDef& fdef, PyObject* module_name, PyObject* module_file) noexcept {
    const char* module = PyUnicode_AsUTF8(module_name);
    if (!module) return fail();
    // A wrapper made inside a function points at that function, as a closure's code does.
    const char* locals = strstr(fdef.qualname, ".<locals>");
    size_t qualname_length = locals ? (size_t)(locals - fdef.qualname) : strlen(fdef.qualname);
    long line = 0;
    Ref filename = stub_path(module_name, module_file);
    if (filename) {
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(filename.get()));
        if (!encoded) return fail();
        line = stub_def_line(PyBytes_AS_STRING(encoded.get()), fdef.qualname, qualname_length);
    } else if (PyErr_Occurred()) {
        return fail();
    }
    if (line == 0) {  // read harmlessly: linecache gives nothing for a <name>
        line = 1;
        filename = Ref::steal(PyUnicode_FromFormat("<%U>", module_name));
        if (!filename) return fail();
    }
    Ref newline = Ref::steal(PyUnicode_FromString("\n"));
    Ref source = newline ? Ref::steal(PySequence_Repeat(newline.get(), line - 1)) : fail();
    if (!source || !append_body_source(source, fdef, module)) return fail();
    const char* text = PyUnicode_AsUTF8(source.get());
    if (!text) return fail();
    Ref module_code =
        Ref::steal(Py_CompileStringObject(text, filename.get(), Py_file_input, nullptr, 0));
    if (!module_code) return fail();
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return fail();
    if (PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return fail();
    Ref done = Ref::steal(PyEval_EvalCode(module_code.get(), ns.get(), ns.get()));
    if (!done) return fail();
    Ref stub = Ref::borrow(PyDict_GetItemString(ns.get(), fdef.name));
    if (!stub) {
        PyErr_SetString(PyExc_SystemError, "stub definition produced no function");
        return fail();
    }
    Ref code = Ref::steal(PyObject_GetAttr(stub.get(), names().__code__));
#if ORVEX_CODE_HAS_QUALNAME
    if (code) {
        Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
        if (!replace) return fail();
        Ref kw = Ref::steal(Py_BuildValue("{s:s}", "co_qualname", fdef.qualname));
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!kw || !empty) return fail();
        code = Ref::steal(PyObject_Call(replace.get(), empty.get(), kw.get()));
    }
#endif
#if ORVEX_CODE_HAS_COLUMNS
    if (code) code = without_columns(code.get());
#endif
    return code;
}

}  // namespace orvex
