"""An agent's thread_local module whose trace ids name the interpreter that imported it.

Each interpreter imports a copy of its own, with a token of its own: an answer that carries
"trace-<token>-..." came from that interpreter's callable, whichever interpreter received it.
"""

import contextvars
import itertools
import uuid

INTERPRETER = uuid.uuid4().hex[:12]
trace_id_ctx = contextvars.ContextVar("trace")
funcspan_override_ctx = contextvars.ContextVar("override")
_serial = itertools.count()
# A scenario may set a function here to run inside the module's calls, which ask this callable
# while they are in progress: to meet other interpreters there, for instance.
inside_module_call = None


def get_or_set_tw_trace_id():
    if inside_module_call is not None:
        inside_module_call()
    trace_id = trace_id_ctx.get(None)
    if trace_id is None:
        trace_id = f"trace-{INTERPRETER}-{next(_serial)}"
        trace_id_ctx.set(trace_id)
    return (False, trace_id)
