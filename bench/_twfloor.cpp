// The floor of should_inject_headers: only what its interface makes unavoidable (one positional
// argument parsed with "s", a new 3-tuple). Built for the benchmarks, never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

// Callgrind's client requests: no-ops outside valgrind, and without its headers.
#if __has_include(<valgrind/callgrind.h>)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#include <valgrind/callgrind.h>
#pragma GCC diagnostic pop
#define TW_COUNT_HERE(label) CALLGRIND_DUMP_STATS_AT(label)
#else
#define TW_COUNT_HERE(label) ((void)(label))
#endif

static PyObject* new_answer()
{
    PyObject* result = PyTuple_New(3);
    if (result == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, Py_NewRef(Py_True));
    PyTuple_SET_ITEM(result, 1, Py_NewRef(Py_None));
    PyTuple_SET_ITEM(result, 2, Py_NewRef(Py_None));
    return result;
}

static PyObject* py_floor(PyObject* /*self*/, PyObject* args)
{
    const char* url = nullptr;
    if (!PyArg_ParseTuple(args, "s", &url)) {
        return nullptr;
    }
    return new_answer();
}

// The same with the argument vector of METH_FASTCALL: the floor of what that calling convention
// allows, with the checks "s" makes (a str, UTF-8, no NUL inside) but not the parser's call.
static PyObject* py_floor_fastcall(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "floor_fastcall() takes exactly one str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* url = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (url == nullptr) {
        return nullptr;
    }
    if (std::strlen(url) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return new_answer();
}

// A positional-only method that takes one object, as the call-site methods do, for comparing
// their refusal of keyword arguments.
static PyObject* py_takes_one_object(PyObject* /*self*/, PyObject* args)
{
    PyObject* object = nullptr;
    if (!PyArg_ParseTuple(args, "O", &object)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Nothing at all: what a hook pays for calling into C, the floor of the hop capture.
static PyObject* py_nothing(PyObject* /*self*/, PyObject* /*unused*/)
{
    Py_RETURN_NONE;
}

// Under callgrind, writes the instructions counted since the last such call (or the start) to a
// dump file named by label, and starts counting afresh: many figures from one process.
static PyObject* py_count_here(PyObject* /*self*/, PyObject* args)
{
    const char* label = nullptr;
    if (!PyArg_ParseTuple(args, "s", &label)) {
        return nullptr;
    }
    TW_COUNT_HERE(label);
    Py_RETURN_NONE;
}

static PyMethodDef TWFloorMethods[] = {
    {"floor", py_floor, METH_VARARGS, "Parse one str, return (True, None, None)."},
    {"floor_fastcall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_floor_fastcall)),
     METH_FASTCALL, "Take one str from the argument vector, return (True, None, None)."},
    {"takes_one_object", py_takes_one_object, METH_VARARGS, "Parse one object, return None."},
    {"nothing", py_nothing, METH_NOARGS, "Return None."},
    {"count_here", py_count_here, METH_VARARGS, "Under callgrind, dump the counts since the last dump, labelled."},
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
