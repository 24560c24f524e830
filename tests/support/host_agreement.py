"""Does a skip decision follow the host that is really connected to? Two measures, shared by the
tests (tests/python/test_real_clients.py, test_url_corpus.py) and tools/host-agreement.py:

- real clients: for each URL of CLIENT_CASES and each client that accepts it, a one-entry skip
  list holding the host the client connects to (as the client has it, and as the address or name
  the resolver reads from it) must skip the URL, and the URL as the client writes it out, which an
  agent patching it may be given instead (client_report: its misses must be none). Across the
  clients (readers_report): where every client that reaches a host takes the URL to one host, a
  skip list holding a decoy (another host named in the URL) must not skip it; where they take it
  to different hosts, each of those hosts skips it, and a list of propagation targets holding any
  one of them alone must not let the headers go;
- the WHATWG URL test data (tests/data/urltestdata-http.json): a one-entry skip list holding
  WHATWG's hostname must skip the input URL.

`module` is anything with _twheadercheck's init_header_check and should_inject_headers; its
table is left empty afterwards.
"""

import contextlib
import json
import re
import socket
from dataclasses import dataclass, field
from pathlib import Path

import client_hosts

CORPUS = Path(__file__).resolve().parents[1] / "data" / "urltestdata-http.json"


@dataclass(frozen=True)
class ClientCase:
    url: str
    decoys: tuple = ()
    """Hosts named in the URL that a reader could wrongly take; each is checked for the clients
    that do not connect to it."""


# One group a spelling; the first group holds plain controls.
CLIENT_CASES = [
    # Plain: a port, user information, capitals, hosts elsewhere in the URL.
    ClientCase("http://api.example.com/p"),
    ClientCase("https://api.example.com:8443/p"),
    ClientCase("http://API.Example.COM/p"),
    ClientCase("http://evil.example@api.example.com/p", ("evil.example",)),
    ClientCase("http://evil.example:pw@api.example.com:8080/p", ("evil.example",)),
    ClientCase("http://api.example.com/p?next=http://evil.example/", ("evil.example",)),
    ClientCase("http://api.example.com/p#@evil.example", ("evil.example",)),
    # A trailing dot: the same DNS name.
    ClientCase("http://api.example.com./p"),
    ClientCase("http://api.example.com.:8080/p"),
    # "www." in any case.
    ClientCase("http://WWW.api.example.com/p"),
    ClientCase("http://Www.Api.Example.Com/p"),
    # IPv4 numeric forms, read as inet_aton reads them.
    ClientCase("http://127.1/"),
    ClientCase("http://0x7f.1/"),
    ClientCase("http://2130706433/"),
    ClientCase("http://0x7F000001/"),
    ClientCase("http://0177.0.0.1/", ("177.0.0.1",)),
    ClientCase("http://127.0.0.1:8080/"),
    # IPv6 text forms.
    ClientCase("http://[0:0:0:0:0:0:0:1]/"),
    ClientCase("http://[::0001]/"),
    ClientCase("http://[::1]/"),
    ClientCase("http://[::1]:8080/"),
    ClientCase("http://[2001:DB8::1]/"),
    ClientCase("http://[::ffff:127.0.0.1]/"),
    # Percent-encoded host bytes.
    ClientCase("http://api%2Eexample.com/p"),
    ClientCase("http://%61pi.example.com/p"),
    ClientCase("http://b%C3%BCcher.example/"),
    ClientCase("http://api.example.com%2F@evil.example/", ("api.example.com",)),
    # Backslashes.
    ClientCase("http://api.example.com\\p"),
    ClientCase("http://evil.example\\@api.example.com/p", ("evil.example", "api.example.com")),
    ClientCase("https://api.example.com\\@evil.example/", ("api.example.com", "evil.example")),
    # An escaped backslash, as httpx writes a '\' out.
    ClientCase("http://api.example.com%5Cp/", ("api.example.com",)),
    ClientCase("http://evil.example%5C@api.example.com/p", ("evil.example",)),
    # Tab, LF and CR inside the host.
    ClientCase("http://api.example.com\n/p"),
    ClientCase("http://api.exa\tmple.com/p"),
    ClientCase("http://api.example\r.com/p"),
    # International names.
    ClientCase("http://bücher.example/"),
    ClientCase("http://BÜCHER.example/"),
    ClientCase("http://xn--bcher-kva.example/"),
    ClientCase("http://faß.example/", ("fass.example", "xn--fa-hia.example")),
    ClientCase("http://fa%C3%9F.example/", ("fass.example", "xn--fa-hia.example")),
    ClientCase("http://ＡＰＩ.example.com/p"),
    # A soft hyphen, which IDNA 2003 drops and IDNA 2008 refuses, escaped or not.
    ClientCase("http://ap\u00adi.example.com/p"),
    ClientCase("http://ap%C2%ADi.example.com/p"),
    ClientCase("http://12\u00ad7.0.0.1/"),
    ClientCase("http://12%C2%AD7.0.0.1/"),
    # Fullwidth and ideographic full stops.
    ClientCase("http://api．example．com/p"),
    ClientCase("http://api。example。com/p"),
    ClientCase("http://api｡example｡com/p"),
    ClientCase("http://www。api.example.com/p"),
    ClientCase("http://api.example.com。/p"),
]


