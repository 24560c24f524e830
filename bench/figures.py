"""Measures one set of figures in this process and prints them as JSON.

Every figure is ns per call: the median of repeated timeit runs, with the fastest and slowest run
as its spread. Figures that are compared with each other come from the same process, measured
in interleaved rounds so that drift of the machine touches them alike.
"""

import argparse
import ctypes
import gc
import json
import re
import statistics
import sys
import time
import timeit
from urllib.parse import urlsplit

TABLE_SIZES = [0, 1, 16, 256, 4096, 65536, 1048576]
# The regular-expression peers compile the whole table into patterns: beyond this size they take
# minutes to build and seconds per call, and say nothing new.
REGEX_PEER_MAX_SIZE = 4096
# Table sizes at which loading the table is timed and its memory counted.
LOAD_SIZES = [65536, 1048576]
HIT_HOST = "api.example.com"
MISS_HOST = "api.example.org"
URL_SHAPES = {
    "plain": "https://{host}/v1/orders?id=42&page=3",
    "port": "https://{host}:8443/v1/orders?id=42",
    "www_caps": "https://www.{caps}/v1/orders?id=42",
    "userinfo": "https://user:secret@{host}/v1/orders",
    "long": "https://{host}/search?q=" + "x" * 2048,
}


# One URL of each spelling the canonical host reads, with the skip entry it must hit: the common
# host first, for comparison.
SPELLINGS = {
    "common host": ("https://api.example.com/v1/orders?id=42", "api.example.com"),
    "trailing dot": ("https://api.example.com./v1/orders?id=42", "api.example.com"),
    "\"WWW.\" in capitals": ("https://WWW.api.example.com/v1/orders?id=42", "www.api.example.com"),
    "IPv4, two parts": ("http://127.1/v1/orders?id=42", "127.0.0.1"),
    "IPv4, hexadecimal": ("http://0x7f.1/v1/orders?id=42", "127.0.0.1"),
    "IPv4, one number": ("http://2130706433/v1/orders?id=42", "127.0.0.1"),
    "IPv6, long form": ("http://[0:0:0:0:0:0:0:1]:8080/v1/orders?id=42", "[::1]"),
    "IPv6, leading zeros": ("http://[::0001]/v1/orders?id=42", "::1"),
    "percent-escape": ("https://api%2Eexample.com/v1/orders?id=42", "api.example.com"),
    "backslash": ("https://api.example.com\\v1/orders?id=42", "api.example.com"),
    "backslash before @": ("https://evil.example\\@api.example.com/v1", "evil.example"),
    "backslash before @, the host after it": ("https://evil.example\\@api.example.com/v1", "api.example.com"),
    "escaped backslash": ("https://api.example.com%5Cv1/orders?id=42", "api.example.com"),
    "newline in the host": ("https://api.example.com\n/v1/orders?id=42", "api.example.com"),
    "international name": ("https://bücher.example/v1/orders?id=42", "xn--bcher-kva.example"),
    "soft hyphen (IDNA 2003 only)": ("https://ap\u00adi.example.com/v1/orders?id=42", "api.example.com"),
    "ß, IDNA 2008": ("https://faß.example/v1/orders?id=42", "xn--fa-hia.example"),
    "ß, IDNA 2003": ("https://faß.example/v1/orders?id=42", "fass.example"),
    "fullwidth dots": ("https://api．example．com/v1/orders?id=42", "api.example.com"),
}
SPELLING_TABLE = [f"svc{i}.internal.example" for i in range(15)]


# Domain entries: hosts of 2 to 6 labels under example.com (a hit at each depth, of ".example.com")
# and under example.org (a miss), against tables of domains of two and three labels.
DOMAIN_SIZES = [1, 16, 256, 4096, 65536]
DOMAIN_LABELS = [2, 3, 4, 5, 6]


def domain_host(labels, outcome):
    under = "example.com" if outcome == "hit" else "example.org"
    return ".".join(["a", "b", "c", "d"][: labels - 2] + [under])


