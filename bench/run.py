"""make bench: the headline figures (ns and callgrind instructions) in a few minutes; with --full
(make bench-full), every figure set in a process of its own, instruction counts under callgrind,
and the results as Markdown, JSON and a plot."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SETS = ["header_unbound", "header_bound", "spellings", "domains", "targets", "peers", "peer_code", "frameinfo",
        "load", "hops"]
TABLE_SIZES = [0, 1, 16, 256, 4096, 65536, 1048576]
# The sizes the flat-cost targets hold for; the largest is reported beside them.
TARGET_SIZES = [1, 16, 256, 4096, 65536]
SHAPES = ["plain", "port", "www_caps", "userinfo", "long"]
PEERS = ["urlsplit_set", "combined_regex", "pattern_list"]
# The peers' own code: figure name, what it is, and the Debian package it comes from.
PEER_CODE = [("url_disabled", "OpenTelemetry ExcludeList.url_disabled", "opentelemetry-util-http"),
             ("match_regex_list", "Sentry match_regex_list", "sentry-sdk")]
PEER_CODE_SHAPES = ["plain", "port", "userinfo", "long"]


def peers_folder():
    """The peers' packages, unpacked from Debian's by the provisioning script (once), compiled for
    this interpreter (once), so that no run compiles their sources again."""
    import compileall

    done = subprocess.run([str(ROOT / "tools" / "provision-python.sh"), "--bench-peers"],
                          capture_output=True, text=True, check=True)
    folder = done.stdout.strip()
    compileall.compile_dir(folder, quiet=2)
    return folder


# The peers whose stack walk the hop capture is measured against, and their packages.
HOP_PEERS = [("sentry", "Sentry add_source", "sentry-sdk"), ("elastic", "Elastic APM iter_stack_frames + is_library_frame",
                                                             "elastic-apm")]


def peer_versions(folder):
    """The versions of the peers' code that was measured, as their packages' metadata gives them."""
    from importlib.metadata import distributions

    found = {d.metadata["Name"].lower().replace("_", "-"): d.version for d in distributions(path=[folder])}
    return {package: found[package] for package in dict.fromkeys(p for *_, p in PEER_CODE + HOP_PEERS)}


def run_set(build, name, timing, peers=None):
    paths = [build / "lib", build / "bench", ROOT / "bench"]
    if name == "header_bound":
        paths.append(ROOT / "standins" / "tw-vantrel")
    extra = ["--peers-folder", peers] if name in ("peer_code", "domains", "targets", "headline", "hops") else []
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, paths)))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "figures.py"), name, *timing, *extra],
        env=env, capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout)["figures"]


def callgrind_counts(build, arguments, peers=None):
    """Instructions per call of every figure callgrind_loop.py counts in one process: {key: count}."""
    # A fixed hash seed: with a random one, start-up alone varies by thousands of instructions.
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join([str(build / "lib"), str(build / "bench"), str(ROOT / "bench")]))
    with tempfile.TemporaryDirectory(prefix="tw-callgrind-") as folder:
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={folder}/counts", "--dump-line=no",
             sys.executable, str(ROOT / "bench" / "callgrind_loop.py"), *arguments, *([peers] if peers else [])],
            env=env, capture_output=True, text=True, check=True,
        )
        dumped = {}
        for dump in Path(folder).glob("counts.*"):
            text = dump.read_text()
            label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            if label:
                dumped[label.group(1)] = int(re.search(r"^summary: (\d+)$", text, re.M).group(1))
    counts = {}
    for label, total in dumped.items():
        key, run = label.rsplit(":", 1)
        if run == "twice":
            counts[key] = total - dumped[f"{key}:once"]
    return counts


def count_jobs(build, jobs, peers=None):
    """Instructions per call of each job (see callgrind_loop.py), all in one process: {key: count}."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as job_file:
        json.dump(jobs, job_file)
    try:
        totals = callgrind_counts(build, [job_file.name], peers)
    finally:
        os.unlink(job_file.name)
    return {job["key"]: totals[job["key"]] / job["count"] for job in jobs}


# The loop's URL and table when a figure names none: a plain https URL that misses a table of 15
# hosts and api.example.com.
DEFAULT_URL = "https://api.example.org/v1/orders?id=42&page=3"
DEFAULT_TABLE = [f"svc{i}.internal.example" for i in range(15)] + ["api.example.com"]


def decision_job(key, which, count, url=DEFAULT_URL, entries=None, targets=None, bound=False):
    """A job of should_inject_headers (which may end in "_bound") or a floor."""
    job = {"key": key, "which": which.removesuffix("_bound"), "count": count, "url": url,
            "entries": DEFAULT_TABLE if entries is None else entries, "bound": bound}
    if targets is not None:
        job["targets"] = targets
    return job


# What each loop of callgrind_loop.py calls, as the report names it.
COUNTED = {"floor": "floor", "floor_fastcall": "floor_fastcall",
           "should_inject_headers": "should_inject_headers",
           "should_inject_headers_bound": "should_inject_headers, bound (agent callable in C)"}


