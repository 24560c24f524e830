// Every module is initialised in phases (PEP 489): each interpreter that imports it gets a module
// object of its own, and the exec slot runs there, in that interpreter.
#pragma once

#include <Python.h>

namespace tw {

using ExecFunction = int (*)(PyObject*);

// A slot table row stores its function as a void*.
inline void* slot_entry(ExecFunction exec)
{
    return reinterpret_cast<void*>(exec);
}

}  // namespace tw

// From 3.12 an interpreter may have a lock of its own (an isolated one). A module may say so only
// when no object of one interpreter can reach another, and what it keeps for the whole process is
// safe against interpreters that really run at the same time.
#if PY_VERSION_HEX >= 0x030C0000
#define TW_PER_INTERPRETER_GIL_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define TW_PER_INTERPRETER_GIL_SLOT
#endif
