// The `except ... :` block of C++ code: the current error becomes the exception being handled.
#pragma once

#include "common/ref.hpp"

namespace orvex {

// Takes the raised exception and makes it sys.exc_info() until destroyed, so that
// logger.exception() sees it and anything raised meanwhile gets it as __context__.
class HandledException {
public:
    HandledException() noexcept {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value) PyException_SetTraceback(value, tb);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        tb_ = Ref::steal(tb);
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_SetExcInfo(type, value, tb);
    }
    ~HandledException() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return tb_ ? tb_.get() : Py_None; }
    // Raises it again, as a bare `raise` inside the block would.
    void reraise() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }

private:
    Ref type_, value_, tb_;
    PyObject *saved_type_, *saved_value_, *saved_tb_;
};

// Sets the error being raised aside while cleanup code runs and raises it again when
// destroyed; whatever the cleanup itself raised is dropped.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingError() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, tb_);
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

}  // namespace orvex