def per_call_instructions(build, count, counted):
    jobs = [decision_job(which, which, count, bound=which.endswith("_bound")) for which in counted]
    return count_jobs(build, jobs)


def above_floor(build, rows):
    """rows: (row, job of ours); each row gains the instructions of ours and of the METH_FASTCALL
    floor given the same URL, and their difference, counted in one process."""
    jobs, floors = [], {}
    for _, job in rows:
        jobs.append(job)
        if job["url"] not in floors:
            floors[job["url"]] = decision_job(f"floor {len(floors)}", "floor_fastcall", job["count"], job["url"])
    counts = count_jobs(build, jobs + list(floors.values()))
    for row, job in rows:
        floor = counts[floors[job["url"]]["key"]]
        row.update(instructions=counts[job["key"]], floor=floor, above_floor=counts[job["key"]] - floor)
    return [row for row, _ in rows]


def domain_instructions(build, count, sizes=(16, 65536)):
    """Instructions above the METH_FASTCALL floor for hosts of 2 to 6 labels, hit and miss, with the
    domain tables of the given sizes; and the 4-label miss with plain entries only, 16 of them."""
    from figures import DOMAIN_LABELS, domain_url

    rows = []
    for labels in DOMAIN_LABELS:
        for outcome in ("hit", "miss"):
            url = domain_url(labels, outcome)
            for size in sizes:
                rows.append(({"table": "domains", "size": size, "labels": labels, "outcome": outcome},
                             decision_job(f"domains {size} {labels} {outcome}", "should_inject_headers", count, url,
                                           f"@domains:{size}")))
            if labels == 4 and outcome == "miss":
                rows.append(({"table": "plain", "size": 16, "labels": labels, "outcome": outcome},
                             decision_job(f"plain 16 {labels} {outcome}", "should_inject_headers", count, url,
                                           "@plain:16")))
    return above_floor(build, rows)


def target_instructions(build, count, sizes=(16, 65536)):
    """Instructions above the METH_FASTCALL floor with propagation targets (no skip list), plain and
    domains, to a target and elsewhere."""
    from figures import TARGET_URLS

    rows = []
    for kind, urls in TARGET_URLS.items():
        for outcome, url in urls.items():
            for size in sizes:
                rows.append(({"kind": kind, "size": size, "outcome": outcome},
                             decision_job(f"targets {kind} {size} {outcome}", "should_inject_headers", count, url, [],
                                           f"@{kind}:{size}")))
    return above_floor(build, rows)


def spelling_instructions(build, count):
    """Instructions of should_inject_headers above the METH_FASTCALL floor for one URL of each
    spelling, hitting its entry in a table of 16."""
    from figures import SPELLING_TABLE, SPELLINGS

    rows = [({"spelling": name}, decision_job(f"spelling {name}", "should_inject_headers", count, url,
                                               SPELLING_TABLE + [entry]))
            for name, (url, entry) in SPELLINGS.items()]
    return above_floor(build, rows)


def shape_instructions(build, count):
    """Instructions of should_inject_headers above the METH_FASTCALL floor given the same URL,
    for every URL shape, hit and miss, on the default 16-entry table."""
    from figures import HIT_HOST, MISS_HOST, url_for

    rows = []
    for shape in SHAPES:
        for outcome, host in (("hit", HIT_HOST), ("miss", MISS_HOST)):
            rows.append(({"shape": shape, "outcome": outcome},
                         decision_job(f"shape {shape} {outcome}", "should_inject_headers", count, url_for(shape, host))))
    return above_floor(build, rows)


# The peers' figures, as they are named in a set's subjects.
PEER_NAMES = {"url_disabled", "match_regex_list", "sentry", "elastic"}


def subject_instructions(build, subject_set, figures, peers, quick=False):
    """Instructions per call of the subjects of a set (headline, hops), each counted as many times
    as take about a millisecond of its timed figure. A quick run counts a few calls of ours and the
    floors only: under callgrind the peers' imports alone take a minute."""
    if quick:
        figures = [f for f in figures if f["name"] not in PEER_NAMES]
    counts = {f["key"]: max(4, min(20 if quick else 3000, int(1e6 / max(f["ns"], 1.0)))) for f in figures}
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as counts_file:
        json.dump({"counts": counts, "labels": figures, "with_peers": not quick}, counts_file)
    try:
        totals = callgrind_counts(build, [f"@{subject_set}", counts_file.name], peers)
    finally:
        os.unlink(counts_file.name)
    return {key: totals[key] / count for key, count in counts.items()}


def pick(figures, **labels):
    found = find(figures, **labels)
    assert found is not None, labels
    return found


def find(figures, **labels):
    """The one figure with these labels, or None when it was not measured."""
    found = [f for f in figures if all(f.get(k) == v for k, v in labels.items())]
    assert len(found) <= 1, (labels, found)
    return found[0] if found else None


