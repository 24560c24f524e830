"""The host that each real HTTP client would connect to for a URL, read from the client's own
objects: nothing is sent, no socket is opened and no name is looked up.

The clients are Debian's urllib3, requests and httpx (unpacked by
`tools/provision-python.sh --clients`, never installed) and the standard library's
urllib.request. Python 3.11 gets Debian 12's (urllib3 1.26, requests 2.28, httpx 0.23), the
clients an application on that release's python3.11 runs with; every other interpreter gets
Debian testing's. For each URL a client gives a `Destination`: the host as the client hands it to
the socket layer, and the address or DNS name the resolver makes of that host; or the type of the
error with which the client refuses the URL.
"""

import functools
import ipaddress
import os
import socket
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CLIENTS = ("urllib3", "requests", "httpx", "urllib")
# Imported from the unpacked folder, never from whatever the interpreter has of its own.
CLIENT_PACKAGES = ("urllib3", "requests", "httpx", "httpcore", "h11", "idna", "chardet")
# What some versions of them import besides (httpx 0.23 parses URLs with rfc3986).
OPTIONAL_PACKAGES = ("rfc3986", "anyio", "sniffio")


@dataclass(frozen=True)
class Destination:
    host: str | None = None
    """The host as the client has it when it asks for a connection (IPv6 without brackets)."""
    address: str | None = None
    """What the resolver reads from that host before any lookup: an IPv4 address in dotted
    decimal, an IPv6 address as "[canonical text]", or a lower-case ASCII DNS name without its
    root dot. This is the destination a user would put on a skip list."""
    error: str | None = None
    """The type of the error with which the client (or the socket layer) refuses the URL."""
    written: str | None = None
    """The URL as the client writes it out (requests' prepared URL, httpx's request.url), which an
    agent patching it may be given instead, when it differs from the URL given."""

    @property
    def refused(self):
        return self.host is None

    @property
    def nowhere(self):
        """The client asks the resolver for a name with an '@' (urllib.request keeps user
        information in its host) or a '%' (urllib3, requests and httpx leave escapes in the host
        as they are): no host name holds either, so the lookup fails and nothing is sent."""
        return not self.refused and ("@" in self.address or "%" in self.address)


@functools.cache
def clients_folder():
    """The folder of the unpacked clients, provisioned on first use (at once when cached)."""
    script = ROOT / "tools" / "provision-python.sh"
    # The script runs native tools: an instrumented or emulated test run's preload is not theirs.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    try:
        version = "%d.%d" % sys.version_info[:2]
        done = subprocess.run([str(script), "--clients", "--version", version], env=env,
                              capture_output=True, text=True, timeout=600, check=False)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise RuntimeError(f"{script} --clients could not run: {error}") from error
    folder = Path(done.stdout.strip()) if done.returncode == 0 else None
    if folder is None or not folder.is_dir():
        raise RuntimeError(
            f"{script} --clients found no HTTP clients to test against (exit {done.returncode}); "
            f"it unpacks Debian's python3-urllib3, -requests, -httpx and -idna into the cache. "
            f"Its output:\n{done.stderr[-2000:]}")
    return folder


@functools.cache
def load_clients():
    """Imports the unpacked clients once per process; returns {package: version}."""
    folder = clients_folder()
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
    import chardet, h11, httpcore, httpx, idna, requests, urllib3  # noqa: E401,F401

    versions = {}
    for name in CLIENT_PACKAGES + tuple(n for n in OPTIONAL_PACKAGES if n in sys.modules):
        package = sys.modules[name]
        if not Path(package.__file__).resolve().is_relative_to(folder.resolve()):
            raise RuntimeError(f"{name} was imported from {package.__file__}, not from {folder}: "
                               f"another copy came first on sys.path")
        versions[name] = getattr(package, "__version__", "")
    return versions


@functools.cache
def _urllib3_pool_manager():
    import urllib3

    return urllib3.PoolManager()


@functools.cache
def _requests_session():
    import requests

    return requests.Session()


@functools.cache
def _httpx_client():
    import httpx

    # trust_env=False: a proxy from the environment would be connected to instead of the host.
    # verify=False spares loading the CA bundle, which has no part in choosing the host.
    return httpx.Client(trust_env=False, verify=False)


def _urllib3_connection(pool):
    # _new_conn() builds the HTTPConnection that urlopen() would connect with, without connecting.
    # Its _dns_host is what HTTPConnection._new_conn() passes to util.connection.create_connection()
    # and so to getaddrinfo() (brackets stripped there); .host is the same without trailing dots
    # (for certificates and the Host header).
    connection = pool._new_conn()
    return connection.host, connection._dns_host


def urllib3_host(url):
    # PoolManager.urlopen() takes its pool from connection_from_host(parse_url(url)...), as here;
    # the pool's host has been through parse_url's normalisation and lost its IPv6 brackets.
    return _urllib3_connection(_urllib3_pool_manager().connection_from_url(url))