def skips(module, entry, url):
    """Whether a skip list of the one entry keeps the headers from url."""
    module.init_header_check([entry])
    try:
        return module.should_inject_headers(url)[0] is False
    finally:
        module.init_header_check([])


@contextlib.contextmanager
def no_network():
    """Fails any socket, connection or name lookup other than a numeric one while it is open, so
    that reading a client's host can never reach the network."""
    saved = socket.socket, socket.create_connection, socket.getaddrinfo

    def refuse(*args, **kwargs):
        raise AssertionError(f"a client reached the network: {args!r}")

    def numeric_only(host, port, family=0, type=0, proto=0, flags=0):
        if not flags & socket.AI_NUMERICHOST:
            refuse(host, port)
        return saved[2](host, port, family, type, proto, flags)

    socket.socket, socket.create_connection, socket.getaddrinfo = refuse, refuse, numeric_only
    try:
        yield
    finally:
        socket.socket, socket.create_connection, socket.getaddrinfo = saved


@dataclass
class ClientReport:
    client: str
    destinations: dict = field(default_factory=dict)
    """url -> client_hosts.Destination, for every case."""
    misses: dict = field(default_factory=dict)
    """(url, check) -> what went wrong, where a skip list holding the destination does not skip;
    check is "host", "address", or "written" (the URL as the client writes it out)."""

    @property
    def reached(self):
        """The URLs the client sends to a host."""
        return [url for url, where in self.destinations.items() if not where.refused and not where.nowhere]

    @property
    def agreed(self):
        failed = {url for url, _ in self.misses}
        return [url for url in self.reached if url not in failed]

    def summary(self):
        refused = sum(where.refused for where in self.destinations.values())
        nowhere = sum(where.nowhere for where in self.destinations.values())
        return (f"{self.client}: {len(self.agreed)} of {len(self.reached)} URLs skipped by a list of "
                f"their destination ({refused} refused, {nowhere} resolved to no host)")


def client_report(module, client, cases=CLIENT_CASES):
    """The checks of the module against one client over cases."""
    report = ClientReport(client)
    # Imported first: urllib3 probes for IPv6 with a socket of its own when it is imported.
    client_hosts.load_clients()
    with no_network():
        for case in cases:
            report.destinations[case.url] = client_hosts.destination(client, case.url)
    for case in cases:
        where = report.destinations[case.url]
        if where.refused or where.nowhere:
            continue
        checks = {"host": (where.host, case.url)}
        if where.address != where.host:
            checks["address"] = (where.address, case.url)
        if where.written is not None:
            checks["written"] = (where.address, where.written)
        for check, (entry, url) in checks.items():
            if not skips(module, entry, url):
                report.misses[(case.url, check)] = f"{url!r} injects with [{entry!r}]"
    return report


@dataclass
class ReadersReport:
    one_host: dict = field(default_factory=dict)
    """url -> the one address that every client reaching a host takes the URL to."""
    readings: dict = field(default_factory=dict)
    """url -> {client: address}, for the URLs that clients take to different hosts."""
    wrong_skips: dict = field(default_factory=dict)
    """(url, decoy) -> detail, where a list of the decoy skips a URL of one host."""
    target_leaks: dict = field(default_factory=dict)
    """(url, address) -> detail, where the headers go to a URL read differently with only that
    reading's host as a propagation target."""

    def summary(self):
        return (f"readers: {len(self.one_host)} URLs go to one host, {len(self.readings)} are read "
                f"differently; {len(self.wrong_skips)} skips by a decoy, {len(self.target_leaks)} "
                f"targets by one reading alone")