def domain_url(labels, outcome):
    return f"https://{domain_host(labels, outcome)}/v1/orders?id=42"


def table_of(name, size):
    """The tables the domain figures use, size entries each. "domains": size - 1 domains of three
    labels, half '*.tN.example.net', half '.rN.example.net', and '.example.com', which the hits
    are under. "plain": the same hosts, written as plain entries."""
    if name == "domains":
        return [f"*.t{i}.example.net" if i % 2 else f".r{i}.example.net" for i in range(size - 1)] + [".example.com"]
    return [f"t{i}.example.net" if i % 2 else f"r{i}.example.net" for i in range(size - 1)] + ["example.com"]


def peer_domain_patterns(entries):
    """The patterns users give OpenTelemetry's and Sentry's lists for 'this domain and everything
    under it' ('.d') and 'everything under it' ('*.d'), for the entries of a table: the URL's host
    part ends in the domain at a label boundary, before a port, a path or the end."""
    patterns = []
    for entry in entries:
        below_only = entry.startswith("*.")
        domain = re.escape(entry[2:] if below_only else entry[1:])
        host = r"[^/?#@]+\." if below_only else r"(?:[^/?#@]+\.)?"
        patterns.append(rf"^https?://{host}{domain}(?::\d+)?(?:[/?#]|$)")
    return patterns


# Propagation targets: tables of plain hosts and of domains, a URL to a target and one elsewhere.
TARGET_SIZES = [16, 65536]
TARGET_URLS = {
    "plain": {"target": "https://example.com/v1/orders?id=42", "elsewhere": "https://hooks.customer.example/notify"},
    "domains": {"target": "https://a.b.example.com/v1/orders?id=42", "elsewhere": "https://a.b.example.org/notify"},
}


def peer_host_patterns(entries):
    """The patterns users give Sentry's list for whole hosts: the URL's host part is the host."""
    return [rf"^https?://{re.escape(entry)}(?::\d+)?(?:[/?#]|$)" for entry in entries]


def target_figures(timer, peers_folder):
    """should_inject_headers with propagation targets (and no skip list), plain and domains, 16 and
    65,536 of them, to a target and elsewhere; beside Sentry's match_regex_list doing the same
    allow-list work (trace_propagation_targets) with the patterns its users write, every answer
    checked against ours first, measured up to the first size at which one call takes over 1 ms."""
    sys.path.insert(0, peers_folder)
    import _twheadercheck
    from sentry_sdk.utils import match_regex_list

    _twheadercheck.cleanup()
    results = []
    measuring = True
    for size in TARGET_SIZES:
        for kind in ("plain", "domains"):
            entries = table_of(kind, size)
            _twheadercheck.init_header_check([])
            _twheadercheck.init_propagation_targets(entries)
            patterns = (peer_host_patterns(entries) if kind == "plain" else peer_domain_patterns(entries)) if measuring else []

            def sentry_peer(url, _patterns=patterns):
                return match_regex_list(url, _patterns, substring_matching=True)

            timer.cases = []
            for outcome, url in TARGET_URLS[kind].items():
                inject = _twheadercheck.should_inject_headers(url)[0]
                assert inject == (outcome == "target"), (size, kind, outcome)
                timer.add("should_inject_headers", _twheadercheck.should_inject_headers, url,
                          table=size, kind=kind, outcome=outcome)
                if measuring:
                    assert sentry_peer(url) == inject, (size, kind, outcome)
                    timer.add("match_regex_list", sentry_peer, url, table=size, kind=kind, outcome=outcome)
            figures = timer.run()
            results.extend(figures)
            measuring = measuring and all(f["ns"] <= PEER_CODE_LIMIT_NS for f in figures if f["name"] == "match_regex_list")
    _twheadercheck.cleanup()
    return results


def url_for(shape, host):
    caps = ".".join(part.capitalize() for part in host.split("."))
    return URL_SHAPES[shape].format(host=host, caps=caps)


