"""A stop request raised inside our calls leaves them as it would leave Python code.

KeyboardInterrupt from Ctrl-C and SystemExit from a signal handler that calls sys.exit may be
raised by any Python code that runs inside a method: the agent's callable, a property, an audit
hook, __index__, the agent's import. Those propagate; ordinary errors there are still absorbed.
"""

import os
import signal
import subprocess
import sys
import threading
import types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import _twframeinfo as fi
import childproc

INTERRUPTS = [KeyboardInterrupt, SystemExit]
ORDINARY_ERRORS = [ValueError, RuntimeError, AttributeError, LookupError, MemoryError,
                   type("AgentError", (Exception,), {})]


def raising(error):
    """A property that raises error when read."""

    def read(_self):
        raise error("raised while we read it")

    return property(read)


def code_like(**attributes):
    return types.SimpleNamespace(**attributes)


class Line:
    """A line number whose conversion raises."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("raised while converted")


def with_attributes(**attributes):
    return type("Carrier", (), attributes)()


# Each site: the method, and the argument in which error is raised while the method reads it.
SITES = {
    "frame f_code": (fi.get_frame_info, lambda e: with_attributes(f_code=raising(e), f_lineno=1)),
    "frame f_lineno": (fi.get_frame_info, lambda e: with_attributes(
        f_code=code_like(co_filename="/srv/app.py", co_name="n"), f_lineno=raising(e))),
    "frame line __index__": (fi.get_frame_info, lambda e: with_attributes(
        f_code=code_like(co_filename="/srv/app.py", co_name="n"), f_lineno=Line(e))),
    "code co_filename": (fi.get_frame_info, lambda e: with_attributes(
        f_code=with_attributes(co_filename=raising(e)), f_lineno=1)),
    "code co_name": (fi.get_frame_info, lambda e: with_attributes(
        f_code=with_attributes(co_filename="/srv/app.py", co_name=raising(e)), f_lineno=1)),
    "function __code__": (fi.get_code_info, lambda e: with_attributes(__code__=raising(e), __name__="f")),
    "function __name__": (fi.get_code_info, lambda e: with_attributes(
        __code__=code_like(co_filename="/srv/app.py", co_firstlineno=1), __name__=raising(e))),
    "code co_firstlineno": (fi.get_code_info, lambda e: with_attributes(
        __code__=with_attributes(co_filename="/srv/app.py", co_firstlineno=raising(e)), __name__="f")),
    "code first line __index__": (fi.get_code_info, lambda e: with_attributes(
        __code__=code_like(co_filename="/srv/app.py", co_firstlineno=Line(e)), __name__="f")),
    "quick check __code__": (fi.is_user_code_func, lambda e: with_attributes(__code__=raising(e))),
    "quick check co_filename": (fi.is_user_code_func, lambda e: with_attributes(
        __code__=with_attributes(co_filename=raising(e)))),
    "walk f_back": (fi.get_call_site, lambda e: with_attributes(
        f_code=code_like(co_filename="<library>", co_name="n"), f_lineno=1, f_back=raising(e))),
    "walk, the next link's f_code": (fi.get_call_site, lambda e: with_attributes(
        f_code=code_like(co_filename="<library>", co_name="n"), f_lineno=1, f_back=with_attributes(f_code=raising(e)))),
}


@pytest.mark.parametrize("site", SITES.values(), ids=SITES.keys())
@pytest.mark.parametrize("interrupt", INTERRUPTS)
def test_an_interrupt_while_reading_a_call_site_leaves_the_method(site, interrupt):
    method, argument = site
    with pytest.raises(interrupt, match="raised while"):
        method(argument(interrupt))


@pytest.mark.parametrize("site", SITES.values(), ids=SITES.keys())
@pytest.mark.parametrize("error", ORDINARY_ERRORS)
def test_an_ordinary_error_while_reading_a_call_site_is_still_absorbed(site, error):
    method, argument = site
    assert method(argument(error)) is (False if method is fi.is_user_code_func else None)
    assert sys.exc_info() == (None, None, None)


def test_an_interrupt_from_an_audit_hook_leaves_every_method():
    outcomes = childproc.run_for_value(
        """
        import sys
        import _twframeinfo as fi
        raise_next = None
        def hook(event, args):
            global raise_next
            if event == "object.__getattr__" and raise_next is not None:
                error, raise_next = raise_next, None
                raise error
        namespace = {"sys": sys}
        exec(compile("def f():\\n    return sys._getframe()\\n", "/srv/app.py", "exec"), namespace)
        f = namespace["f"]
        frame = f()
        sys.addaudithook(hook)
        outcomes = []
        for error in (KeyboardInterrupt, SystemExit(3), PermissionError):
            for call in (lambda: fi.get_frame_info(frame), lambda: fi.get_code_info(f),
                         lambda: fi.is_user_code_func(f)):
                raise_next = error
                try:
                    outcomes.append(repr(call()))
                except BaseException as raised:
                    outcomes.append(type(raised).__name__)
        outcomes.append(fi.get_frame_info(frame)[2])
        print(repr(outcomes))
        """
    )
    assert outcomes == ["KeyboardInterrupt"] * 3 + ["SystemExit"] * 3 + ["None", "None", "False"] + ["f"]


# An agent whose callable can be told to send a real signal to its own process, or to raise.
SIGNALLING_AGENT = """
import contextvars, os, signal
trace_id_ctx = object()
funcspan_override_ctx = contextvars.ContextVar("override")
action = None
def get_or_set_tw_trace_id():
    if action == "signal":
        os.kill(os.getpid(), signal.SIGINT)
        for _ in range(1000):
            pass  # the handler runs here, at the latest
    elif action is not None:
        raise action
    return (False, "trace")
