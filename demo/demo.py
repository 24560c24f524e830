"""End-to-end demo: an application with the agent's native modules, on real HTTP traffic.

Starts an HTTP server on loopback that records the headers of every request, runs demo/app.py
in a child interpreter with the native library stand-in preloaded (as a deployment would), and
prints, per request, the agent's decision, the trace id and override, the application line that
made the request, and what the server actually received. Exits 0 only when they all agree.
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
TRACE_HEADER = "X-Tw-Trace-Id"
OVERRIDE_HEADER = "X-Tw-Funcspan-Override"
# The file and function each request is attributed to, by its req= number. Requests 7 and 8 come
# from the application's package installed into site-packages and from a library vendored into its
# tree, by the built-in rule alone: the first is taken for a library's, the second for the
# application's. Requests 9 and 10 are the same, once the agent has said where the application's
# code lives (include its package, exclude the vendored folder).
EXPECTED_CALLERS = {"1": ("app.py", "fetch_orders"), "2": ("app.py", "check_health"), "3": ("app.py", "checkout"),
                    "4": ("app.py", "checkout"), "5": ("app.py", "background_job"),
                    "6": ("app.py", "notify_customer"), "7": ("app.py", "ship_and_pay"), "8": ("paylib.py", "charge"),
                    "9": ("api.py", "ship_order"), "10": ("app.py", "ship_and_pay")}

# The application's installed package and the vendored library, laid out in a temporary tree.
ORDERS_SERVICE = """import urllib.request


def ship_order(port, number):
    with urllib.request.urlopen(f"http://localhost:{port}/ship?req={number}") as response:
        response.read()
"""
PAYLIB = """import http.client


def charge(port, number):
    connection = http.client.HTTPConnection("localhost", port)
    connection.request("POST", f"/charge?req={number}", body=b"{}")
    connection.getresponse().read()
    connection.close()
"""


def lay_out_tree(folder):
    """The application's package under a site-packages folder, and a library vendored into the
    application's tree; with the prefixes that tell the agent which is which."""
    site_packages = Path(folder) / "venv" / "lib" / "python3" / "site-packages"
    (site_packages / "orders_service").mkdir(parents=True)
    (site_packages / "orders_service" / "__init__.py").write_text("")
    (site_packages / "orders_service" / "api.py").write_text(ORDERS_SERVICE)
    vendor = Path(folder) / "app" / "vendor"
    vendor.mkdir(parents=True)
    (vendor / "paylib.py").write_text(PAYLIB)
    return {"site_packages": str(site_packages), "vendor": str(vendor),
            "include": [str(site_packages / "orders_service")], "exclude": [str(vendor) + "/"]}


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    received = {}  # req= number -> the X-Tw-* headers the request carried

    def _record(self):
        number = parse_qs(urlsplit(self.path).query).get("req", ["?"])[0]
        self.received[number] = {k: v for k, v in self.headers.items() if k.lower().startswith("x-tw-")}
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    do_GET = do_POST = _record

    def log_message(self, *args):
        pass


def run_application(build, modules, port, tree):
    env = dict(os.environ)
    # Added to whatever the environment already preloads, as a deployment's launcher would.
    preload = [os.environ.get("LD_PRELOAD", ""), str(build / "standins" / "libtidewren.so")]
    env["LD_PRELOAD"] = " ".join(part for part in preload if part)
    paths = [str(modules)] if modules else []  # none: the installed modules
    env["PYTHONPATH"] = os.pathsep.join(paths + [str(ROOT / "standins" / "tw-vantrel")])
    done = subprocess.run([sys.executable, str(ROOT / "demo" / "app.py"), str(port), json.dumps(tree)], env=env,
                          capture_output=True, text=True, timeout=60, check=False)
    if done.returncode != 0:
        sys.exit(f"the application failed:\n{done.stderr}")
    if done.stderr:
        print(done.stderr, file=sys.stderr, end="")
    return json.loads(done.stdout)


def is_target(host, targets):
    """Whether a host is one of the targets, for the hosts and entries of the demo."""
    return any(host == entry or (entry.startswith(".") and (host == entry[1:] or host.endswith(entry)))
               for entry in targets)


