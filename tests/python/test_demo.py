import json
import subprocess
import sys
from pathlib import Path

import childproc


def test_demo_traffic_agrees_with_the_agents_decisions():
    build = Path(childproc.standin_library()).parents[1]
    modules = childproc.module_dir()
    done = subprocess.run(
        [sys.executable, str(childproc.ROOT / "demo" / "demo.py"), "--build", str(build), "--json",
         "--modules", str(modules) if modules else ""],
        capture_output=True, text=True, timeout=120, check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    result = json.loads(done.stdout)
    assert result["problems"] == []
    requests = result["outcome"]["requests"]
    received = result["received"]

    by_number = {r["url"].rsplit("req=", 1)[1]: r for r in requests}
    assert sorted(by_number, key=int) == [str(n) for n in range(1, 11)]
    # Skipped hosts, and the customer's host, which is no target, reached the server with no trace
    # headers; the others carried the agent's.
    for number, request in by_number.items():
        skipped = "127.0.0.1" in request["url"] or "hooks.customer.example" in request["url"]
        assert request["inject"] is not skipped
        assert (received[number] == {}) is skipped
        if not skipped:
            assert received[number]["X-Tw-Trace-Id"] == request["trace_id"]
    assert received["3"]["X-Tw-Funcspan-Override"] == "checkout-span"
    assert "X-Tw-Funcspan-Override" not in received["1"]
    # Requests in one context share a trace id; the job in a context of its own has another.
    assert by_number["1"]["trace_id"] == by_number["3"]["trace_id"] != by_number["5"]["trace_id"]
    callers = {n: (Path(r["call_site"][0]).name, r["call_site"][2]) for n, r in by_number.items()}
    assert callers == {
        "1": ("app.py", "fetch_orders"),
        "2": ("app.py", "check_health"),
        "3": ("app.py", "checkout"),
        "4": ("app.py", "checkout"),
        "5": ("app.py", "background_job"),
        "6": ("app.py", "notify_customer"),
        # the installed package taken for a library's, the vendored library for the application's,
        # until the agent says where the application's code lives
        "7": ("app.py", "ship_and_pay"),
        "8": ("paylib.py", "charge"),
        "9": ("api.py", "ship_order"),
        "10": ("app.py", "ship_and_pay"),
    }
    native = result["outcome"]["native"]
    assert native["TW_INITIALIZED"] == "1" and native["initialize_calls"] == 1
    assert native["received"]["tw_set_sink_url"] == "https://sink.example/graphql"