def fastcall_floor(figures, size, shape):
    """The METH_FASTCALL floor for a URL shape: the long URL's own, the plain one's otherwise."""
    return pick(figures, name="floor_fastcall_long" if shape == "long" else "floor_fastcall", table=size)["ns"]


def fmt(ns):
    return f"{ns:,.1f}" if ns < 1000 else f"{ns:,.0f}"


def ratio(times):
    return f"{times:.1f}x" if times < 100 else f"{times:,.0f}x"


def spread(figure):
    return f"{fmt(figure['ns'])} ({fmt(figure['ns_min'])}–{fmt(figure['ns_max'])})"


DOMAIN_PEERS = [("url_disabled", "OpenTelemetry ExcludeList.url_disabled"), ("match_regex_list", "Sentry match_regex_list")]


def domain_markdown(results):
    """The domain figures: instructions (flatness, and against plain entries), ns per size, the peers."""
    from figures import DOMAIN_LABELS

    lines = []
    counted = results.get("domain_instructions")
    if counted:
        def above(**labels):
            return pick(counted, **labels)["above_floor"]

        sizes = sorted({r["size"] for r in counted if r["table"] == "domains"})
        lines += ["", "## Domain entries: instructions above the METH_FASTCALL floor (callgrind)", "",
                  "Hosts of 2 to 6 labels under example.com (hits, of '.example.com') and example.org "
                  "(misses); tables of domains of two and three labels ('.rN.example.net', '*.tN.example.net').", "",
                  "| labels | outcome | " + " | ".join(f"{s:,} domains" for s in sizes) + " | difference |",
                  "|---" * (3 + len(sizes)) + "|"]
        for labels in DOMAIN_LABELS:
            for outcome in ("hit", "miss"):
                cells = [above(table="domains", size=s, labels=labels, outcome=outcome) for s in sizes]
                lines.append(f"| {labels} | {outcome} | " + " | ".join(f"{c:+.0f}" for c in cells)
                             + f" | {cells[-1] - cells[0]:+.0f} |")
        plain = above(table="plain", size=16, labels=4, outcome="miss")
        domains = above(table="domains", size=16, labels=4, outcome="miss")
        lines += ["", f"A miss on a 4-label host: {domains:+.0f} with 16 domain entries, {plain:+.0f} with 16 plain "
                      f"entries ({domains - plain:+.0f})."]
    figures = results.get("domains")
    if figures:
        sizes = sorted({f["table"] for f in figures})
        lines += ["", "## Domain entries against the peers' own code, ns (no binding)", "",
                  "The peers are given the patterns their users write for the same domains: "
                  r"`^https?://(?:[^/?#@]+\.)?example\.com(?::\d+)?(?:[/?#]|$)` for '.example.com', and the same "
                  "without the `?` after the group for '*.example.com'; every answer was checked against ours. "
                  "Each peer is measured up to the first size at which one call takes over 1 ms.", "",
                  "| domains | labels | outcome | should_inject_headers | "
                  + " | ".join(title for _, title in DOMAIN_PEERS) + " | "
                  + " | ".join(f"{name} / ours" for name, _ in DOMAIN_PEERS) + " |",
                  "|---" * (4 + 2 * len(DOMAIN_PEERS)) + "|"]
        for size in sizes:
            for labels in DOMAIN_LABELS:
                for outcome in ("hit", "miss"):
                    ours = find(figures, name="should_inject_headers", table=size, labels=labels, outcome=outcome)
                    row = [find(figures, name=name, table=size, labels=labels, outcome=outcome) for name, _ in DOMAIN_PEERS]
                    lines.append(f"| {size:,} | {labels} | {outcome} | {fmt(ours['ns'])} | "
                                 + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + " | "
                                 + " | ".join(ratio(f["ns"] / ours["ns"]) if f else "–" for f in row) + " |")
    return lines


def target_markdown(results):
    """Propagation targets: ns beside Sentry's match_regex_list, and instructions."""
    lines = []
    figures = results.get("targets")
    if figures:
        lines += ["", "## Propagation targets against Sentry's match_regex_list, ns (no binding, no skip list)", "",
                  "Sentry's trace_propagation_targets is an allow list of patterns: given "
                  r"`^https?://example\.com(?::\d+)?(?:[/?#]|$)` for a host and the domain patterns above "
                  "for domains; every answer was checked against ours.", "",
                  "| targets | kind | URL | should_inject_headers | match_regex_list | match_regex_list / ours |",
                  "|---|---|---|---|---|---|"]
        for f in figures:
            if f["name"] != "should_inject_headers":
                continue
            peer = find(figures, name="match_regex_list", table=f["table"], kind=f["kind"], outcome=f["outcome"])
            lines.append(f"| {f['table']:,} | {f['kind']} | {f['outcome']} | {fmt(f['ns'])} | "
                         + (f"{fmt(peer['ns'])} | {ratio(peer['ns'] / f['ns'])} |" if peer else "– | – |"))
    counted = results.get("target_instructions")
    if counted:
        sizes = sorted({r["size"] for r in counted})
        lines += ["", "## Propagation targets: instructions above the METH_FASTCALL floor (callgrind)", "",
                  "| kind | URL | " + " | ".join(f"{s:,} targets" for s in sizes) + " |", "|---" * (2 + len(sizes)) + "|"]
        for kind in ("plain", "domains"):
            for outcome in ("target", "elsewhere"):
                cells = [pick(counted, kind=kind, outcome=outcome, size=s)["above_floor"] for s in sizes]
                lines.append(f"| {kind} | {outcome} | " + " | ".join(f"{c:+.0f}" for c in cells) + " |")
    return lines


