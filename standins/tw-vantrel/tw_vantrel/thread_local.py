"""Request context of the stand-in agent: the objects the header check binds at import."""

import contextvars
import uuid

#: The trace id of the current context; None until a request asks for one.
trace_id_ctx: contextvars.ContextVar = contextvars.ContextVar("tw_trace_id", default=None)

#: A funcspan override that application code may set for the requests it makes.
funcspan_override_ctx: contextvars.ContextVar = contextvars.ContextVar(
    "tw_funcspan_override", default=None
)


def get_or_set_tw_trace_id():
    """Return (created, trace_id): the current context's trace id, made on first use."""
    trace_id = trace_id_ctx.get()
    if trace_id is not None:
        return False, trace_id
    trace_id = uuid.uuid4().hex
    trace_id_ctx.set(trace_id)
    return True, trace_id
