// What "absorbing" an error raised by code that is not ours means, for every module.
//
// The agent's callables, properties of the objects we are handed, audit hooks and __index__ all
// run Python code inside our calls, and a signal handler runs wherever Python code runs. Their
// ordinary errors are absorbed into our answer; a stop request is not an error of that code and
// must leave our call as it would leave any Python code: KeyboardInterrupt from Ctrl-C, SystemExit
// from a handler that calls sys.exit, GeneratorExit, and anything else outside Exception (the line
// hasattr() has drawn since 3.2).
#pragma once

#include <Python.h>

namespace tw {

// With an error pending: clears it and returns true when it is an Exception; otherwise leaves it
// pending and returns false, and the caller returns null with it.
inline bool absorb_error() noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

}  // namespace tw
