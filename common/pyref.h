// A tiny owning reference to a Python object, so that every early return releases what the
// method took. Borrowed references stay raw pointers.
#pragma once

#include <Python.h>

namespace tw {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        // Clear before release: dropping the old reference can run arbitrary Python code.
        PyObject* old = object_;
        object_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (or null, as returned by a failing API call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a reference of its own to an object that someone else owns.
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept
    {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tw
