"""A fixed loop of calls for callgrind: run with n = 0 and n = N, the difference over N is the
instruction count of one call (interpreter loop included, the same for every function).

    callgrind_loop.py WHICH N [URL [ENTRY ...]]
    callgrind_loop.py WHICH N URL --targets [TARGET ...]

URL defaults to a plain https URL that misses the table; the table defaults to 15 hosts and
api.example.com. An entry "@NAME:SIZE" stands for the table figures.table_of(NAME, SIZE). A name ending in "_bound" binds an agent whose callable is a C function, so that
the count adds what the binding costs the module (the call, the context variable) and as little
as possible of the agent's own work."""

import contextvars
import itertools
import sys
import types

which, count = sys.argv[1], int(sys.argv[2])
url = sys.argv[3] if len(sys.argv) > 3 else "https://api.example.org/v1/orders?id=42&page=3"
entries = sys.argv[4:] or [f"svc{i}.internal.example" for i in range(15)] + ["api.example.com"]
# With --targets, the entries are propagation targets and the skip list is empty.
targets = entries[1:] if entries[:1] == ["--targets"] else None
if targets is not None:
    entries = []


def expand(table):
    if len(table) == 1 and table[0].startswith("@"):
        from figures import table_of

        name, size = table[0][1:].split(":")
        return table_of(name, int(size))
    return table


entries = expand(entries)
targets = expand(targets) if targets is not None else None
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
_twheadercheck.init_header_check(entries)
if targets is not None:
    _twheadercheck.init_propagation_targets(targets)
function = getattr(_twfloor, which, None) or getattr(_twheadercheck, which.removesuffix("_bound"))
# The first call may fill caches (a str's UTF-8 form): it is made in both runs alike.
function(url)
for _ in range(count):
    function(url)
