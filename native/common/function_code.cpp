#include "common/function_code.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/names.hpp"

namespace orvex {
namespace {

bool starts_with(const std::string& s, size_t at, const char* prefix) {
    return s.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string identifier_at(const std::string& s, size_t at) {
    size_t end = at;
    while (end < s.size() && (isalnum((unsigned char)s[end]) || s[end] == '_')) ++end;
    return s.substr(at, end - at);
}

size_t count_triple_quotes(const std::string& s) {
    size_t count = 0;
    for (size_t at = s.find("\"\"\""); at != std::string::npos; at = s.find("\"\"\"", at + 3))
        ++count;
    return count;
}

// The line of `def name` in a stub: at the top level for "name", in the body of
// `class Owner` for "Owner.name"; 0 when the stub cannot be read or has no such def.
// Lines inside triple-quoted text are skipped.
long stub_def_line(const char* path, const std::string& qualname) noexcept {
    std::string owner, name = qualname;
    size_t dot = qualname.find('.');
    if (dot != std::string::npos) {
        owner = qualname.substr(0, dot);
        name = qualname.substr(dot + 1);
        if (name.find('.') != std::string::npos) return 0;
    }
    FILE* fh = std::fopen(path, "r");
    if (!fh) return 0;
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length;
    long lineno = 0, found = 0;
    bool in_text = false;
    std::string klass;
    while (!found && (length = getline(&buffer, &capacity, fh)) != -1) {
        ++lineno;
        std::string line(buffer, (size_t)length);
        if (count_triple_quotes(line) % 2) in_text = !in_text;
        if (in_text || line.find("\"\"\"") != std::string::npos) continue;
        size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos || line[indent] == '\n' || line[indent] == '#') continue;
        if (indent == 0) klass = starts_with(line, 0, "class ") ? identifier_at(line, 6) : "";
        size_t at = starts_with(line, indent, "def ")         ? indent + 4
                    : starts_with(line, indent, "async def ") ? indent + 10
                                                              : 0;
        if (!at || identifier_at(line, at) != name) continue;
        if (indent == 0 ? owner.empty() : (!owner.empty() && klass == owner)) found = lineno;
    }
    std::free(buffer);
    std::fclose(fh);
    return found;
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
std::string forwarded_arguments(const char* params) {
    std::string out, param;
    bool keyword_only = false;
    std::string list = std::string(params) + ",";
    for (char c : list) {
        if (c != ',') {
            if (c != ' ') param += c;
            continue;
        }
        if (param.empty() || param == "/") {
        } else if (param == "*") {
            keyword_only = true;
        } else {
            if (!out.empty()) out += ", ";
            if (param[0] == '*') {
                keyword_only = keyword_only || param[1] != '*';
                out += param;
            } else {
                out += param;
                if (keyword_only) out.append("=").append(param);
            }
        }
        param.clear();
    }
    return out;
}

// One line, so that every instruction of the body sits on the def's line. A copy looks the
// function up at each call, as pickle's by-reference load does, unwrapping what a class
// keeps it in (classmethod, staticmethod, property); it uses builtins only, since it may
// run with the globals of the module or with those a copier rebuilt.
std::string body_source(const FunctionDef& fdef, const char* module_name) {
    std::string qualname = fdef.qualname, source = "def ";
    source.append(fdef.name).append("(").append(fdef.params).append("): ");
    if (qualname.find('<') != std::string::npos) {  // made by a call; no name leads to it
        source.append("raise RuntimeError('").append(qualname);
        return source.append(
            " is implemented natively; a function made from its code object cannot run')\n");
    }
    source.append("return (lambda f: getattr(f, '__func__', getattr(f, 'fget', f)))(");
    source.append("__import__('").append(module_name).append("', None, None, ('__name__',), 0)");
    size_t start = 0;
    for (size_t dot = qualname.find('.'); dot != std::string::npos;
         start = dot + 1, dot = qualname.find('.', start))
        source.append(".").append(qualname, start, dot - start);
    source.append(".__dict__['").append(qualname, start, std::string::npos).append("'])(");
    return source.append(forwarded_arguments(fdef.params)).append(")\n");
}

#if ORVEX_CODE_HAS_COLUMNS
// Appends a location-table signed varint: zigzag, then 6-bit groups, 0x40 marking more.
void append_svarint(std::string& out, long value) {
    unsigned long v = value < 0 ? ((unsigned long)-value << 1) | 1 : (unsigned long)value << 1;
    for (; v >= 64; v >>= 6) out += (char)(0x40 | (v & 0x3f));
    out += (char)v;
}

// The code (and the code it holds) located by line only: its columns are those of the
// generated source, which would underline the wrong part of the stub's line.
Ref without_columns(PyObject* code) noexcept {
    Ref lines = Ref::steal(PyObject_CallMethod(code, "co_lines", nullptr));
    Ref first = lines ? Ref::steal(PyObject_GetAttrString(code, "co_firstlineno")) : fail();
    Ref it = first ? Ref::steal(PyObject_GetIter(lines.get())) : fail();
    if (!it) return fail();
    long previous = PyLong_AsLong(first.get());
    std::string table;
    while (Ref range = Ref::steal(PyIter_Next(it.get()))) {
        long start, end;
        PyObject* line;
        if (!PyArg_ParseTuple(range.get(), "llO", &start, &end, &line)) return fail();
        for (long units = (end - start) / 2; units > 0; units -= 8) {
            int length = units < 8 ? (int)units : 8;
            if (line == Py_None) {  // no location
                table += (char)(0x80 | (15 << 3) | (length - 1));
                continue;
            }
            long number = PyLong_AsLong(line);
            if (number == -1 && PyErr_Occurred()) return fail();
            table += (char)(0x80 | (13 << 3) | (length - 1));  // a line, no columns
            append_svarint(table, number - previous);
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
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(table.data(), (Py_ssize_t)table.size()));
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
    std::string qualname = fdef.qualname;
    // A wrapper made inside a function points at that function, as a closure's code does.
    size_t locals = qualname.find(".<locals>");
    if (locals != std::string::npos) qualname.resize(locals);
    long line = 0;
    Ref filename = stub_path(module_name, module_file);
    if (filename) {
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(filename.get()));
        if (!encoded) return fail();
        line = stub_def_line(PyBytes_AS_STRING(encoded.get()), qualname);
    } else if (PyErr_Occurred()) {
        return fail();
    }
    if (line == 0) {  // read harmlessly: linecache gives nothing for a <name>
        line = 1;
        filename = Ref::steal(PyUnicode_FromFormat("<%U>", module_name));
        if (!filename) return fail();
    }
    std::string source((size_t)(line - 1), '\n');
    source += body_source(fdef, module);
    Ref module_code = Ref::steal(
        Py_CompileStringObject(source.c_str(), filename.get(), Py_file_input, nullptr, 0));
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
