// The floor of should_inject_headers: only what its interface makes unavoidable (one positional
// argument parsed with "s", a new 3-tuple). Built for the benchmarks, never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* py_floor(PyObject* /*self*/, PyObject* args)
{
    const char* url = nullptr;
    if (!PyArg_ParseTuple(args, "s", &url)) {
        return nullptr;
    }
    PyObject* result = PyTuple_New(3);
    if (result == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, Py_NewRef(Py_True));
    PyTuple_SET_ITEM(result, 1, Py_NewRef(Py_None));
    PyTuple_SET_ITEM(result, 2, Py_NewRef(Py_None));
    return result;
}

static PyMethodDef TWFloorMethods[] = {
    {"floor", py_floor, METH_VARARGS, "Parse one str, return (True, None, None)."},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef twfloormodule = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_twfloor",
    /* m_doc */ "Benchmark floor: the unavoidable part of the header check's interface.",
    /* m_size */ -1,
    /* m_methods */ TWFloorMethods,
    /* m_slots */ nullptr,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

PyMODINIT_FUNC PyInit__twfloor(void)
{
    return PyModule_Create2(&twfloormodule, 1013);
}