HOP_TITLES = {"get_call_site": "get_call_site()", "loop": "the loop (get_frame_info, f_back)",
              **{name: title for name, title, _ in HOP_PEERS}}


def counted_above(figures, counts, floor_labels, **labels):
    """(ns, instructions) of a figure less its floor's, or None when it was not measured."""
    figure, floor = find(figures, **labels), find(figures, **floor_labels)
    if figure is None or floor is None:
        return None
    instructions = (counts[figure["key"]] - counts[floor["key"]]
                    if figure["key"] in counts and floor["key"] in counts else None)
    return figure["ns"] - floor["ns"], instructions


def cells(above):
    ns, instructions = above
    return f"{ns:+,.1f} | " + (f"{instructions:+,.0f}" if instructions is not None else "–")


def times(peer, ours):
    """peer / ours, in ns and in instructions."""
    def one(a, b):
        return ratio(a / b) if a is not None and b is not None and b > 0 else "–"
    return f"{one(peer[0], ours[0])} / {one(peer[1], ours[1])}"


def total_cell(total):
    """A figure's own ns and instructions."""
    ns, instructions = total
    return f"{fmt(ns)} ns, " + (f"{instructions:,.0f}" if instructions is not None else "–")


def peer_cell(theirs, ours):
    return f"{total_cell(theirs)}: {times(theirs, ours)}" if theirs else "not measured"


def hop_rows(figures, counts, depths):
    """The hop table: each walker at each depth, above the hook calling a C no-op."""
    lines = ["| library frames | walker | ns above the no-op | instructions above the no-op | / get_call_site() (ns / instructions) |",
             "|---|---|---|---|---|"]
    for depth in depths:
        floor = find(figures, name="noop", group="hops", depth=depth)
        if floor:
            lines.append(f"| {depth} | the hook calling a no-op (the floor) | {fmt(floor['ns'])} | "
                         + (f"{counts[floor['key']]:,.0f}" if floor["key"] in counts else "–") + " | |")
        noop = {"name": "noop", "group": "hops", "depth": depth}
        ours = counted_above(figures, counts, noop, name="get_call_site", group="hops", depth=depth)
        for walker in ["get_call_site", "loop"] + [name for name, _, _ in HOP_PEERS]:
            above = counted_above(figures, counts, noop, name=walker, group="hops", depth=depth)
            if above is None:
                continue
            lines.append(f"| {depth} | {HOP_TITLES[walker]} | {cells(above)} | "
                         + ("–" if walker == "get_call_site" else times(above, ours)) + " |")
    return lines


def hop_goals(figures, counts):
    """The hop capture's goals against this run's counts (instructions above the no-op)."""
    if not counts:
        return []
    def above(walker, depth):
        return counted_above(figures, counts, {"name": "noop", "group": "hops", "depth": depth}, name=walker,
                             group="hops", depth=depth)
    lines = []
    at_12 = above("get_call_site", 12)
    if at_12 and at_12[1]:
        lines.append(f"| get_call_site() at 12 library frames | {at_12[1]:,.0f} instructions | ≤ 1,500 |")
        for walker, goal in (("loop", "≥ 12x"), ("sentry", "≥ 100x"), ("elastic", "≥ 100x")):
            theirs = above(walker, 12)
            if theirs and theirs[1] is not None:
                lines.append(f"| {HOP_TITLES[walker]} / get_call_site() at 12 frames | "
                             f"{theirs[1] / at_12[1]:,.1f}x fewer instructions | {goal} |")
    at_100 = above("get_call_site", 100)
    if at_12 and at_100 and at_12[1] and at_100[1] is not None:
        lines.append(f"| each further library frame (12 to 100) | {(at_100[1] - at_12[1]) / 88:.1f} instructions | ≤ 30 |")
    return ["| figure | this run | goal |", "|---|---|---|"] + lines if lines else []