def requests_host(url):
    import requests

    # Session.request() prepares the URL like this (urllib3's parse_url, then requests' own IDNA
    # step with UTS #46 for a host that is still non-ASCII) and hands it to the adapter, whose
    # send() takes a pool from get_connection_with_tls_context() (the hostname of the prepared URL)
    # and a connection from that pool. No proxies: the origin host is what is asked for.
    prepared = requests.Request("GET", url).prepare()
    session = _requests_session()
    adapter = session.get_adapter(prepared.url)
    if hasattr(adapter, "get_connection_with_tls_context"):
        pool = adapter.get_connection_with_tls_context(prepared, verify=True, proxies={})
    else:
        # Before requests 2.32 send() took its pool from get_connection(url, proxies).
        pool = adapter.get_connection(prepared.url, proxies={})
    return _urllib3_connection(pool)


def httpx_host(url):
    import httpx

    # HTTPTransport.handle_request() gives httpcore a URL whose host is request.url.raw_host, and
    # httpcore connects to that (connection.py: connect_tcp(host=origin.host.decode("ascii"))),
    # which reaches socket.create_connection() unchanged. (URL.host is a display form, with
    # international names decoded back to Unicode.) httpcore's pool refuses other schemes.
    request = _httpx_client().build_request("GET", url)
    if request.url.raw_scheme not in (b"http", b"https"):
        raise httpx.UnsupportedProtocol(f"no connection for the scheme of {url!r}")
    host = request.url.raw_host.decode("ascii")
    return host, host


def urllib_host(url):
    import http.client
    import urllib.request

    # OpenerDirector.open() -> AbstractHTTPHandler.do_open() makes http_class(req.host) and its
    # connect() calls socket.create_connection((self.host, self.port)). Request.host is the
    # authority up to the first '/', '?' or '#', percent-decoded; HTTPConnection cuts the port and
    # the IPv6 brackets and rejects control characters. HTTPSConnection does the same.
    request = urllib.request.Request(url)
    if not request.host:
        raise urllib.request.URLError("no host given")
    connection = http.client.HTTPConnection(request.host)
    return connection.host, connection.host


def requests_written(url):
    import requests

    return requests.Request("GET", url).prepare().url


def httpx_written(url):
    return str(_httpx_client().build_request("GET", url).url)


_READERS = {"urllib3": urllib3_host, "requests": requests_host, "httpx": httpx_host,
            "urllib": urllib_host}
_WRITERS = {"requests": requests_written, "httpx": httpx_written}


def destination(client, url):
    """The Destination of client for url."""
    load_clients()
    try:
        host, resolver_input = _READERS[client](url)
        address = resolver_address(resolver_input)
        written = _WRITERS[client](url) if client in _WRITERS else url
    except _refusals() as error:
        return Destination(error=type(error).__name__)
    return Destination(host=host, address=address, written=None if written == url else written)


@functools.cache
def _refusals():
    # The errors with which the clients refuse a URL (anything else is a fault of this code):
    # urllib3's LocationParseError and requests' InvalidURL are ValueErrors, the "idna" codec's
    # error a UnicodeError.
    import http.client
    import urllib.error

    import httpx

    return (ValueError, UnicodeError, httpx.InvalidURL, httpx.UnsupportedProtocol,
            http.client.InvalidURL, urllib.error.URLError)


def resolver_address(host):
    """What socket.getaddrinfo() makes of host before any lookup (see Destination.address)."""
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host.isascii():
        # The socket module encodes a non-ASCII str host with the "idna" codec (IDNA 2003,
        # nameprep): that is the name the resolver is asked for. Its UnicodeError is the refusal.
        host = host.encode("idna").decode("ascii")
    try:
        # glibc reads every numeric form itself (1 to 4 IPv4 parts, hex and octal as inet_aton
        # does, IPv6 text); AI_NUMERICHOST keeps it from looking anything else up.
        family, _, _, _, sockaddr = socket.getaddrinfo(host, None, flags=socket.AI_NUMERICHOST)[0]
    except (socket.gaierror, UnicodeError, ValueError):
        return host.lower().removesuffix(".")
    if family == socket.AF_INET6:
        return f"[{ipv6_text(sockaddr[0])}]"
    return sockaddr[0]


def ipv6_text(text):
    """RFC 5952 text: lower-case hex without leading zeros, the first longest run of two or more
    zero groups compressed, no dotted IPv4 tail (as WHATWG serialises). Written out rather than
    taken from ipaddress, whose form for IPv4-mapped addresses differs between versions."""
    packed = ipaddress.IPv6Address(text.split("%")[0]).packed
    groups = [int.from_bytes(packed[i:i + 2], "big") for i in range(0, 16, 2)]
    best_start, best_length = -1, 1
    start = None
    for index, group in enumerate(groups + [1]):
        if group == 0 and start is None:
            start = index
        elif group != 0 and start is not None:
            if index - start > best_length:
                best_start, best_length = start, index - start
            start = None
    if best_start < 0:
        return ":".join(f"{g:x}" for g in groups)
    head = ":".join(f"{g:x}" for g in groups[:best_start])
    tail = ":".join(f"{g:x}" for g in groups[best_start + best_length:])
    return f"{head}::{tail}"
