"""The header check in a real host with several interpreters: Apache with mod_wsgi.

Apache runs in the foreground on a loopback port with a configuration of our own, serving three
WSGI apps: two in their default application groups (a sub-interpreter each) and one in %{GLOBAL}
(the main interpreter). Each is served in embedded mode (inside Apache's worker process) and in
daemon mode (in a process of mod_wsgi's own), with the first request going once to a
sub-interpreter app and once to the global one; a concurrent burst follows, every request in a
fresh context.

Each interpreter's agent names the interpreter in the trace ids it makes, each app sets an
override naming its interpreter, and each interpreter loads a skip list of its own: a shared host
and one named after its application group. Every answer must carry the answering interpreter's
own trace id and override, never None nor another's, and follow that interpreter's own list.
Apache's error log must show no crash.

    modwsgi_test.py MODULE_DIR   (the modules built for the python3 that mod_wsgi embeds)
"""

import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import urllib.request
from collections import Counter
from pathlib import Path

APACHE = "/usr/sbin/apache2"
APACHE_MODULES = Path("/usr/lib/apache2/modules")
APPS = ("alpha", "beta", "global")
SEQUENTIAL_ROUNDS = 8
BURST_REQUESTS = 600
BURST_THREADS = 12
STOP_SECONDS = 15
CRASH_SIGNS = ("Segmentation fault", "exit signal", "Fatal Python error", "Aborted", "core dumped")

# The agent as each interpreter imports it: its trace ids and overrides name this interpreter.
NAMING_AGENT = Path(__file__).resolve().parents[1] / "support" / "naming_agent.py"

# The shared host, each application group's own host, and one on nobody's list.
TARGETS = ("skip", "alpha", "beta", "global", "api")

APP = """
import contextvars, json, os, sys
import mod_wsgi
import _twheadercheck
from tw_vantrel import thread_local
# The interpreter's own host, named after the application group it serves ('' is %{GLOBAL}).
OWN_HOST = mod_wsgi.application_group.rpartition("/")[2] or "global"
_twheadercheck.init_header_check(["skip.example", OWN_HOST + ".example"])

def _shown(value):
    # What a wrong answer handed out may be any object, even a freed one: only its type is shown.
    return value if value is None or isinstance(value, str) else "<%s>" % type(value).__name__

def application(environ, start_response):
    target = environ.get("QUERY_STRING") or "api"
    def ask():
        thread_local.funcspan_override_ctx.set("override-" + thread_local.INTERPRETER)
        return _twheadercheck.should_inject_headers("https://%s.example/x" % target)
    inject, trace_id, override = contextvars.Context().run(ask)
    body = json.dumps({
        "app": APP_NAME, "pid": os.getpid(), "interpreter": thread_local.INTERPRETER,
        "python": list(sys.version_info[:2]), "own_host": OWN_HOST,
        "group": environ.get("mod_wsgi.application_group"), "target": target, "inject": inject,
        "trace_id": _shown(trace_id), "override": _shown(override),
    }).encode()
    start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
    return [body]
"""

CONFIG = """
ServerName 127.0.0.1
ServerRoot {root}
Listen 127.0.0.1:{port}
PidFile {root}/run/apache.pid
DefaultRuntimeDir {root}/run
ErrorLog {root}/error.log
LogLevel info
User www-data
Group www-data
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule wsgi_module {modules}/mod_wsgi.so
# One worker process, so that every embedded request meets the same interpreters.
StartServers 1
ServerLimit 1
ThreadsPerChild 16
MaxRequestWorkers 16
MaxConnectionsPerChild 0
WSGISocketPrefix {root}/run/wsgi
WSGIPythonPath {root}/lib:{root}/agent
{daemon}
# Directives rather than WSGIScriptAlias options: with both a process group and an application
# group given there, mod_wsgi loads the script when the daemon starts, before any request.
WSGIScriptAlias /alpha {root}/apps/alpha.wsgi
WSGIScriptAlias /beta {root}/apps/beta.wsgi
WSGIScriptAlias /global {root}/apps/global.wsgi
<Location /global>
    WSGIApplicationGroup %{{GLOBAL}}
</Location>
<Directory {root}/apps>
    Require all granted
</Directory>
"""

# Apache's own worker processes then start no interpreter of their own: they only pass requests
# to the daemon. (Once, such a worker, which had never loaded these modules, crashed on the way
# down; a crash line must be about a process that ran them.)
DAEMON = """
WSGIRestrictEmbedded On
WSGIDaemonProcess agent processes=1 threads=16 python-path={root}/lib:{root}/agent
WSGIProcessGroup agent
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def lay_out(root, module_dir):
    """The modules, the agent and the apps, where Apache's www-data workers can read them."""
    (root / "lib").mkdir()
    for module in Path(module_dir).glob("_tw*.so"):
        shutil.copy(module, root / "lib")
    package = root / "agent" / "tw_vantrel"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    shutil.copy(NAMING_AGENT, package / "thread_local.py")
    (root / "apps").mkdir()
    for app in APPS:
        (root / "apps" / f"{app}.wsgi").write_text(f"APP_NAME = {app!r}\n" + textwrap.dedent(APP))
    (root / "run").mkdir()
    for path in [root, *root.rglob("*")]:
        path.chmod(0o755 if path.is_dir() else 0o644)


