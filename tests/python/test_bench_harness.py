import json
import os
import shutil
import subprocess
import sys

import pytest

import childproc


@pytest.mark.skipif(childproc.module_dir() is None or childproc.SANITIZED,
                    reason="needs the release build folder")
def test_benchmark_harness_produces_every_table(tmp_path):
    # Only that the harness runs and reports; the figures of a few hundred calls mean nothing.
    build = childproc.bench_dir().parent
    done = subprocess.run(
        [sys.executable, str(childproc.ROOT / "bench" / "run.py"), "--build", str(build), "--quick",
         "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=600, check=False,
    )
    assert done.returncode == 0, done.stderr
    report = (tmp_path / "results.md").read_text()
    for heading in ("## Targets", "## should_inject_headers, no binding", "## should_inject_headers, stand-in binding",
                    "## Pure-Python peers", "## Call-site introspection", "## Loading the table"):
        assert heading in report
    results = json.loads((tmp_path / "results.json").read_text())
    assert {f["name"] for f in results["peers"]} == {"urlsplit_set", "combined_regex", "pattern_list"}
    assert {f["name"] for f in results["peer_code"]} == {"should_inject_headers", "url_disabled", "match_regex_list"}
    assert set(results["peer_versions"]) == {"opentelemetry-util-http", "sentry-sdk"}
    assert "## The peers' own code" in report
    assert "## One URL of each spelling" in report
    assert "## Domain entries against the peers' own code" in report
    assert "## Propagation targets against Sentry" in report
    assert {f["name"] for f in results["domains"]} == {"should_inject_headers", "url_disabled", "match_regex_list"}
    assert results["load"][0]["ns_per_entry"] > 0 and results["load"][0]["bytes_per_entry"] > 0
    if shutil.which("valgrind") and not os.environ.get("TW_EMULATOR"):
        assert results["instructions"]["should_inject_headers"] > 0