def skip_table(size):
    """size hosts, the one the hit URLs go to last: the scan's worst case."""
    if size == 0:
        return []
    return [f"svc{i}.internal.example" for i in range(size - 1)] + [HIT_HOST]


class Timer:
    """Collects figures, measuring all of them round by round."""

    def __init__(self, repeat, target_seconds, calls=None):
        self.repeat = repeat
        self.target = target_seconds
        self.calls = calls  # a fixed number of calls per run instead of calibrating
        self.cases = []

    def add(self, name, function, argument, **labels):
        self.cases.append({"name": name, "function": function, "argument": argument, "labels": labels})

    def run(self):
        for case in self.cases:
            timer = timeit.Timer("f(a)", globals={"f": case["function"], "a": case["argument"]})
            if self.calls:
                case["number"] = self.calls
            else:
                number, seconds = timer.autorange()
                case["number"] = max(1, int(number * self.target / max(seconds, 1e-9)))
            case["samples"] = []
        for _ in range(self.repeat):
            for case in self.cases:
                timer = timeit.Timer("f(a)", globals={"f": case["function"], "a": case["argument"]})
                case["samples"].append(timer.timeit(case["number"]) / case["number"] * 1e9)
        return [
            {
                "name": case["name"],
                **case["labels"],
                "ns": statistics.median(case["samples"]),
                "ns_min": min(case["samples"]),
                "ns_max": max(case["samples"]),
                "calls": case["number"] * self.repeat,
            }
            for case in self.cases
        ]


def run_header_check(timer, binding):
    """should_inject_headers beside the floor, one table size at a time: the table is
    process-wide, so each size is loaded once and its figures measured while it is in place."""
    import _twfloor
    import _twheadercheck

    if binding == "none":
        _twheadercheck.cleanup()  # drops what the import bound: no trace id, no override
    results = []
    for size in TABLE_SIZES:
        _twheadercheck.init_header_check(skip_table(size))
        timer.cases = []
        timer.add("floor", _twfloor.floor, url_for("plain", HIT_HOST), table=size)
        timer.add("floor_fastcall", _twfloor.floor_fastcall, url_for("plain", HIT_HOST), table=size)
        # Taking a 2 KB str costs a scan for an embedded NUL, the floor's as much as ours.
        timer.add("floor_fastcall_long", _twfloor.floor_fastcall, url_for("long", HIT_HOST), table=size)
        for shape in URL_SHAPES:
            for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
                if size == 0 and outcome == "hit":
                    continue
                url = url_for(shape, host)
                assert _twheadercheck.should_inject_headers(url)[0] == (outcome == "miss")
                timer.add("should_inject_headers", _twheadercheck.should_inject_headers, url,
                          table=size, shape=shape, outcome=outcome, binding=binding)
        results.extend(timer.run())
    return results


def spelling_figures(timer):
    """should_inject_headers on one URL of each spelling, each hitting its entry in a table of 16."""
    import _twheadercheck

    _twheadercheck.cleanup()
    results = []
    for name, (url, entry) in SPELLINGS.items():
        _twheadercheck.init_header_check(SPELLING_TABLE + [entry])
        assert _twheadercheck.should_inject_headers(url)[0] is False, name
        timer.cases = []
        timer.add("should_inject_headers", _twheadercheck.should_inject_headers, url, spelling=name)
        results.extend(timer.run())
    _twheadercheck.cleanup()
    return results


