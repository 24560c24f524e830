"""make soak: the agent's real job under load, with reconfiguration and faults; nothing may be lost.

Starts a loopback HTTP server (keep-alive, dropping a known share of connections before it
answers) that records every request it gets, runs soak/app.py under load in a child interpreter
with the native library stand-in preloaded, then accounts for every request: the server got it,
with exactly the headers the agent's decision and the request's context call for, the decision
equals the skip rule for the table in force, and the call site is the function that made it.
A shorter run under the debug interpreter checks that the total reference count stays flat.
Prints the figures as a table, writes them as JSON, and exits non-zero on any fault.
"""

import argparse
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

ROOT = Path(__file__).resolve().parents[1]
TRACE_HEADER = "x-tw-trace-id"
OVERRIDE_HEADER = "x-tw-funcspan-override"
RSS_GROWTH_LIMIT = 2 * 1024 * 1024
# The debug run's total reference count may move by this much between the warm-up and the end:
# caches of the standard library settle there. A leak of one reference per request would exceed
# it many times over: the run goes on until REFCOUNT_MIN_REQUESTS requests follow the warm-up,
# however long a busy machine takes, up to a deadline of RUN_DEADLINE_SECONDS past its length.
REFCOUNT_LIMIT = 500
REFCOUNT_MIN_REQUESTS = 2000
RUN_DEADLINE_SECONDS = 300


def dropped(key):
    """Whether the server closes this request's connection instead of answering: the first
    attempt of about one request in 23."""
    _, number, attempt = key.split("-")
    return attempt == "0" and int(number) % 23 == 5


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive for the clients that support it
    # The answer leaves in one segment, at once: no delayed-ACK stalls of tens of milliseconds.
    disable_nagle_algorithm = True
    wbufsize = 4096
    received = {}  # request key -> {"phase", "fn", "headers", "dropped"}

    def _record(self):
        query = parse_qs(urlsplit(self.path).query)
        key = query["req"][0]
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        drop = dropped(key)
        self.received[key] = {
            "phase": query["phase"][0],
            "fn": query["fn"][0],
            "headers": {k.lower(): v for k, v in self.headers.items() if k.lower().startswith("x-tw-")},
            "dropped": drop,
        }
        if drop:
            self.close_connection = True
            return
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    do_GET = do_POST = do_PUT = _record

    def log_message(self, *args):
        pass


def run_application(python, build, port, folder, seconds, warmup, requests_after_warmup):
    env = dict(os.environ)
    preload = [os.environ.get("LD_PRELOAD", ""), str(build / "standins" / "libtidewren.so")]
    env["LD_PRELOAD"] = " ".join(part for part in preload if part)
    env["PYTHONPATH"] = os.pathsep.join([str(build / "lib"), str(ROOT / "standins" / "tw-vantrel")])
    deadline = seconds + RUN_DEADLINE_SECONDS if requests_after_warmup else seconds
    done = subprocess.run(
        [python, str(ROOT / "soak" / "app.py"), str(port), str(folder), "--seconds", str(seconds),
         "--warmup", str(warmup), "--requests-after-warmup", str(requests_after_warmup),
         "--deadline", str(deadline)],
        env=env, capture_output=True, text=True, timeout=deadline + seconds * 3 + 120, check=False,
    )
    if done.returncode != 0:
        return None, f"the application exited with {done.returncode}:\n{done.stderr[-4000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1]), None


def expected_headers(line, fn, overrides):
    if not line["inject"]:
        return {}
    headers = {}
    if line["plan"] == "ok":
        headers[TRACE_HEADER] = str(line["context_trace_id"])
    if overrides[fn] is not None:
        headers[OVERRIDE_HEADER] = str(overrides[fn])
    return headers


def skips(entry, host):
    """Whether a skip entry skips a host, for the hosts and entries the soak uses."""
    if entry.startswith("."):
        return host == entry[1:] or host.endswith(entry)
    if entry.startswith("*."):
        return host.endswith(entry[1:])
    return host == entry


