"""The monitored application under load, with the stand-in agent installed.

Run by soak.py in a child interpreter with the native library preloaded. Eight threads make
requests from several application functions, in segments that alternate between the agent
patched in and left out; beside them a thread reloads the skip list every few milliseconds, and
the agent's trace-id callable raises or answers nonsense on a known share of requests. Each thread
writes one line per request it sent to a file of its own (nothing accumulates in memory); the
last line of standard output is a JSON summary.
"""

import argparse
import contextvars
import gc
import http.client
import itertools
import json
import os
import sys
import threading
import time
import urllib.error
import urllib.request

from tw_vantrel import thread_local

THREADS = 8
SEGMENT_SECONDS = 1.0
RELOAD_SECONDS = 0.003
# Both names reach the server; each skip list skips one of them, the second through a domain
# entry, among other services and domains.
HOSTS = ("127.0.0.1", "localhost")
FILLER = ([f"svc{i}.internal.example" for i in range(100)] + [f".tenant{i}.example" for i in range(50)]
          + [f"*.svc{i}.cluster.local" for i in range(50)])
SKIP_LISTS = (["127.0.0.1"] + FILLER, [".localhost"] + FILLER)
# How the agent's trace-id callable misbehaves, by request number modulo 10.
FAULTS = {3: "raise", 7: "malformed"}
MALFORMED = ([1, 2], (1,), (1, 2, 3), "ab", None)
# The funcspan override each application function sets in its request's context, or None.
OVERRIDES = {"fetch_orders": None, "check_inventory": "inventory-span", "checkout": "checkout-span",
             "audit_trail": "audit-span", "sync_report": None}

fault_plan = contextvars.ContextVar("soak_fault_plan", default="ok")
real_get_or_set = thread_local.get_or_set_tw_trace_id


def faulty_get_or_set_tw_trace_id():
    """The agent's callable, misbehaving as the request's plan says."""
    plan = fault_plan.get()
    if plan == "raise":
        raise RuntimeError("trace-id store unavailable")
    if plan == "malformed":
        return MALFORMED[hash(threading.get_ident()) % len(MALFORMED)]
    return real_get_or_set()


# The header check binds the callable when first imported, which importing the patch does.
thread_local.get_or_set_tw_trace_id = faulty_get_or_set_tw_trace_id
from tw_vantrel import http_patch  # noqa: E402

import _twheadercheck  # noqa: E402


class SkipListVersions:
    """Reloads the skip list, alternating the two lists, under a sequence number: odd while a
    load is in progress, 2k once list k % 2 is in force. A call that reads the same even number
    before and after itself ran against that list."""

    def __init__(self):
        self.sequence = 0
        self.reloads = 0
        self.stop = threading.Event()

    def load(self, index):
        self.sequence += 1
        _twheadercheck.init_header_check(SKIP_LISTS[index])
        self.sequence += 1

    def run(self):
        for index in itertools.cycle((1, 0)):
            if self.stop.wait(RELOAD_SECONDS):
                return
            self.load(index)
            self.reloads += 1


versions = SkipListVersions()
observed = threading.local()


def observed_decide(url):
    """The header check, bracketed by the skip list's sequence number."""
    before = versions.sequence
    answer = _twheadercheck.should_inject_headers(url)
    observed.sequences = (before, versions.sequence)
    return answer


http_patch.decide = observed_decide


def record_request(entry):
    """Adds what only the request's own context knows, and writes the line. Its own CPU time is
    counted, so that the agent's cost can be told apart from the soak's bookkeeping."""
    started = time.thread_time()
    site = entry["call_site"]
    line = {
        "url": entry["url"],
        "inject": entry["inject"],
        "trace_id": entry["trace_id"],
        "override": entry["override"],
        "sequences": observed.sequences,
        "plan": fault_plan.get(),
        "context_trace_id": thread_local.trace_id_ctx.get(),
        "context_override": thread_local.funcspan_override_ctx.get(),
        "site": None if site is None else [os.path.basename(site[0]), site[2]],
    }
    observed.out.write(json.dumps(line) + "\n")
    observed.recording_seconds += time.thread_time() - started


http_patch.on_request = record_request


# The application's own functions: each makes one request, through its own client.
def fetch_orders(port, host, query):
    with urllib.request.urlopen(f"http://{host}:{port}/orders?{query}") as response:
        response.read()


def check_inventory(port, host, query):
    thread_local.funcspan_override_ctx.set(OVERRIDES["check_inventory"])
    connection = observed.connections[host]  # kept alive across requests
    connection.request("GET", f"/inventory?{query}")
    connection.getresponse().read()


def checkout(port, host, query):
    thread_local.funcspan_override_ctx.set(OVERRIDES["checkout"])
    connection = observed.connections[host]
    connection.request("POST", f"/checkout?{query}", body=b'{"items": 3}')
    connection.getresponse().read()


def audit_trail(port, host, query):
    thread_local.funcspan_override_ctx.set(OVERRIDES["audit_trail"])
    request = urllib.request.Request(f"http://{host}:{port}/audit?{query}", data=b"event", method="PUT")
    with urllib.request.urlopen(request) as response:
        response.read()


def sync_report(port, host, query):
    connection = http.client.HTTPConnection(host, port, timeout=30)
    try:
        connection.request("GET", f"/report?{query}")
        connection.getresponse().read()
    finally:
        connection.close()


FUNCTIONS = [fetch_orders, check_inventory, checkout, audit_trail, sync_report]
CLIENT_ERRORS = (http.client.HTTPException, ConnectionError, urllib.error.URLError)


