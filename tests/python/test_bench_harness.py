import json
import os
import shutil
import subprocess
import sys

import pytest

import childproc


def run_harness(out, *options):
    build = childproc.bench_dir().parent
    done = subprocess.run(
        [sys.executable, str(childproc.ROOT / "bench" / "run.py"), "--build", str(build), "--quick",
         "--out", str(out), *options],
        capture_output=True, text=True, timeout=900, check=False,
    )
    assert done.returncode == 0, done.stderr


COUNTING = bool(shutil.which("valgrind")) and not os.environ.get("TW_EMULATOR")
# A quick run counts ours and the floors: the peers' imports alone take a minute under callgrind.
PEERS = {"url_disabled", "match_regex_list", "sentry", "elastic"}


def counted_keys(figures):
    return {f["key"] for f in figures if f["name"] not in PEERS}
# make bench runs on the provisioned 3.14 of this machine, so its harness is held there alone (the
# other interpreters' suites, and the one under emulation, would run it again for nothing).
NEEDS_RELEASE_BUILD = pytest.mark.skipif(
    childproc.module_dir() is None or childproc.SANITIZED or sys.version_info[:2] != (3, 14)
    or bool(os.environ.get("TW_EMULATOR")),
    reason="make bench runs in the release build folder, with the native 3.14")


@NEEDS_RELEASE_BUILD
def test_benchmark_harness_produces_every_table(tmp_path):
    # Only that the harness runs and reports; the figures of a few hundred calls mean nothing.
    run_harness(tmp_path, "--full")
    report = (tmp_path / "results.md").read_text()
    for heading in ("## Targets", "## should_inject_headers, no binding", "## should_inject_headers, stand-in binding",
                    "## Pure-Python peers", "## Call-site introspection", "## Loading the table", "## Hop capture"):
        assert heading in report
    results = json.loads((tmp_path / "results.json").read_text())
    assert {f["name"] for f in results["peers"]} == {"urlsplit_set", "combined_regex", "pattern_list"}
    assert {f["name"] for f in results["peer_code"]} == {"should_inject_headers", "url_disabled", "match_regex_list"}
    assert set(results["peer_versions"]) == {"opentelemetry-util-http", "sentry-sdk", "elastic-apm"}
    assert "## The peers' own code" in report
    assert "## One URL of each spelling" in report
    assert "## Domain entries against the peers' own code" in report
    assert "## Propagation targets against Sentry" in report
    assert {f["name"] for f in results["domains"]} == {"should_inject_headers", "url_disabled", "match_regex_list"}
    assert {(f["name"], f["depth"]) for f in results["hops"]} == {
        (walker, depth) for walker in ("get_call_site", "loop", "sentry", "elastic", "noop") for depth in (1, 12, 25, 100)}
    assert results["load"][0]["ns_per_entry"] > 0 and results["load"][0]["bytes_per_entry"] > 0
    if COUNTING:
        assert results["instructions"]["should_inject_headers"] > 0
        assert set(results["hop_instructions"]) == counted_keys(results["hops"])


@NEEDS_RELEASE_BUILD
def test_benchmark_headline_gives_every_figure_in_ns_and_instructions(tmp_path):
    run_harness(tmp_path)
    report = (tmp_path / "headline.md").read_text()
    for heading in ("## The decision", "## Domain entries and propagation targets", "## Hop capture",
                    "## Where the application's code lives"):
        assert heading in report
    results = json.loads((tmp_path / "headline.json").read_text())
    groups = {f["group"] for f in results["headline"]}
    assert groups == {"decision", "domains", "targets", "hops", "prefixes"}
    assert {f["name"] for f in results["headline"] if f["group"] == "hops"} == {
        "get_call_site", "loop", "sentry", "elastic", "noop"}
    if COUNTING:
        assert set(results["headline_instructions"]) == counted_keys(results["headline"])
        assert all(count > 0 for count in results["headline_instructions"].values())