def domain_figures(timer, peers_folder):
    """should_inject_headers on hosts of 2 to 6 labels, hit and miss, with tables of domain entries
    of every size, beside OpenTelemetry's ExcludeList.url_disabled and Sentry's match_regex_list
    given the patterns their users write for the same domains; every answer checked against ours
    first. Each peer is measured up to the first size at which one call takes over 1 ms."""
    sys.path.insert(0, peers_folder)
    import _twheadercheck
    from opentelemetry.util.http import ExcludeList
    from sentry_sdk.utils import match_regex_list

    _twheadercheck.cleanup()
    results = []
    measuring = {"url_disabled", "match_regex_list"}
    for size in DOMAIN_SIZES:
        entries = table_of("domains", size)
        _twheadercheck.init_header_check(entries)
        patterns = peer_domain_patterns(entries) if measuring else []
        exclude_list = ExcludeList(patterns) if measuring else None

        def sentry_peer(url, _patterns=patterns):
            return match_regex_list(url, _patterns, substring_matching=True)

        timer.cases = []
        for labels in DOMAIN_LABELS:
            for outcome in ("hit", "miss"):
                url = domain_url(labels, outcome)
                skipped = not _twheadercheck.should_inject_headers(url)[0]
                assert skipped == (outcome == "hit"), (size, labels, outcome)
                timer.add("should_inject_headers", _twheadercheck.should_inject_headers, url,
                          table=size, labels=labels, outcome=outcome)
                if "url_disabled" in measuring:
                    assert exclude_list.url_disabled(url) == skipped, (size, labels, outcome)
                    timer.add("url_disabled", exclude_list.url_disabled, url, table=size, labels=labels, outcome=outcome)
                if "match_regex_list" in measuring:
                    assert sentry_peer(url) == skipped, (size, labels, outcome)
                    timer.add("match_regex_list", sentry_peer, url, table=size, labels=labels, outcome=outcome)
        figures = timer.run()
        results.extend(figures)
        measuring -= {f["name"] for f in figures if f["ns"] > PEER_CODE_LIMIT_NS}
    _twheadercheck.cleanup()
    return results


def peer_figures(timer):
    """Pure-Python ways to answer the same question, on the same inputs."""
    results = []
    for size in TABLE_SIZES:
        hosts = skip_table(size)
        normalised = {h.lower().removeprefix("www.") for h in hosts}

        def urlsplit_peer(url, _hosts=normalised):
            host = urlsplit(url).hostname
            if host and len(host) > 4 and host.startswith("www."):
                host = host[4:]
            return host not in _hosts

        # As tracing libraries write their exclude lists: case-sensitive, and looser than the
        # module (no port, user information or capitals handled), which makes them faster.
        alternation = "|".join(re.escape(h) for h in hosts[:REGEX_PEER_MAX_SIZE]) or r"(?!)"
        combined = re.compile(rf"https?://(?:www\.)?(?:{alternation})\b")

        def combined_regex_peer(url, _pattern=combined):
            return _pattern.search(url) is None

        patterns = [re.compile(re.escape(h)) for h in hosts] if size <= REGEX_PEER_MAX_SIZE else []

        def pattern_list_peer(url, _patterns=patterns):
            return not any(p.search(url) for p in _patterns)

        timer.cases = []
        for shape in URL_SHAPES:
            for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
                if size == 0 and outcome == "hit":
                    continue
                url = url_for(shape, host)
                assert urlsplit_peer(url) == (outcome == "miss")
                for name, peer in (("urlsplit_set", urlsplit_peer), ("combined_regex", combined_regex_peer),
                                   ("pattern_list", pattern_list_peer)):
                    if name == "urlsplit_set" or size <= REGEX_PEER_MAX_SIZE:
                        timer.add(name, peer, url, table=size, shape=shape, outcome=outcome)
        results.extend(timer.run())
    return results


# The shapes on which the peers' substring search and the module's whole-host rule agree: their
# patterns are case-sensitive, so a host written with capitals ("www_caps") is left out.
PEER_CODE_SHAPES = ["plain", "port", "userinfo", "long"]
# A peer is measured up to the first table size at which one call takes longer than this.
PEER_CODE_LIMIT_NS = 1e6


