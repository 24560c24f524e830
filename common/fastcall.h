// Hot methods take their arguments as a vector (METH_FASTCALL), which spares the interpreter
// building an argument tuple for every call. From Python they must look exactly like methods
// that take positional arguments parsed from a tuple: same results, same errors, same words.
#pragma once

#include <Python.h>

namespace tw {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method table row stores every kind of method function as a PyCFunction.
inline PyCFunction method_entry(FastMethod method)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// Whether the call passed keyword arguments; if so, raises the TypeError the interpreter raises
// for a positional-only (METH_VARARGS) method, in its words, before the method does anything.
inline bool refused_keywords(const char* method_name, PyObject* kwnames)
{
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return false;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", method_name);
    return true;
}

}  // namespace tw
