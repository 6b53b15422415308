// Owned strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvex {

// Move-only holder of one strong reference; borrowed references stay plain PyObject*.
class Ref {
public:
    Ref() noexcept : ptr_(nullptr) {}
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (typically a C API "new reference").
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference back to the caller, who now owns it.
    PyObject* release() noexcept {
        PyObject* obj = ptr_;
        ptr_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_;
};

// Null marks a failure with the Python error set.
inline Ref fail() noexcept { return Ref(); }

// A new reference to obj, for a field or a result that takes one over (Py_NewRef, 3.10+).
inline PyObject* new_ref(PyObject* obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

// new_ref for an object that may be null (Py_XNewRef, 3.10+).
inline PyObject* new_xref(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return obj;
}

// obj.name, or null with the error set.
inline Ref get_attr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

}  // namespace orvex