def readers_report(module, reports, cases=CLIENT_CASES):
    """The checks across the clients' client_reports."""
    report = ReadersReport()
    for case in cases:
        taken = {client: r.destinations[case.url].address for client, r in reports.items()
                 if not r.destinations[case.url].refused and not r.destinations[case.url].nowhere}
        if len(set(taken.values())) == 1:
            address = next(iter(taken.values()))
            report.one_host[case.url] = address
            for decoy in case.decoys:
                if decoy != address and skips(module, decoy, case.url):
                    report.wrong_skips[(case.url, decoy)] = (
                        f"skips with [{decoy!r}], though every client here connects to {address!r}")
        elif taken:
            report.readings[case.url] = taken
            for address in set(taken.values()):
                if targets_allow(module, [address], case.url):
                    report.target_leaks[(case.url, address)] = (
                        f"injects with targets [{address!r}], though "
                        + ", ".join(f"{c} connects to {a!r}" for c, a in taken.items() if a != address))
    return report


def targets_allow(module, targets, url):
    """Whether the headers go to url with the given propagation targets (and no skip list)."""
    module.init_propagation_targets(targets)
    try:
        return module.should_inject_headers(url)[0] is True
    finally:
        # "*": every host a target, as before any targets were loaded.
        module.init_propagation_targets(["*"])


# The WHATWG URL test data.

C0_OR_SPACE = "".join(map(chr, range(0x21)))


def select_http_cases(cases):
    """The cases of WHATWG's urltestdata.json that a client could be given as an absolute
    http(s) URL, with the fields the corpus test needs, once per input. The input, after WHATWG
    strips leading and trailing C0 controls and spaces and removes tabs and newlines, starts with
    "http:" or "https:" in any case; its result does not come from its base (there is none, the
    base's scheme is another, or two slashes of either kind follow the scheme, which WHATWG reads
    as an authority whatever the base); it is not a failure and has a hostname."""
    selected = {}
    for case in cases:
        if not isinstance(case, dict) or "failure" in case or not case.get("hostname"):
            continue
        cleaned = re.sub("[\t\n\r]", "", case["input"].strip(C0_OR_SPACE))
        scheme = re.match(r"(?i)(https?):", cleaned)
        if not scheme:
            continue
        base = case.get("base")
        base_scheme = base.split(":", 1)[0].lower() if base else None
        if base_scheme == scheme.group(1).lower() and not re.match(r"[/\\]{2}", cleaned[scheme.end():]):
            continue
        kept = {key: case[key] for key in ("input", "hostname", "href")}
        selected.setdefault(case["input"], kept)
    return list(selected.values())


def load_corpus(path=CORPUS):
    return json.loads(Path(path).read_text(encoding="utf-8"))["cases"]


@dataclass
class CorpusReport:
    total: int = 0
    agreed: int = 0
    unusable: dict = field(default_factory=dict)
    """Inputs with an embedded NUL, which can't be passed as a str -> the type of the error the
    module raised for them (ValueError, as the argument parser raises)."""
    disagreements: dict = field(default_factory=dict)
    """input -> WHATWG's hostname, for the inputs that a one-entry list of it does not skip."""

    def summary(self):
        return (f"WHATWG: {self.agreed} of {self.total} cases agree; "
                f"{len(self.disagreements)} disagree; {len(self.unusable)} with a NUL left out")


def corpus_report(module, cases=None):
    report = CorpusReport()
    for case in load_corpus() if cases is None else cases:
        if "\0" in case["input"]:
            try:
                module.should_inject_headers(case["input"])
                report.unusable[case["input"]] = None
            except Exception as error:  # The type is the finding.
                report.unusable[case["input"]] = type(error).__name__
            continue
        report.total += 1
        if skips(module, case["hostname"], case["input"]):
            report.agreed += 1
        else:
            report.disagreements[case["input"]] = case["hostname"]
    return report