class Apache:
    def __init__(self, root, mode):
        self.root = root
        self.port = free_port()
        daemon = DAEMON.format(root=root) if mode == "daemon" else ""
        (root / "apache.conf").write_text(CONFIG.format(
            root=root, port=self.port, modules=APACHE_MODULES, daemon=daemon))
        (root / "error.log").write_text("")
        self.process = subprocess.Popen(
            [APACHE, "-f", str(root / "apache.conf"), "-D", "FOREGROUND"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit(f"apache did not start:\n{self.process.stderr.read().decode()}"
                                     f"\n{self.error_log()}")
                time.sleep(0.05)

    def ask(self, app, target):
        """The app's answer; None when the request failed (a worker that crashed drops it)."""
        url = f"http://127.0.0.1:{self.port}/{app}?{target}"
        try:
            with urllib.request.urlopen(url, timeout=30) as response:
                return json.loads(response.read())
        except (OSError, ValueError):
            return None

    def error_log(self):
        return (self.root / "error.log").read_text(errors="replace")

    def stop(self):
        """Stops Apache; a teardown that hangs is cut off (mod_wsgi may hang there, ours or not)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=STOP_SECONDS)
            return "stopped"
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            return "killed after a hung teardown"


def judge(answers):
    """Wrong answers, and how many of the right ones were about the interpreter's own host.

    An answer must carry the answering interpreter's own trace id and override, and skip exactly
    the shared host and that interpreter's own: None, another interpreter's values, any other
    object, or a decision by another interpreter's list is wrong.
    """
    wrong = []
    own_host_skipped = 0
    for answer in answers:
        me = answer["interpreter"]
        ok = (isinstance(answer["trace_id"], str) and answer["trace_id"].startswith(f"trace-{me}-")
              and answer["override"] == f"override-{me}"
              and answer["inject"] is (answer["target"] not in ("skip", answer["own_host"])))
        if not ok:
            wrong.append(answer)
        elif answer["target"] == answer["own_host"]:
            own_host_skipped += 1
    return wrong, own_host_skipped


def run(module_dir, mode, first):
    root = Path(tempfile.mkdtemp(prefix="tw-modwsgi-"))
    try:
        lay_out(root, module_dir)
        apache = Apache(root, mode)
        answers = []
        try:
            order = [first] + [app for app in APPS if app != first]
            for round_number in range(SEQUENTIAL_ROUNDS):
                for position, app in enumerate(order):
                    answers.append(apache.ask(app, TARGETS[(round_number + position) % len(TARGETS)]))
            plan = [(random.choice(APPS), random.choice(TARGETS)) for _ in range(BURST_REQUESTS)]
            lock = threading.Lock()

            def burst(part):
                for app, target in part:
                    answer = apache.ask(app, target)
                    with lock:
                        answers.append(answer)

            threads = [threading.Thread(target=burst, args=(plan[i::BURST_THREADS],))
                       for i in range(BURST_THREADS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            stopped = apache.stop()
        log = apache.error_log()
        crash_lines = [line for line in log.splitlines() if any(sign in line for sign in CRASH_SIGNS)]
        # The modules run only where Python does. In daemon mode Apache's own worker starts no
        # interpreter (WSGIRestrictEmbedded), yet once in a while it dies on the way down: such a
        # crash is shown, but it is not one of a process that ever ran these modules.
        python_pids = set(re.findall(r"mod_wsgi \(pid=(\d+)\): Initializing Python", log))
        outside = [line for line in crash_lines
                   if (pid := re.search(r"child pid (\d+) exit signal", line)) and pid.group(1) not in python_pids]
        crashes = [line for line in crash_lines if line not in outside]
        failed = sum(answer is None for answer in answers)
        answers = [answer for answer in answers if answer is not None]
        wrong, own_host_skipped = judge(answers)
        interpreters = Counter((a["pid"], a["interpreter"], a["group"]) for a in answers)
        return {
            "mode": mode, "first": first, "requests": len(answers) + failed, "failed": failed,
            "wrong": len(wrong), "own_host_skipped": own_host_skipped, "crashes": len(crashes), "stop": stopped,
            "interpreters": len(interpreters), "wrong_examples": wrong[:3], "crash_lines": crashes[:5],
            "served_by": sorted({a["pid"] for a in answers}), "outside_python": outside[:5],
        }
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    module_dir = Path(sys.argv[1]).resolve()
    if not Path(APACHE).exists() or not (APACHE_MODULES / "mod_wsgi.so").exists():
        raise SystemExit("apache2 and libapache2-mod-wsgi-py3 are needed (tools/install-deps.sh --modwsgi)")
    results = [run(module_dir, mode, first) for mode in ("embedded", "daemon") for first in ("alpha", "global")]
    failed = 0
    print(f"{'mode':9} {'first':7} {'requests':>8} {'failed':>6} {'interpreters':>12} {'own skips':>9} "
          f"{'wrong':>6} {'crashes':>8}  stop")
    for result in results:
        print(f"{result['mode']:9} {result['first']:7} {result['requests']:>8} {result['failed']:>6} "
              f"{result['interpreters']:>12} {result['own_host_skipped']:>9} {result['wrong']:>6} {result['crashes']:>8}  "
              f"{result['stop']}")
        # Three apps, three interpreters at least; answers about an interpreter's own host must be
        # there, or the lists were never told apart.
        bad = (result["wrong"] or result["failed"] or result["crashes"] or result["interpreters"] < 3
               or result["own_host_skipped"] == 0)
        for line in result["outside_python"]:
            print("  crash of a process that never started Python:", line)
        if bad:
            failed += 1
            for example in result["wrong_examples"]:
                print("  wrong:", example)
            if result["crash_lines"]:
                # Which processes ran the apps (and so the modules), to tell them in a crash line.
                print("  processes that served the apps:", result["served_by"])
            for line in result["crash_lines"]:
                print("  log:", line)
    print(f"modwsgi: {len(results) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