def check(outcome, received):
    """Every disagreement between what the agent decided and what happened, as text."""
    problems = []
    for request in outcome["requests"]:
        number = parse_qs(urlsplit(request["url"]).query)["req"][0]
        got = received.get(number)
        if got is None:
            problems.append(f"req={number}: never reached the server")
            continue
        expected = {}
        if request["inject"]:
            if request["trace_id"] is not None:
                expected[TRACE_HEADER] = str(request["trace_id"])
            if request["override"] is not None:
                expected[OVERRIDE_HEADER] = str(request["override"])
        if got != expected:
            problems.append(f"req={number}: server received {got}, agent decided {expected}")
        host = urlsplit(request["url"]).hostname
        if request["inject"] != (host not in outcome["skip_hosts"] and is_target(host, outcome["targets"])):
            problems.append(f"req={number}: decision {request['inject']} for host {host}")
        site = request["call_site"]
        if site is None or (Path(site[0]).name, site[2]) != EXPECTED_CALLERS[number]:
            problems.append(f"req={number}: attributed to {site}")
    if len(outcome["requests"]) != len(EXPECTED_CALLERS):
        problems.append(f"{len(outcome['requests'])} requests captured, {len(EXPECTED_CALLERS)} made")
    native = outcome["native"]
    config = outcome["config"]
    for entry, key in (("tw_set_sink_url", "sink_url"), ("tw_set_api_key", "api_key"),
                       ("tw_set_service_uuid", "service_uuid")):
        if native["received"][entry] != config[key]:
            problems.append(f"native library got {native['received'][entry]!r} through {entry}")
    if native["TW_INITIALIZED"] != "1" or native["initialize_calls"] != 1:
        problems.append(f"native library not activated: {native}")
    return problems


def print_report(outcome, received, problems):
    print(f"skip list: {outcome['skip_hosts']}")
    print(f"propagation targets: {outcome['targets']}")
    print(f"from req=9 on, the application's code includes {outcome['include']} and excludes {outcome['exclude']}\n")
    header = f"{'request':56} {'inject':6} {'trace id':10} {'override':14} {'call site':28} server received"
    print(header)
    print("-" * len(header))
    for request in outcome["requests"]:
        number = parse_qs(urlsplit(request["url"]).query)["req"][0]
        site = request["call_site"]
        where = f"{Path(site[0]).name}:{site[1]} {site[2]}" if site else "?"
        got = received.get(number, {})
        shown = ", ".join(
            f"trace-id={v[:8]}" if k.lower() == TRACE_HEADER.lower() else f"override={v}"
            for k, v in got.items()
        ) or "no trace headers"
        trace = str(request["trace_id"])[:8]
        print(f"{request['method'] + ' ' + request['url']:56} {str(request['inject']):6} {trace:10} "
              f"{str(request['override']):14} {where:28} {shown}")
    native = outcome["native"]
    print("\nnative library (preloaded stand-in) received:")
    for entry, value in native["received"].items():
        print(f"  {entry}({value!r})")
    print(f"  tw_initialize() called {native['initialize_calls']} time(s); "
          f"TW_INITIALIZED={native['TW_INITIALIZED']}")
    print()
    if problems:
        print("DISAGREEMENTS:")
        for problem in problems:
            print(f"  {problem}")
    else:
        print("All requests agree with the agent's decisions.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the CMake build folder")
    parser.add_argument("--modules", help="folder of the modules (default: <build>/lib; empty: installed)")
    parser.add_argument("--json", action="store_true", help="print the outcome as JSON")
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    modules = build / "lib" if options.modules is None else options.modules

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), RecordingHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        with tempfile.TemporaryDirectory(prefix="tw-demo-") as folder:
            outcome = run_application(build, modules, server.server_address[1], lay_out_tree(folder))
    finally:
        server.shutdown()
        server.server_close()
    received = RecordingHandler.received
    problems = check(outcome, received)
    if options.json:
        json.dump({"outcome": outcome, "received": received, "problems": problems}, sys.stdout)
    else:
        print_report(outcome, received, problems)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