def headline_markdown(results):
    """The headline: every figure in ns and in instructions, above its floor, beside the peers."""
    figures, counts = results["headline"], results.get("headline_instructions", {})
    versions = ", ".join(f"{package} {version}" for package, version in results["peer_versions"].items())
    lines = [f"# Headline benchmark (Python {results['python']}; {versions})", "",
             "ns: median of the timeit runs; instructions: callgrind, per call. Each figure is above its floor "
             "measured in the same process (the METH_FASTCALL floor given the same URL; for the hop capture, the agent's "
             "hook calling a C function that does nothing); peer / ours compares the totals. Every answer was "
             "checked first." + ("" if counts else " (No instruction counts in this run.)"), "",
             "## The decision (no binding), plain https URL", "",
             "Peers: ns, instructions: peer / ours in ns / in instructions.", "",
             "| entries | outcome | METH_FASTCALL floor | should_inject_headers (above the floor) | OpenTelemetry "
             "url_disabled | Sentry match_regex_list |", "|---|---|---|---|---|---|"]

    def totals(**labels):
        figure = find(figures, **labels)
        if figure is None:
            return None
        return figure["ns"], counts.get(figure["key"])

    for size in sorted({f["table"] for f in figures if f["group"] == "decision" and "table" in f}):
        for outcome in ("hit", "miss"):
            floor = {"name": "floor_fastcall", "group": "decision", "table": size, "outcome": outcome}
            ours = counted_above(figures, counts, floor, name="should_inject_headers", group="decision", table=size,
                                 outcome=outcome)
            ours_total = totals(name="should_inject_headers", group="decision", table=size, outcome=outcome)
            peer_cells = [peer_cell(totals(name=peer, group="decision", table=size, outcome=outcome), ours_total)
                          for peer in ("url_disabled", "match_regex_list")]
            lines.append(f"| {size:,} | {outcome} | {total_cell(totals(**floor))} | {total_cell(ours_total)} "
                         f"({cells(ours).replace(' | ', ' ns, ')}) | " + " | ".join(peer_cells) + " |")
    lines += ["", "## Domain entries and propagation targets, 16 of them", "",
              "| table | URL | METH_FASTCALL floor | should_inject_headers (above the floor) | OpenTelemetry url_disabled "
              "| Sentry match_regex_list |", "|---|---|---|---|---|---|"]
    for labels_of in [dict(group="domains", outcome=o) for o in ("hit", "miss")] + \
                     [dict(group="targets", kind=k, outcome=o) for k in ("plain", "domains") for o in ("target", "elsewhere")]:
        floor = {"name": "floor_fastcall", **labels_of}
        ours = counted_above(figures, counts, floor, name="should_inject_headers", **labels_of)
        ours_total = totals(name="should_inject_headers", **labels_of)
        row = [peer_cell(totals(name=peer, **labels_of), ours_total) if totals(name=peer, **labels_of) else "–"
               for peer in ("url_disabled", "match_regex_list")]
        table = "domains (4-label host)" if labels_of["group"] == "domains" else f"{labels_of['kind']} targets"
        lines.append(f"| {table} | {labels_of['outcome']} | {total_cell(totals(**floor))} | {total_cell(ours_total)} "
                     f"({cells(ours).replace(' | ', ' ns, ')}) | " + " | ".join(row) + " |")
    from figures import HEADLINE_HOP_DEPTH

    lines += ["", f"## Hop capture: the application's frame under {HEADLINE_HOP_DEPTH} library frames, a fresh stack "
              "every hop", ""] + hop_rows(figures, counts, [HEADLINE_HOP_DEPTH])
    lines += prefix_rows(figures, counts)
    return "\n".join(lines) + "\n"


def prefix_rows(figures, counts):
    """The user-code prefixes' cost: each figure with 16 prefixes in each list against none."""
    from figures import PREFIX_COUNT

    rows = []
    for name, what in (("get_frame_info", "get_frame_info, a frame of a 60-byte path"),
                       ("get_call_site", "get_call_site(), 12 library frames")):
        none = find(figures, name=name, group="prefixes", prefixes=0)
        some = find(figures, name=name, group="prefixes", prefixes=PREFIX_COUNT)
        if none is None or some is None:
            continue
        counted = none["key"] in counts and some["key"] in counts
        rows.append(f"| {what} | {fmt(none['ns'])} ns, " + (f"{counts[none['key']]:,.0f}" if counted else "–")
                    + f" | {fmt(some['ns'])} ns, " + (f"{counts[some['key']]:,.0f}" if counted else "–")
                    + f" | {some['ns'] - none['ns']:+.1f} ns, "
                    + (f"{counts[some['key']] - counts[none['key']]:+,.0f}" if counted else "–") + " |")
    if not rows:
        return []
    return ["", f"## Where the application's code lives: {PREFIX_COUNT} include and {PREFIX_COUNT} exclude prefixes", "",
            "None of the prefixes covers the path, so every look-up is made and the built-in rule decides; a "
            "walk judges a code object once, so it costs the same once it has seen it.", "",
            "| call | no prefixes (ns, instructions) | with the prefixes | difference |", "|---|---|---|---|"] + rows


