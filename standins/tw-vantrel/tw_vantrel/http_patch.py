"""The stand-in agent's instrumentation of http.client (which also carries urllib.request).

Every request asks the header check with its full URL, carries the trace headers only when told
to, and is attributed to the first application frame found walking outward from the request
(get_call_site).
"""

import http.client
import re

import _twconfig
import _twframeinfo
import _twheadercheck

TRACE_HEADER = "X-Tw-Trace-Id"
OVERRIDE_HEADER = "X-Tw-Funcspan-Override"

#: One entry per request sent while installed: url, inject, trace_id, override, call_site.
captured = []

#: What each request's entry is handed to: kept in memory by default; a long run writes it out.
on_request = captured.append

#: The header check each request asks; a harness may wrap it to observe every call.
decide = _twheadercheck.should_inject_headers

_original_putrequest = http.client.HTTPConnection.putrequest


# A request target in absolute-form (RFC 9112, 3.2.2), as sent through a proxy: a scheme, then
# "://". A "://" anywhere else (a query holding a URL) leaves the target in origin-form.
_ABSOLUTE_FORM = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def full_url(connection, target):
    """The absolute URL a connection's request goes to."""
    if _ABSOLUTE_FORM.match(target):
        return target
    https = isinstance(connection, http.client.HTTPSConnection)
    host = f"[{connection.host}]" if ":" in connection.host else connection.host
    if connection.port != (443 if https else 80):
        host = f"{host}:{connection.port}"
    return f"{'https' if https else 'http'}://{host}{target}"


def _putrequest(self, method, url, *args, **kwargs):
    _original_putrequest(self, method, url, *args, **kwargs)
    absolute = full_url(self, url)
    inject, trace_id, override = decide(absolute)
    if inject:
        if trace_id is not None:
            self.putheader(TRACE_HEADER, str(trace_id))
        if override is not None:
            self.putheader(OVERRIDE_HEADER, str(override))
    on_request(
        {
            "method": method,
            "url": absolute,
            "inject": inject,
            "trace_id": trace_id,
            "override": override,
            # The nearest application frame: this one, in the agent's tree, is passed over.
            "call_site": _twframeinfo.get_call_site(),
        }
    )


def install(skip_hosts, *, sink_url, api_key, service_uuid, targets=None, include=None, exclude=None):
    """Configures and activates the native library, loads the skip list (and, when given, the
    propagation targets: the only hosts the headers may go to), says where the application's code
    lives when include or exclude is given (see locate_user_code), patches http.client."""
    _twconfig.set_sink_url(sink_url)
    _twconfig.set_api_key(api_key)
    _twconfig.set_service_uuid(service_uuid)
    _twconfig.initialize()
    _twheadercheck.init_header_check(list(skip_hosts))
    if targets is not None:
        _twheadercheck.init_propagation_targets(list(targets))
    if include is not None or exclude is not None:
        locate_user_code(include or [], exclude or [])
    enable()


def locate_user_code(include, exclude):
    """Path prefixes of the application's own code (an application installed as a package, say)
    and of code in its tree that is not (vendored libraries), over the built-in rule."""
    _twframeinfo.init_user_code(list(include), list(exclude))


def enable():
    """Instruments http.client (again)."""
    http.client.HTTPConnection.putrequest = _putrequest


def disable():
    """Leaves http.client as it was, keeping the configuration and the skip list."""
    http.client.HTTPConnection.putrequest = _original_putrequest


def uninstall():
    disable()
    _twheadercheck.cleanup()