def account(folder, received, summary):
    """Every fault found, as text, and the counts of what was checked."""
    problems = []
    counts = {"patched_sent": 0, "versioned": 0, "unversioned": 0, "faults_raise": 0, "faults_malformed": 0,
              "dropped": 0, "unpatched_received": 0}
    overrides = summary["overrides"]
    skip_lists = summary["skip_lists"]
    seen = set()

    def fault(text):
        if len(problems) < 50:
            problems.append(text)
        else:
            problems[-1] = "... and more"

    for path in sorted(Path(folder).glob("requests-*.jsonl")):
        for raw in path.read_text().splitlines():
            line = json.loads(raw)
            query = parse_qs(urlsplit(line["url"]).query)
            key, fn = query["req"][0], query["fn"][0]
            seen.add(key)
            counts["patched_sent"] += 1
            counts["faults_" + line["plan"]] = counts.get("faults_" + line["plan"], 0) + 1
            got = received.get(key)
            if got is None:
                fault(f"{key}: sent by {fn} but never reached the server")
                continue
            if got["phase"] != "patched":
                fault(f"{key}: recorded by the agent in an unpatched segment")
            # What the agent answered, against what the request's context holds.
            trace_expected = line["context_trace_id"] if line["plan"] == "ok" else None
            if line["plan"] == "ok" and line["context_trace_id"] is None:
                fault(f"{key}: the agent's callable ran but the context has no trace id")
            if line["trace_id"] != trace_expected:
                fault(f"{key}: trace id {line['trace_id']!r}, context has {trace_expected!r} (plan {line['plan']})")
            if line["override"] != overrides[fn] or line["context_override"] != overrides[fn]:
                fault(f"{key}: override {line['override']!r}, {fn} set {overrides[fn]!r}")
            if got["headers"] != expected_headers(line, fn, overrides):
                fault(f"{key}: server received {got['headers']}, expected {expected_headers(line, fn, overrides)}")
            before, after = line["sequences"]
            if before == after and before % 2 == 0:
                counts["versioned"] += 1
                host = urlsplit(line["url"]).hostname
                in_force = skip_lists[(before // 2) % 2]
                if line["inject"] != (not any(skips(entry, host) for entry in in_force)):
                    fault(f"{key}: decision {line['inject']} for {host} with {in_force} in force")
            else:
                counts["unversioned"] += 1
            if line["site"] != ["app.py", fn]:
                fault(f"{key}: attributed to {line['site']}, made by {fn}")
            if got["dropped"]:
                counts["dropped"] += 1
                worker, number, attempt = key.split("-")
                if f"{worker}-{number}-{int(attempt) + 1}" not in received:
                    fault(f"{key}: dropped by the server and never retried")
    for key, got in received.items():
        if got["phase"] == "patched" and key not in seen:
            fault(f"{key}: the server got a request that the agent never saw")
        if got["phase"] == "unpatched":
            counts["unpatched_received"] += 1
            if got["headers"]:
                fault(f"{key}: unpatched request carried {got['headers']}")
    for phase in ("patched", "unpatched"):
        attempts = summary["phases"][phase]["attempts"]
        at_server = sum(1 for got in received.values() if got["phase"] == phase)
        if attempts != at_server:
            fault(f"{phase}: the application made {attempts} attempts, the server received {at_server}")
    if counts["versioned"] == 0:
        fault("no decision could be checked against a table in force")
    return problems, counts


def soak(python, build, seconds, warmup, requests_after_warmup=0):
    RecordingHandler.received = {}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), RecordingHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with tempfile.TemporaryDirectory(prefix="tw-soak-") as folder:
        try:
            summary, failure = run_application(python, build, server.server_address[1], folder, seconds, warmup,
                                               requests_after_warmup)
        finally:
            server.shutdown()
            server.server_close()
        if failure:
            return None, [failure], {}
        problems, counts = account(folder, RecordingHandler.received, summary)
    return summary, problems, counts


def figures(summary, counts):
    patched, unpatched = summary["phases"]["patched"], summary["phases"]["unpatched"]
    requests = patched["requests"] + unpatched["requests"]
    per_request = {p: summary["phases"][p]["busy_seconds"] / max(1, summary["phases"][p]["requests"]) * 1e6
                   for p in ("patched", "unpatched")}
    cpu_per_request = {p: summary["phases"][p]["cpu_seconds"] / max(1, summary["phases"][p]["requests"]) * 1e6
                       for p in ("patched", "unpatched")}
    recording = summary["recording_cpu_seconds"] / max(1, patched["requests"]) * 1e6
    warm, end = summary["marks"]["warm"], summary["marks"]["end"]
    return {
        "requests": requests,
        "requests_per_second": requests / summary["seconds"],
        "patched_requests": patched["requests"],
        "unpatched_requests": unpatched["requests"],
        "attempts_dropped_and_retried": counts["dropped"],
        "skip_list_reloads": summary["reloads"],
        "decisions_checked_against_table": counts["versioned"],
        "decisions_straddling_a_reload": counts["unversioned"],
        "trace_id_raised": counts.get("faults_raise", 0),
        "trace_id_malformed": counts.get("faults_malformed", 0),
        "us_per_request_patched": per_request["patched"],
        "us_per_request_unpatched": per_request["unpatched"],
        "latency_cost_us_per_request": per_request["patched"] - per_request["unpatched"],
        "cpu_us_per_request_patched": cpu_per_request["patched"],
        "cpu_us_per_request_unpatched": cpu_per_request["unpatched"],
        "recording_cpu_us_per_request": recording,
        "agent_cost_us_per_request": cpu_per_request["patched"] - cpu_per_request["unpatched"] - recording,
        "rss_after_warmup_mib": warm["rss"] / 2**20,
        "rss_growth_mib": (end["rss"] - warm["rss"]) / 2**20,
        "refcount_growth": (end["refcount"] - warm["refcount"]) if warm["refcount"] is not None else None,
        "requests_after_warmup": end["requests"] - warm["requests"],
        "seconds": summary["seconds"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the release CMake build folder")
    parser.add_argument("--debug-build", default="build-debug", help="the tree built for the debug interpreter")
    parser.add_argument("--python", default=sys.executable, help="the release interpreter")
    parser.add_argument("--debug-python", help="the debug interpreter (python3.14d); none: no reference check")
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("SOAK_SECONDS", 120)))
    parser.add_argument("--debug-seconds", type=float, help="length of the debug run (default: a quarter, at least 8)")
    parser.add_argument("--json", help="where to write the figures (default: <build>/soak-results.json)")
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    warmup = max(2.0, options.seconds / 5)

    print(f"soak: {options.seconds:.0f} s of load under {options.python} ...", file=sys.stderr, flush=True)
    summary, problems, counts = soak(options.python, build, options.seconds, warmup)
    results = {"release": None, "debug": None, "problems": problems}
    if summary is not None:
        results["release"] = figures(summary, counts)
        if results["release"]["rss_growth_mib"] * 2**20 > RSS_GROWTH_LIMIT:
            problems.append(f"RSS grew by {results['release']['rss_growth_mib']:.2f} MiB after the warm-up "
                            f"(limit {RSS_GROWTH_LIMIT / 2**20:.0f} MiB)")
    if options.debug_python:
        debug_seconds = options.debug_seconds or max(8.0, options.seconds / 4)
        print(f"soak: {debug_seconds:.0f} s under {options.debug_python} ...", file=sys.stderr, flush=True)
        debug_summary, debug_problems, debug_counts = soak(
            options.debug_python, (ROOT / options.debug_build).resolve(), debug_seconds, max(3.0, debug_seconds / 3),
            REFCOUNT_MIN_REQUESTS)
        problems.extend(f"debug run: {p}" for p in debug_problems)
        if debug_summary is not None:
            results["debug"] = figures(debug_summary, debug_counts)
            growth = results["debug"]["refcount_growth"]
            after = results["debug"]["requests_after_warmup"]
            if growth is None:
                problems.append("debug run: the interpreter counts no references (not a debug build)")
            elif abs(growth) > REFCOUNT_LIMIT:
                problems.append(f"debug run: total reference count moved by {growth:+d} after the warm-up "
                                f"(limit ±{REFCOUNT_LIMIT})")
            elif after < REFCOUNT_MIN_REQUESTS:
                problems.append(f"debug run: only {after} requests after the warm-up in "
                                f"{results['debug']['seconds']:.0f} s, too few to show a leak")

    out = Path(options.json) if options.json else build / "soak-results.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=1))
    print_report(results)
    print(f"figures: {out}", file=sys.stderr)
    sys.exit(1 if problems else 0)


def print_report(results):
    rows = [("", "release", "debug (python3.14d)")]
    labels = [
        ("requests", "requests", "{:,}"),
        ("requests_per_second", "requests per second", "{:,.0f}"),
        ("patched_requests", "  of which patched", "{:,}"),
        ("attempts_dropped_and_retried", "connections dropped by the server, retried", "{:,}"),
        ("skip_list_reloads", "skip-list reloads", "{:,}"),
        ("trace_id_raised", "requests whose trace-id callable raised", "{:,}"),
        ("trace_id_malformed", "requests whose trace-id callable answered nonsense", "{:,}"),
        ("decisions_checked_against_table", "decisions checked against the table in force", "{:,}"),
        ("decisions_straddling_a_reload", "decisions straddling a reload (not checked)", "{:,}"),
        ("cpu_us_per_request_unpatched", "application CPU µs per request, unpatched", "{:,.1f}"),
        ("cpu_us_per_request_patched", "application CPU µs per request, patched", "{:,.1f}"),
        ("recording_cpu_us_per_request", "  of which the soak's own recording, CPU µs", "{:,.1f}"),
        ("agent_cost_us_per_request", "agent layer's cost per request, CPU µs", "{:+,.1f}"),
        ("us_per_request_unpatched", "latency per request (8 threads), unpatched, µs", "{:,.0f}"),
        ("us_per_request_patched", "latency per request (8 threads), patched, µs", "{:,.0f}"),
        ("rss_growth_mib", f"RSS growth after the warm-up, MiB (limit {RSS_GROWTH_LIMIT / 2**20:.0f})", "{:+.2f}"),
        ("refcount_growth", f"total references after the warm-up (limit ±{REFCOUNT_LIMIT})", "{:+,}"),
    ]
    for key, label, form in labels:
        cells = []
        for run in ("release", "debug"):
            value = (results[run] or {}).get(key)
            cells.append("–" if value is None else form.format(value))
        rows.append((label, *cells))
    width = max(len(r[0]) for r in rows)
    for label, *cells in rows:
        print(f"{label:{width}}  {cells[0]:>14}  {cells[1]:>20}")
    print()
    if results["problems"]:
        print("FAULTS:")
        for problem in results["problems"]:
            print(f"  {problem}")
    else:
        print("Every request accounted for: headers, decisions and call sites all agree.")


if __name__ == "__main__":
    main()