def markdown(results):
    unbound, bound = results["header_unbound"], results["header_bound"]
    peers, frames = results["peers"], results["frameinfo"]
    lines = [f"# Benchmark results (Python {results['python']})", "",
             "ns per call: median of the timeit runs, (fastest–slowest) in brackets. "
             "Overhead is above the floor measured in the same process, at the same table size.", ""]

    headline = pick(unbound, name="should_inject_headers", table=16, shape="plain", outcome="miss")
    floor = pick(unbound, name="floor", table=16)
    fast_floor = pick(unbound, name="floor_fastcall", table=16)
    regex = pick(peers, name="combined_regex", table=16, shape="plain", outcome="miss")
    split = pick(peers, name="urlsplit_set", table=16, shape="plain", outcome="miss")
    lines += ["## Targets (no binding, 16-entry table, typical https URL)", "",
              "| figure | value | target |", "|---|---|---|",
              f"| floor (METH_VARARGS, \"s\", new 3-tuple) | {spread(floor)} ns | |",
              f"| floor with the argument vector (METH_FASTCALL) | {spread(fast_floor)} ns | |",
              f"| should_inject_headers | {spread(headline)} ns | |",
              f"| overhead above the floor | {headline['ns'] - floor['ns']:+.1f} ns | ≤ 10 ns |",
              f"| overhead above the METH_FASTCALL floor | {headline['ns'] - fast_floor['ns']:+.1f} ns | |",
              f"| combined regex peer / should_inject_headers | {regex['ns'] / headline['ns']:.1f}x | ≥ 3x |",
              f"| urlsplit + set peer / should_inject_headers | {split['ns'] / headline['ns']:.1f}x | ≥ 8x |"]
    frame_native = pick(frames, name="get_frame_info", code="user", implementation="native")
    frame_python = pick(frames, name="get_frame_info", code="user", implementation="python")
    code = results.get("peer_code", [])
    for name, title, _ in PEER_CODE:
        peer = find(code, name=name, table=16, shape="plain", outcome="miss")
        ours = find(code, name="should_inject_headers", table=16, shape="plain", outcome="miss")
        if peer and ours:
            lines.append(f"| {title} / should_inject_headers (same process) | {peer['ns'] / ours['ns']:.1f}x | |")
    lines.append(f"| pure-Python get_frame_info / native, user frame | "
                 f"{frame_python['ns'] / frame_native['ns']:.1f}x | ≥ 3x |")

    sizes = [size for size in TARGET_SIZES if size in TABLE_SIZES]
    if len(sizes) > 1:
        overheads = []
        for size in sizes:
            for shape in SHAPES:
                fast = fastcall_floor(unbound, size, shape)
                for outcome in ("hit", "miss"):
                    f = pick(unbound, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                    overheads.append((f["ns"] - fast, size, shape, outcome))
        worst = max(overheads)
        growth = (pick(unbound, name="should_inject_headers", table=sizes[-1], shape="plain", outcome="miss")["ns"]
                  - pick(unbound, name="should_inject_headers", table=16, shape="plain", outcome="miss")["ns"])
        lines += [f"| worst overhead above the METH_FASTCALL floor, {sizes[0]} to {sizes[-1]:,} entries, every shape, hit and miss "
                  f"| {worst[0]:+.1f} ns ({worst[1]:,} entries, {worst[2]}, {worst[3]}) | ≤ 10 ns |",
                  f"| {sizes[-1]:,} entries against 16, plain URL, miss | {growth:+.1f} ns | ≤ 5 ns |"]
    largest = max(TABLE_SIZES)
    native_largest = find(unbound, name="should_inject_headers", table=largest, shape="plain", outcome="miss")
    split_largest = find(peers, name="urlsplit_set", table=largest, shape="plain", outcome="miss")
    if largest > 16 and native_largest and split_largest:
        lines.append(f"| urlsplit + set peer / should_inject_headers at {largest:,} entries | "
                     f"{split_largest['ns'] / native_largest['ns']:.1f}x | > 1x |")
    if "instructions" in results:
        ins = results["instructions"]
        lines += ["", "## Instructions per call (callgrind, same table and URL)", "",
                  "| function | instructions | above the floor |", "|---|---|---|",
                  f"| floor | {ins['floor']:.0f} | |"]
        lines += [f"| {COUNTED[which]} | {count:.0f} | {count - ins['floor']:+.0f} |"
                  for which, count in ins.items() if which != "floor"]

    if "shape_instructions" in results:
        lines += ["", "## Instructions above the METH_FASTCALL floor, every URL shape (callgrind, 16 entries)", "",
                  "Each count is should_inject_headers less the METH_FASTCALL floor taking the same URL.", "",
                  "| shape | hit | miss |", "|---|---|---|"]
        for shape in SHAPES:
            row = {r["outcome"]: r["above_floor"] for r in results["shape_instructions"] if r["shape"] == shape}
            lines.append(f"| {shape} | {row['hit']:+.0f} | {row['miss']:+.0f} |")

    spelled = {f["spelling"]: f for f in results.get("spellings", [])}
    if spelled:
        counted = {r["spelling"]: r for r in results.get("spelling_instructions", [])}
        lines += ["", "## One URL of each spelling, a hit in a table of 16 (no binding)", "",
                  "The common host takes the quick path; every other spelling, the rare canonical steps.", "",
                  "| spelling | ns | instructions above the METH_FASTCALL floor |", "|---|---|---|"]
        for name, figure in spelled.items():
            instructions_cell = f"{counted[name]['above_floor']:+.0f}" if name in counted else "–"
            lines.append(f"| {name} | {spread(figure)} | {instructions_cell} |")

    lines += domain_markdown(results)
    lines += target_markdown(results)

    for title, figures in (("no binding", unbound), ("stand-in binding", bound)):
        lines += ["", f"## should_inject_headers, {title}: overhead above the METH_FASTCALL floor, ns", "",
                  "The long shape is measured against the floor taking the same 2 KB URL.", "",
                  "| table | floor | " + " | ".join(f"{s} hit | {s} miss" for s in SHAPES) + " |",
                  "|---" * (2 + 2 * len(SHAPES)) + "|"]
        for size in TABLE_SIZES:
            floor_ns = pick(figures, name="floor_fastcall", table=size)["ns"]
            cells = []
            for shape in SHAPES:
                for outcome in ("hit", "miss"):
                    if size == 0 and outcome == "hit":
                        cells.append("–")
                    else:
                        f = pick(figures, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                        cells.append(f"{f['ns'] - fastcall_floor(figures, size, shape):+.1f}")
            lines.append(f"| {size} | {fmt(floor_ns)} | " + " | ".join(cells) + " |")

    if code:
        versions = ", ".join(f"{package} {version}" for package, version in results["peer_versions"].items())
        lines += ["", "## The peers' own code against should_inject_headers (no binding), ns", "",
                  f"Measured in one process: {versions} (Debian's packages). OpenTelemetry: "
                  "`ExcludeList(patterns).url_disabled(url)`; Sentry: `match_regex_list(url, patterns, "
                  "substring_matching=True)`, whose list names where headers go, the same membership "
                  "question. Patterns are `re.escape(host)`, as users write them; every answer was "
                  "checked against ours. Their search finds a host anywhere in the URL, case-sensitively: "
                  "the shapes are those on which that agrees with the whole-host rule (capitals left out). "
                  "Each peer is measured up to the first table size at which one call takes over 1 ms.", "",
                  "| table | shape | outcome | should_inject_headers | "
                  + " | ".join(title for _, title, _ in PEER_CODE) + " | "
                  + " | ".join(f"{name} / ours" for name, _, _ in PEER_CODE) + " |",
                  "|---" * (4 + 2 * len(PEER_CODE)) + "|"]
        for size in TABLE_SIZES:
            for shape in PEER_CODE_SHAPES:
                for outcome in ("hit", "miss"):
                    ours = find(code, name="should_inject_headers", table=size, shape=shape, outcome=outcome)
                    row = [find(code, name=name, table=size, shape=shape, outcome=outcome) for name, _, _ in PEER_CODE]
                    if ours is None or not any(row):
                        continue
                    lines.append(f"| {size} | {shape} | {outcome} | {fmt(ours['ns'])} | "
                                 + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + " | "
                                 + " | ".join(ratio(f["ns"] / ours["ns"]) if f else "–" for f in row) + " |")

    lines += ["", "## Pure-Python peers against should_inject_headers (no binding), miss, ns", "",
              "| table | shape | should_inject_headers | urlsplit + set | combined regex | pattern list | best peer / native |",
              "|---|---|---|---|---|---|---|"]
    for size in TABLE_SIZES:
        for shape in SHAPES:
            native = pick(unbound, name="should_inject_headers", table=size, shape=shape, outcome="miss")
            row = [find(peers, name=n, table=size, shape=shape, outcome="miss") for n in PEERS]
            best = min(f["ns"] for f in row if f)
            lines.append(f"| {size} | {shape} | {fmt(native['ns'])} | "
                         + " | ".join(fmt(f["ns"]) if f else "–" for f in row) + f" | {best / native['ns']:.1f}x |")
    lines.append("")
    lines.append("The regular-expression peers are not built beyond 4,096 entries (–).")

    if results.get("load"):
        lines += ["", "## Loading the table (init_header_check)", "",
                  "| entries | ns per entry (fastest–slowest) | C memory per entry |", "|---|---|---|"]
        for f in results["load"]:
            lines.append(f"| {f['table']:,} | {f['ns_per_entry']:.1f} ({f['ns_per_entry_min']:.1f}–"
                         f"{f['ns_per_entry_max']:.1f}) | {f['bytes_per_entry']:.0f} bytes |")

    lines += ["", "## Call-site introspection, ns", "",
              "| method | code | native | pure Python | Python / native |", "|---|---|---|---|---|"]
    for name in ("get_frame_info", "get_code_info", "is_user_code_func"):
        for code in ("user", "library"):
            native = pick(frames, name=name, code=code, implementation="native")
            python = pick(frames, name=name, code=code, implementation="python")
            lines.append(f"| {name} | {code} | {spread(native)} | {spread(python)} | {python['ns'] / native['ns']:.1f}x |")
    if results.get("hops"):
        import hops

        counts = results.get("hop_instructions", {})
        lines += ["", "## Hop capture: the application's frame under library frames, a fresh stack every hop", "",
                  "Above the agent's hook calling a C function that does nothing; every answer checked first. "
                  "Sentry: `add_source` with the application's folder as project root, read back from the span; Elastic: "
                  "`iter_stack_frames` and `is_library_frame` with the user-code rule's markers as exclude paths.", ""]
        lines += hop_rows(results["hops"], counts, hops.DEPTHS)
        goals = hop_goals(results["hops"], counts)
        if goals:
            lines += [""] + goals
    return "\n".join(lines) + "\n"



def can_count():
    if os.environ.get("TW_EMULATOR"):
        print(f"no instruction counts: valgrind cannot measure a process under {os.environ['TW_EMULATOR']}",
              file=sys.stderr)
        return False
    return shutil.which("valgrind") is not None


def headline(build, out, timing, quick):
    """make bench: the headline figures, ns and instructions, into headline.md and headline.json."""
    peers = peers_folder()
    results = {"python": sys.version.split()[0], "peer_versions": peer_versions(peers)}
    print("measuring the headline figures ...", file=sys.stderr, flush=True)
    results["headline"] = run_set(build, "headline", timing, peers)
    if can_count():
        print("counting their instructions under callgrind ...", file=sys.stderr, flush=True)
        results["headline_instructions"] = subject_instructions(build, "headline", results["headline"], peers, quick)
    (out / "headline.json").write_text(json.dumps(results, indent=1))
    report = headline_markdown(results)
    (out / "headline.md").write_text(report)
    print(report)
    print(f"results: {out / 'headline.md'}, {out / 'headline.json'}; every table: make bench-full", file=sys.stderr)


def full(build, out, timing, quick):
    """make bench-full: every table, into results.md, results.json and the plot."""
    peers = peers_folder()
    results = {"python": sys.version.split()[0], "peer_versions": peer_versions(peers)}
    for name in SETS:
        print(f"measuring {name} ...", file=sys.stderr, flush=True)
        results[name] = run_set(build, name, timing, peers)
    if can_count():
        print("counting instructions under callgrind ...", file=sys.stderr, flush=True)
        # A quick run checks that counting works, with the fewest calls.
        counted = ["floor", "should_inject_headers"] if quick else list(COUNTED)
        results["instructions"] = per_call_instructions(build, 200 if quick else 50000, counted)
        results["hop_instructions"] = subject_instructions(build, "hops", results["hops"], peers, quick)
        if not quick:
            results["shape_instructions"] = shape_instructions(build, 5000)
            results["spelling_instructions"] = spelling_instructions(build, 5000)
            results["domain_instructions"] = domain_instructions(build, 5000)
            results["target_instructions"] = target_instructions(build, 5000)

    (out / "results.json").write_text(json.dumps(results, indent=1))
    report = markdown(results)
    (out / "results.md").write_text(report)
    print(report)
    plotter = shutil.which("python3", path="/usr/bin")
    if plotter and not quick:
        subprocess.run([plotter, str(ROOT / "bench" / "plot.py"), str(out / "results.json"),
                        str(out / "ns_per_table_size.png")], check=True)
        print(f"plot: {out / 'ns_per_table_size.png'}", file=sys.stderr)
    print(f"results: {out / 'results.md'}, {out / 'results.json'}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", help="output folder (default: <build>/bench-results)")
    parser.add_argument("--full", action="store_true", help="every table (make bench-full), not only the headline")
    parser.add_argument("--quick", action="store_true", help="few short runs: checks the harness, not speed")
    parser.add_argument("--instructions-only", action="store_true",
                        help="only the callgrind counts of every URL shape, spelling, domain and target row, as JSON")
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    if options.instructions_only:
        json.dump({"shapes": shape_instructions(build, 5000), "spellings": spelling_instructions(build, 5000),
                   "domains": domain_instructions(build, 5000), "targets": target_instructions(build, 5000)},
                  sys.stdout, indent=1)
        return
    out = Path(options.out) if options.out else build / "bench-results"
    out.mkdir(parents=True, exist_ok=True)
    if options.quick:
        TABLE_SIZES[:] = [0, 16]
        timing = ["--repeat", "2", "--calls", "200", "--sizes", "0,16", "--load-sizes", "1000", "--domain-sizes", "1,16",
                  "--target-sizes", "16"]
    else:
        timing = ["--repeat", "11", "--seconds", "0.02"]
    (full if options.full else headline)(build, out, timing, options.quick)


if __name__ == "__main__":
    main()
