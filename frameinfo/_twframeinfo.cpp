// _twframeinfo: tells the application's own code from libraries and from the agent by source
// file path, and turns frames and functions of application code into call-site records.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../common/absorb.h"
#include "../common/fastcall.h"
#include "../common/module_slots.h"
#include "../common/pyref.h"
#include "user_code.h"

using tw::Ref;

// The module keeps no state, in any interpreter: only the constant definition tables below.

namespace {

// Frames, functions and code objects are read through their C structures rather than by
// attribute name: those types can't be subclassed and their attributes are data descriptors,
// so the result is the same as the lookup's, without building and hashing the name. Any other
// object goes through the lookup by name.

// Every reader below fails the same way: with its error absorbed, or with an interrupt pending
// (see unanswered).

// An attribute as a new reference, or null when it can't be read.
Ref attribute_or_null(PyObject* owner, const char* name)
{
    Ref value = Ref::steal(PyObject_GetAttrString(owner, name));
    if (!value) {
        tw::absorb_error();
    }
    return value;
}

// An attribute converted to a C long (which may call __index__); false when it is missing or is
// no integer (a frame's f_lineno can be None).
bool long_attribute(PyObject* owner, const char* name, long* value)
{
    const Ref object = attribute_or_null(owner, name);
    if (!object) {
        return false;
    }
    *value = PyLong_AsLong(object.get());
    if (*value == -1 && PyErr_Occurred()) {
        tw::absorb_error();
        return false;
    }
    return true;
}

// Reading f_code or __code__ raises this audit event; reading the structure must raise it too.
bool audit_code_access(PyObject* owner, const char* attribute)
{
    if (PySys_Audit("object.__getattr__", "Os", owner, attribute) < 0) {
        tw::absorb_error();
        return false;
    }
    return true;
}

Ref frame_code(PyObject* frame)
{
    if (!PyFrame_Check(frame)) {
        return attribute_or_null(frame, "f_code");
    }
    if (!audit_code_access(frame, "f_code")) {
        return {};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
}

Ref function_code(PyObject* func)
{
    if (!PyFunction_Check(func)) {
        return attribute_or_null(func, "__code__");
    }
    if (!audit_code_access(func, "__code__")) {
        return {};
    }
    return Ref::borrow(PyFunction_GET_CODE(func));
}

Ref code_filename(PyObject* code)
{
    if (PyCode_Check(code)) {
        return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_filename);
    }
    return attribute_or_null(code, "co_filename");
}

Ref code_name(PyObject* /*frame*/, PyObject* code)
{
    if (PyCode_Check(code)) {
        return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_name);
    }
    return attribute_or_null(code, "co_name");
}

Ref function_name(PyObject* func, PyObject* /*code*/)
{
    if (PyFunction_Check(func)) {
        return Ref::borrow(reinterpret_cast<PyFunctionObject*>(func)->func_name);
    }
    return attribute_or_null(func, "__name__");
}

// The frame's current line; a frame whose f_lineno is None has no call site to report.
bool frame_line(PyObject* frame, PyObject* /*code*/, long* line)
{
    if (!PyFrame_Check(frame)) {
        return long_attribute(frame, "f_lineno", line);
    }
    *line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    return *line >= 0;
}

bool code_first_line(PyObject* /*func*/, PyObject* code, long* line)
{
    if (!PyCode_Check(code)) {
        return long_attribute(code, "co_firstlineno", line);
    }
    *line = reinterpret_cast<PyCodeObject*>(code)->co_firstlineno;
    return true;
}

// The file name's UTF-8 bytes, borrowed from it; null when it is no str or can't be encoded.
const char* path_bytes(PyObject* filename)
{
    if (!PyUnicode_Check(filename)) {
        return nullptr;
    }
    // The size-returning variant accepts an embedded NUL: such a name is judged by its text
    // before the NUL.
    Py_ssize_t size = 0;
    const char* path = PyUnicode_AsUTF8AndSize(filename, &size);
    if (path == nullptr) {
        tw::absorb_error();
    }
    return path;
}

// The answer (None or False) when a reader above failed; null when what stopped it was an
// interrupt, which leaves the method as it would leave Python code.
PyObject* unanswered(PyObject* answer)
{
    return PyErr_Occurred() ? nullptr : Py_NewRef(answer);
}

// The single argument, borrowed; null with no error pending when there isn't exactly one (the
// parser's refusal, which these methods absorb).
PyObject* only_argument(PyObject* const* args, Py_ssize_t nargs)
{
    return nargs == 1 ? args[0] : nullptr;
}

