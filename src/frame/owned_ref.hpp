// OwnedRef: a strong reference to a Python object, released exactly once.
//
// Functions in this module return either an OwnedRef (a new reference the
// caller now owns) or a plain PyObject* (a borrowed reference, valid while its
// owner holds it).  Releasing goes through release_reference(), which defers
// the decrement when CPython says the calling thread does not hold the
// interpreter lock.
#pragma once

#include "frame/python.hpp"

#include <utility>

namespace undarix {

// Decrements `object`'s reference count now if CPython says this thread
// holds the interpreter lock, otherwise queues it for the next entry.  Null is ignored.  Defined with the queue of pending releases.
void release_reference(PyObject* object) noexcept;

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (may be null).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = other.release();
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership: the caller now holds the new reference.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { release_reference(release()); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace undarix