def peer_code_figures(timer, peers_folder):
    """What agents run today before every outbound request, on the same URLs and tables as
    should_inject_headers, with the hosts given as users write them, re.escape(host):
    OpenTelemetry's ExcludeList(...).url_disabled(url) (the requests, urllib and httpx
    instrumentations' OTEL_PYTHON_*_EXCLUDED_URLS) and Sentry's match_regex_list(url, targets,
    substring_matching=True) (should_propagate_trace). Sentry's list names where headers go and
    ours where they don't: the same membership question, the answer inverted."""
    sys.path.insert(0, peers_folder)
    import _twheadercheck
    from opentelemetry.util.http import ExcludeList
    from sentry_sdk.utils import match_regex_list

    _twheadercheck.cleanup()
    results = []
    measuring = {"url_disabled", "match_regex_list"}
    for size in TABLE_SIZES:
        if not measuring:
            break
        hosts = skip_table(size)
        patterns = [re.escape(host) for host in hosts]
        exclude_list = ExcludeList(patterns)

        def sentry_peer(url, _patterns=patterns):
            return match_regex_list(url, _patterns, substring_matching=True)

        _twheadercheck.init_header_check(hosts)
        timer.cases = []
        for shape in PEER_CODE_SHAPES:
            for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
                if size == 0 and outcome == "hit":
                    continue
                url = url_for(shape, host)
                listed = not _twheadercheck.should_inject_headers(url)[0]
                assert listed == (outcome == "hit")
                assert exclude_list.url_disabled(url) == listed, (size, shape, outcome)
                assert sentry_peer(url) == listed, (size, shape, outcome)
                timer.add("should_inject_headers", _twheadercheck.should_inject_headers, url,
                          table=size, shape=shape, outcome=outcome)
                for name, peer in (("url_disabled", exclude_list.url_disabled), ("match_regex_list", sentry_peer)):
                    if name in measuring:
                        timer.add(name, peer, url, table=size, shape=shape, outcome=outcome)
        figures = timer.run()
        results.extend(figures)
        measuring -= {f["name"] for f in figures if f["ns"] > PEER_CODE_LIMIT_NS}
    _twheadercheck.cleanup()
    return results


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not yet taken back (glibc's mallinfo2)."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def load_figures(repeat):
    """init_header_check: time per entry (median of the runs) and the C memory the loaded table
    holds per entry, for large tables."""
    import _twheadercheck

    results = []
    for size in LOAD_SIZES:
        hosts = skip_table(size)
        _twheadercheck.cleanup()
        gc.collect()
        samples = []
        for _ in range(repeat):
            _twheadercheck.init_header_check([])
            before = malloc_in_use()
            start = time.perf_counter_ns()
            _twheadercheck.init_header_check(hosts)
            samples.append(time.perf_counter_ns() - start)
            held = malloc_in_use() - before
        _twheadercheck.init_header_check([])
        results.append({"name": "init_header_check", "table": size,
                        "ns_per_entry": statistics.median(samples) / size,
                        "ns_per_entry_min": min(samples) / size, "ns_per_entry_max": max(samples) / size,
                        "bytes_per_entry": held / size})
    return results


# The same extraction as _twframeinfo, written in Python as fast as Python allows: the tests
# chained inline (a loop or any() over a tuple of markers costs twice as much).
def py_is_user_path(path):
    return not (
        path.startswith("<")
        or "site-packages" in path
        or "dist-packages" in path
        or "/lib/python" in path
        or "/lib64/python" in path
        or "\\lib\\python" in path
        or "tw-vantrel" in path
    )


def py_get_frame_info(frame):
    code = frame.f_code
    filename = code.co_filename
    if not py_is_user_path(filename):
        return None
    return (filename, frame.f_lineno, code.co_name, True)


def py_get_code_info(func):
    filename = func.__code__.co_filename
    if not py_is_user_path(filename):
        return None
    return (filename, func.__code__.co_firstlineno, func.__name__, True)


def py_is_user_code_func(func):
    return py_is_user_path(func.__code__.co_filename)


def frame_info_figures(timer):
    import _twframeinfo

    def make(filename):
        namespace = {"sys": sys}
        source = "def handler():\n    value = 1\n    return sys._getframe()\n"
        exec(compile(source, filename, "exec"), namespace)
        return namespace["handler"]

    subjects = {
        "user": make("/srv/app/handlers/orders.py"),
        "library": make("/srv/app/.venv/lib/python3.14/site-packages/requests/api.py"),
    }
    for kind, func in subjects.items():
        frame = func()
        assert _twframeinfo.get_frame_info(frame) == py_get_frame_info(frame)
        assert _twframeinfo.get_code_info(func) == py_get_code_info(func)
        for name, native, python, argument in (
            ("get_frame_info", _twframeinfo.get_frame_info, py_get_frame_info, frame),
            ("get_code_info", _twframeinfo.get_code_info, py_get_code_info, func),
            ("is_user_code_func", _twframeinfo.is_user_code_func, py_is_user_code_func, func),
        ):
            timer.add(name, native, argument, code=kind, implementation="native")
            timer.add(name, python, argument, code=kind, implementation="python")
    return timer.run()


# The headline: the decision against its floor and the peers at a few table sizes, one size of
# domains and of targets, and the hop capture at 12 library frames.
HEADLINE_SIZES = [1, 16, 256, 4096]
# Sentry's match_regex_list compiles every pattern again beyond re's cache (512): a call at 4,096
# entries takes about 60 ms, and says nothing the smaller sizes don't.
HEADLINE_SENTRY_MAX_SIZE = 256
HEADLINE_DOMAINS = 16
HEADLINE_DOMAIN_LABELS = 4
HEADLINE_TARGETS = 16
HEADLINE_HOP_DEPTH = 12


def headline_subjects(peers_folder, with_peers=True):
    """Every headline figure: (labels, table state, function, argument, answer), in the order the
    tables are loaded. The table state is (skip entries, targets or None). Without the peers, only
    ours and the floors."""
    import _twfloor
    import _twheadercheck

    if with_peers:
        sys.path.insert(0, peers_folder)
        from opentelemetry.util.http import ExcludeList
        from sentry_sdk.utils import match_regex_list

        def sentry(patterns):
            return lambda url: match_regex_list(url, patterns, substring_matching=True)
    else:
        class ExcludeList:  # stands for the peer's class: no function to call
            url_disabled = None

            def __init__(self, _patterns):
                pass

        def sentry(_patterns):
            return None

    subjects = []
    for size in HEADLINE_SIZES:
        hosts = skip_table(size)
        escaped = [re.escape(host) for host in hosts]
        peers = [("url_disabled", ExcludeList(escaped).url_disabled, "hosts")]
        if size <= HEADLINE_SENTRY_MAX_SIZE:
            peers.append(("match_regex_list", sentry(escaped), "hosts"))
        for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
            url = url_for("plain", host)
            labels = {"group": "decision", "table": size, "outcome": outcome}
            subjects.append(({"name": "should_inject_headers", **labels}, (hosts, None), _twheadercheck.should_inject_headers,
                             url, outcome == "miss"))
            # The floor in the same rounds as ours, so that the machine's drift touches both alike.
            subjects.append(({"name": "floor_fastcall", **labels}, (hosts, None), _twfloor.floor_fastcall, url, None))
            for name, peer, patterns in peers:
                subjects.append(({"name": name, "patterns": patterns, **labels}, (hosts, None), peer, url, outcome == "hit"))
    domains = table_of("domains", HEADLINE_DOMAINS)
    patterns = peer_domain_patterns(domains)
    for outcome in ("hit", "miss"):
        url = domain_url(HEADLINE_DOMAIN_LABELS, outcome)
        labels = {"group": "domains", "table": HEADLINE_DOMAINS, "labels": HEADLINE_DOMAIN_LABELS, "outcome": outcome}
        subjects.append(({"name": "should_inject_headers", **labels}, (domains, None), _twheadercheck.should_inject_headers,
                         url, outcome == "miss"))
        subjects.append(({"name": "url_disabled", "patterns": "domains", **labels}, (domains, None),
                         ExcludeList(patterns).url_disabled, url, outcome == "hit"))
        subjects.append(({"name": "match_regex_list", "patterns": "domains", **labels}, (domains, None), sentry(patterns),
                         url, outcome == "hit"))
        subjects.append(({"name": "floor_fastcall", "group": "domains", "outcome": outcome}, (domains, None),
                         _twfloor.floor_fastcall, url, None))
    for kind, urls in TARGET_URLS.items():
        targets = table_of(kind, HEADLINE_TARGETS)
        patterns = peer_host_patterns(targets) if kind == "plain" else peer_domain_patterns(targets)
        for outcome, url in urls.items():
            labels = {"group": "targets", "table": HEADLINE_TARGETS, "kind": kind, "outcome": outcome}
            subjects.append(({"name": "should_inject_headers", **labels}, ([], targets), _twheadercheck.should_inject_headers,
                             url, outcome == "target"))
            subjects.append(({"name": "match_regex_list", "patterns": "anchored hosts" if kind == "plain" else "domains",
                              **labels}, ([], targets), sentry(patterns), url, outcome == "target"))
            subjects.append(({"name": "floor_fastcall", "group": "targets", "kind": kind, "outcome": outcome}, ([], targets),
                             _twfloor.floor_fastcall, url, None))
    subjects += hop_subjects([HEADLINE_HOP_DEPTH], peers_folder, with_peers)
    subjects += prefix_subjects()
    # Without the peers, theirs have nothing to call.
    return [subject for subject in subjects if subject[2] is not None]


# Where the application's code lives: 16 prefixes in each list, none of which a 60-byte path of
# the application lies under, so that every look-up is made and the built-in rule decides.
PREFIX_COUNT = 16
PREFIX_INCLUDE = [f"/srv/app/.venv/lib/python3.14/site-packages/service_{i:02d}" for i in range(PREFIX_COUNT)]
PREFIX_EXCLUDE = [f"/srv/app/vendor/library_{i:02d}/" for i in range(PREFIX_COUNT)]
PREFIX_PATH = "/srv/app/orders_service/handlers/v1/create_order_handlers.py"


def prefix_subjects():
    """get_frame_info on a frame of a 60-byte path, and get_call_site through 12 library frames,
    with no prefixes and with 16 in each list."""
    import _twframeinfo
    import hops

    namespace = {"sys": sys}
    exec(compile("def handler():\n    return sys._getframe()\n", PREFIX_PATH, "exec"), namespace)
    frame = namespace["handler"]()
    walk = hops.hop("get_call_site")
    subjects = []
    for count, state in ((0, ("prefixes", (), ())), (PREFIX_COUNT, ("prefixes", tuple(PREFIX_INCLUDE), tuple(PREFIX_EXCLUDE)))):
        labels = {"group": "prefixes", "prefixes": count}
        subjects.append(({"name": "get_frame_info", **labels}, state, _twframeinfo.get_frame_info, frame, "user frame"))
        subjects.append(({"name": "get_call_site", "depth": HEADLINE_HOP_DEPTH, **labels}, state, walk,
                         HEADLINE_HOP_DEPTH, "get_call_site"))
    return subjects


def hop_subjects(depths, peers_folder, with_peers=True):
    import hops

    subjects = []
    for walker in hops.WALKERS + ["noop"] if with_peers else ["get_call_site", "loop", "noop"]:
        walk = hops.hop(walker, peers_folder)
        for depth in depths:
            subjects.append(({"name": walker, "group": "hops", "depth": depth}, None, walk, depth, walker))
    return subjects


def answer_is(subject_answer, expected, function):
    """Whether a subject's answer is the one every implementation must give."""
    import hops

    if expected == "user frame":
        return subject_answer is not None and subject_answer[0] == PREFIX_PATH
    if isinstance(expected, str):  # a hop's walker
        return expected == "noop" or hops.check(expected, subject_answer)
    if expected is None:  # a floor
        return True
    if getattr(function, "__name__", "") == "should_inject_headers":
        return subject_answer[0] == expected
    return subject_answer == expected


def subject_key(labels):
    """A subject's name across processes: the timed figures and the counted ones meet by it."""
    return ",".join(f"{key}={labels[key]}" for key in sorted(labels))


def load_state(state):
    """Loads a subject's tables: into the header check, with nothing bound, or ("prefixes",
    include, exclude), the user-code prefixes."""
    import _twframeinfo
    import _twheadercheck

    if state[0] == "prefixes":
        _twframeinfo.init_user_code(list(state[1]), list(state[2]))
        return
    entries, targets = state
    _twheadercheck.cleanup()
    _twheadercheck.init_header_check(entries)
    if targets is not None:
        _twheadercheck.init_propagation_targets(targets)


def checked_subjects(subjects):
    """Each subject with its tables loaded and its answer checked, grouped by table state: a list
    of (subject, ...) per state, each yielded once its state is in place."""
    group, loaded = [], object()
    for subject in subjects:
        labels, state, function, argument, expected = subject
        if state is not None and state != loaded:
            if group:
                yield group
            group = []
            load_state(state)
            loaded = state
        answer = function(argument)
        assert answer_is(answer, expected, function), (labels, answer)
        group.append(subject)
    if group:
        yield group
    load_state(("prefixes", (), ()))


def measure_subjects(timer, subjects):
    """Times the subjects, each while its table state is loaded, every answer checked first."""
    import _twheadercheck

    results = []
    for group in checked_subjects(subjects):
        timer.cases = [{"name": labels["name"], "function": function, "argument": argument,
                        "labels": {**{k: v for k, v in labels.items() if k != "name"}, "key": subject_key(labels)}}
                       for labels, _, function, argument, _ in group]
        results.extend(timer.run())
    _twheadercheck.cleanup()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("set", choices=["header_unbound", "header_bound", "spellings", "domains", "targets",
                                        "peers", "peer_code", "frameinfo", "load", "hops", "headline"])
    parser.add_argument("--peers-folder", help="where the peers' packages are unpacked (peer_code)")
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--seconds", type=float, default=0.02, help="time of one timeit run")
    parser.add_argument("--calls", type=int, help="calls per run, instead of calibrating to --seconds")
    parser.add_argument("--sizes", help="comma-separated table sizes (default: all)")
    parser.add_argument("--domain-sizes", help="comma-separated sizes of the domain tables")
    parser.add_argument("--target-sizes", help="comma-separated sizes of the target tables")
    parser.add_argument("--load-sizes", help="comma-separated table sizes for the load figures")
    options = parser.parse_args()
    if options.sizes:
        TABLE_SIZES[:] = [int(size) for size in options.sizes.split(",")]
        HEADLINE_SIZES[:] = [size for size in TABLE_SIZES if size > 0]
    if options.load_sizes:
        LOAD_SIZES[:] = [int(size) for size in options.load_sizes.split(",")]
    if options.domain_sizes:
        DOMAIN_SIZES[:] = [int(size) for size in options.domain_sizes.split(",")]
    if options.target_sizes:
        TARGET_SIZES[:] = [int(size) for size in options.target_sizes.split(",")]
    timer = Timer(options.repeat, options.seconds, options.calls)
    if options.set == "header_unbound":
        figures = run_header_check(timer, "none")
    elif options.set == "header_bound":
        figures = run_header_check(timer, "stand-in")
    elif options.set == "spellings":
        figures = spelling_figures(timer)
    elif options.set == "domains":
        figures = domain_figures(timer, options.peers_folder)
    elif options.set == "targets":
        figures = target_figures(timer, options.peers_folder)
    elif options.set == "load":
        figures = load_figures(min(options.repeat, 5))
    elif options.set == "peers":
        figures = peer_figures(timer)
    elif options.set == "peer_code":
        figures = peer_code_figures(timer, options.peers_folder)
    elif options.set == "headline":
        figures = measure_subjects(timer, headline_subjects(options.peers_folder))
    elif options.set == "hops":
        import hops

        figures = measure_subjects(timer, hop_subjects(hops.DEPTHS, options.peers_folder))
    else:
        figures = frame_info_figures(timer)
    json.dump({"set": options.set, "python": sys.version.split()[0], "figures": figures}, sys.stdout)


if __name__ == "__main__":
    main()