"""

ASK_EACH_WAY = """
import signal, sys
import _twheadercheck as hc
from tw_vantrel import thread_local
hc.init_header_check(["a.example"])
def outcome():
    try:
        return hc.should_inject_headers("https://a.example/")
    except BaseException as raised:
        return (type(raised).__name__, getattr(raised, "code", None))
outcomes = []
"""


def test_a_real_sigint_inside_the_agent_call_leaves_should_inject_headers(tmp_path):
    agent = childproc.write_agent(tmp_path, SIGNALLING_AGENT)
    outcomes = childproc.run_for_value(
        ASK_EACH_WAY
        + """
for handler in (signal.default_int_handler, lambda signum, frame: sys.exit(3)):
    signal.signal(signal.SIGINT, handler)
    thread_local.action = "signal"
    outcomes.append(outcome())
    thread_local.action = None
    outcomes.append(outcome())
print(repr(outcomes))
""",
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert outcomes == [
        ("KeyboardInterrupt", None),
        (False, "trace", None),
        ("SystemExit", 3),
        (False, "trace", None),
    ]


def test_what_the_agent_call_raises_is_absorbed_unless_it_is_an_interrupt(tmp_path):
    agent = childproc.write_agent(tmp_path, SIGNALLING_AGENT)
    raised = ["KeyboardInterrupt", "SystemExit(5)", "GeneratorExit"]
    absorbed = ["ValueError", "RuntimeError", "AttributeError", "LookupError", "MemoryError",
                "StopIteration"]
    outcomes = childproc.run_for_value(
        ASK_EACH_WAY
        + f"""
for action in [{", ".join(raised + absorbed)}]:
    thread_local.action = action
    outcomes.append(outcome())
print(repr(outcomes))
""",
        extra_paths=[agent],
        with_standin_agent=False,
    )
    assert outcomes == [("KeyboardInterrupt", None), ("SystemExit", 5), ("GeneratorExit", None)] + [
        (False, None, None)
    ] * len(absorbed)


# The agent's module raises at import, or when one attribute is read, as the environment says.
INTERRUPTIBLE_AGENT = """
import contextvars, os
trace_id_ctx, twin_object = object(), object()
def get_or_set_tw_trace_id():
    return (False, "trace")
def twin_function():
    return (False, "trace")
_error = os.environ.get("AGENT_RAISES")
if _error and os.environ.get("AGENT_RAISES_AT") == "import":
    raise eval(_error)
def __getattr__(name):
    if name == "funcspan_override_ctx":
        if _error:
            raise eval(_error)
        return contextvars.ContextVar("override")
    raise AttributeError(name)
"""

IMPORT_TWICE = """
import os, sys
def attempt():
    try:
        import _twheadercheck
        return _twheadercheck.should_inject_headers("https://a/")
    except BaseException as raised:
        return (type(raised).__name__, getattr(raised, "code", None))