class Worker:
    def __init__(self, number, port, folder, phases):
        self.number = number
        self.port = port
        self.out = open(os.path.join(folder, f"requests-{number}.jsonl"), "w")
        self.phases = phases
        self.stats = {"patched": [0, 0.0, 0], "unpatched": [0, 0.0, 0]}  # requests, seconds, attempts
        self.recording_seconds = 0.0
        self.attempts = 0

    def request(self, function, number, phase):
        """One logical request, retried when the server drops the connection."""
        host = HOSTS[number % len(HOSTS)]
        for attempt in range(3):
            self.attempts += 1
            query = f"req={self.number}-{number}-{attempt}&phase={phase}&fn={function.__name__}"
            # Each request runs in a fresh context: a trace id and an override of its own.
            context = contextvars.Context()
            context.run(fault_plan.set, FAULTS.get(number % 10, "ok"))
            try:
                context.run(function, self.port, host, query)
                return
            except CLIENT_ERRORS:
                observed.connections[host].close()  # reopened by the next request
        raise RuntimeError(f"request {number} failed three times")

    def run(self):
        observed.out = self.out
        observed.recording_seconds = 0.0
        observed.sequences = (None, None)
        observed.connections = {host: http.client.HTTPConnection(host, self.port, timeout=30) for host in HOSTS}
        counter = itertools.count()
        while True:
            self.phases.barrier.wait()
            if self.phases.done:
                break
            phase = self.phases.current
            count, busy = 0, 0.0
            self.attempts = 0
            while not self.phases.segment_over:
                number = next(counter)
                start = time.perf_counter()
                self.request(FUNCTIONS[number % len(FUNCTIONS)], number, phase)
                busy += time.perf_counter() - start
                count += 1
            self.stats[phase][0] += count
            self.stats[phase][1] += busy
            self.stats[phase][2] += self.attempts
            self.phases.barrier.wait()
        for connection in observed.connections.values():
            connection.close()
        self.recording_seconds = observed.recording_seconds
        self.out.close()


class Phases:
    """Segments of load, alternately patched and unpatched; the workers meet at a barrier
    between segments, when the main thread switches the patch and takes its measurements."""

    def __init__(self):
        self.barrier = threading.Barrier(THREADS + 1)
        self.current = "patched"
        self.segment_over = False
        self.done = False


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def total_refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("folder")
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--warmup", type=float, required=True)
    # The run goes on past --seconds until this many requests have been made after the warm-up,
    # however slowly a busy machine makes them, up to --deadline seconds in all.
    parser.add_argument("--requests-after-warmup", type=int, default=0)
    parser.add_argument("--deadline", type=float)
    options = parser.parse_args()
    deadline = options.deadline or options.seconds

    http_patch.install(SKIP_LISTS[0], sink_url="https://sink.example/graphql", api_key="soak-key",
                       service_uuid="0b7e2a59-0a6f-4f55-9d0c-3c1f2e9d8a77")
    phases = Phases()
    workers = [Worker(n, options.port, options.folder, phases) for n in range(THREADS)]
    threads = [threading.Thread(target=w.run, name=f"worker-{w.number}") for w in workers]
    reloader = threading.Thread(target=versions.run, name="skip-list-reloader")
    for thread in threads + [reloader]:
        thread.start()

    started = time.monotonic()
    marks = {}
    segments = 0
    cpu_seconds = {"patched": 0.0, "unpatched": 0.0}  # of the whole process, all threads

    def requests_made():
        return sum(sum(w.stats[p][0] for p in w.stats) for w in workers)

    while True:
        elapsed = time.monotonic() - started
        if "warm" in marks and (elapsed >= deadline or (
                elapsed >= options.seconds
                and requests_made() - marks["warm"]["requests"] >= options.requests_after_warmup)):
            break
        phases.current = "patched" if segments % 2 == 0 else "unpatched"
        if phases.current == "patched":
            http_patch.enable()
        else:
            http_patch.disable()
        phases.segment_over = False
        cpu_start = time.process_time()
        phases.barrier.wait()  # the segment starts
        time.sleep(SEGMENT_SECONDS)
        phases.segment_over = True
        phases.barrier.wait()  # every worker is parked
        cpu_seconds[phases.current] += time.process_time() - cpu_start
        segments += 1
        # Measured while nothing but the reloader runs; after the warm-up, and at the end.
        if "warm" not in marks and time.monotonic() - started >= options.warmup:
            gc.collect()
            marks["warm"] = {"rss": rss_bytes(), "refcount": total_refcount(), "at": time.monotonic() - started,
                             "requests": requests_made()}
    gc.collect()
    marks["end"] = {"rss": rss_bytes(), "refcount": total_refcount(), "at": time.monotonic() - started,
                    "requests": requests_made()}
    phases.done = True
    phases.barrier.wait()
    versions.stop.set()
    for thread in threads + [reloader]:
        thread.join()
    http_patch.uninstall()

    summary = {
        "seconds": time.monotonic() - started,
        "reloads": versions.reloads,
        "phases": {p: {"requests": sum(w.stats[p][0] for w in workers),
                       "busy_seconds": sum(w.stats[p][1] for w in workers),
                       "attempts": sum(w.stats[p][2] for w in workers),
                       "cpu_seconds": cpu_seconds[p]}
                   for p in ("patched", "unpatched")},
        "marks": marks,
        "recording_cpu_seconds": sum(w.recording_seconds for w in workers),
        "skip_lists": [s[:1] for s in SKIP_LISTS],
        "overrides": OVERRIDES,
    }
    print(json.dumps(summary))


if __name__ == "__main__":
    main()
