"""The hop capture's stack, for the figures (ns) and the callgrind loop (instructions) alike.

A hop is one outbound request: the application's function calls into a client library, which
calls itself depth times (requests, urllib3 and http.client are about 12 frames deep), then the
agent's hook, which asks for the call site. Every hop builds its stack afresh, as every request
does, so no walker finds frame objects left behind by an earlier one. The walkers, all run from the
hook, answer (filename, line, name, True) for the application's frame:

- get_call_site: the native walk;
- loop: the agent's Python loop over get_frame_info and f_back;
- sentry: Sentry's tracing_utils.add_source, which finds the in-app frame for a span's source
  (project root: the application's folder), read back from the span;
- elastic: Elastic APM's iter_stack_frames with is_library_frame, excluding paths that hold the
  user-code rule's markers;
- noop: the hook calls a C function that does nothing: the floor every figure is taken above.
"""

import sys

APP_FOLDER = "/srv/app"
APP_FILE = APP_FOLDER + "/orders_service/api.py"
LIBRARY_FILE = "/srv/app/.venv/lib/python3.14/site-packages/httpclient/connection.py"
AGENT_FILE = "/opt/agent/tw-vantrel/tw_vantrel/hooks.py"
DEPTHS = [1, 12, 25, 100]
WALKERS = ["get_call_site", "loop", "sentry", "elastic"]
# The user-code rule's markers as Elastic's exclude_paths globs.
ELASTIC_EXCLUDE_PATHS = ["<*", "*site-packages*", "*dist-packages*", "*/lib/python*", "*/lib64/python*",
                         "*\\lib\\python*", "*tw-vantrel*"]

AGENT_SOURCE = '''
import sys
def loop(frame):
    while frame is not None:
        record = get_frame_info(frame)
        if record is not None:
            return record
        frame = frame.f_back
    return None
def hook_get_call_site():
    return get_call_site()
def hook_loop():
    return loop(sys._getframe())
def hook_noop():
    return nothing()
def hook_sentry():
    add_source(span, project_root, None, None)
    data = span._data
    return data[SPANDATA.CODE_FILEPATH], data[SPANDATA.CODE_LINENO], data[SPANDATA.CODE_FUNCTION]
def hook_elastic():
    for frame, line in iter_stack_frames(start_frame=sys._getframe()):
        code = frame.f_code
        if not is_library_frame(code.co_filename, None, exclude_paths):
            return code.co_filename, line, code.co_name, True
    return None
'''
LIBRARY_SOURCE = '''
def request(depth):
    if depth == 1:
        return hook()
    return request(depth - 1)
'''
APP_SOURCE = '''
def create_order(depth):
    return request(depth)
'''


def _defined_in(filename, source, names):
    namespace = dict(names)
    exec(compile(source, filename, "exec"), namespace)
    return namespace


def peer_names(peers_folder):
    """What the peers' hooks call, imported from the peers' folder."""
    if peers_folder not in sys.path:
        sys.path.append(peers_folder)
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from elasticapm.utils.stacks import get_path_regex, is_library_frame, iter_stack_frames
        from sentry_sdk.consts import SPANDATA
        from sentry_sdk.tracing import Span
        from sentry_sdk.tracing_utils import add_source
    return {"add_source": add_source, "span": Span(), "project_root": APP_FOLDER, "SPANDATA": SPANDATA,
            "iter_stack_frames": iter_stack_frames, "is_library_frame": is_library_frame,
            "exclude_paths": get_path_regex(ELASTIC_EXCLUDE_PATHS)}


def hop(walker, peers_folder=None):
    """hop(depth): one request's hop through depth library frames, answered by the walker."""
    import _twframeinfo

    names = {"get_call_site": _twframeinfo.get_call_site, "get_frame_info": _twframeinfo.get_frame_info}
    if walker == "noop":
        import _twfloor

        names["nothing"] = _twfloor.nothing
    if walker in ("sentry", "elastic"):
        names.update(peer_names(peers_folder))
    agent = _defined_in(AGENT_FILE, AGENT_SOURCE, names)
    library = _defined_in(LIBRARY_FILE, LIBRARY_SOURCE, {"hook": agent["hook_" + walker]})
    return _defined_in(APP_FILE, APP_SOURCE, {"request": library["request"]})["create_order"]


def site_line():
    """The line of the application's call, as every walker must report it."""
    return APP_SOURCE.splitlines().index("    return request(depth)") + 1


def check(walker, answer):
    """Whether a walker's answer is the application's call site."""
    line = site_line()
    if walker == "sentry":
        return answer == (APP_FILE[len(APP_FOLDER) + 1:], line, "create_order")
    return answer == (APP_FILE, line, "create_order", True)
