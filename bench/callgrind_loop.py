"""A fixed loop of calls for callgrind: run with n = 0 and n = N, the difference over N is the
instruction count of one call (interpreter loop included, the same for every function).

A name ending in "_bound" binds an agent whose callable is a C function, so that the count adds
what the binding costs the module (the interpreter check, the call, the context variable) and
as little as possible of the agent's own work."""

import contextvars
import itertools
import sys
import types

which, count = sys.argv[1], int(sys.argv[2])
if which.endswith("_bound"):
    agent = types.ModuleType("tw_vantrel.thread_local")
    agent.trace_id_ctx = contextvars.ContextVar("trace")
    agent.funcspan_override_ctx = contextvars.ContextVar("override")
    agent.get_or_set_tw_trace_id = itertools.repeat((False, "trace-id")).__next__
    sys.modules["tw_vantrel"] = types.ModuleType("tw_vantrel")
    sys.modules["tw_vantrel.thread_local"] = agent

import _twfloor  # noqa: E402
import _twheadercheck  # noqa: E402

if not which.endswith("_bound"):
    _twheadercheck.cleanup()
_twheadercheck.init_header_check([f"svc{i}.internal.example" for i in range(15)] + ["api.example.com"])
url = "https://api.example.org/v1/orders?id=42&page=3"
function = getattr(_twfloor, which, None) or getattr(_twheadercheck, which.removesuffix("_bound"))
for _ in range(count):
    function(url)