first = attempt()
agent = sys.modules.get("tw_vantrel.thread_local")
# What the failed import kept of the objects it read, against twins nothing else refers to.
held = (sys.getrefcount(agent.get_or_set_tw_trace_id) - sys.getrefcount(agent.twin_function),
        sys.getrefcount(agent.trace_id_ctx) - sys.getrefcount(agent.twin_object)) if agent else None
del os.environ["AGENT_RAISES"]
sys.modules.pop("tw_vantrel.thread_local", None)
second = attempt()
print(repr((first, held, second)))
"""


@pytest.mark.parametrize("where", ["import", "attribute"])
@pytest.mark.parametrize(
    "error, first",
    [
        ("KeyboardInterrupt", ("KeyboardInterrupt", None)),
        ("SystemExit(4)", ("SystemExit", 4)),
        ("ValueError('agent broke')", None),
    ],
)
def test_an_interrupt_during_the_agents_import_fails_ours_and_binds_nothing(tmp_path, where, error, first):
    agent = childproc.write_agent(tmp_path, INTERRUPTIBLE_AGENT)
    result, held, second = childproc.run_for_value(
        IMPORT_TWICE,
        extra_paths=[agent],
        with_standin_agent=False,
        env={"AGENT_RAISES": error, "AGENT_RAISES_AT": where},
    )
    if first is not None:
        assert result == first
        # Nothing half-bound: what was read before the interrupt is not kept. The next import
        # binds afresh.
        assert held in (None, (0, 0))
        assert second == (True, "trace", None)
    elif where == "import":
        assert result == (True, None, None)  # an agent that fails to import: nothing bound
    else:
        assert result == (True, "trace", None)  # a missing attribute: the others bound


class _Quiet(BaseHTTPRequestHandler):
    def do_GET(self):  # noqa: N802 - the handler's own name
        body = b"ok"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


# A small application under the stand-in agent, single-threaded: every request goes through the
# patched http.client, and it carries on past any ordinary error, as a resilient service does.
# Its SIGTERM handler says how many times the agent was asked and exits with status 7; the
# agent's callable delivers SIGTERM on one request.
STOPPING_APP = """
import contextvars, os, signal, sys, urllib.request
from tw_vantrel import thread_local
url, signal_at = sys.argv[1], int(sys.argv[2])
real_get_or_set = thread_local.get_or_set_tw_trace_id
asked = 0
def get_or_set_tw_trace_id():
    global asked
    asked += 1
    if asked == signal_at:
        os.kill(os.getpid(), signal.SIGTERM)
    return real_get_or_set()
thread_local.get_or_set_tw_trace_id = get_or_set_tw_trace_id
from tw_vantrel import http_patch
import _twheadercheck
_twheadercheck.init_header_check(["skipped.example"])
http_patch.enable()
def stop(signum, frame):
    print(asked, flush=True)
    sys.exit(7)
signal.signal(signal.SIGTERM, stop)
for _ in range(signal_at + 100):
    try:
        contextvars.Context().run(lambda: urllib.request.urlopen(url, timeout=10).read())
    except Exception:
        pass
sys.exit(0)
"""

# Emulation slows every process 20 to 30 times: there, fewer runs check the behaviour.
EMULATED = bool(os.environ.get("TW_EMULATOR"))
SIGNAL_AT = range(1, 11, 2) if EMULATED else range(1, 41, 2)


def test_a_process_under_load_stops_when_its_handler_says_so(tmp_path):
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/work"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    env["PYTHONPATH"] = os.pathsep.join(childproc.import_paths())
    if childproc.SANITIZED:
        env["LD_PRELOAD"] = childproc.preload_as_seen(None)
    (tmp_path / "app.py").write_text(STOPPING_APP)
    stops = []
    try:
        for signal_at in SIGNAL_AT:
            # The deadline only cuts off a process that never stops.
            child = subprocess.run(
                [sys.executable, str(tmp_path / "app.py"), url, str(signal_at)],
                env=env, capture_output=True, text=True, timeout=120, check=False,
            )
            asked = child.stdout.split()
            stops.append((signal_at, child.returncode, int(asked[-1]) if asked else None, child.stderr[-2000:]))
    finally:
        server.shutdown()
        server.server_close()
    # Stopped by its handler, which ran before the agent was asked for another request: nothing
    # held the stop back while the application carried on.
    assert [stop[:3] for stop in stops] == [(at, 7, at) for at, *_ in stops], stops
