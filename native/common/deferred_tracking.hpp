// Holding a batch of fresh containers back from the cyclic collector while they are built.
#pragma once

#include "common/compat.hpp"

namespace orvex {

// Keeps the containers of a batch out of the cyclic collector while the batch is built.
// Every young-generation pass would otherwise walk each container built so far that is
// still young, and a large batch builds hundreds of thousands of them. Only objects that
// nothing but the batch references are held back, so no cycle can form through them
// before they are all handed back, once, at the end (or on the way out of an error).
// Being out of the collector's sight also keeps them from gc.get_objects() while they are
// half-built.
class DeferredTracking {
public:
    // Check ok(): without its buffer the holder cannot hold anything.
    explicit DeferredTracking(Py_ssize_t capacity) noexcept
        : objects_(capacity > 0 ? PyMem_New(PyObject*, (size_t)capacity) : nullptr),
          capacity_(objects_ ? capacity : 0) {}
    ~DeferredTracking() {
        for (Py_ssize_t k = 0; k < size_; ++k)
            if (!gc_is_tracked(objects_[k])) PyObject_GC_Track(objects_[k]);
        PyMem_Free(objects_);
    }
    bool ok() const noexcept { return objects_ != nullptr; }
    DeferredTracking(const DeferredTracking&) = delete;
    DeferredTracking& operator=(const DeferredTracking&) = delete;

    // obj, a built-in container, must be referenced from the batch alone and outlive this
    // holder.
    void hold(PyObject* obj) noexcept {
        if (size_ == capacity_ || !gc_is_tracked(obj)) return;
        PyObject_GC_UnTrack(obj);
        // The collector itself leaves a tuple of atomic items untracked for good.
        if (!PyTuple_CheckExact(obj) || !atomic_items(obj)) objects_[size_++] = obj;
    }
    // obj, which the caller is about to stop referencing, when the batch will hold the only
    // reference left. Only built-in containers: an object of another type could still be
    // reached through a weak reference, and changed (even tracked again) meanwhile.
    void hold_alone(PyObject* obj) noexcept {
        if (Py_REFCNT(obj) == 2 && (PyTuple_CheckExact(obj) || PyDict_CheckExact(obj))) hold(obj);
    }

private:
    static bool atomic_items(PyObject* tuple) noexcept {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tuple); ++k) {
            PyObject* item = PyTuple_GET_ITEM(tuple, k);
            // The type's flag: a type object may be collectable or not, count it as one.
            if (PyType_IS_GC(Py_TYPE(item)) && !(PyTuple_CheckExact(item) && !gc_is_tracked(item)))
                return false;
        }
        return true;
    }

    PyObject** objects_;
    Py_ssize_t capacity_;
    Py_ssize_t size_ = 0;
};

}  // namespace orvex
