// Reads of one instance attribute that skip the generic lookup once a class is known.
#pragma once

#include "common/compat.hpp"

namespace orvex {

// True when instances of type read `name` plainly: the generic way, with neither the class
// nor its bases defining the name, so that a read runs no code and finds the instance's
// own value or nothing.
inline bool reads_plainly(PyTypeObject* type, PyObject* name) noexcept {
    return type->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(type, name);
}

// For one attribute name: per class version, whether the class is plain for the name and
// which inline slot holds it. A class is plain for a name when it reads attributes the
// generic way and neither it nor its bases define the name, so a read runs no code and
// finds the instance's own value or nothing. Then a read from the learned slot gives what
// the generic lookup would, as the interpreter's own attribute caches do.
class SlotCache {
public:
    // obj.<name> when the class of obj is plain for name; otherwise null with no error and
    // *plain false, leaving the read to the caller. Null with *plain true: the read failed.
    Ref read(PyObject* obj, PyObject* name, bool* plain) noexcept {
        if (PyObject* value = cached(obj)) {
            *plain = true;
            return Ref::borrow(value);
        }
        return read_uncached(obj, name, plain);
    }

    // obj.<name>, borrowed, when the learned slot gives it; else null with no error and the
    // read left to read() or get(). Valid until code runs.
    PyObject* peek(PyObject* obj) noexcept { return cached(obj); }

    // obj.<name>, whatever the class.
    Ref get(PyObject* obj, PyObject* name) noexcept {
        bool plain;
        Ref value = read(obj, name, &plain);
        if (value || plain) return value;
        return Ref::steal(PyObject_GetAttr(obj, name));
    }

private:
    static constexpr int kEntries = 16;
    static constexpr Py_ssize_t kNotPlain = -2;  // -1: plain, no slot known
    struct Entry {
        PyTypeObject* type;  // compared only, never dereferenced: may be gone
        unsigned int version;
        Py_ssize_t slot;
        Py_ssize_t values_offset;  // inline_values_offset of the type
    };
    Entry& entry_of(PyTypeObject* type) noexcept {
        return entries_[((uintptr_t)type / alignof(PyTypeObject)) % kEntries];
    }

    // The value in the slot learned for obj's class at its current version, borrowed; null
    // when there is none to read that way. Kept small: every locked call takes it four times.
    // The class met last is tried first, from a copy of its entry whose address does not
    // depend on obj's class, so that reading the value need not wait for reading the class.
    PyObject* cached(PyObject* obj) noexcept {
        if (!kTypeVersionCaches || !kInlineValues) return nullptr;
        PyTypeObject* type = Py_TYPE(obj);
        if (valid_for(last_entry_, type)) return value_at(obj, last_entry_);
        const Entry& entry = entry_of(type);
        if (!valid_for(entry, type)) return nullptr;
        last_entry_ = entry;
        return value_at(obj, entry);
    }

    // An entry holds a non-zero version, so equal versions mean a valid one; a slot is
    // learned only while the class reads the generic way, and any change of its
    // __getattribute__ gives the class a new version.
    static bool valid_for(const Entry& entry, PyTypeObject* type) noexcept {
        return entry.type == type && entry.version == cache_type_version(type) && entry.slot >= 0;
    }

    static PyObject* value_at(PyObject* obj, const Entry& entry) noexcept {
        return inline_attribute(obj, entry.values_offset, entry.slot);
    }

    Ref read_uncached(PyObject* obj, PyObject* name, bool* plain) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (!kTypeVersionCaches) {
            *plain = reads_plainly(type, name);
            return *plain ? read_dict(obj, name) : fail();
        }
        Entry& entry = entry_of(type);
        unsigned int version = cache_type_version(type);
        if (entry.type == type && entry.version == version && version != 0 &&
            type->tp_getattro == PyObject_GenericGetAttr) {
            *plain = entry.slot != kNotPlain;
            if (!*plain) return fail();
            if (entry.slot >= 0) return read_dict(obj, name);  // obj keeps no inline values
            // No slot learned yet: the instances seen so far kept a dict, or the value twice.
            Ref value = read_dict(obj, name);
            if (value) {
                entry.slot = inline_slot_of(obj, value.get());
                entry.values_offset = inline_values_offset(type);
            }
            return value;
        }
        *plain = reads_plainly(type, name);
        version = cache_type_version(type);  // the lookup may have just assigned one
        if (!*plain) {
            if (version) entry = {type, version, kNotPlain, 0};
            return fail();
        }
        Ref value = read_dict(obj, name);
        if (value && version)
            entry = {type, version, inline_slot_of(obj, value.get()), inline_values_offset(type)};
        return value;
    }

    // The generic lookup's result past the type, which is known to define no `name`. Where
    // dicts carry versions, the last value found is kept with its dict and version: while
    // that dict keeps the version it still holds the value, so the read is the same.
    Ref read_dict(PyObject* obj, PyObject* name) noexcept {
        if (Ref dict = Ref::borrow(existing_instance_dict(obj))) {
            bool versioned = kDictVersions && PyDict_Check(dict.get());
            uint64_t version = versioned ? dict_version(dict.get()) : 0;
            if (versioned && dict.get() == last_.dict && version == last_.version &&
                name == last_.name)
                return Ref::borrow(last_.value);
            if (PyObject* value = PyDict_GetItemWithError(dict.get(), name)) {
                // A key's __eq__ may have changed the dict during the lookup: keep only a
                // value found in the version read before it.
                if (versioned && dict_version(dict.get()) == version)
                    last_ = {dict.get(), version, name, value};
                return Ref::borrow(value);
            }
            if (PyErr_Occurred()) return fail();
        }
        return Ref::steal(PyObject_GenericGetAttr(obj, name));  // raises as it does
    }

    Entry entries_[kEntries] = {};
    Entry last_entry_ = {};
    struct LastRead {
        PyObject* dict;  // compared only: may be gone, and then no live dict has its version
        uint64_t version;
        PyObject* name;
        PyObject* value;  // held by dict while it has that version
    };
    LastRead last_ = {};
};

}  // namespace orvex