// (filename, line, name, True), or null with the memory error.
PyObject* new_record(PyObject* filename, long line, PyObject* name)
{
    Ref line_number = Ref::steal(PyLong_FromLong(line));
    if (!line_number) {
        return nullptr;
    }
    PyObject* record = PyTuple_New(4);
    if (record == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(record, 0, Py_NewRef(filename));
    PyTuple_SET_ITEM(record, 1, line_number.release());
    PyTuple_SET_ITEM(record, 2, Py_NewRef(name));
    PyTuple_SET_ITEM(record, 3, Py_NewRef(Py_True));
    return record;
}

// Where a record's parts come from, for a frame or a function (the object) and its code object.
struct RecordSource {
    Ref (*code_of)(PyObject* object);
    bool (*line_of)(PyObject* object, PyObject* code, long* line);
    Ref (*name_of)(PyObject* object, PyObject* code);
};

constexpr RecordSource kFrameRecord{frame_code, frame_line, code_name};
constexpr RecordSource kFunctionRecord{function_code, code_first_line, function_name};

// The (filename, line, name, True) record of object, or None when it is not user code or a part
// can't be read. Raises only when the record itself can't be allocated.
PyObject* extract_record(PyObject* object, const RecordSource& source)
{
    const Ref code = source.code_of(object);
    const Ref filename = code ? code_filename(code.get()) : Ref();
    const char* path = filename ? path_bytes(filename.get()) : nullptr;  // borrowed from filename
    if (path == nullptr) {
        return unanswered(Py_None);
    }
    if (!twfi::is_user_code(path)) {
        Py_RETURN_NONE;
    }
    long line = 0;
    if (!source.line_of(object, code.get(), &line)) {
        return unanswered(Py_None);
    }
    const Ref name = source.name_of(object, code.get());
    if (!name) {
        return unanswered(Py_None);
    }
    return new_record(filename.get(), line, name.get());
}

}  // namespace

static PyObject* py_get_code_info(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("get_code_info", kwnames)) {
        return nullptr;
    }
    PyObject* func = only_argument(args, nargs);  // borrowed
    if (func == nullptr) {
        Py_RETURN_NONE;
    }
    return extract_record(func, kFunctionRecord);
}

static PyObject* py_get_frame_info(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("get_frame_info", kwnames)) {
        return nullptr;
    }
    PyObject* frame = only_argument(args, nargs);  // borrowed
    if (frame == nullptr) {
        Py_RETURN_NONE;
    }
    return extract_record(frame, kFrameRecord);
}

static PyObject* py_is_user_code_func(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("is_user_code_func", kwnames)) {
        return nullptr;
    }
    PyObject* func = only_argument(args, nargs);  // borrowed
    if (func == nullptr) {
        Py_RETURN_FALSE;
    }
    const Ref code = function_code(func);
    const Ref filename = code ? code_filename(code.get()) : Ref();
    const char* path = filename ? path_bytes(filename.get()) : nullptr;  // borrowed from filename
    if (path == nullptr) {
        return unanswered(Py_False);
    }
    return PyBool_FromLong(twfi::is_user_code(path));
}

static PyMethodDef TWFrameInfoMethods[] = {
    {"get_code_info", tw::method_entry(py_get_code_info), METH_FASTCALL | METH_KEYWORDS,
     "Extract (filename, lineno, name, is_user) from function. Returns None if not user code."},
    {"get_frame_info", tw::method_entry(py_get_frame_info), METH_FASTCALL | METH_KEYWORDS,
     "Extract (filename, lineno, name, is_user) from frame. Returns None if not user code."},
    {"is_user_code_func", tw::method_entry(py_is_user_code_func), METH_FASTCALL | METH_KEYWORDS,
     "Quick check if function is user code."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef_Slot TWFrameInfoSlots[] = {
    TW_PER_INTERPRETER_GIL_SLOT
    {0, nullptr},
};

static struct PyModuleDef twframeinfomodule = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_twframeinfo",
    /* m_doc */ "Ultra-fast frame introspection for network hop capture",
    /* m_size */ 0,
    /* m_methods */ TWFrameInfoMethods,
    /* m_slots */ TWFrameInfoSlots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

PyMODINIT_FUNC PyInit__twframeinfo(void)
{
    return PyModuleDef_Init(&twframeinfomodule);
}
